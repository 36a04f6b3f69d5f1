#!/usr/bin/env bash
# Builds the Debian package from the release build and checks its metadata
# and contents: the binary and the manual page, the project's version.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --parallel 2 --target quillwave manual quillwave-export export_manual
(cd build/release && rm -f ./*.deb && cpack -G DEB >/dev/null)
package=$(ls build/release/quillwave_*.deb)
version=$(sed -n 's/^project(quillwave VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
info=$(dpkg-deb --info "$package")
contents=$(dpkg-deb --contents "$package")
fail() { echo "package check failed: $*"; echo "$info"; echo "$contents"; exit 1; }
for field in "Package: quillwave" "Version: $version" "Architecture: $(dpkg --print-architecture)" \
             "Section: utils" "Description: convert waveform capture files to text"; do
    grep -qF "$field" <<<"$info" || fail "missing '$field'"
done
grep -qE '^ Depends: .*libc6' <<<"$info" || fail "no shared-library dependencies"
grep -qE ' \./usr/bin/quillwave$' <<<"$contents" || fail "no binary"
grep -qE ' \./usr/share/man/man1/quillwave\.1\.gz$' <<<"$contents" || fail "no manual page"
grep -qE ' \./usr/bin/quillwave-export$' <<<"$contents" || fail "no quillwave-export"
grep -qE ' \./usr/share/man/man1/quillwave-export\.1\.gz$' <<<"$contents" ||
    fail "no quillwave-export manual page"
echo "package ok: $package"
