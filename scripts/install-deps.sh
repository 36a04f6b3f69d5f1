#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build and test quillwave, only
# those that are missing. Runs apt-get as root, or through sudo otherwise.
set -euo pipefail

# python3-numpy: the export tests read the exported files back with numpy.
packages=(cmake g++ make libgtest-dev libbenchmark-dev groff-base python3-numpy)
# Extra tools for the full CI run (fuzzing with clang, memory checking).
if [[ "${1:-}" == "--ci" ]]; then
    packages+=(clang libclang-rt-14-dev valgrind dpkg-dev file clang-format clang-tidy)
fi

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

run_as_root() { if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi; }
echo "Installing: ${missing[*]}"
run_as_root apt-get update -qq
DEBIAN_FRONTEND=noninteractive run_as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
