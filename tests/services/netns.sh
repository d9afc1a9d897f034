#!/usr/bin/env bash
# Runs a command inside a private network: two network namespaces of their own, joined by a veth
# link with multicast on, one for a receiver and one for discovery. The command runs in the
# discovery namespace and finds the other one through the environment:
#   KESTRUNE_NETNS_RECEIVER          name of the receiver's namespace (for setns)
#   KESTRUNE_NETNS_RECEIVER_ADDRESS  the receiver's IPv4 address on the link
#   KESTRUNE_NETNS_LOCAL_ADDRESS     discovery's IPv4 address on the link
# Names are unique per run, so parallel runs do not meet; both namespaces (and with them the link)
# are removed however the command ends. Listing the tests of a GoogleTest binary needs no network
# and runs directly. Needs root (CAP_NET_ADMIN and CAP_SYS_ADMIN) and iproute2.
set -euo pipefail

if [[ $# -eq 0 ]]; then
  echo "usage: $0 command [args...]" >&2
  exit 2
fi
for arg in "$@"; do
  [[ $arg == --gtest_list_tests ]] && exec "$@"
done

receiver_address=198.18.0.1
local_address=198.18.0.2
prefix=24

receiver_ns="" discovery_ns=""
cleanup() {
  [[ -n $receiver_ns ]] && ip netns delete "$receiver_ns" 2>/dev/null || true
  [[ -n $discovery_ns ]] && ip netns delete "$discovery_ns" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
trap 'exit 129' HUP

# A name left behind by an earlier run that was killed outright makes `ip netns add` fail; another
# random suffix is tried then, a bounded number of times.
for attempt in 1 2 3 4 5; do
  suffix=$(od -An -N4 -tx1 /dev/urandom | tr -d ' \n')
  if ip netns add "kestrune-rx-$suffix" 2>/dev/null; then
    receiver_ns="kestrune-rx-$suffix"
    if ip netns add "kestrune-dx-$suffix" 2>/dev/null; then
      discovery_ns="kestrune-dx-$suffix"
      break
    fi
    ip netns delete "$receiver_ns"
    receiver_ns=""
  fi
done
if [[ -z $discovery_ns ]]; then
  echo "netns.sh: could not create the network namespaces (root needed)" >&2
  exit 1
fi

receiver_link="krx$suffix"  # interface names have at most 15 bytes
local_link="kdx$suffix"
ip link add "$receiver_link" netns "$receiver_ns" type veth peer name "$local_link" \
  netns "$discovery_ns"
ip -n "$receiver_ns" address add "$receiver_address/$prefix" broadcast + dev "$receiver_link"
ip -n "$discovery_ns" address add "$local_address/$prefix" broadcast + dev "$local_link"
for pair in "$receiver_ns $receiver_link" "$discovery_ns $local_link"; do
  read -r ns link <<<"$pair"
  ip -n "$ns" link set dev lo up
  ip -n "$ns" link set dev "$link" multicast on up
  ip -n "$ns" route add 224.0.0.0/4 dev "$link"
done

# A veth link may take a moment before it carries traffic; wait (bounded) until both ends are up.
for _ in $(seq 1 100); do
  if ip -n "$receiver_ns" link show "$receiver_link" | grep -q 'state UP' &&
    ip -n "$discovery_ns" link show "$local_link" | grep -q 'state UP'; then
    break
  fi
  sleep 0.05
done

export KESTRUNE_NETNS_RECEIVER="$receiver_ns"
export KESTRUNE_NETNS_RECEIVER_ADDRESS="$receiver_address"
export KESTRUNE_NETNS_LOCAL_ADDRESS="$local_address"
status=0
ip netns exec "$discovery_ns" "$@" || status=$?
exit "$status"
