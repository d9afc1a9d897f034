#!/usr/bin/env bash
# The capture-to-send delay of a live session over SECONDS (default 20), on a private sound server
# whose default sink is a 32-bit integer null sink at 44100 and then at 48000 Hz (with silence
# playing to it): first on the machine as it is (the baseline), then with every core running a
# busy loop (scripts/busy-cores.sh). Prints each second's figures and, at the end, the summaries
# side by side. Run from a built tree:
#   bench/capture_delay.sh [BUILD_DIR (default build/release)] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/release}
seconds=${2:-20}
bench="$build/bench/capture_delay_bench"
[[ -x $bench ]] || { echo "capture_delay.sh: build $bench first" >&2; exit 2; }

dir=$(mktemp -d /tmp/kestrune-delay-XXXXXX)
busy_pid=""
player_pid=""
stop_pid() {
  [[ -z $1 ]] || kill "$1" 2>/dev/null || true
  [[ -z $1 ]] || wait "$1" 2>/dev/null || true
}
cleanup() {
  stop_pid "$busy_pid"
  stop_pid "$player_pid"
  tests/services/pulseaudio.sh stop "$dir/pulse" || true
  rm -rf "$dir"
}
trap cleanup EXIT

tests/services/pulseaudio.sh start "$dir/pulse"
export PULSE_SERVER="unix:$dir/pulse/native" PULSE_COOKIE="$dir/pulse/cookie"
export PULSE_CLIENTCONFIG="$dir/pulse/client.conf"

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
summaries=()
for rate in 44100 48000; do
  pactl load-module module-null-sink sink_name="bench_$rate" rate="$rate" format=s32le \
    channels=2 sink_properties=device.description=Bench >/dev/null
  pactl set-default-sink "bench_$rate"
  # Something plays, with a short latency, as on a machine in use: an idle null sink renders its
  # monitor in blocks of seconds and would starve the session's start.
  pacat --latency-msec=20 /dev/zero 2>/dev/null &
  player_pid=$!
  sleep 3
  for load in base busy; do
    if [[ $load == busy ]]; then
      ./scripts/busy-cores.sh $((seconds + 60)) &
      busy_pid=$!
    fi
    "$bench" "$seconds" "$load" 2>/dev/null | tee "$dir/out"
    summaries+=("$(grep summary "$dir/out")")
    stop_pid "$busy_pid"
    busy_pid=""
  done
  stop_pid "$player_pid"
  player_pid=""
done
echo
echo "capture-to-send delay over ${seconds} s on $(nproc) cores (load average at the start:" \
  "$load_before; base: the machine as it was, busy: and a busy loop on every core):"
printf '%s\n' "${summaries[@]}"
