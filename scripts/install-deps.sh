#!/usr/bin/env bash
# Installs the Debian packages that a configuration needs, only those that are missing.
# Usage: install-deps.sh [GROUP...]   (default: host). Each GROUP is scripts/packages/GROUP.txt.
# Debian 12, as root. Runs `apt-get update` once, and only when something must be installed.
set -euo pipefail
cd "$(dirname "$0")"

groups=("$@")
((${#groups[@]})) || groups=(host)

wanted=()
for group in "${groups[@]}"; do
  list="packages/$group.txt"
  [[ -f "$list" ]] || { echo "install-deps: no package list $list" >&2; exit 2; }
  # A list may start by adding a foreign architecture: "#arch armhf".
  while read -r arch; do
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      dpkg --add-architecture "$arch"
    fi
  done < <(sed -n 's/^#arch[[:space:]]\+//p' "$list")
  mapfile -t -O "${#wanted[@]}" wanted < <(sed 's/#.*//' "$list" | tr -s ' \t' '\n' | sed '/^$/d')
done

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: every package of ${groups[*]} is installed"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync serves index files that fail their checksums for a while:
# try again before giving up, and then let apt use what it has.
for attempt in 1 2 3; do
  apt-get update && break
  echo "install-deps: apt-get update failed (attempt $attempt), retrying" >&2
  sleep $((attempt * 5))
done
apt-get install -y --no-install-recommends "${missing[@]}"
