#!/bin/bash
# Installs what one of three needs takes on Debian 12, and only what is
# missing: quiet and quick when everything is already there.
#
#   deps.sh [build|verify|test]     (default: test)
#
#   build   making the release zips (scripts/package.sh): a build root and
#           its sandbox; the toolchain is the root's, not this machine's
#   verify  checking a release (scripts/verify-release.sh), and signing one
#   test    everything the tests and scripts/run.sh use
set -euo pipefail

need=${1:-test}
# What the tests take beyond packages from the machine's own apt sources.
machine=$(dirname "$(readlink -f "$0")")/wine/machine.sh
# The build root (mmdebstrap, and for a user who is not root its
# fakechroot mode), the sandbox, the commit to build.
build=(mmdebstrap fakechroot fakeroot bubblewrap git)
# Signatures made, attached and checked; keys on tokens reached through the
# engine; signatures read with a maintained ASN.1 library; differences
# explained by diffoscope.
verify=("${build[@]}" osslsigncode openssl libengine-pkcs11-openssl python3-asn1crypto diffoscope-minimal)
case $need in
build)
    packages=("${build[@]}") ;;
verify)
    packages=("${verify[@]}") ;;
test)
    packages=(
        "${verify[@]}"
        cmake make python3                  # configure and build; the lint
        mingw-w64 binutils-mingw-w64        # Windows builds, objdump for the PE checks
        g++                                 # native build and unit tests
        googletest libgtest-dev             # GoogleTest sources, built with each preset
        wine64                              # runs the 64-bit Windows builds
        xvfb xdotool x11-utils imagemagick  # a virtual display, input, window properties, screenshots
        fonts-wqy-microhei                  # Chinese glyphs on that display
        icoutils                            # wrestool and icotool for the exe checks
        locales zip unzip                   # code pages; altered zips; reading zips as a technician does
        softhsm2                            # the tests' token
        reprotest disorderfs faketime       # builds varied in what must not matter
        shellcheck pyflakes3                # the lint of every shell script and Python file
    ) ;;
*)
    echo "usage: deps.sh [build|verify|test]" >&2
    exit 2 ;;
esac

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
missing=()
for package in "${packages[@]}"; do installed "$package" || missing+=("$package"); done
todo=("${missing[@]}")
if [ "$need" = test ]; then
    lacks=$("$machine" missing)
    [ -z "$lacks" ] || mapfile -t -O ${#todo[@]} todo <<<"$lacks"
fi

# Another user changes nothing: sudo, or what to run as root, then stop.
if [ ${#todo[@]} -gt 0 ] && [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        echo "deps: missing: ${todo[*]}; installing them through sudo"
        exec sudo -- "$0" "$need"
    fi
    echo "deps: missing: ${todo[*]}" >&2
    echo "deps: installing them needs root, and there is no sudo here; run this once, then try again:" >&2
    echo "    su -c '$(readlink -f "$0") $need'" >&2
    exit 1
fi

[ "$need" != test ] || "$machine" sources
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    "$machine" update
    # diffoscope's and reprotest's recommendations are every tool diffoscope
    # can call, hundreds of packages; what is used here is listed above.
    plain=() lean=()
    for package in "${missing[@]}"; do
        case $package in diffoscope-minimal | reprotest) lean+=("$package") ;; *) plain+=("$package") ;; esac
    done
    export DEBIAN_FRONTEND=noninteractive
    [ ${#plain[@]} -eq 0 ] || apt-get install -y -qq "${plain[@]}" >/dev/null
    [ ${#lean[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${lean[@]}" >/dev/null
fi
[ "$need" != test ] || "$machine"
