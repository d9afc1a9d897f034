#!/usr/bin/env bash
# Runs the whole test suite: the tests in a plain build, again under AddressSanitizer +
# UndefinedBehaviorSanitizer, again under ThreadSanitizer, then every fuzz target for a bounded
# time. Any failure fails the script. Installs what it needs and builds first.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
jobs=$(nproc)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

run_suite() {
  local name=$1
  shift
  echo "== $name: configure and build" >&2
  cmake -S . -B "build/$name" -G Ninja "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
  echo "== $name: tests" >&2
  ctest --test-dir "build/$name" --output-on-failure -j "$jobs" --timeout 600 --no-tests=error
}

run_suite release -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite asan -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_SANITIZE=address
run_suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_SANITIZE=thread

./scripts/fuzz.sh
echo "== all tests passed" >&2
