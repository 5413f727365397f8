#!/bin/sh
# Mends what CPack 3.25 gets wrong in Debian packages, as dh_strip and dh_makeshlibs would make
# them, so that lintian and debsums accept them:
# - a -dbgsym package lists its files in md5sums by absolute build paths and gives them mode 0755;
#   Debian's carry package-relative md5sums, mode 0644, and /usr/share/doc/PKG-dbgsym -> PKG;
# - a library package gets a postinst and postrm that call ldconfig; its ldconfig trigger does
#   that already (unless it brings maintainer scripts of its own, which CPack then leaves alone).
# Usage: finish-debs.sh PACKAGE...   (.deb and .ddeb; others are left as they are)
set -eu
# shellcheck disable=SC2016
cpack_ldconfig='^(#!/bin/sh|set -e|if \[ "\$1" = "(configure|remove)" \]; then|[[:space:]]+ldconfig|fi|)$'
for deb in "$@"; do
  case $deb in *.deb | *.ddeb) ;; *) continue ;; esac
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' EXIT
  dpkg-deb -R "$deb" "$dir/root"
  control=$dir/root/DEBIAN
  package=$(dpkg-deb --field "$deb" Package)
  case $package in
    *-dbgsym)
      find "$dir/root/usr/lib/debug" -type f -exec chmod 0644 {} +
      mkdir -p "$dir/root/usr/share/doc"
      ln -s "${package%-dbgsym}" "$dir/root/usr/share/doc/$package"
      (cd "$dir/root" && find usr -type f -exec md5sum {} + | LC_ALL=C sort -k2) \
        > "$control/md5sums"
      ;;
    *)
      for script in postinst postrm; do
        if [ -f "$control/$script" ] && [ -f "$control/triggers" ] &&
          ! grep -qvE "$cpack_ldconfig" "$control/$script"; then
          rm "$control/$script"
        fi
      done
      ;;
  esac
  dpkg-deb --root-owner-group -Zxz --build "$dir/root" "$deb" > /dev/null
  rm -rf "$dir"
done
