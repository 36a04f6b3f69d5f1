#!/usr/bin/env bash
# Fails unless every installed program, the shared library and the Python
# package's extension (where it was built) are hardened as the build means
# them to be (cmake/hardening.cmake): a position-independent
# executable (PIE), or for the library position-independent code (no text
# relocations), full RELRO (a GNU_RELRO segment and BIND_NOW), stack-protector
# canaries (it calls __stack_chk_fail) and checked libc calls from
# _FORTIFY_SOURCE (__*_chk).
#
#   scripts/check-hardening.sh [ROOT]
# ROOT: an installed tree whose bin/ holds the programs and lib/ the library
# (check-package.sh passes usr/ of the unpacked packages); by default the release build is
# installed into a temporary folder. The programs are the ones listed in
# installed-programs of the release build (from QUILLWAVE_PROGRAMS in
# CMakeLists.txt).
#
# A program that calls none of the libc functions that have a checked variant
# has nothing to fortify: that is reported and accepted. One that calls some
# of them but no checked variant was built without _FORTIFY_SOURCE, and fails.
# (The checked variant is used where the compiler knows the size of the
# destination; a program whose every such call writes through a pointer of
# unknown size would fail too, and should be looked at.)
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --preset release >/dev/null
mapfile -t programs < build/release/installed-programs
root=${1:-}
if [[ -z "$root" ]]; then
    cmake --build --preset release --parallel 2 --target "${programs[@]}" quillwave_static manual \
        >/dev/null
    cmake --install build/release --prefix "$work/installed" >/dev/null
    root=$work/installed
fi

# The libc functions that have a checked variant: those whose __NAME_chk the
# C library defines.
libc=$("${CXX:-c++}" -print-file-name=libc.so.6)
mapfile -t fortifiable < <(nm -D --defined-only "$libc" | sed -n 's/.* __\(.*\)_chk@.*/\1/p' | sort -u)
[[ ${#fortifiable[@]} -gt 0 ]] || { echo "hardening check: no checked functions found in $libc"; exit 1; }

# The dynamic symbols the program $1 takes from libraries.
imports_of() { nm -D --undefined-only "$1" | awk '{ sub(/@.*/, "", $2); print $2 }'; }

# Prints one line per missing property of the program (or, with a second
# argument "library", the shared library) $1; nothing if none.
missing_hardening() {
    local program=$1 kind=${2:-program} header dynamic segments imports
    header=$(readelf -hW "$program")
    dynamic=$(readelf -dW "$program")
    segments=$(readelf -lW "$program")
    imports=$(imports_of "$program")
    if [[ $kind == library ]]; then
        if ! grep -qE 'Type: +DYN' <<<"$header" || grep -qE '\(TEXTREL\)|\bTEXTREL\b' <<<"$dynamic"; then
            echo "not position-independent code (text relocations)"
        fi
    elif ! grep -qE 'Type: +DYN' <<<"$header" || ! grep -qE 'FLAGS_1.*\bPIE\b' <<<"$dynamic"; then
        echo "not a position-independent executable (PIE)"
    fi
    grep -qE '^ +GNU_RELRO ' <<<"$segments" || echo "no GNU_RELRO segment"
    grep -qE '\(FLAGS\).*\bBIND_NOW\b|\(FLAGS_1\).*\bNOW\b' <<<"$dynamic" || echo "no BIND_NOW"
    grep -qx '__stack_chk_fail' <<<"$imports" || echo "no stack protector (__stack_chk_fail)"
    # The library's every libc call writes through a pointer whose size the
    # compiler cannot know, so it has no checked call to show; it is built
    # from the programs' own objects and flags, whose check covers it.
    if [[ $kind == program ]] && ! grep -qE '^__.+_chk$' <<<"$imports"; then
        local unchecked
        unchecked=$(grep -xF -f <(printf '%s\n' "${fortifiable[@]}") <<<"$imports" | tr '\n' ' ' || true)
        [[ -z "$unchecked" ]] || echo "no checked libc calls (__*_chk), yet calls ${unchecked% }"
    fi
}

# The check must be able to fail: a program built without any hardening has
# to be caught on every count.
cat > "$work/probe.cpp" <<'EOF'
#include <cstdio>
int main(int argc, char**) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", argc);
    std::puts(text);
}
EOF
"${CXX:-c++}" -O2 -fno-PIE -no-pie -fno-stack-protector -U_FORTIFY_SOURCE -Wl,-z,norelro -Wl,-z,lazy \
    "$work/probe.cpp" -o "$work/probe"
caught=$(missing_hardening "$work/probe" | wc -l)
if [[ $caught -ne 5 ]]; then
    echo "hardening check: an unhardened program was caught on $caught of 5 counts:"
    missing_hardening "$work/probe"
    exit 1
fi

failed=0
library=$(find "$root/lib" -name 'libquillwave.so.*.*' -type f -print -quit 2>/dev/null || true)
[[ -n "$library" ]] || { echo "hardening check: no libquillwave.so under $root/lib"; failed=1; }
# The Python package's extension, a library too, where it was built.
extension=$(find "$root/lib/python3" -name '_quillwave*.so' -type f -print -quit 2>/dev/null || true)
for name in "${programs[@]}" ${library:+library} ${extension:+extension}; do
    program=$root/bin/$name kind=program
    [[ $name == library ]] && program=$library kind=library name=$(basename "$library")
    [[ $name == extension ]] && program=$extension kind=library name=$(basename "$extension")
    if [[ ! -f "$program" ]]; then
        echo "hardening check: $program is missing"
        failed=1
        continue
    fi
    problems=$(missing_hardening "$program" "$kind")
    imports=$(imports_of "$program")
    if [[ -n "$problems" ]]; then
        sed "s|^|hardening check: $name: |" <<<"$problems"
        failed=1
    elif [[ $kind == library ]]; then
        echo "hardening ok: $name (position-independent; fortified as the programs are)"
    elif ! grep -qE '^__.+_chk$' <<<"$imports"; then
        echo "hardening ok: $name (it calls no libc function that has a checked variant)"
    else
        echo "hardening ok: $name"
    fi
done
exit "$failed"
