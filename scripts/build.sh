#!/bin/bash
# Configures and builds the given presets (all three by default). A build's
# full output goes to build/<preset>.log and is shown only when it fails.
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(native mingw-x64 mingw-x86)

mkdir -p build
for preset in "${presets[@]}"; do
    log=build/$preset.log
    echo "== build $preset"
    if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "build of $preset failed; full output in $log" >&2
        exit 1
    fi
done
