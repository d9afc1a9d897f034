#!/usr/bin/env bash
# kestrune's main job for now: start the real binary and drive a short scripted host exchange
# (hello, getCapabilities, getState, scan, shutdown), printing every line both ways ("> " from the
# host, "< " from kestrune) and kestrune's standard error ("! "). Installs what it needs and
# builds first. Every wait is bounded; exits non-zero when the exchange does not go as expected.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" >/dev/null

line_timeout=10  # seconds for any one line; a scan answers within its time plus 1 s
stderr_file=$(mktemp)
trap 'rm -f "$stderr_file"' EXIT

# kestrune runs in a network namespace of its own (root needed), so the demo's scan browses no
# real network: it answers with no device and the "discovery_interface_failed" warning.
coproc KESTRUNE { exec unshare --net build/release/src/kestrune 2>"$stderr_file"; }
kestrune_pid=$KESTRUNE_PID
exec {to_kestrune}>&"${KESTRUNE[1]}" {from_kestrune}<&"${KESTRUNE[0]}"

fail() {
  echo "demo: $*" >&2
  kill "$kestrune_pid" 2>/dev/null || true
  exit 1
}

# Reads one line from kestrune and prints it; fails when none comes in time.
receive() {
  local line
  IFS= read -r -t "$line_timeout" -u "$from_kestrune" line || fail "no line from kestrune"
  printf '< %s\n' "$line"
  last_line=$line
}

# Sends one command and prints every line up to and including its response.
exchange() {
  local id=$1 command=$2 payload=${3:-"{}"}
  local line="{\"version\":1,\"type\":\"command\",\"requestId\":\"$id\",\"command\":\"$command\",\"payload\":$payload}"
  printf '> %s\n' "$line"
  printf '%s\n' "$line" >&"$to_kestrune"
  for _ in $(seq 1 300); do  # device events may come before a scan's response
    receive
    [[ $last_line == *"\"type\":\"response\""* && $last_line == *"\"requestId\":\"$id\""* ]] && return 0
  done
  fail "no response to $id"
}

receive
[[ $last_line == *'"event":"ready"'* ]] || fail "the first line is not ready"

exchange h1 hello
exchange c1 getCapabilities
exchange s1 getState
exchange d1 scan '{"timeoutMs":1000}'
exchange x1 shutdown
[[ $last_line == *'"shuttingDown":true'* ]] || fail "shutdown was refused"

receive
[[ $last_line == *'"event":"shutdownComplete"'* ]] || fail "shutdownComplete missing"
if IFS= read -r -t "$line_timeout" -u "$from_kestrune" extra; then
  fail "a line after shutdownComplete: $extra"
fi
exec {to_kestrune}>&-

status=0
for _ in $(seq 1 100); do
  kill -0 "$kestrune_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$kestrune_pid" 2>/dev/null && fail "kestrune did not exit"
wait "$kestrune_pid" || status=$?
while IFS= read -r line; do printf '! %s\n' "$line"; done <"$stderr_file"
((status == 0)) || fail "kestrune exited with $status"
echo "demo: kestrune exited with 0" >&2
