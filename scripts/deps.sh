#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, when they are missing.
# As root it runs apt-get; otherwise it prints the apt-get line to run and fails.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config openssl libssl-dev libexpat1-dev libsqlite3-dev
  libinih-dev libcli11-dev libboost-dev libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-dev)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Run as root:" >&2
  echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
