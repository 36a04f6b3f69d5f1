#!/bin/sh
# Fails unless the shared library exports exactly the functions its public
# header declares: nothing of the C++ inside, nothing missing.
#   check_exported_symbols.sh NM LIBRARY HEADER
set -eu
nm=$1 library=$2 header=$3
declared=$(sed -n 's/^QUILLWAVE_API [^(]*[ *]\(quillwave_[a-z0-9_]*\)(.*/\1/p' "$header" | sort)
exported=$("$nm" -D --defined-only "$library" | awk '{print $3}' | sed 's/@.*//' | sort)
if [ "$declared" != "$exported" ]; then
    echo "exported symbols differ from the header's functions (< header, > library):"
    diff -u "$(printf '%s\n' "$declared" > "${TMPDIR:-/tmp}/declared.$$"; echo "${TMPDIR:-/tmp}/declared.$$")" \
        "$(printf '%s\n' "$exported" > "${TMPDIR:-/tmp}/exported.$$"; echo "${TMPDIR:-/tmp}/exported.$$")" || true
    rm -f "${TMPDIR:-/tmp}/declared.$$" "${TMPDIR:-/tmp}/exported.$$"
    exit 1
fi
echo "$(echo "$declared" | wc -l) functions exported, no other symbol"
