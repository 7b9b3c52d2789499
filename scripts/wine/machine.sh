#!/bin/bash
# Makes a Debian 12 machine able to run the tests, beyond the packages its own
# apt sources give: 32-bit Wine and the emulator that runs it, the locales of
# Wine's code pages, and a newer osslsigncode. deps.sh test runs it.
#
#   machine.sh missing  what the machine lacks, a line each (any user)
#   machine.sh sources  as root: makes apt know the i386 architecture and
#                       bookworm-backports, before packages are installed
#   machine.sh update   as root: apt-get update, for deps.sh too
#   machine.sh          adds what is missing (as root), then makes sure i386
#                       programs run
set -euo pipefail

# Without their recommendations, which are mostly i386 media libraries.
lean=(wine32:i386)                  # runs the 32-bit Windows builds
backports=(
    # Its user-mode emulator runs wine32's i386 code where the kernel cannot;
    # 10 from backports, since bookworm's 7.2 takes about a minute to start
    # each 32-bit Wine process.
    qemu-user
    osslsigncode                    # 2.8 or later: the tests alter signatures with add -index and -TSA-*
)
# Wine takes its ANSI code page from the locale: zh_CN gives 936, en_US 1252.
locales=(zh_CN en_US)

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
    if backports_known; then
        backports_target=(-t bookworm-backports)
        backported() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null | grep -q '~bpo'; }
    fi
    mapfile -t missing_lean < <(absent installed "${lean[@]}")
    mapfile -t missing_backports < <(absent backported "${backports[@]}")
    missing_locales=()
    for locale in "${locales[@]}"; do
        if locale_missing "$locale"; then missing_locales+=("$locale.UTF-8"); fi
    done
}

# i386 packages and backports each need apt to know of them first; the
# update before an install then reads their lists. Known before the machine's
# own packages are installed, too: wine64 recommends wine32, which then comes
# with its own recommendations.
sources() {
    i386_known || dpkg --add-architecture i386
    backports_known && return 0
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
            "$archive" >/etc/apt/sources.list.d/bookworm-backports.sources
    else
        echo "deps: no Debian archive in apt's sources; qemu and osslsigncode come from bookworm itself (qemu slow, osslsigncode too old for the signing tests)" >&2
    fi
}

root() { [ "$(id -u)" -eq 0 ]; }

# A mirror caught mid-sync fails one list for a minute or so; the lists that
# did arrive still serve, and a package they lack fails its install.
update() {
    apt-get update -qq || { sleep 30; apt-get update -qq; } ||
        echo "deps: apt-get update failed twice; installing from the lists it has" >&2
}

case ${1:-} in
missing)
    survey
    todo=("${missing_lean[@]}" "${missing_backports[@]}")
    i386_known || todo+=("the i386 architecture")
    [ ${#missing_locales[@]} -eq 0 ] || todo+=("the locales ${missing_locales[*]}")
    [ ${#todo[@]} -eq 0 ] || printf '%s\n' "${todo[@]}"
    exit 0 ;;
sources)
    if root; then sources; fi
    exit 0 ;;
update)
    update
    exit 0 ;;
'') ;;
*)
    echo "usage: machine.sh [missing|sources|update]" >&2
    exit 2 ;;
esac

if ! root; then
    lacks=$("$0" missing)
    if [ -n "$lacks" ]; then
        echo "deps: missing: ${lacks//$'\n'/ }; adding them needs root: run scripts/deps.sh test, which asks sudo or says how" >&2
        exit 1
    fi
else
    sources
    survey  # where backports are known, only their versions count

    all_missing=("${missing_lean[@]}" "${missing_backports[@]}")
    if [ ${#all_missing[@]} -gt 0 ]; then
        echo "Installing: ${all_missing[*]}"
        update
        export DEBIAN_FRONTEND=noninteractive
        # An i386 library must be the version of its amd64 twin, which a list
        # that did not arrive may be the only one to offer.
        [ ${#missing_lean[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${missing_lean[@]}" >/dev/null || {
            echo "deps: ${missing_lean[*]} cannot be installed; where apt-get update failed above, try again once the mirror has synced" >&2
            exit 1
        }
        [ ${#missing_backports[@]} -eq 0 ] ||
            apt-get install -y -qq --no-install-recommends "${backports_target[@]}" "${missing_backports[@]}" >/dev/null
    fi

    if [ ${#missing_locales[@]} -gt 0 ]; then
        for locale in "${missing_locales[@]}"; do
            sed -i -E "s/^# *(${locale//./\\.} UTF-8)/\1/" /etc/locale.gen
            grep -qx "$locale UTF-8" /etc/locale.gen || echo "$locale UTF-8" >> /etc/locale.gen
        done
        locale-gen >/dev/null
    fi
fi

# i386 programs through qemu, unless the kernel runs them itself. The
# registration lasts until the machine restarts, so it is checked every time;
# where it cannot be made (no binfmt_misc, say) the 32-bit tests report
# themselves skipped, or failed under CI.
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
