#!/bin/bash
# The benchmark, in one run under Wine on a virtual display:
#   1. start-up: process start to main window visible, KZviVIVaru.exe against
#      bench/Baseline.cpp, alternating after a warm-up; medians and ratio;
#   2. the registry calls one press makes, from Wine's relay trace of
#      advapi32 (the floor is 12: one create, nine sets, one flush, one close);
#   3. the size of both executables (64- and 32-bit) and of their imports.
# Not part of the tests' pass or fail. Figures go to build/bench/results.txt.
#
#   bench/run.sh [RUNS]      (RUNS per program, at least 7; default 11)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${1:-11}
[ "$runs" -ge 7 ] || { echo "bench: at least 7 runs" >&2; exit 2; }

scripts/deps.sh
scripts/build.sh mingw-x64 mingw-x86 >/dev/null

build=$root/build/mingw-x64
out=$root/build/bench
mkdir -p "$out"
# shellcheck source=../scripts/wine/desktop.sh
. scripts/wine/desktop.sh
desktop_start "$root/build/bench-prefix" "$root/build/bench-session"

# Windows paths for the timer, which runs inside Wine.
winpath() { echo "Z:${1//\//\\}"; }

echo "== start-up: $runs runs each after 2 warm-up rounds, alternating"
# Through files, never pipes: Wine services the timer starts would hold a
# pipe open until the session ends.
desktop_wine "$build/bench/StartupTimer.exe" "$runs" 2 "$(winpath "$build/KZviVIVaru.exe")" \
    "$(winpath "$build/Baseline.exe")" "$(winpath "$build/BaselineManifest.exe")" \
    </dev/null >"$out/startup.txt" 2>&1
tr -d '\r' <"$out/startup.txt" >"$out/startup.clean"
median() { sed -n "s/^program$1 median_ms=//p" "$out/startup.clean"; }
samples() { sed -n "s/^program$1 runs_ms=//p" "$out/startup.clean"; }
app_median=$(median 0) base_median=$(median 1) manifest_median=$(median 2)
ratio=$(awk -v a="$app_median" -v b="$base_median" 'BEGIN { printf "%.3f", a / b }')
manifest_ratio=$(awk -v a="$app_median" -v b="$manifest_median" 'BEGIN { printf "%.3f", a / b }')

echo "== registry calls of one press (relay trace of advapi32)"
desktop_wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d 'advapi32.*' /f </dev/null >/dev/null 2>&1
desktop_wine reg delete 'HKCU\Software\PowerAutomation' /f </dev/null >/dev/null 2>&1 || true
WINEDEBUG=+relay desktop_wine "$build/KZviVIVaru.exe" </dev/null >/dev/null 2>"$out/relay.log" &
app_pid=$!
main=$(desktop_wait_window '柯舟软件    viVIVaru')
desktop_click_centre "$main"
desktop_confirm "$(desktop_wait_window '提示')"
wait "$app_pid" || true
app_pid=
# The program's own thread is the one that opened the MMI's key; its calls
# into advapi32 returning into the exe (image base 0x140000000) are the
# program's, not those Wine's own DLLs make on its behalf.
thread=$(grep -m1 'Call advapi32.RegCreateKeyA(.*PowerAutomation' "$out/relay.log" | cut -d: -f1)
grep -E "^$thread:Call advapi32\.Reg" "$out/relay.log" | grep -E 'ret=0*14[0-9a-f]{7}$' |
    sed -E 's/^[0-9a-f]+:Call advapi32\.//; s/ ret=.*//' >"$out/registry-calls.txt"
calls=$(wc -l <"$out/registry-calls.txt")

echo "== sizes"
sizes() {  # exe objdump
    local imports idata
    imports=$("$2" -p "$1" | awk '/^\tDLL Name:/ { dlls++ } /^\t[0-9a-f]+\t +[0-9]+  [A-Za-z_]/ { functions++ }
        END { printf "%d DLLs, %d functions", dlls, functions }')
    idata=$("$2" -h "$1" | awk '$2 == ".idata" { print $3 }')
    printf '%s bytes; imports %s; .idata %d bytes' "$(stat -c %s "$1")" "$imports" "$((16#$idata))"
}
size64=$(sizes "$build/KZviVIVaru.exe" x86_64-w64-mingw32-objdump)
size32=$(sizes "$root/build/mingw-x86/KZviVIVaru.exe" i686-w64-mingw32-objdump)
sizebase=$(sizes "$build/Baseline.exe" x86_64-w64-mingw32-objdump)

{
    echo "start-up to visible window (median of $runs, Wine $(desktop_wine --version), Xvfb):"
    echo "  KZviVIVaru.exe         ${app_median} ms   (runs: $(samples 0))"
    echo "  Baseline.exe           ${base_median} ms   (runs: $(samples 1))"
    echo "  BaselineManifest.exe   ${manifest_median} ms   (runs: $(samples 2))"
    echo "  ratio app/baseline: $ratio; app/baseline with the app's manifest: $manifest_ratio"
    echo "registry calls of one press: $calls"
    sed 's/^/  /' "$out/registry-calls.txt"
    echo "executables:"
    echo "  KZviVIVaru.exe (x64): $size64"
    echo "  KZviVIVaru.exe (x86): $size32"
    echo "  Baseline.exe (x64):   $sizebase"
} | tee "$out/results.txt"
