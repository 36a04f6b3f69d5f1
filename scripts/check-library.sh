#!/usr/bin/env bash
# Checks libquillwave as an outside program uses it: installs the release
# build into a temporary prefix, builds examples/capture_dump.c against the
# installed header and library twice (through pkg-config, and as a CMake
# project with find_package), and runs both on generated, crafted and damaged
# captures, comparing their output byte for byte with what quillwave-export's
# NPY files hold (tests/npy_dump.py). Also checks that the shared library
# exports its public interface and nothing else, and that the README's C
# example builds and runs.
set -euo pipefail
cd "$(dirname "$0")/.."
python=/usr/bin/python3
[[ -x $python ]] || { echo "check-library: needs Debian's $python (with python3-numpy)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --preset release >/dev/null
cmake --build --preset release --parallel 2 --target quillwave_shared quillwave_static quillwave-export \
    make_bench_capture manual >/dev/null
prefix=$work/prefix
cmake --install build/release --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libquillwave.so -print -quit)")
export LD_LIBRARY_PATH=$libdir

# The installed library exports every function the header declares, and no other symbol.
tests/check_exported_symbols.sh nm "$libdir/libquillwave.so" "$prefix/include/quillwave/quillwave.h"

# The example, built both ways an outside user would.
PKG_CONFIG_PATH=$libdir/pkgconfig cc -std=c99 -Wall -Wextra -Werror examples/capture_dump.c \
    $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs quillwave) -o "$work/dump-pkgconfig"
cmake -S examples -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/example" >/dev/null
# Statically linked too: the archive holds everything but the system's libraries.
cc -std=c99 examples/capture_dump.c -I"$prefix/include" "$libdir/libquillwave.a" \
    $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --libs-only-other --static quillwave) -lstdc++ -lm \
    -o "$work/dump-static"

# The README's example, as a reader would paste it.
sed -n '/^## Using the library/,/^## /p' README.md | sed -n '/^```c$/,/^```$/p' | sed '1d;$d' \
    > "$work/readme.c"
[[ -s "$work/readme.c" ]] || { echo "check-library: no C example in the README"; exit 1; }
cc -std=c99 -Wall -Wextra -Werror "$work/readme.c" \
    $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs quillwave) -o "$work/readme"
"$work/readme" examples/sample.bin | grep -q "^waveform 5: PB_LOGIC, 400 rows, byte1 first" ||
    { echo "check-library: the README's example does not list the sample"; exit 1; }

captures=$work/captures
mkdir -p "$captures"
cp examples/sample.bin "$captures/sample.bin"
for type in normal average peak histogram logic; do
    build/release/bench/make_bench_capture "$type" 3000 "$captures/$type.bin" >/dev/null
done
# Crafted and damaged shapes (the fuzzer's seeds, without their selector byte),
# and the sample cut short at a few places.
for seed in tests/fuzz/corpus/*; do tail -c +2 "$seed" > "$captures/seed-$(basename "$seed").bin"; done
for cut in 12 100 1000 3000; do head -c "$cut" examples/sample.bin > "$captures/cut-$cut.bin"; done

checked=0
for capture in "$captures"/*.bin; do
    stem=$(basename "$capture" .bin)
    out=$work/out-$stem
    status=0
    build/release/quillwave-export -q -f npy -o "$out" "$capture" 2>/dev/null || status=$?
    if [[ ! -f "$out/$stem.json" ]]; then
        # Not a capture at all: every build of the example refuses it too.
        for dump in "$work/dump-pkgconfig" "$work/example/capture_dump" "$work/dump-static"; do
            if "$dump" "$capture" >/dev/null 2>&1; then
                echo "check-library: $dump accepted $stem, which the export refuses"; exit 1
            fi
        done
        continue
    fi
    $python tests/npy_dump.py "$out" "$stem" > "$work/expected"
    for dump in "$work/dump-pkgconfig" "$work/example/capture_dump" "$work/dump-static"; do
        "$dump" "$capture" > "$work/got" || { echo "check-library: $dump failed on $stem"; exit 1; }
        if ! cmp -s "$work/expected" "$work/got"; then
            echo "check-library: $dump on $stem differs from the NPY export (exit $status):"
            diff "$work/expected" "$work/got" | head -20
            exit 1
        fi
    done
    checked=$((checked + 1))
done
echo "library ok: $checked captures dumped equal to their NPY export, three builds of the example," \
    "the README's example"
