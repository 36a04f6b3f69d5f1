#!/usr/bin/env bash
# Rebuilds examples/sample.bin from tools/make_sample_capture.cpp.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --parallel 2 --target make_sample_capture
build/release/tools/make_sample_capture examples/sample.bin
