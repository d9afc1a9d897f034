#!/usr/bin/env bash
# Runs the whole test suite: the tests in a plain Release build, again under AddressSanitizer +
# UndefinedBehaviorSanitizer, again under ThreadSanitizer, then every fuzz target for a bounded
# time. Any failure fails the script. Installs what it needs and builds first.
#
#   scripts/test.sh                 every phase
#   scripts/test.sh asan tsan       only the phases named (release, asan, tsan, fuzz)
#   scripts/test.sh --busy ...      the tests run while every core runs a busy loop
#                                   (scripts/busy-cores.sh), as on a loaded shared machine
set -euo pipefail
cd "$(dirname "$0")/.."

busy=0
phases=()
for arg in "$@"; do
  case "$arg" in
    --busy) busy=1 ;;
    release | asan | tsan | fuzz) phases+=("$arg") ;;
    *)
      echo "usage: $0 [--busy] [release] [asan] [tsan] [fuzz]" >&2
      exit 2
      ;;
  esac
done
((${#phases[@]} > 0)) || phases=(release asan tsan fuzz)

./scripts/install-deps.sh
jobs=$(nproc)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

busy_pid=""
stop_busy() {
  [[ -z $busy_pid ]] || kill "$busy_pid" 2>/dev/null || true
  [[ -z $busy_pid ]] || wait "$busy_pid" 2>/dev/null || true
  busy_pid=""
}
trap stop_busy EXIT

# The load runs only while tests run, not while the build does, and ends by itself after an hour.
with_load() {
  if ((busy)); then
    ./scripts/busy-cores.sh 3600 &
    busy_pid=$!
  fi
  local status=0
  "$@" || status=$?
  stop_busy
  return "$status"
}

run_suite() {
  local name=$1
  shift
  echo "== $name: configure and build" >&2
  cmake -S . -B "build/$name" -G Ninja "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
  echo "== $name: tests$( ((busy)) && echo ' (every core busy)')" >&2
  with_load ctest --test-dir "build/$name" --output-on-failure -j "$jobs" --timeout 600 \
    --no-tests=error
}

for phase in "${phases[@]}"; do
  case "$phase" in
    release) run_suite release -DCMAKE_BUILD_TYPE=Release ;;
    asan) run_suite asan -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_SANITIZE=address ;;
    tsan) run_suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_SANITIZE=thread ;;
    fuzz) with_load ./scripts/fuzz.sh ;;
  esac
done
echo "== all tests passed" >&2
