#!/usr/bin/env bash
# Builds the Debian package from the release build and checks it: its
# metadata, its contents (each installed program with its manual page, the
# documentation folder Debian expects), its changelog against the project's
# version, lintian (errors and warnings fail), and the hardening of the
# programs it ships (scripts/check-hardening.sh). The programs are those of
# installed-programs in the release build (QUILLWAVE_PROGRAMS in CMakeLists.txt).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
mapfile -t programs < build/release/installed-programs
cmake --build --preset release --parallel 2 --target "${programs[@]}" manual debian_changelog
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
grep -qE '^ Maintainer: .+ <[^@ ]+@[^@ ]+>$' <<<"$info" || fail "no maintainer address"
! grep -qiE '^ Maintainer: .*(example|noreply|localhost)' <<<"$info" || fail "placeholder maintainer address"

doc=./usr/share/doc/quillwave
for program in "${programs[@]}"; do
    grep -qE " \./usr/bin/$program\$" <<<"$contents" || fail "no program $program"
    grep -qE " \./usr/share/man/man1/$program\.1\.gz\$" <<<"$contents" || fail "no manual page for $program"
done
for file in copyright changelog.gz README.md examples/sample.bin; do
    grep -qE " $doc/$file\$" <<<"$contents" || fail "no $doc/$file"
done

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb --extract "$package" "$unpacked"
head -1 "$unpacked/$doc/copyright" | grep -qF 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "copyright file is not machine-readable (DEP-5)"
# A version bump needs its changelog entry.
zcat "$unpacked/$doc/changelog.gz" | head -1 | grep -qF "quillwave ($version)" ||
    fail "the changelog's latest entry is not for version $version"
cmp -s examples/sample.bin "$unpacked/$doc/examples/sample.bin" || fail "sample capture differs"

lintian --fail-on error,warning --display-info "$package" || fail "lintian"
scripts/check-hardening.sh "$unpacked/usr"
echo "package ok: $package"
