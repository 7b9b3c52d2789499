#!/bin/bash
# Prints the build record (BUILDINFO) that goes into a release zip;
# docs/releasing.md says what it holds and why a verifier needs it.
#
#   buildinfo.sh x64|x86 ZIP_NAME COMMIT SOURCE_DATE_EPOCH
set -euo pipefail
usage="usage: buildinfo.sh x64|x86 ZIP_NAME COMMIT SOURCE_DATE_EPOCH"
[ $# -eq 4 ] || { echo "$usage" >&2; exit 2; }
case $1 in
x64) triple=x86-64 ;;
x86) triple=i686 ;;
*) echo "$usage" >&2; exit 2 ;;
esac

packages=(
    "g++-mingw-w64-$triple-posix"   # compiler, libstdc++ (linked in)
    "gcc-mingw-w64-$triple-posix"   # driver, libgcc (linked in)
    gcc-mingw-w64-base
    "binutils-mingw-w64-$triple"    # assembler, linker, windres
    "mingw-w64-$triple-dev"         # Windows headers and the MinGW-w64 runtime
    mingw-w64-common
    cmake cmake-data make           # compiler flags, link order
    # The zip writer (scripts/release-zip.py, run by /usr/bin/python3).
    "$(dpkg-query -S "$(readlink -f /usr/bin/python3)" | cut -d: -f1)"
)

echo "# How this zip was built. scripts/verify-release.sh rebuilds it with these package versions."
echo "zip $2"
echo "commit $3"
echo "source-date-epoch $4"
for package in "${packages[@]}"; do
    version=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null) ||
        { echo "buildinfo: $package is not installed" >&2; exit 1; }
    echo "package $package $version"
done
