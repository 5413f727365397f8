#!/usr/bin/env bash
# Builds tests/install/consumer against an installed tree, the way an outside program would, and
# runs it. Only the installed tree is used to build; the back-end libraries that the library
# needs come from BACKEND_DIRS (our own, installed beside it), given to the linker with
# -rpath-link and to the loader.
# Usage: consumer_test.sh find_package|pkg-config PREFIX LIBDIR BACKEND_DIRS WORKDIR CXX [TOOLCHAIN [EMULATOR]]
set -euo pipefail
mode=$1 prefix=$2 libdir=$3 backend_dirs=$4 work=$5 cxx=$6 toolchain=${7:-} emulator=${8:-}
source_dir=$(cd "$(dirname "$0")/consumer" && pwd)
rm -rf "$work" && mkdir -p "$work"

rpath_link=()
IFS=: read -r -a dirs <<< "$backend_dirs"
for dir in "${dirs[@]}"; do rpath_link+=("-Wl,-rpath-link,$dir"); done

case "$mode" in
  find_package)
    args=(-S "$source_dir" -B "$work" -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
          -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_EXE_LINKER_FLAGS="${rpath_link[*]}")
    [[ -n "$toolchain" ]] && args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
    cmake "${args[@]}" > "$work/configure.log"
    cmake --build "$work" > "$work/build.log"
    ;;
  pkg-config)
    export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
    flags=$(pkg-config --cflags --libs vexodl-filehosting)
    echo "pkg-config: $flags"
    # shellcheck disable=SC2086
    "$cxx" -std=c++17 -Wall -Wextra -Wpedantic -Werror "$source_dir/main.cpp" -o "$work/consumer" \
      $flags "${rpath_link[@]}"
    ;;
  *) echo "unknown mode $mode" >&2; exit 2 ;;
esac

expected='type error 1612 ""'
actual=$(LD_LIBRARY_PATH="$prefix/$libdir:$backend_dirs" $emulator "$work/consumer")
if [[ "$actual" != "$expected" ]]; then
  printf 'consumer printed:\n%s\nexpected:\n%s\n' "$actual" "$expected" >&2
  exit 1
fi
echo "consumer ($mode) built against $prefix and ran"
