#!/bin/bash
# The clean Debian root a release is built in, made by mmdebstrap from exact
# package versions, and the bubblewrap sandbox the build runs in; both
# package.sh and the verifier build this way. docs/releasing.md, "The build
# root", says what it holds and who may make it.
#
#   root.sh resolve          the record of the root the apt source would give
#                            now: "debian SUITE ARCH" and "package NAME VERSION"
#   root.sh make RECORD      the folder of the root a record names (BUILDINFO
#                            is one), made and cached in build/roots/ if new
#   root.sh build ROOT OUT SIGNATURES COMMIT EPOCH
#                            the release build of the sources on stdin (a tar
#                            of the commit) in ROOT: release/build.sh, with
#                            OUT its only writable folder, SIGNATURES read-only
#
# KZ_RELEASE_SOURCE: where packages come from, "deb URI SUITE COMPONENT"
# lines (an archive snapshot for a release the archive no longer serves), or
# a file of them; by default the machine's own Debian sources.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
die() { echo "root: $*" >&2; exit 1; }
suite=bookworm
# What the release build runs: the compilers, binutils, headers and runtime
# of both targets, CMake and make, osslsigncode to attach signatures, zip;
# the essential packages come with them.
toolchain=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix cmake make osslsigncode zip)

# mmdebstrap with the apt sources (the setting's lines or file, or the
# machine's own Debian sources file), SUITE and TARGET given; a snapshot's
# lists are past their Valid-Until date by design.
strap() {
    local target=$1 sources=()
    shift
    if [ -f "${KZ_RELEASE_SOURCE:-}" ]; then
        sources=("$KZ_RELEASE_SOURCE")
    elif [ -n "${KZ_RELEASE_SOURCE:-}" ]; then
        mapfile -t sources <<<"$KZ_RELEASE_SOURCE"
    else
        for file in /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list; do [ ! -s "$file" ] || sources+=("$file"); done
    fi
    [ ${#sources[@]} -gt 0 ] || die "no apt source for $suite here: set KZ_RELEASE_SOURCE to \"deb URI $suite main\" lines"
    mmdebstrap --aptopt='Acquire::Check-Valid-Until "false"' "$@" "$suite" "$target" "${sources[@]}"
}

case ${1:-} in
resolve)
    arch=$(dpkg --print-architecture)
    log=$(strap /dev/null --simulate --verbose --variant=essential --include="${toolchain[*]}" 2>&1) ||
        die "the apt source does not give the release's packages: $(grep -E '^E:' <<<"$log" | head -n 3 | paste -sd ' ')"
    echo "debian $suite $arch"
    sed -nE 's/^Inst ([^ :]+)(:[a-z0-9]+)? \(([^ ]+) .*/package \1 \3/p' <<<"$log" | LC_ALL=C sort -u
    ;;
make)
    [ -f "${2:-}" ] || die "usage: root.sh make RECORD"
    record=$(grep -E '^(debian|package) ' "$2" | LC_ALL=C sort) || true
    # The record comes from a zip: every line must be one that apt reads as
    # a package and a version, and nothing else.
    grep -qxE "debian $suite $(dpkg --print-architecture)" <<<"$record" ||
        die "the record names no Debian $suite root for this machine's architecture"
    bad=$(grep -vxE "debian .*|package [a-z0-9][a-z0-9+.-]* [0-9][A-Za-z0-9.+~:-]*" <<<"$record" | head -n 1) || true
    [ -z "$bad" ] || die "the record has a line that names no package version: ${bad//[^[:print:]]/?}"
    key=$(sha256sum <<<"$record" | cut -c1-16)
    roots=$top/build/roots
    if [ ! -d "$roots/$key" ]; then
        include=$(awk '$1 == "package" { printf "%s%s=%s", n++ ? "," : "", $2, $3 }' <<<"$record")
        # Whether the source serves every version, before anything is made.
        if ! log=$(strap /dev/null --simulate --variant=custom --include="$include" 2>&1); then
            missing=$(grep -oE "Version '[^']+' for '[^']+' was not found" <<<"$log" | head -n 1 |
                sed -E "s/Version '([^']+)' for '([^']+)'.*/\2 \1/") || true
            [ -z "$missing" ] || die "the record names $missing, which the apt source does not serve; KZ_RELEASE_SOURCE names another, such as an archive snapshot of the day the release was made"
            die "the apt source does not give the record's packages: $(grep -E '^E:' <<<"$log" | head -n 2 | paste -sd ' ')"
        fi
        mkdir -p "$roots" && partial=$(mktemp -d "$roots/$key.XXXXXX" 2>/dev/null) ||
            die "the root the record names is not made, and $roots is not writable here: make it as a user who can write there (release/root.sh make RECORD)"
        trap 'rm -rf "$partial" "$partial.log"' EXIT
        # To a tar, extracted by the caller: the root is theirs, made as root
        # or not (mmdebstrap then takes its fakechroot or unshare mode).
        strap - --variant=custom --include="$include" 2>"$partial.log" | tar -x -C "$partial" --exclude='./dev/*' ||
            die "mmdebstrap could not make the root: $(grep -E '^E:' "$partial.log" | head -n 2 | paste -sd ' ')"
        rm -f "$partial.log"
        made=$(dpkg-query --admindir="$partial/var/lib/dpkg" -W -f='package ${Package} ${Version}\n' | LC_ALL=C sort)
        [ "$made" = "$(grep '^package ' <<<"$record")" ] ||
            die "the root holds other packages than the record names: $(diff <(grep '^package ' <<<"$record") <(echo "$made") | grep '^[<>]' | head -n 3 | paste -sd ' ')"
        mv -T "$partial" "$roots/$key" 2>/dev/null || rm -rf "$partial"  # another run made it meanwhile
    fi
    echo "$roots/$key"
    ;;
build)
    [ $# -eq 6 ] && [ -d "$2/usr" ] && [ -d "$3" ] && [ -d "$4" ] || die "usage: root.sh build ROOT OUT SIGNATURES COMMIT EPOCH"
    # Read-only root, no network, its own PID, IPC and UTS namespaces and
    # session, an unprivileged uid, an environment of its own; it dies with
    # its caller, and after 30 minutes.
    exec bwrap --ro-bind "$2" / --dev /dev --proc /proc --tmpfs /tmp --bind "$3" /srv --ro-bind "$4" /mnt \
        --unshare-all --hostname release --uid 1000 --gid 1000 --die-with-parent --new-session \
        --clearenv --setenv PATH /usr/bin:/bin --setenv HOME /tmp --setenv LC_ALL C.UTF-8 --setenv TZ UTC \
        --chdir /tmp -- timeout -k 10 30m sh -c 'mkdir src && tar -x -C src && cd src && exec release/build.sh "$@"' \
        build "$5" "$6"
    ;;
*)
    die "usage: root.sh resolve | make RECORD | build ROOT OUT SIGNATURES COMMIT EPOCH" ;;
esac
