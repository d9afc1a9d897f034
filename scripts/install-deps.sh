#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the benchmarks and the demo need.
# Idempotent: when everything is present it only checks and returns in seconds.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git python3
  nlohmann-json3-dev libssl-dev libplist-dev libsoxr-dev libpulse-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-19 libclang-rt-19-dev
  pulseaudio pulseaudio-utils iproute2 avahi-daemon
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
