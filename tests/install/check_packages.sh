#!/usr/bin/env bash
# Builds the Debian packages of a build tree with CPack and checks what dpkg-deb says of them:
# one package per name for the architecture, its dependencies, and exactly the files it holds;
# then what lintian says of them, which must be neither an error nor a warning.
# Usage: check_packages.sh BUILD_DIR DEB_ARCH MULTIARCH WORKDIR
set -euo pipefail
build=$1 arch=$2 multiarch=$3 work=$4
rm -rf "$work" && mkdir -p "$work"
cpack --config "$build/CPackConfig.cmake" -B "$work" > "$work/cpack.log"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# check NAME DEPENDENCY... -- ENTRY...: the package NAME exists once, its Depends names every
# DEPENDENCY (an extended regular expression), and its files and links, by path, are exactly the
# ENTRY patterns, "MODE PATH" or "MODE PATH -> TARGET", and what every package holds: its
# changelog, copyright and lintian override.
check() {
  local name=$1 debs=("$work/$1"_*_"$arch".*deb) depends
  shift
  [[ -f ${debs[0]} && ${#debs[@]} -eq 1 ]] || { fail "no single package $name for $arch"; return 0; }
  depends=$(dpkg-deb --field "${debs[0]}" Depends)
  while [[ $1 != -- ]]; do
    grep -qE "(^|, )$1( |,|$)" <<< "$depends" || fail "$name does not depend on $1: $depends"
    shift
  done
  shift
  local expected=("$@" "-rw-r--r-- ./usr/share/"{doc/"$name"/changelog.Debian.gz,doc/"$name"/copyright}
    "-rw-r--r-- ./usr/share/lintian/overrides/$name") actual
  mapfile -t expected < <(printf '%s\n' "${expected[@]}" | LC_ALL=C sort -k2)
  mapfile -t actual < <(dpkg-deb --contents "${debs[0]}" |
    awk '$1 !~ /^d/ {print $1, $6, $7, $8}' | sed 's/ *$//' | LC_ALL=C sort -k2)
  [[ ${#actual[@]} -eq ${#expected[@]} ]] || { fail "$name holds: ${actual[*]}"; return 0; }
  for i in "${!actual[@]}"; do
    # shellcheck disable=SC2053
    [[ ${actual[i]} == ${expected[i]:-} ]] || fail "$name holds ${actual[i]}, not ${expected[i]:-}"
  done
}

lib=./usr/lib/$multiarch file=-rw-r--r-- link=lrwxrwxrwx version='1\.0\.0-1'
check libvexodlfilehosting1 libc6 'libstdc\+\+6' libjsoncpp25 libvexodlvexohost1 libvexodlpyload1 -- \
  "$link $lib/libvexodlfilehosting.so.1 -> libvexodlfilehosting.so.1.0.0" \
  "$file $lib/libvexodlfilehosting.so.1.0.0"
check libvexodlfilehosting-dev "libvexodlfilehosting1 \\(= $version\\)" -- \
  "$file ./usr/include/vexodl/filehosting/"{error/vexo_error,filehosting_export,handler}.h \
  "$file ./usr/include/vexodl/filehosting/"{host/base,host/pyload,host/vexo}.h \
  "$file ./usr/include/vexodl/filehosting/"{outside/pyload,outside/vexohost}.h \
  "$file $lib/cmake/VexodlFilehosting/VexodlFilehosting"{Config,ConfigVersion,'Targets-*',Targets}.cmake \
  "$link $lib/libvexodlfilehosting.so -> libvexodlfilehosting.so.1" \
  "$file $lib/pkgconfig/vexodl-filehosting.pc"
# Our own builds of the back-end libraries, one package each, holding the library alone; the
# native service's also the administrator's file of update keys (a conffile: deb_root_test.sh).
check libvexodlvexohost1 libjsoncpp25 libsqlite3-0 libarchive13 libcurl4 libsodium23 passwd -- \
  "$link $lib/libvexodlvexohost.so.1 -> libvexodlvexohost.so.1.0.0" \
  "$file $lib/libvexodlvexohost.so.1.0.0" "$file ./etc/vexodl/update-keys"
check libvexodlpyload1 libjsoncpp25 -- \
  "$link $lib/libvexodlpyload.so.1 -> libvexodlpyload.so.1.0.0" "$file $lib/libvexodlpyload.so.1.0.0"
# The command-line tool, its manual page and its bash completion, on the library of the same version.
check vexodl-filehosting "libvexodlfilehosting1 \\(= $version\\)" libjsoncpp25 -- \
  "-rwxr-xr-x ./usr/bin/vexodl-filehosting" \
  "$file ./usr/share/bash-completion/completions/vexodl-filehosting" \
  "$file ./usr/share/man/man1/vexodl-filehosting.1.gz"

ls -1 "$work"/*.deb "$work"/*.ddeb
lintian --fail-on error,warning "$work"/*.deb "$work"/*.ddeb || fail "lintian (above)"
((failures == 0)) || exit 1
echo "packages for $arch checked"
