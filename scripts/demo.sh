#!/usr/bin/env bash
# kestrune's main job: stream a WAV file to a receiver. Starts the bundled loopback test receiver
# and the real kestrune binary, makes a few seconds of a tone as a WAV file, and lets the example
# host (examples/host.py) drive kestrune as a host application would: hello, getCapabilities,
# scan, startSession with the file, setVolume, the session's events up to its terminal event,
# shutdown. Every line is printed both ways ("> " from the host, "< " from kestrune) and, at the
# end, kestrune's standard error ("! "), the receiver's ("r ") and the receiver's own account of
# what arrived ("= "): packets, gaps, packets that failed to decrypt, retransmissions answered, the
# volume it was set to, each channel's level and frequency, and whether the decrypted audio
# equals the file's samples.
#
# Everything runs in a network namespace of its own (root needed) with only its loopback up, so
# the scan browses no real network (it finds nothing, and the host plays to the receiver's
# address as given) and the stream never leaves the machine. Installs what it needs and builds
# the two programs first, showing the build's progress. Every wait is bounded; exits non-zero
# when the exchange does not go as expected.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ "${1:-}" != "--in-namespace" ]]; then
  ./scripts/install-deps.sh
  echo "demo: building kestrune and the test receiver in build/release; a first build takes a" \
    "few minutes (ninja counts its steps below), a later one only what changed" >&2
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/release -j "$(nproc)" --target kestrune kestrune_test_receiver_app
  exec unshare --net bash -c 'ip link set lo up && exec "$0" --in-namespace' "$0"
fi

line_timeout=10  # seconds for the receiver to start and to end
tone_seconds=3
work=$(mktemp -d)
receiver_pid=""
cleanup() {
  [[ -n $receiver_pid ]] && kill "$receiver_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "demo: $*" >&2
  exit 1
}

# Waits (at most line_timeout) for a process to end.
wait_for_exit() {
  for _ in $(seq 1 $((line_timeout * 10))); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}

# A tone of our own: 440 Hz left and 997 Hz right, 44100 Hz, 16-bit, the form a file source takes.
wav="$work/tone.wav"
python3 - "$wav" "$tone_seconds" <<'PY'
import math, struct, sys, wave
path, seconds = sys.argv[1], int(sys.argv[2])
frames = bytearray()
for i in range(44100 * seconds):
    left = round(0.5 * 32767 * math.sin(2 * math.pi * 440 * i / 44100))
    right = round(0.25 * 32767 * math.sin(2 * math.pi * 997 * i / 44100))
    frames += struct.pack('<hh', left, right)
with wave.open(path, 'wb') as out:
    out.setnchannels(2)
    out.setsampwidth(2)
    out.setframerate(44100)
    out.writeframes(bytes(frames))
PY
echo "demo: wrote ${tone_seconds} s of a tone (440 Hz left, 997 Hz right) to a WAV file" >&2

# The receiver serves until its standard input ends and first prints "listening <address>"; it
# prints a session's account once the session's connection has closed.
mkfifo "$work/receiver_in"
build/release/tools/test-receiver/kestrune-test-receiver --expect "$wav" <"$work/receiver_in" \
  >"$work/receiver_out" 2>"$work/receiver_err" &
receiver_pid=$!
exec {to_receiver}>"$work/receiver_in"
receiver_address=""
for _ in $(seq 1 $((line_timeout * 10))); do
  receiver_address=$(sed -n 's/^listening //p' "$work/receiver_out")
  [[ -n $receiver_address ]] && break
  sleep 0.1
done
[[ $receiver_address == 127.0.0.1:* ]] || fail "the test receiver did not start"
echo "demo: the test receiver listens on $receiver_address" >&2

host_status=0
python3 examples/host.py --kestrune build/release/src/kestrune --receiver "$receiver_address" \
  --file "$wav" --volume 0.3 --kestrune-stderr "$work/kestrune_err" || host_status=$?
while IFS= read -r line; do printf '! %s\n' "$line"; done <"$work/kestrune_err"
((host_status == 0)) || fail "the example host failed"

exec {to_receiver}>&-
wait_for_exit "$receiver_pid" || fail "the test receiver did not exit"
receiver_status=0
wait "$receiver_pid" || receiver_status=$?
receiver_pid=""
while IFS= read -r line; do printf 'r %s\n' "$line"; done <"$work/receiver_err"
echo "demo: the test receiver's account of what arrived:" >&2
sed -n 's/^account 1 /= /p' "$work/receiver_out"
account() { sed -n "s/^account 1 $1=//p" "$work/receiver_out"; }
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
