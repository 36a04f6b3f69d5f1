#!/usr/bin/env bash
# Builds quillwave and runs it on the sample capture: the listing, then a
# conversion of its six waveforms into out/, showing the first lines of each.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --parallel 2 --target quillwave
echo "\$ quillwave examples/sample.bin"
build/release/quillwave examples/sample.bin
mkdir -p out
outputs=(out/normal.csv out/peak.csv out/average.csv out/horizontal.csv out/vertical.csv out/logic.csv)
echo
echo "\$ quillwave examples/sample.bin ${outputs[*]}"
build/release/quillwave examples/sample.bin "${outputs[@]}"
for output in "${outputs[@]}"; do
    echo
    echo "\$ head -3 $output"
    head -3 "$output"
done
