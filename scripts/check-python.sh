#!/usr/bin/env bash
# Checks the Python package as a user gets it: installs the release build
# into a temporary prefix (the package under PREFIX/lib/python3/dist-packages,
# Debian's place) and runs every Python test against the installed package
# and programs with Debian's /usr/bin/python3. The extension finds the
# installed library by itself (no LD_LIBRARY_PATH).
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
python=/usr/bin/python3
[[ -x $python ]] || { echo "check-python: needs Debian's $python"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --preset release >/dev/null
cmake --build --preset release --parallel 2 --target _quillwave quillwave_shared quillwave quillwave-export \
    make_bench_capture manual >/dev/null
prefix=$work/prefix
cmake --install build/release --prefix "$prefix" >/dev/null
site=$prefix/lib/python3/dist-packages
[[ -f $site/quillwave/__init__.py ]] || { echo "check-python: no package under $site"; exit 1; }

# The package alone finds the installed library (its RUNPATH), nothing else.
unset LD_LIBRARY_PATH
export PYTHONPATH=$site PYTHONDONTWRITEBYTECODE=1
imported=$(cd "$work" && $python -c 'import quillwave, sys
print(quillwave.__file__, len(quillwave.open(sys.argv[1])[5].read()["byte2"]))' "$source/examples/sample.bin")
[[ $imported == "$site/quillwave/__init__.py 400" ]] ||
    { echo "check-python: '$imported', not the installed package reading the sample"; exit 1; }
# The installed programs, which the tests compare with, need to be told where
# the library is (the system's folder would hold it).
libdir=$(dirname "$(find "$prefix" -name libquillwave.so.0 -print -quit)")
export LD_LIBRARY_PATH=$libdir
export QUILLWAVE_EXPORT=$prefix/bin/quillwave-export QUILLWAVE_MAKE_CAPTURE=$source/build/release/bench/make_bench_capture
export QUILLWAVE_SOURCE_DIR=$source
(cd "$work" && $python -m pytest -p no:cacheprovider -q -rs "$source/python/tests")
echo "python ok: the installed package passes every Python test"
