#!/usr/bin/env bash
# Keeps every core busy, to run something the way a shared, loaded machine would:
#   busy-cores.sh SECONDS [COUNT]   runs COUNT (default: the number of cores) busy loops at normal
#                                   priority for at most SECONDS, then ends; ending the script
#                                   (TERM, INT) ends its loops too.
set -euo pipefail

seconds=${1:?seconds}
count=${2:-$(nproc)}

pids=()
stop() {
  ((${#pids[@]} == 0)) || kill "${pids[@]}" 2>/dev/null || true
}
trap stop EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

for _ in $(seq 1 "$count"); do
  timeout "$seconds" sh -c 'while :; do :; done' &
  pids+=("$!")
done
wait
