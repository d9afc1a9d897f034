#!/usr/bin/env bash
# A private PulseAudio server for the capture tests, never the user's:
#   pulseaudio.sh start DIR   starts a server whose runtime, state, cookie and socket (DIR/native)
#                             all live in DIR, with one null sink "kestrune_null" (48000 Hz, float,
#                             stereo) as its default sink; waits until it answers. The server's own
#                             process id goes to DIR/server-pid (tests freeze it with SIGSTOP).
#   pulseaudio.sh stop DIR    stops the server started for DIR (by the process id it recorded)
#                             and removes DIR.
# A server left behind by an interrupted run is stopped by the next start; each server also ends
# on its own after an hour at the latest.
set -euo pipefail

action=${1:?start or stop}
dir=${2:?state directory}

export HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" XDG_CONFIG_HOME="$dir/home/.config"
export PULSE_RUNTIME_PATH="$dir/runtime/pulse" PULSE_STATE_PATH="$dir/state"
export PULSE_CLIENTCONFIG="$dir/client.conf" PULSE_COOKIE="$dir/cookie"
export PULSE_SERVER="unix:$dir/native"
unset DBUS_SESSION_BUS_ADDRESS DISPLAY

stop_server() {
  [[ -f "$dir/pid" ]] || return 0
  local pid
  pid=$(<"$dir/pid")
  rm -f "$dir/pid"
  kill -0 "$pid" 2>/dev/null || return 0
  # A server a test left frozen must run again to hear the TERM.
  [[ -f "$dir/server-pid" ]] && kill -CONT "$(<"$dir/server-pid")" 2>/dev/null || true
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

case "$action" in
  start)
    stop_server
    rm -rf "$dir"
    mkdir -p -m 700 "$dir" "$dir/home" "$dir/runtime" "$dir/state"
    printf 'autospawn = no\n' >"$dir/client.conf"
    # -n: no default script, so the server has only what is loaded here. Running as root only
    # earns a warning; the private runtime directory keeps it off the system's socket.
    setsid timeout --kill-after=10 3600 pulseaudio -n --daemonize=no --exit-idle-time=-1 \
      --use-pid-file=no --log-target=stderr --log-level=notice \
      --load="module-null-sink sink_name=kestrune_null rate=48000 format=float32le channels=2 sink_properties=device.description=KestruneNull" \
      --load="module-native-protocol-unix auth-anonymous=1 socket=$dir/native" \
      </dev/null >"$dir/log" 2>&1 &
    echo "$!" >"$dir/pid"
    for _ in $(seq 100); do
      if pactl info >/dev/null 2>&1; then
        pactl set-default-sink kestrune_null
        # timeout's only child is the server.
        pid=$(<"$dir/pid")
        children=$(<"/proc/$pid/task/$pid/children")
        echo "${children%% *}" >"$dir/server-pid"
        echo "pulseaudio: serving $PULSE_SERVER" >&2
        exit 0
      fi
      if ! kill -0 "$(<"$dir/pid")" 2>/dev/null; then break; fi
      sleep 0.1
    done
    echo "pulseaudio: the server did not come up; its log:" >&2
    cat "$dir/log" >&2 || true
    stop_server
    exit 1
    ;;
  stop)
    stop_server
    rm -rf "$dir"
    ;;
  *)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac
