#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (FUZZ_SECONDS, default
# 30), all in parallel. Seeds come from fuzz/corpus/<target>/; a target may pass extra libFuzzer
# flags in fuzz/<target>.args. A crash, leak or timeout fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
jobs=$(nproc)
build=build/fuzz

cmake -S . -B "$build" -G Ninja -DKESTRUNE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-19 -DCMAKE_CXX_COMPILER=clang++-19 >/dev/null
cmake --build "$build" -j "$jobs"

targets=()
for source in fuzz/*_fuzz.cpp; do
  [[ -e "$source" ]] || continue
  targets+=("$(basename "$source" .cpp)")
done
if ((${#targets[@]} == 0)); then
  echo "== fuzz: no targets" >&2
  exit 0
fi

export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
pids=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus" "$build/artifacts/$target"
  seeds=()
  [[ -d "fuzz/corpus/$target" ]] && seeds=("fuzz/corpus/$target")
  extra=()
  [[ -f "fuzz/$target.args" ]] && read -r -a extra <"fuzz/$target.args"
  echo "== fuzz: $target for ${seconds}s" >&2
  "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target/" "${extra[@]}" \
    "$corpus" "${seeds[@]}" >"$build/$target.log" 2>&1 &
  pids+=("$!")
done

failed=0
for i in "${!targets[@]}"; do
  if ! wait "${pids[$i]}"; then
    echo "== fuzz: ${targets[$i]} FAILED; its log:" >&2
    tail -n 60 "$build/${targets[$i]}.log" >&2
    failed=1
  else
    grep -E 'stat::number_of_executed_units' "$build/${targets[$i]}.log" | sed "s/^/${targets[$i]}: /" >&2 || true
  fi
done
exit "$failed"
