#!/bin/bash
# Checks that an exe can start on the oldest Windows the release claims (XP
# SP3 for the 32-bit build, XP x64 / Server 2003 for the 64-bit one), whose
# loader refuses an exe whose header asks for a newer Windows or that imports
# a function it lacks: the header's versions, every import against
# xp-imports.txt beside it, and the flags below. The release build runs it,
# with nothing but the cross binutils.
#
#   check-oldest-windows.sh EXE x64|x86
set -uo pipefail

exe=${1:?usage: check-oldest-windows.sh EXE x64|x86}
arch=${2:?usage: check-oldest-windows.sh EXE x64|x86}
allowlist=$(dirname "$0")/xp-imports.txt

case $arch in
x64) binutils=x86_64-w64-mingw32 oldest=5.02 oldest_name="Windows XP x64 / Server 2003" slot=8 ;;
x86) binutils=i686-w64-mingw32 oldest=5.01 oldest_name="Windows XP" slot=4 ;;
*) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
objdump=${KZ_OBJDUMP:-$binutils-objdump}  # a test puts one here whose listing the parser cannot read

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

headers=$("$objdump" -p "$exe") || { echo "FAIL: $exe is not a PE file"; exit 1; }
field() { awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers"; }

# Major.minor as a number with two digits of minor version: 5.1 is 5.01.
for kind in OSystem:OS Subsystem:subsystem; do
    version=$(printf '%d.%02d' "$(field "Major${kind%:*}Version")" "$(field "Minor${kind%:*}Version")")
    awk -v v="$version" -v max="$oldest" 'BEGIN { exit !(v <= max) }' &&
        echo "ok: ${kind#*:} version $version (at most $oldest, $oldest_name)" ||
        fail "${kind#*:} version $version asks for a Windows newer than $oldest_name ($oldest)"
done

# A Terminal Server maps INI files and registry keys into per-user copies for
# every exe not marked Terminal-Server-aware, which this one needs none of
# (MinGW's linker marks it with --tsaware). Where Windows has them (DEP on
# XP SP3, ASLR on Vista, high-entropy ASLR on 8 for x64), data is not
# executable and the image, stacks and heaps are placed at random.
characteristics=$((16#$(field DllCharacteristics)))
flags=("0x8000 Terminal-Server-aware" "0x100 DEP-compatible (NX)" "0x40 ASLR-movable (dynamic base)")
[ "$arch" = x86 ] || flags+=("0x20 high-entropy-ASLR-capable")
for flag in "${flags[@]}"; do
    (( characteristics & ${flag%% *} )) && echo "ok: marked ${flag#* }" ||
        fail "not marked ${flag#* } (DllCharacteristics $(field DllCharacteristics))"
done

# "dll function" for every import, the DLL in lower case.
imports=$(awk '/^\tDLL Name: / { dll = tolower($3) }
    /^\t[0-9a-f]+\t +[0-9]+  [A-Za-z_]/ && dll != "" { print dll, $3 }
    /^$/ { dll = "" }' <<<"$headers" | sort)
read_count=$(grep -c . <<<"$imports")
# Counted apart from that parser, in the import address table: a slot per
# import and an empty one closing each DLL's, so that an import the parser
# missed (another listing layout, an import by ordinal) cannot go unchecked.
iat_bytes=$(awk '/Import Address Table Directory/ { print $4; exit }' <<<"$headers")
dll_count=$(grep -c $'^\tDLL Name: ' <<<"$headers")
listed=$(( ${iat_bytes:+16#$iat_bytes} / slot - dll_count ))
if [ "$read_count" -eq 0 ]; then
    fail "no imports read from $exe (the file lists $listed): the check would pass on nothing"
elif [ "$read_count" -ne "$listed" ]; then
    fail "read $read_count imports, but the file lists $listed: the rest go unchecked"
fi
known=$(awk -v arch="$arch" '!/^#/ && NF >= 2 && (NF == 2 || $3 == arch) { print tolower($1), $2 }' "$allowlist" | sort -u)
unknown=$(comm -23 <(sort -u <<<"$imports") <(echo "$known") | grep .)
if [ -n "$unknown" ]; then
    while read -r dll function; do
        fail "not known to exist on $oldest_name: $dll $function"
    done <<<"$unknown"
elif [ "$read_count" -gt 0 ]; then
    echo "ok: the $read_count imports read all exist on $oldest_name"
fi

# XP registers Common Controls 6's classes (the button, the message box's)
# only for a program that calls into comctl32; Wine and newer Windows load it
# regardless, so only this notices the call going missing. The manifest is
# plain text in the resource section.
manifest=$("$binutils-objcopy" -O binary --only-section=.rsrc "$exe" /dev/stdout 2>/dev/null | tr -d '\0') ||
    fail "cannot read the resource section of $exe"
if grep -q 'name="Microsoft.Windows.Common-Controls" version="6' <<<"$manifest"; then
    grep -qx 'comctl32.dll InitCommonControlsEx' <<<"$imports" &&
        echo "ok: Common Controls 6, and comctl32's InitCommonControlsEx imported" ||
        fail "the manifest asks for Common Controls 6 but comctl32.dll InitCommonControlsEx is not imported"
fi
[ "$failures" -eq 0 ] || { echo "$exe: $failures check(s) failed"; exit 1; }
echo "$exe: starts on $oldest_name and later"
