# shellcheck shell=bash
# Wine's settings for every run of the program here, in one place: sourced by
# prefix.sh, session.sh and desktop.sh (scripts/run.sh, the benchmark), by
# in-prefix.sh, through which CMake runs the tests under Wine, and by the
# end-to-end scripts.

# wine_env PREFIX: points Wine at PREFIX, with its own debug messages off and
# without the Mono and Gecko installers' prompts (the program needs neither).
wine_env() { export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=; }

# The locale the program is made for: code page 936, in which the ANSI calls
# carry the labels' Chinese. Handed to Wine alone (env LC_ALL=...): a shell
# that was already running when deps.sh generated it cannot switch to it (and
# would say so).
# shellcheck disable=SC2034  # for the scripts that source this file
wine_locale=zh_CN.UTF-8
