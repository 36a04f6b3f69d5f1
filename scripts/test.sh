#!/usr/bin/env bash
# Builds quillwave in release mode, warnings as errors, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release -DQUILLWAVE_WERROR=ON
cmake --build --preset release --parallel 2
ctest --preset release --parallel 2
