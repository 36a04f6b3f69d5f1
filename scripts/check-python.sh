#!/usr/bin/env bash
# Checks the Python package as a user gets it: installs the release build
# into a temporary prefix (the package under PREFIX/lib/python3/dist-packages,
# Debian's place) and runs every Python test against the installed package
# and programs with Debian's /usr/bin/python3, with no LD_LIBRARY_PATH: the
# extension finds the installed library by itself.
set -euo pipefail
cd "$(dirname "$0")/.."
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

unset LD_LIBRARY_PATH
export PYTHONPATH=$site PYTHONDONTWRITEBYTECODE=1
imported=$(cd "$work" && $python -c 'import quillwave; print(quillwave.__file__)')
[[ $imported == "$site/quillwave/__init__.py" ]] ||
    { echo "check-python: imported $imported, not the installed package"; exit 1; }
export QUILLWAVE_EXPORT=$prefix/bin/quillwave-export QUILLWAVE_MAKE_CAPTURE=$PWD/build/release/bench/make_bench_capture
export QUILLWAVE_SOURCE_DIR=$PWD
(cd "$work" && $python -m pytest -p no:cacheprovider -q -rs "$OLDPWD/python/tests")
echo "python ok: the installed package passes every Python test"
