#!/bin/bash
# Checks what a built KZviVIVaru.exe carries, for either architecture, without
# running it: only Windows' own DLLs imported, a GUI program for the right
# machine, one icon group holding one 32 x 32 16-colour image equal to
# resources/app.ico, the version resource with exactly its fields, and the
# application manifest.
#
#   check-exe.sh EXE x64|x86 SOURCE_DIR
set -uo pipefail

exe=${1:?usage: check-exe.sh EXE x64|x86 SOURCE_DIR}
arch=${2:?usage: check-exe.sh EXE x64|x86 SOURCE_DIR}
source=${3:?usage: check-exe.sh EXE x64|x86 SOURCE_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() { if [ "$2" == "$3" ]; then echo "ok: $1"; else fail "$1: expected [$2], got [$3]"; fi; }
expect_grep() { if grep -qE -- "$2" "$3"; then echo "ok: $1"; else fail "$1: no match for [$2]"; fi; }
expect_no_grep() { if grep -qE -- "$2" "$3"; then fail "$1: found [$2]"; else echo "ok: $1"; fi; }

case $arch in
x64) objdump=x86_64-w64-mingw32-objdump format=pei-x86-64 ;;
x86) objdump=i686-w64-mingw32-objdump format=pei-i386 ;;
*) echo "unknown architecture $arch" >&2; exit 2 ;;
esac

"$objdump" -p "$exe" >"$work/headers.txt"
expect_grep "machine" "file format $format" "$work/headers.txt"
expect_grep "GUI subsystem" '^Subsystem[[:space:]]+00000002' "$work/headers.txt"
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' "$work/headers.txt" | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
expect_eq "imports only Windows' own DLLs" "advapi32.dll comctl32.dll gdi32.dll kernel32.dll msvcrt.dll user32.dll " "$imports"

# Resources: type 3 icon, 14 icon group, 16 version, 24 manifest.
wrestool -l "$exe" >"$work/resources.txt"
count() { grep -c -- "--type=$1 " "$work/resources.txt"; }
expect_eq "resources (icon, group, version, manifest)" "1 1 1 1" "$(count 3) $(count 14) $(count 16) $(count 24)"
expect_eq "resource count" 4 "$(wc -l <"$work/resources.txt")"
expect_eq "resource language Chinese (PRC)" 4 "$(grep -c -- '--language=2052 ' "$work/resources.txt")"

wrestool -x --type=14 -o "$work/icon.ico" "$exe"
expect_eq "icon group holds one 32 x 32, 4-bit, 16-colour image" \
    "--icon --index=1 --width=32 --height=32 --bit-depth=4 --palette-size=16" "$(icotool -l "$work/icon.ico")"
# The image itself (a .ico holding one image keeps it after a 22-byte header).
wrestool -x --raw --type=3 "$exe" >"$work/image.bin"
tail -c +23 "$source/resources/app.ico" >"$work/expected-image.bin"
if cmp -s "$work/image.bin" "$work/expected-image.bin"; then
    echo "ok: icon image equals resources/app.ico"
else
    fail "icon image differs from resources/app.ico"
fi

# The version resource, as hex, with its UTF-16 strings spelled out.
hex() { od -An -tx1 -v | tr -d ' \n'; }
u16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | hex; }
wrestool -x --raw --type=16 "$exe" | hex >"$work/version.hex"
# VS_FIXEDFILEINFO after its signature: struct version 1.0, file and product
# version 1.0.0.0, flags mask 0x3F, no flags, OS 4 (32-bit Windows), type 1
# (application), no subtype, no date.
expect_grep "fixed version info" \
    "bd04effe0000010000000100000000000000010000000000""3f000000""00000000""04000000""01000000""00000000""0000000000000000" \
    "$work/version.hex"
string_entry() { echo "$(u16 "$1")0000(0000)?$(u16 "$2")0000"; }
for pair in "FileVersion=1.00" "ProductVersion=1.00" "ProductName=KZviVIVaru" \
    "InternalName=KZviVIVaru" "OriginalFilename=KZviVIVaru.exe"; do
    expect_grep "version string $pair" "$(string_entry "${pair%%=*}" "${pair#*=}")" "$work/version.hex"
done
expect_grep "string table 080404B0" "$(u16 080404B0)0000" "$work/version.hex"
expect_eq "exactly five version strings" 5 \
    "$(grep -oE "$(u16 Version)0000|$(u16 Name)0000|$(u16 Filename)0000|$(u16 Company)|$(u16 Description)|$(u16 Copyright)|$(u16 Comments)|$(u16 Trademarks)|$(u16 Build)0000" "$work/version.hex" | wc -l)"
expect_grep "translation 0x0804, code page 1200" "$(u16 Translation)0000(0000)?0408b004" "$work/version.hex"

wrestool -x --raw --type=24 "$exe" >"$work/manifest.xml"
expect_grep "manifest: runs as the invoker" 'requestedExecutionLevel level="asInvoker"' "$work/manifest.xml"
expect_grep "manifest: DPI-aware" '<dpiAware[^>]*>true</dpiAware>' "$work/manifest.xml"
expect_grep "manifest: Common Controls 6" 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' "$work/manifest.xml"
expect_eq "manifest: Windows 7 to 11" 4 "$(grep -c '<supportedOS Id=' "$work/manifest.xml")"
expect_no_grep "manifest: no activeCodePage" 'activeCodePage' "$work/manifest.xml"

if [ "$failures" -gt 0 ]; then
    echo "$exe: $failures check(s) failed"
    exit 1
fi
echo "$exe: all checks passed"
