#!/bin/bash
# Installs what one of three needs takes on Debian 12, and only what is
# missing: quiet and quick when everything is already there.
#
#   deps.sh [build|verify|test]     (default: test)
#
#   build   making the release zips (scripts/package.sh): CMake, the
#           MinGW-w64 cross compilers and binutils, git, Python
#   verify  checking a release (scripts/verify-release.sh), and signing one:
#           what building takes, plus osslsigncode, openssl, OpenSSL's
#           PKCS#11 engine (for a key on a token) and Python's asn1crypto
#   test    everything the tests and scripts/run.sh use, Wine among it
#
# Building and verifying install packages from the machine's own apt sources
# and nothing else: no architecture, apt source, locale or binfmt entry is
# added for them, and they need no Wine, Xvfb, qemu or icoutils.
#
# Testing runs the 32-bit Windows build under Wine's 32-bit half (wine32, an
# i386 package). Where the kernel cannot execute i386 code itself, qemu's
# user-mode emulator runs it, registered with binfmt_misc; qemu 10 from
# bookworm-backports, since bookworm's 7.2 takes about a minute to start each
# 32-bit Wine process. Where that cannot be set up (no binfmt_misc, say) this
# script says why and goes on: the 32-bit tests then report themselves
# skipped, or failed under CI.
#
# Run by a user other than root, it changes nothing itself: when something is
# missing it runs again through sudo, or, without sudo, says what is missing
# and how to install it, and stops.
set -euo pipefail

need=${1:-test}
build=(
    cmake make                          # configure and build
    mingw-w64 binutils-mingw-w64        # Windows builds, objdump for the PE checks
    git python3                         # the commit to build; the zip writer
)
case $need in
build)
    packages=("${build[@]}") ;;
verify)
    # Signatures made, attached and checked; keys on tokens reached through
    # the engine; signatures read with a maintained ASN.1 library.
    packages=("${build[@]}" osslsigncode openssl libengine-pkcs11-openssl python3-asn1crypto) ;;
test)
    packages=(
        "${build[@]}"
        g++                                 # native build and unit tests
        googletest libgtest-dev             # GoogleTest sources, built with each preset
        wine64                              # runs the 64-bit Windows builds
        xvfb xdotool x11-utils imagemagick  # a virtual display, input, window properties, screenshots
        fonts-wqy-microhei                  # Chinese glyphs on that display
        icoutils                            # wrestool and icotool for the exe checks
        locales unzip                       # code pages; reading zips as a technician does
        openssl libengine-pkcs11-openssl    # signing, with a key in a file or on a token
        python3-asn1crypto                  # reading signatures, in the verifier and its tests
        softhsm2                            # the tests' token
        shellcheck pyflakes3                # the lint of every shell script and Python file
    ) ;;
*)
    echo "usage: deps.sh [build|verify|test]" >&2
    exit 2 ;;
esac
# Testing only: without their recommendations, which are mostly i386 media
# libraries; and from backports.
lean=()
backports=()
if [ "$need" = test ]; then
    lean=(wine32:i386)                  # runs the 32-bit Windows builds
    backports=(
        qemu-user                       # runs wine32's i386 code on an x86-64 kernel
        osslsigncode                    # 2.8 or later: the tests alter signatures with add -index and -TSA-*
    )
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
backports_known() { grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; }
i386_known() { dpkg --print-foreign-architectures | grep -qx i386; }
locale_missing() { ! locale -a 2>/dev/null | grep -qx "$1.utf8"; }

absent() {  # CHECK PACKAGE...: the packages CHECK does not find, a line each
    local check=$1 package
    shift
    for package in "$@"; do "$check" "$package" || echo "$package"; done
}

# What is missing, in the missing* arrays. Where the backports suite is known,
# only its version of a backported package counts as installed.
survey() {
    backports_target=()
    backported() { installed "$1"; }
    if [ "$need" = test ] && backports_known; then
        backports_target=(-t bookworm-backports)
        backported() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null | grep -q '~bpo'; }
    fi
    mapfile -t missing < <(absent installed "${packages[@]}")
    mapfile -t missing_lean < <(absent installed "${lean[@]}")
    mapfile -t missing_backports < <(absent backported "${backports[@]}")
    missing_locales=()
    [ "$need" = test ] || return 0
    for locale in zh_CN en_US; do
        if locale_missing "$locale"; then missing_locales+=("$locale.UTF-8"); fi
    done
}

survey
todo=("${missing[@]}" "${missing_lean[@]}" "${missing_backports[@]}")
[ "$need" != test ] || i386_known || todo+=("the i386 architecture")
[ ${#missing_locales[@]} -eq 0 ] || todo+=("the locales ${missing_locales[*]}")
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

# i386 packages and backports each need apt to know of them first; the
# update before any install below then reads their lists.
if [ "$need" = test ] && ! i386_known; then
    dpkg --add-architecture i386
fi
backports_list=/etc/apt/sources.list.d/bookworm-backports.sources
if [ "$need" = test ] && ! backports_known; then
    # The same archive the machine's own sources name for bookworm (the
    # first stanza of the deb822 files whose suites include it).
    archive=$(awk '
        function flush() { if (bookworm && uris != "" && found == "") found = uris; bookworm = 0; uris = "" }
        FNR == 1 || /^[[:space:]]*$/ { flush() }
        /^URIs:/ { uris = $2 }
        /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == "bookworm") bookworm = 1 }
        END { flush(); print found }' /etc/apt/sources.list.d/*.sources 2>/dev/null)
    [ -n "$archive" ] || archive=$(awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
    if [ -n "$archive" ]; then
        printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            "$archive" >"$backports_list"
    else
        echo "deps: no Debian archive in apt's sources; qemu and osslsigncode come from bookworm itself (qemu slow, osslsigncode too old for the signing tests)" >&2
    fi
    survey  # the backported packages are now wanted from backports
fi

all_missing=("${missing[@]}" "${missing_lean[@]}" "${missing_backports[@]}")
if [ ${#all_missing[@]} -gt 0 ]; then
    echo "Installing: ${all_missing[*]}"
    apt-get update -qq
    export DEBIAN_FRONTEND=noninteractive
    [ ${#missing[@]} -eq 0 ] || apt-get install -y -qq "${missing[@]}" >/dev/null
    [ ${#missing_lean[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${missing_lean[@]}" >/dev/null
    [ ${#missing_backports[@]} -eq 0 ] ||
        apt-get install -y -qq --no-install-recommends "${backports_target[@]}" "${missing_backports[@]}" >/dev/null
fi

# Wine takes its ANSI code page from the locale: zh_CN gives 936, en_US 1252.
if [ ${#missing_locales[@]} -gt 0 ]; then
    for locale in "${missing_locales[@]}"; do
        sed -i -E "s/^# *(${locale//./\\.} UTF-8)/\1/" /etc/locale.gen
        grep -qx "$locale UTF-8" /etc/locale.gen || echo "$locale UTF-8" >> /etc/locale.gen
    done
    locale-gen >/dev/null
fi

[ "$need" = test ] || exit 0

# i386 programs through qemu, unless the kernel runs them itself. The
# registration lasts until the machine restarts, so it is checked every time.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1 && [ "$(id -u)" -ne 0 ]; then
    echo "deps: 32-bit programs cannot run here, and registering qemu-i386 for them needs root; the 32-bit tests will be skipped" >&2
elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    binfmt=/proc/sys/fs/binfmt_misc
    if [ ! -e "$binfmt/register" ]; then
        mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
    fi
    if [ -e "$binfmt/qemu-i386" ]; then
        echo 1 >"$binfmt/qemu-i386" 2>/dev/null || true  # registered, but switched off
    elif [ -w "$binfmt/register" ]; then
        # The registration qemu ships (magic, mask and flags for i386 ELF files).
        cat /usr/share/qemu/binfmt.d/qemu-i386.conf >"$binfmt/register" 2>/dev/null || true
    fi
    if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
        echo "deps: 32-bit programs cannot run here (no binfmt_misc registration for qemu-i386); the 32-bit tests will be skipped" >&2
    fi
fi
