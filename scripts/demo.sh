#!/usr/bin/env bash
# kestrune's main job: stream a WAV file to a receiver. Starts the bundled loopback test receiver
# and the real kestrune binary, makes a few seconds of a tone as a WAV file, and drives a scripted
# host exchange (hello, getCapabilities, getState, scan, startSession with the file, setVolume,
# the session's events up to its terminal event, shutdown), printing every line both ways ("> "
# from the host, "< " from kestrune) and, at the end, kestrune's standard error ("! "), the
# receiver's ("r ") and the receiver's own account of what arrived ("= "): packets, gaps, packets
# that failed to decrypt, retransmissions answered, the volume it was set to, and whether the
# decrypted audio equals the file's samples.
#
# Everything runs in a network namespace of its own (root needed) with only its loopback up, so
# the scan browses no real network and the stream never leaves the machine. Installs what it needs
# and builds first. Every wait is bounded; exits non-zero when the exchange does not go as
# expected.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ "${1:-}" != "--in-namespace" ]]; then
  ./scripts/install-deps.sh
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/release -j "$(nproc)" >/dev/null
  exec unshare --net bash -c 'ip link set lo up && exec "$0" --in-namespace' "$0"
fi

line_timeout=10  # seconds for any one line; a scan answers within its time plus 1 s
tone_seconds=3
work=$(mktemp -d)
receiver_pid=""
kestrune_pid=""
cleanup() {
  [[ -n $kestrune_pid ]] && kill "$kestrune_pid" 2>/dev/null
  [[ -n $receiver_pid ]] && kill "$receiver_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "demo: $*" >&2
  exit 1
}

# A tone of our own: 440 Hz in both channels, 44100 Hz, 16-bit, the form a file source takes.
wav="$work/tone.wav"
python3 - "$wav" "$tone_seconds" <<'PY'
import math, struct, sys, wave
path, seconds = sys.argv[1], int(sys.argv[2])
frames = bytearray()
for i in range(44100 * seconds):
    sample = int(0.3 * 32767 * math.sin(2 * math.pi * 440 * i / 44100))
    frames += struct.pack('<hh', sample, sample)
with wave.open(path, 'wb') as out:
    out.setnchannels(2)
    out.setsampwidth(2)
    out.setframerate(44100)
    out.writeframes(bytes(frames))
PY
echo "demo: wrote ${tone_seconds} s of a 440 Hz tone to a WAV file" >&2

# The receiver serves until its standard input ends and first prints "listening <address>".
mkfifo "$work/receiver_in"
build/release/tools/test-receiver/kestrune-test-receiver "$wav" <"$work/receiver_in" \
  >"$work/receiver_out" 2>"$work/receiver_err" &
receiver_pid=$!
exec {to_receiver}>"$work/receiver_in"
receiver_address=""
for _ in $(seq 1 100); do
  receiver_address=$(sed -n 's/^listening //p' "$work/receiver_out")
  [[ -n $receiver_address ]] && break
  sleep 0.1
done
[[ $receiver_address == 127.0.0.1:* ]] || fail "the test receiver did not start"
receiver_port=${receiver_address##*:}
echo "demo: the test receiver listens on $receiver_address" >&2

coproc KESTRUNE { exec build/release/src/kestrune 2>"$work/kestrune_err"; }
kestrune_pid=$KESTRUNE_PID
exec {to_kestrune}>&"${KESTRUNE[1]}" {from_kestrune}<&"${KESTRUNE[0]}"

# Reads one line from kestrune and prints it; fails when none comes in time.
receive() {
  local line
  IFS= read -r -t "$line_timeout" -u "$from_kestrune" line || fail "no line from kestrune"
  printf '< %s\n' "$line"
  last_line=$line
}

# Prints lines until one contains every one of the given texts; at most 2000 lines.
receive_until() {
  for _ in $(seq 1 2000); do
    receive
    local text matched=1
    for text in "$@"; do
      [[ $last_line == *"$text"* ]] || matched=0
    done
    ((matched)) && return 0
  done
  fail "never saw a line with $*"
}

# Sends one command and prints every line up to and including its response.
exchange() {
  local id=$1 command=$2 payload=${3:-"{}"}
  local line="{\"version\":1,\"type\":\"command\",\"requestId\":\"$id\",\"command\":\"$command\",\"payload\":$payload}"
  printf '> %s\n' "$line"
  printf '%s\n' "$line" >&"$to_kestrune"
  receive_until '"type":"response"' "\"requestId\":\"$id\""
}

receive
[[ $last_line == *'"event":"ready"'* ]] || fail "the first line is not ready"

exchange h1 hello
exchange c1 getCapabilities
exchange s1 getState
exchange d1 scan '{"timeoutMs":1000}'

device="{\"stableId\":\"demo-receiver\",\"displayName\":\"Loopback receiver\",\"addresses\":[\"127.0.0.1\"],\"port\":$receiver_port}"
exchange p1 startSession "{\"device\":$device,\"audioSource\":{\"kind\":\"file\",\"path\":\"$wav\"},\"initialVolume\":0.5}"
[[ $last_line == *'"accepted":true'* ]] || fail "the session was not accepted"
receive_until '"event":"sessionState"' '"state":"playing"'
exchange v1 setVolume '{"volume":0.3}'
[[ $last_line == *'"ok":true'* ]] || fail "the volume was refused"
receive_until '"event":"terminal"'
[[ $last_line == *'"outcome":"completed"'* ]] || fail "the session did not complete"
[[ $last_line == *'"reason":"end_of_stream"'* ]] || fail "the session did not play to the end"
exchange s2 getState

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
kestrune_pid=""
while IFS= read -r line; do printf '! %s\n' "$line"; done <"$work/kestrune_err"
((status == 0)) || fail "kestrune exited with $status"

# The receiver writes its account once its standard input ends.
exec {to_receiver}>&-
for _ in $(seq 1 100); do
  kill -0 "$receiver_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$receiver_pid" 2>/dev/null && fail "the test receiver did not exit"
receiver_status=0
wait "$receiver_pid" || receiver_status=$?
receiver_pid=""
while IFS= read -r line; do printf 'r %s\n' "$line"; done <"$work/receiver_err"
echo "demo: the test receiver's account of what arrived:" >&2
sed -n 's/^account /= /p' "$work/receiver_out"
account() { sed -n "s/^account $1=//p" "$work/receiver_out"; }
packets=$(account packets_received)
[[ -n $packets && $packets -gt 0 ]] || fail "the receiver got no audio packets"
[[ $(account decrypt_failures) == 0 ]] || fail "packets failed to decrypt at the receiver"
[[ $(account sequence_gaps) == 0 ]] || fail "the receiver saw gaps in the packet sequence"
[[ $(account retransmissions_answered) == "2 of 2 requested" ]] ||
  fail "the retransmissions the receiver asked for were not all answered"
[[ $(account volume_db) == "-10.46" ]] || fail "the receiver's volume is not the one set (0.3)"
[[ $(account audio) == matches* ]] || fail "the decrypted audio does not equal the file's samples"
((receiver_status == 0)) || fail "the test receiver exited with $receiver_status"
echo "demo: kestrune streamed the file to the test receiver, which decrypted exactly the file's" \
  "samples; kestrune exited with 0" >&2
