#!/usr/bin/env bash
# The first quick-start command: installs what is missing and builds the optimised configuration.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --workflow --preset release
echo
echo "Built: build/release/filehosting/libvexodlfilehosting.so.1"
echo "Next:  cmake --workflow --preset test    (builds and runs every test)"
