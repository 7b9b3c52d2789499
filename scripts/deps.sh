#!/bin/bash
# Installs what building and testing need on Debian 12, and only what is
# missing: quiet and quick when everything is already there.
set -euo pipefail

packages=(
    cmake make g++                      # native build and unit tests
    mingw-w64 binutils-mingw-w64        # Windows builds, objdump for the PE checks
    googletest libgtest-dev             # GoogleTest sources, built with each preset
    wine64                              # runs the 64-bit Windows builds
    xvfb xdotool x11-utils imagemagick  # a virtual display, input, window properties, screenshots
    fonts-wqy-microhei                  # Chinese glyphs on that display
    icoutils                            # wrestool and icotool for the exe checks
    locales unzip git                   # code pages; release zips; reproducibility check
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Wine takes its ANSI code page from the locale: zh_CN gives 936, en_US 1252.
generate=0
for locale in zh_CN en_US; do
    if ! locale -a 2>/dev/null | grep -qx "$locale.utf8"; then
        sed -i -E "s/^# *($locale\.UTF-8 UTF-8)/\1/" /etc/locale.gen
        grep -qx "$locale.UTF-8 UTF-8" /etc/locale.gen || echo "$locale.UTF-8 UTF-8" >> /etc/locale.gen
        generate=1
    fi
done
if [ $generate = 1 ]; then
    locale-gen >/dev/null
fi
