#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, only those that are missing.
# Debian 12, as root. Runs `apt-get update` once, and only when something must be installed.
set -euo pipefail

packages=(
  g++ cmake ninja-build         # toolchain
  libjsoncpp-dev                # the library's one dependency
  libgtest-dev libgmock-dev     # tests
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: every package is installed"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
