#!/usr/bin/env bash
# A private avahi-daemon, a standard mDNS responder, for the discovery tests: it runs in the
# receiver namespace of tests/services/netns.sh ($KESTRUNE_NETNS_RECEIVER) and publishes only
# what the test put in DIR, never touching the system's own configuration, state or bus:
#   avahi.sh start DIR    DIR/services/*.service are its static services and DIR/hosts its
#                         static host names; writes DIR/avahi-daemon.conf (no D-Bus, IPv4 only),
#                         starts the daemon in a private mount namespace where DIR is
#                         /etc/avahi and DIR/run is /run, and waits (bounded) until every service
#                         and host name is established. The daemon logs to DIR/log.
#   avahi.sh reload DIR   makes it read its services and host names again (SIGHUP).
#   avahi.sh stop DIR     stops it (by the process id it recorded); DIR stays for the test.
# Each daemon also ends on its own after 15 minutes at the latest. Needs root.
set -euo pipefail

action=${1:?start, reload or stop}
dir=${2:?directory}

daemon_pid() {
  [[ -f "$dir/pid" ]] && cat "$dir/pid"
}

stop_daemon() {
  local pid
  pid=$(daemon_pid) || return 0
  rm -f "$dir/pid"
  kill -0 "$pid" 2>/dev/null || return 0
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

# Lines "Service ... successfully established" and "Static host name ... successfully
# established" in the log.
established() {
  grep -c 'successfully established' "$dir/log" 2>/dev/null || true
}

case "$action" in
  start)
    namespace=${KESTRUNE_NETNS_RECEIVER:?run under tests/services/netns.sh}
    stop_daemon
    mkdir -p "$dir/services" "$dir/run"
    touch "$dir/hosts"
    # The link to the discovery namespace, and nothing else (not loopback).
    link=$(ip -n "$namespace" -o link show | awk -F': ' '$2 != "lo" { sub(/@.*/, "", $2); print $2 }')
    cat >"$dir/avahi-daemon.conf" <<EOF
[server]
host-name=kestrune-rx
allow-interfaces=$link
use-ipv4=yes
use-ipv6=no
enable-dbus=no
[publish]
publish-hinfo=no
publish-workstation=no
publish-aaaa-on-ipv4=no
EOF
    expected=$(($(find "$dir/services" -name '*.service' | wc -l) + $(grep -c . "$dir/hosts" || true)))
    : >"$dir/log"
    # The shell records its own id, which the daemon keeps once it replaces the shell.
    setsid timeout --kill-after=5 900 ip netns exec "$namespace" \
      unshare --mount --propagation private sh -c '
        echo $$ >"$1/pid" &&
        mount --bind "$1" /etc/avahi && mount --bind "$1/run" /run &&
        exec avahi-daemon --no-drop-root --no-chroot --no-rlimits --no-proc-title' sh "$dir" \
      </dev/null >>"$dir/log" 2>&1 &
    for _ in $(seq 300); do
      if grep -q 'Server startup complete' "$dir/log" && (($(established) >= expected)); then
        exit 0
      fi
      if [[ -f "$dir/pid" ]] && ! kill -0 "$(daemon_pid)" 2>/dev/null; then break; fi
      sleep 0.1
    done
    echo "avahi: the daemon did not come up; its log:" >&2
    cat "$dir/log" >&2 || true
    stop_daemon
    exit 1
    ;;
  reload)
    pid=$(daemon_pid) || {
      echo "avahi: no daemon for $dir" >&2
      exit 1
    }
    kill -HUP "$pid"
    ;;
  stop)
    stop_daemon
    ;;
  *)
    echo "usage: $0 start|reload|stop DIR" >&2
    exit 2
    ;;
esac
