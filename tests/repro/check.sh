#!/bin/bash
# Two builds of the same sources, in different folders and at different
# times, must give byte-identical executables and release zips.
#
#   check.sh SOURCE_DIR
set -euo pipefail
source=${1:?usage: check.sh SOURCE_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# shellcheck source=copy-sources.sh
. "$source/tests/repro/copy-sources.sh"
copy_sources "$source" "$work/first/KZviVIVaru"
copy_sources "$source" "$work/second/elsewhere/src"

export SOURCE_DATE_EPOCH=1700000000 KZ_CONFIGURE_ARGS=-DBUILD_TESTING=OFF
(cd "$work/first/KZviVIVaru" && scripts/package.sh >/dev/null)
sleep 2  # a later build: any clock that leaks in shows
(cd "$work/second/elsewhere/src" && scripts/package.sh >/dev/null)

failures=0
for file in mingw-x64/KZviVIVaru.exe mingw-x86/KZviVIVaru.exe \
    packages/KZviVIVaru-1.0-x64-64bit-Windows-only.zip packages/KZviVIVaru-1.0-x86-any-Windows-XP-to-11.zip; do
    a=$work/first/KZviVIVaru/build/$file
    b=$work/second/elsewhere/src/build/$file
    if cmp -s "$a" "$b"; then
        echo "ok: $file identical ($(sha256sum <"$a" | cut -c1-16)..., $(stat -c %s "$a") bytes)"
    else
        echo "FAIL: $file differs between the two builds"
        cmp -l "$a" "$b" | head -n 5
        failures=$((failures + 1))
    fi
done
# Unless asked to sign, the release carries the exe exactly as built.
if unzip -p "$work/first/KZviVIVaru/build/packages/KZviVIVaru-1.0-x64-64bit-Windows-only.zip" KZviVIVaru.exe |
    cmp -s - "$work/first/KZviVIVaru/build/mingw-x64/KZviVIVaru.exe"; then
    echo "ok: the unsigned zip holds the exe as built"
else
    echo "FAIL: the unsigned zip's exe is not the one built"
    failures=$((failures + 1))
fi
# The zips carry what they should, dated as asked.
listing=$(unzip -Z1 "$work/first/KZviVIVaru/build/packages/KZviVIVaru-1.0-x64-64bit-Windows-only.zip" | sort | tr '\n' ' ')
if [ "$listing" = "KZviVIVaru.exe README-CHS.txt SHA256SUMS " ]; then
    echo "ok: zip holds $listing"
else
    echo "FAIL: zip holds [$listing]"
    failures=$((failures + 1))
fi
# The guide opens as Chinese in Notepad: UTF-8 with a byte-order mark, CRLF.
guide=$work/guide.txt
unzip -p "$work/first/KZviVIVaru/build/packages/KZviVIVaru-1.0-x86-any-Windows-XP-to-11.zip" README-CHS.txt >"$guide"
if [ "$(head -c 3 "$guide" | od -An -tx1 | tr -d ' ')" = efbbbf ] &&
    iconv -f UTF-8 -t UTF-16LE "$guide" >/dev/null 2>&1 &&
    [ "$(grep -c $'\r$' "$guide")" = "$(wc -l <"$guide")" ] && grep -q '重启MMI生效！' "$guide"; then
    echo "ok: README-CHS.txt is UTF-8 with a byte-order mark and CRLF lines"
else
    echo "FAIL: README-CHS.txt is not UTF-8 with BOM and CRLF"
    failures=$((failures + 1))
fi
exit $((failures > 0))
