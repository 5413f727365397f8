#!/usr/bin/env bash
# Builds the Debian packages of a build tree with CPack and checks what dpkg-deb says of them:
# names, architecture, dependencies, and where every file lands.
# Usage: check_packages.sh BUILD_DIR DEB_ARCH MULTIARCH WORKDIR
set -euo pipefail
build=$1 arch=$2 multiarch=$3 work=$4
rm -rf "$work" && mkdir -p "$work"
cpack --config "$build/CPackConfig.cmake" -B "$work" > "$work/cpack.log"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# deb NAME: the package file, which must exist exactly once.
deb() {
  local files=("$work"/"$1"_*_"$arch".deb)
  [[ -f "${files[0]}" && ${#files[@]} -eq 1 ]] || { fail "no single package $1 for $arch"; return 1; }
  echo "${files[0]}"
}
field() { dpkg-deb --field "$2" "$1"; }
# The listing is read whole first: grep -q stops at its first match, and under pipefail the
# writer it leaves behind would fail the check.
paths() { dpkg-deb --contents "$1" | awk '{print $6, $7, $8}' | sed 's/ *$//'; }
has_file() { grep -qxF -- "$2" <<< "$(paths "$1")" || fail "$(basename "$1") lacks $2"; }
lacks_file() { ! grep -q -- "$2" <<< "$(paths "$1" | awk '{print $1}')" || fail "$(basename "$1") holds $2"; }

lib=./usr/lib/$multiarch
if runtime=$(deb libvexodlfilehosting1); then
  dpkg-deb --info "$runtime" > "$work/runtime.info"
  [[ $(field Architecture "$runtime") == "$arch" ]] || fail "runtime architecture"
  depends=$(field Depends "$runtime")
  for needed in libc6 libstdc++6 libjsoncpp25 libvexodlvexohost1 libvexodlpyload1; do
    grep -q "\b$needed\b" <<< "$depends" || fail "runtime does not depend on $needed: $depends"
  done
  has_file "$runtime" "$lib/libvexodlfilehosting.so.1.0.0"
  has_file "$runtime" "$lib/libvexodlfilehosting.so.1 -> libvexodlfilehosting.so.1.0.0"
  lacks_file "$runtime" '\.h$'
  lacks_file "$runtime" "$lib/libvexodlfilehosting.so$"
fi

if dev=$(deb libvexodlfilehosting-dev); then
  grep -q "libvexodlfilehosting1 (= " <<< "$(field Depends "$dev")" || fail "dev depends: $(field Depends "$dev")"
  for header in handler.h filehosting_export.h host/base.h host/vexo.h host/pyload.h \
                error/vexo_error.h outside/vexohost.h outside/pyload.h; do
    has_file "$dev" "./usr/include/vexodl/filehosting/$header"
  done
  has_file "$dev" "$lib/cmake/VexodlFilehosting/VexodlFilehostingConfig.cmake"
  has_file "$dev" "$lib/cmake/VexodlFilehosting/VexodlFilehostingConfigVersion.cmake"
  has_file "$dev" "$lib/pkgconfig/vexodl-filehosting.pc"
  has_file "$dev" "$lib/libvexodlfilehosting.so -> libvexodlfilehosting.so.1"
fi

# Our own builds of the back-end libraries, one package each, holding the library alone.
for backend in vexohost pyload; do
  if package=$(deb "libvexodl${backend}1"); then
    has_file "$package" "$lib/libvexodl${backend}.so.1.0.0"
    has_file "$package" "$lib/libvexodl${backend}.so.1 -> libvexodl${backend}.so.1.0.0"
    [[ $(paths "$package" | grep -c -v '/$') -eq 2 ]] || fail "$(basename "$package") holds more than its library"
    grep -q "\blibjsoncpp25\b" <<< "$(field Depends "$package")" || fail "$backend depends: $(field Depends "$package")"
  fi
done
if package=$(deb libvexodlvexohost1); then
  grep -q "\blibsqlite3-0\b" <<< "$(field Depends "$package")" || fail "vexohost does not depend on SQLite"
  for library in libarchive13 libcurl4 libsodium23; do
    grep -q "\b$library\b" <<< "$(field Depends "$package")" || fail "vexohost does not depend on $library"
  done
fi

# The command-line tool: the program alone, on the library of the same version.
if cli=$(deb vexodl-filehosting); then
  [[ $(field Architecture "$cli") == "$arch" ]] || fail "cli architecture"
  depends=$(field Depends "$cli")
  grep -q "\blibvexodlfilehosting1 (= 1\.0\.0)" <<< "$depends" || fail "cli depends: $depends"
  grep -q "\blibjsoncpp25\b" <<< "$depends" || fail "cli does not depend on JsonCpp: $depends"
  has_file "$cli" "./usr/bin/vexodl-filehosting"
  [[ $(paths "$cli" | grep -c -v '/$') -eq 1 ]] || fail "$(basename "$cli") holds more than the program"
  [[ $(dpkg-deb --contents "$cli" | awk '$6 == "./usr/bin/vexodl-filehosting" {print $1}') == -rwxr-xr-x ]] ||
    fail "vexodl-filehosting is not mode 0755"
fi

ls -1 "$work"/*.deb
((failures == 0)) || exit 1
echo "packages for $arch checked"
