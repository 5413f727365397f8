#!/bin/sh
# check_needed.sh LIBRARY SONAME_PREFIX...: fails when LIBRARY lists a shared library whose name
# starts with one of the prefixes as NEEDED. The native service loads libcurl and libarchive only
# when an install or update needs them; a program that merely lists hosts must not map them.
set -eu
library=$1
shift
needed=$(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
status=0
for prefix in "$@"; do
  for name in $needed; do
    case $name in
      "$prefix"*) echo "$library needs $name" >&2; status=1 ;;
    esac
  done
done
[ -n "$needed" ] || { echo "$library: no NEEDED entries read" >&2; exit 1; }
exit $status
