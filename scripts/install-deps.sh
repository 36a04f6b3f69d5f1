#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build and test quillwave, only
# those that are missing. Says which packages it needs, and which of them it
# is about to install, before installing anything; asks nothing (CI has no
# standard input). Runs apt-get as root, or through sudo otherwise.
set -euo pipefail

# python3-numpy: the export tests read the exported files back with numpy.
# The Python package: built with pybind11 against Debian's python3, tested
# with pytest; pandas, xarray, matplotlib and Dask (distributed) for the
# parts and recipes that hand waveforms over to them. libzip-dev,
# libsndfile1-dev (found through pkg-config): the export's sr and wav
# formats; sigrok-cli and python3-soundfile read those files back in the
# tests (sigrok-cli is only run, never linked). libmatio-dev: the mat
# format's MAT 7.3 files (for variables past 2 GiB); python3-scipy,
# python3-h5py and octave read the MAT-files back in the tests.
packages=(cmake g++ make libgtest-dev libbenchmark-dev groff-base python3-numpy pkg-config
          python3-dev pybind11-dev python3-pytest python3-pandas python3-xarray python3-distributed
          python3-matplotlib libzip-dev libsndfile1-dev sigrok-cli python3-soundfile
          libmatio-dev python3-scipy python3-h5py octave)
# Extra tools for the full CI run (fuzzing with clang, memory checking, the
# packages' lint, pkg-config for building the example against the library).
if [[ "${1:-}" == "--ci" ]]; then
    packages+=(clang libclang-rt-14-dev valgrind dpkg-dev file clang-format clang-tidy lintian
              locales pkg-config)
fi
# A cross build for a Debian architecture (scripts/cross-test.sh ARCH):
# its cross compiler, qemu-user to run the tests, GoogleTest's sources; and,
# where Debian can install them beside the build machine's own packages
# (multiarch), that architecture's pkg-config and the formats' libraries.
# One that cannot be (its versions differ from the build machine's, as when
# the security archive has no builds for ARCH) is extracted instead, with the
# target libraries it needs, from Debian's own packages (apt-get download,
# dpkg -x: no root needed) into build/cross-sysroot-ARCH, which the cross
# toolchain searches; where that fails too, its format is left out of the
# cross build, which says so.
cross_arch=""
cross_optional=()
if [[ "${1:-}" == "--cross" ]]; then
    case "${2:-}" in
        arm64) triplet=aarch64-linux-gnu ;;
        armhf) triplet=arm-linux-gnueabihf ;;
        i386) triplet=i686-linux-gnu ;;
        s390x) triplet=s390x-linux-gnu ;;
        *) echo "install-deps.sh: no cross build for '${2:-}'" >&2; exit 2 ;;
    esac
    cross_arch=$2
    packages+=("g++-$triplet" qemu-user googletest)
    cross_optional=("pkgconf:$cross_arch libzip-dev:$cross_arch" "pkgconf:$cross_arch libsndfile1-dev:$cross_arch")
fi
run_as_root() { if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi; }

# A locale with a decimal comma, for the test that number formatting ignores
# the locale (it is skipped where none exists).
make_comma_locale() {
    if [[ "${1:-}" == "--ci" ]] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
        run_as_root localedef -i de_DE -f UTF-8 de_DE.UTF-8
    fi
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
echo "Debian packages needed: ${packages[*]}"
if [[ ${#missing[@]} -eq 0 ]]; then
    echo "All installed."
else
    echo "Installing: ${missing[*]}"
    # A mirror's failed index (seen: a foreign architecture's) need not stop
    # the install; a package that cannot then be had does.
    run_as_root apt-get update -qq ||
        echo "install-deps.sh: apt-get update failed; trying the package lists there are"
    DEBIAN_FRONTEND=noninteractive run_as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
make_comma_locale "${1:-}"

# The packages given and, down their dependencies, the target libraries
# they need to link and run: those of ARCH that are Multi-Arch: same (tools
# of the build machine's own serve as they are), less the ones the cross
# compiler brings (libc6:ARCH as libc6-ARCH-cross and the like) and the ones
# installed for ARCH. Prints one a line.
target_closure() {
    local -A seen=()
    local level=("$@") found=() package
    for package in "$@"; do seen[$package]=1; echo "$package"; done
    while [[ ${#level[@]} -gt 0 ]]; do
        # The first choice of each dependency (its first provider, if virtual).
        mapfile -t found < <(apt-cache depends --no-recommends --no-suggests --no-conflicts \
            --no-breaks --no-replaces --no-enhances "${level[@]}" | awk '
            /^ *\|?(Pre)?Depends: / {
                provider = 0
                if (!alternative) { if ($2 ~ /^</) provider = 1; else print $2 }
                alternative = ($1 ~ /^\|/); next }
            /^    / && provider { print $1; provider = 0 }')
        level=()
        for package in "${found[@]}"; do
            [[ -n ${seen[$package]:-} || $package != *":$cross_arch" ]] && continue
            seen[$package]=1
            installed "$package" || installed "${package%:*}-$cross_arch-cross" || level+=("$package")
        done
        [[ ${#level[@]} -eq 0 ]] && break
        # Of these, the Multi-Arch: same ones (a paragraph a package).
        mapfile -t level < <(apt-cache show --no-all-versions "${level[@]}" | awk -v RS= '
            /(^|\n)Multi-Arch: same(\n|$)/ {
                match($0, /^Package: [^\n]+/); name = substr($0, RSTART + 9, RLENGTH - 9)
                match($0, /\nArchitecture: [^\n]+/); print name ":" substr($0, RSTART + 15, RLENGTH - 15) }')
        [[ ${#level[@]} -gt 0 ]] && printf '%s\n' "${level[@]}"
    done
}
# Extracts the packages given and those they need into the sysroot: all of
# them or, failing, none.
extract_into_sysroot() {
    local work closure deb status=1
    work=$(mktemp -d)
    mkdir "$work/debs" "$work/root"
    mapfile -t closure < <(target_closure "$@")
    if (cd "$work/debs" && apt-get download -qq "${closure[@]}") >/dev/null 2>&1; then
        status=0
        for deb in "$work"/debs/*.deb; do dpkg -x "$deb" "$work/root" || status=1; done
        [[ $status -eq 0 ]] && { mkdir -p "$sysroot" && cp -a "$work/root/." "$sysroot/" || status=1; }
    fi
    rm -rf "$work"
    return $status
}
sysroot=$(cd "$(dirname "$0")/.." && pwd)/build/cross-sysroot-$cross_arch
# It holds only what this run could not install.
if [[ -n "$cross_arch" ]]; then rm -rf "$sysroot"; fi

updated=""
for group in "${cross_optional[@]}"; do
    wanted=()
    for package in $group; do installed "$package" || wanted+=("$package"); done
    [[ ${#wanted[@]} -eq 0 ]] && continue
    if [[ -z "$updated" ]]; then
        dpkg --print-foreign-architectures | grep -qx "$cross_arch" ||
            run_as_root dpkg --add-architecture "$cross_arch"
        run_as_root apt-get update -qq ||
            echo "install-deps.sh: apt-get update failed; trying the package lists there are"
        updated=yes
    fi
    echo "Installing for the cross build: ${wanted[*]}"
    DEBIAN_FRONTEND=noninteractive run_as_root apt-get install -y -qq --no-install-recommends \
        "${wanted[@]}" >/dev/null 2>&1 && continue
    echo "install-deps.sh: ${wanted[*]} cannot be installed beside this machine's packages; extracting Debian's packages into ${sysroot#"$PWD"/} instead"
    extract_into_sysroot "${wanted[@]}" ||
        echo "install-deps.sh: ${wanted[*]} could not be extracted either; its format is left out of the $cross_arch build"
done
