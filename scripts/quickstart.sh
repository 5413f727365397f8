#!/usr/bin/env bash
# The first quick-start command: installs what is missing, builds the optimised configuration and
# runs the demo (scripts/demo.sh), which lists every host of both kinds in a temporary state.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --workflow --preset release
echo
bash scripts/demo.sh build/release
echo
echo "Built: build/release/cli/vexodl-filehosting, build/release/filehosting/libvexodlfilehosting.so.1"
echo "Next:  cmake --workflow --preset test    (builds and runs every test)"
