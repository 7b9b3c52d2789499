#!/bin/bash
# Two release builds of one commit, in different folders, at different times,
# by different accounts with different umasks (root with 022, nobody with
# 077), must give byte-identical executables and zips.
#
#   check.sh SOURCE_DIR
set -euo pipefail
source=${1:?usage: check.sh SOURCE_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # the other account builds in here
# A build's own output, shown only when it fails.
package() { scripts/package.sh >"$1" 2>&1 || { cat "$1"; exit 1; }; }

# shellcheck source=test-repository.sh
. "$source/tests/repro/test-repository.sh"
test_repository "$source" "$work/repo"
first=$work/first/KZviVIVaru
second=$work/second/elsewhere/src
git clone -q "$work/repo" "$first"
git clone -q --no-hardlinks "$work/repo" "$second"

(cd "$first" && umask 022 && package "$work/first.log")
sleep 2  # a later build: any clock that leaks in shows
if [ "$(id -u)" -eq 0 ]; then
    chown -R nobody: "$work/second"
    setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups env HOME="$work/second" \
        bash -c 'umask 077 && cd "$1" && { scripts/package.sh >../package.log 2>&1 || { cat ../package.log; exit 1; }; }' \
        _ "$second"
    echo "ok: second build by nobody with umask 077, first by $(id -un) with umask 022"
else
    (cd "$second" && umask 077 && package "$work/second.log")
    echo "note: not root, so both builds by $(id -un) (umask 022 and 077); another account is not tried"
fi

failures=0
for file in release/x64/KZviVIVaru.exe release/x86/KZviVIVaru.exe $(cd "$first/build" && echo packages/*.zip); do
    a=$first/build/$file
    b=$second/build/$file
    if cmp -s "$a" "$b"; then
        echo "ok: $file identical ($(sha256sum <"$a" | cut -c1-16)..., $(stat -c %s "$a") bytes)"
    else
        echo "FAIL: $file differs between the two builds"
        cmp -l "$a" "$b" | head -n 5 || true
        failures=$((failures + 1))
    fi
done
zip=$first/build/packages/KZviVIVaru-1.0-x64-64bit-Windows-only.zip
# Unless asked to sign, the release carries the exe exactly as built.
if unzip -p "$zip" KZviVIVaru.exe | cmp -s - "$first/build/release/x64/KZviVIVaru.exe"; then
    echo "ok: the unsigned zip holds the exe as built"
else
    echo "FAIL: the unsigned zip's exe is not the one built"
    failures=$((failures + 1))
fi
listing=$(unzip -Z1 "$zip" | tr '\n' ' ')
if [ "$listing" = "BUILDINFO KZviVIVaru.exe README-CHS.txt SHA256SUMS " ]; then
    echo "ok: zip holds $listing"
else
    echo "FAIL: zip holds [$listing]"
    failures=$((failures + 1))
fi
# The guide opens as Chinese in Notepad: UTF-8 with a byte-order mark, CRLF.
guide=$work/guide.txt
unzip -p "$first/build/packages/KZviVIVaru-1.0-x86-any-Windows-XP-to-11.zip" README-CHS.txt >"$guide"
if [ "$(head -c 3 "$guide" | od -An -tx1 | tr -d ' ')" = efbbbf ] &&
    iconv -f UTF-8 -t UTF-16LE "$guide" >/dev/null 2>&1 &&
    [ "$(grep -c $'\r$' "$guide")" = "$(wc -l <"$guide")" ] && grep -q '重启MMI生效！' "$guide"; then
    echo "ok: README-CHS.txt is UTF-8 with a byte-order mark and CRLF lines"
else
    echo "FAIL: README-CHS.txt is not UTF-8 with BOM and CRLF"
    failures=$((failures + 1))
fi
exit $((failures > 0))
