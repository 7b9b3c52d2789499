#!/bin/bash
# objdump as another binutils might print its import listing: the real
# output with each imported function's line laid out differently, so that the
# oldest-Windows check reads none of them. The check must fail, not pass.
set -o pipefail
x86_64-w64-mingw32-objdump "$@" | sed -E 's/^\t([0-9a-f]+)\t +([0-9]+)  /\t\1 \2 /'
