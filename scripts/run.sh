#!/bin/bash
# Builds the product for every target.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/build.sh native mingw-x64 mingw-x86
