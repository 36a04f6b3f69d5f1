#!/usr/bin/env bash
# Builds the Debian packages from the release build and checks them: the
# usual split (libquillwave0: the shared library; libquillwave-dev: header,
# static library, pkg-config file, CMake package; quillwave: the programs,
# each installed program with its manual page, the documentation folder
# Debian expects; python3-quillwave: the Python package), their metadata
# and dependencies, each package's changelog against the project's version,
# lintian (errors and warnings fail), the Python package run from the
# unpacked packages with Debian's python3, and the hardening of the programs
# and the library they ship (scripts/check-hardening.sh). The programs are
# those of installed-programs in the release build (QUILLWAVE_PROGRAMS in
# CMakeLists.txt).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
mapfile -t programs < build/release/installed-programs
cmake --build --preset release --parallel 2 --target "${programs[@]}" quillwave_static manual \
    debian_changelog _quillwave
(cd build/release && rm -f ./*.deb && cpack -G DEB >/dev/null)
version=$(sed -n 's/^project(quillwave VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
architecture=$(dpkg --print-architecture)
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT

# check_package NAME SECTION DESCRIPTION-START DEPENDS-PATTERN FILE...
check_package() {
    local name=$1 section=$2 summary=$3 depends=$4
    shift 4
    local package=build/release/${name}_${version}_${architecture}.deb info contents
    [[ -f "$package" ]] || { echo "package check failed: no $package"; ls build/release/*.deb; exit 1; }
    info=$(dpkg-deb --info "$package")
    contents=$(dpkg-deb --contents "$package")
    fail() { echo "package check failed: $name: $*"; echo "$info"; echo "$contents"; exit 1; }
    for field in "Package: $name" "Version: $version" "Architecture: $architecture" \
                 "Section: $section" "Description: $summary"; do
        grep -qF "$field" <<<"$info" || fail "missing '$field'"
    done
    grep -qE "^ Depends: $depends" <<<"$info" || fail "its dependencies are not '$depends'"
    grep -qE '^ Maintainer: .+ <[^@ ]+@[^@ ]+>$' <<<"$info" || fail "no maintainer address"
    ! grep -qiE '^ Maintainer: .*(example|noreply|localhost)' <<<"$info" || fail "placeholder maintainer address"
    local doc=./usr/share/doc/$name file
    for file in "$doc/copyright" "$doc/changelog.gz" "$@"; do
        grep -qE " $file( -> .+)?\$" <<<"$contents" || fail "no $file"
    done
    dpkg-deb --extract "$package" "$unpacked"
    head -1 "$unpacked/$doc/copyright" |
        grep -qF 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
        fail "copyright file is not machine-readable (DEP-5)"
    # A version bump needs its changelog entry.
    zcat "$unpacked/$doc/changelog.gz" | head -1 | grep -qF "quillwave ($version)" ||
        fail "the changelog's latest entry is not for version $version"
}

libdir=./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
program_files=()
for program in "${programs[@]}"; do
    program_files+=("./usr/bin/$program" "./usr/share/man/man1/$program\\.1\\.gz")
done
check_package quillwave utils "convert waveform capture files to text" \
    "libquillwave0 \\(= $version\\), .*libc6" "${program_files[@]}" \
    ./usr/share/doc/quillwave/README.md ./usr/share/doc/quillwave/examples/sample.bin
check_package libquillwave0 libs "read waveform capture files exactly" ".*libc6" \
    "$libdir/libquillwave\\.so\\.0" "$libdir/libquillwave\\.so\\.$version"
check_package libquillwave-dev libdevel "read waveform capture files exactly" \
    "libquillwave0 \\(= $version\\)" ./usr/include/quillwave/quillwave.h "$libdir/libquillwave\\.so" \
    "$libdir/libquillwave\\.a" "$libdir/pkgconfig/quillwave\\.pc" \
    "$libdir/cmake/quillwave/quillwaveConfig\\.cmake"
check_package python3-quillwave python "read waveform capture files exactly" \
    "libquillwave0 \\(= $version\\), python3-numpy, python3 .*libc6" \
    ./usr/lib/python3/dist-packages/quillwave/__init__\\.py \
    "./usr/lib/python3/dist-packages/quillwave/_quillwave\\.cpython-[^ ]*\\.so"
# The library package tells dpkg its SONAME, and the loader's cache is
# refreshed by the ldconfig trigger.
dpkg-deb --ctrl-tarfile "build/release/libquillwave0_${version}_${architecture}.deb" | tar -xO ./shlibs |
    grep -qF "libquillwave 0 libquillwave0 (>= $version)" || { echo "package check failed: no shlibs"; exit 1; }
# libmatio (with HDF5) is loaded only to write a MAT 7.3 file: linked again,
# it would be a dependency; recommended where the build writes those files.
fields=$(dpkg-deb --field "build/release/libquillwave0_${version}_${architecture}.deb" Depends Recommends)
! grep -qE '^Depends:.*(libmatio|libhdf5)' <<<"$fields" ||
    { echo "package check failed: libquillwave0 links libmatio: $fields"; exit 1; }
if grep -q '^QUILLWAVE_MAT73_FOUND:INTERNAL=1$' build/release/CMakeCache.txt; then
    grep -qE '^Recommends: libmatio[0-9]+$' <<<"$fields" ||
        { echo "package check failed: libquillwave0 does not recommend libmatio: $fields"; exit 1; }
fi
cmp -s examples/sample.bin "$unpacked/usr/share/doc/quillwave/examples/sample.bin" ||
    { echo "package check failed: sample capture differs"; exit 1; }

# The Python package as unpacked finds the library beside it in the unpacked
# tree, not the build's.
PYTHONPATH=$unpacked/usr/lib/python3/dist-packages /usr/bin/python3 -m quillwave examples/sample.bin |
    grep -q "^  5: PB_LOGIC 'D0-D15', 400 rows of time, byte1, byte2" ||
    { echo "package check failed: python3 -m quillwave from the packages"; exit 1; }

lintian --fail-on error,warning --display-info build/release/*.deb ||
    { echo "package check failed: lintian"; exit 1; }
scripts/check-hardening.sh "$unpacked/usr"
echo "package ok: $(cd build/release && echo ./*.deb)"
