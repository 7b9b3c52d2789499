#!/bin/bash
# objdump showing an exe linked without --tsaware: the real output with the
# Terminal-Server-aware bit (0x8000) gone from DllCharacteristics. The
# oldest-Windows check must refuse it.
set -o pipefail
x86_64-w64-mingw32-objdump "$@" | sed -E 's/^(DllCharacteristics\t+)[0-9a-f]*([0-9a-f]{3})$/\100000\2/'
