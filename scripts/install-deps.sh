#!/usr/bin/env bash
# Installs every Debian package the project builds, tests and benchmarks with.
# Idempotent: asks apt only for what is missing, and refreshes the lists only then.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git
  libusb-1.0-0-dev libhidapi-dev libczmq-dev libzmq3-dev libcurl4-openssl-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcpp-httplib-dev libcli11-dev nlohmann-json3-dev
  clang libclang-rt-14-dev
  iproute2 procps psmisc python3 ca-certificates openssl
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
