#!/usr/bin/env bash
# Makes the private armhf sysroot: the packages of scripts/packages/armhf-sysroot.txt and their
# dependencies, downloaded from the Debian archive and unpacked into a folder, never installed.
# The C library and the compiler's runtime are left out: they come from the cross toolchain and
# the multiarch packages of scripts/packages/armhf.txt, and must stay those.
# The packages stay in DIR/.debs, and DIR/DEBIAN/symbols and DIR/DEBIAN/shlibs gather their
# symbols and shlibs files: dpkg-shlibdeps takes a folder holding DEBIAN/ for the build tree of a
# package, so it computes the armhf packages' dependencies on these libraries from them.
# Usage: armhf-sysroot.sh [DIR]   (default: $VEXODL_ARMHF_SYSROOT, else build/sysroot-armhf)
# Needs the armhf architecture added (install-deps.sh armhf does) and network to the archive.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-${VEXODL_ARMHF_SYSROOT:-$source_dir/build/sysroot-armhf}}
list=$source_dir/scripts/packages/armhf-sysroot.txt
mapfile -t wanted < <(sed 's/#.*//' "$list" | tr -s ' \t' '\n' | sed '/^$/d; s/$/:armhf/')
toolchain_owned='^(libc6|libc6-dev|libc-dev-bin|linux-libc-dev|libcrypt-dev|libnsl-dev|libtirpc-dev|rpcsvc-proto|libgcc-s1|libstdc\+\+6|gcc-12-base):armhf$'

closure() {
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "${wanted[@]}" 2>/dev/null |
    grep -E '^[a-z0-9][^ ]*:armhf$' | grep -vE "$toolchain_owned" | sort -u || true
}

packages=$(closure)
if [[ -z "$packages" ]]; then
  # No armhf package lists yet (a new machine): fetch them once.
  apt-get update || true
  packages=$(closure)
fi
[[ -n "$packages" ]] || { echo "armhf-sysroot: apt knows no armhf packages" >&2; exit 1; }

if [[ -f "$dir/.packages" && "$(cat "$dir/.packages")" == "$packages" && -f "$dir/DEBIAN/shlibs" ]]
then
  echo "armhf-sysroot: $dir is up to date ($(wc -l <<< "$packages") packages)"
  exit 0
fi

rm -rf "$dir"
mkdir -p "$dir/.debs"
# apt's download sandbox user cannot write into a root-owned build folder.
# shellcheck disable=SC2086 # one word per package name
(cd "$dir/.debs" && apt-get download -q -o APT::Sandbox::User=root $packages)
mkdir -p "$dir/DEBIAN"
: > "$dir/DEBIAN/symbols"
: > "$dir/DEBIAN/shlibs"
control=$dir/.debs/control
for deb in "$dir"/.debs/*.deb; do
  dpkg-deb -x "$deb" "$dir"
  rm -rf "$control" && dpkg-deb -e "$deb" "$control"
  for file in symbols shlibs; do
    if [[ -f $control/$file ]]; then cat "$control/$file" >> "$dir/DEBIAN/$file"; fi
  done
done
rm -rf "$control"

# Absolute links point into the build machine's own /usr: make them point inside the sysroot.
while IFS= read -r link; do
  target=$(readlink "$link")
  ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$dir$target")" "$link"
done < <(find "$dir" -type l -lname '/*')

echo "$packages" > "$dir/.packages"
echo "armhf-sysroot: unpacked $(wc -l <<< "$packages") packages into $dir"
