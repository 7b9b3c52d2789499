#!/bin/bash
# The unsigned release built twice by reprotest, which varies what must not
# matter, must give byte-identical zips: the build's path, the order in which
# the file system lists folders, the time, time zone, locale, umask, home,
# environment, PATH, kernel personality, CPU count and ASLR. (Its user and
# host name variations call `sudo -h`, which Debian 12's sudo refuses; the
# sandbox fixes both.) Then what the zips hold.
#
#   check.sh SOURCE_DIR
set -euo pipefail
source=${1:?usage: check.sh SOURCE_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# shellcheck source=test-repository.sh
. "$source/tests/repro/test-repository.sh"
test_repository "$source" "$work/repo"
# One root for both builds, chosen now: what the apt source gives could
# change between them, and its lists are not read under a shifted clock.
(cd "$work/repo" && release/root.sh resolve >"$work/record" && release/root.sh make "$work/record" >/dev/null)
if ! (cd "$work" && reprotest --verbosity 1 --vary=-user_group,-domain_host --store-dir "$work/store" \
    -c "KZ_RELEASE_RECORD=$work/record scripts/package.sh" repo 'build/packages/*.zip') >"$work/reprotest.log" 2>&1; then
    tail -n 60 "$work/reprotest.log"
    echo "FAIL: the release differs between two builds that vary what must not matter"
    exit 1
fi
echo "ok: the zips are the same, with $(grep -m1 -oE 'build "experiment-1": .*' "$work/reprotest.log" | grep -oE 'vary [a-z_]+' |
    sed 's/vary //' | paste -sd, | sed 's/,/, /g') varied"

failures=0
zips=$work/store/control/source-root/build/packages
listing=$(unzip -Z1 "$zips/KZviVIVaru-1.0-x64-64bit-Windows-only.zip" | tr '\n' ' ')
if [ "$listing" = "BUILDINFO KZviVIVaru.exe README-CHS.txt SHA256SUMS " ]; then
    echo "ok: zip holds $listing"
else
    echo "FAIL: zip holds [$listing]"
    failures=$((failures + 1))
fi
# The guide opens as Chinese in Notepad: UTF-8 with a byte-order mark, CRLF.
guide=$work/guide.txt
unzip -p "$zips/KZviVIVaru-1.0-x86-any-Windows-XP-to-11.zip" README-CHS.txt >"$guide"
if [ "$(head -c 3 "$guide" | od -An -tx1 | tr -d ' ')" = efbbbf ] &&
    iconv -f UTF-8 -t UTF-16LE "$guide" >/dev/null 2>&1 &&
    [ "$(grep -c $'\r$' "$guide")" = "$(wc -l <"$guide")" ] && grep -q '重启MMI生效！' "$guide"; then
    echo "ok: README-CHS.txt is UTF-8 with a byte-order mark and CRLF lines"
else
    echo "FAIL: README-CHS.txt is not UTF-8 with BOM and CRLF"
    failures=$((failures + 1))
fi
exit $((failures > 0))
