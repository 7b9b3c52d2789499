#!/bin/bash
# Lints every shell script (shellcheck: warnings and errors) or every Python
# file (pyflakes) git knows of in the repository, each found by its name or
# its first line, so that a new one needs listing nowhere.
#
#   lint.sh shellcheck|pyflakes SOURCE_DIR
set -uo pipefail

usage="usage: lint.sh shellcheck|pyflakes SOURCE_DIR"
linter=${1:?$usage}
source=${2:?$usage}

case $linter in
shellcheck)
    kind="shell scripts"
    # -x with SCRIPTDIR: a sourced file is read where its `source=` comment
    # says, relative to the script that sources it.
    command=(shellcheck -x -P SCRIPTDIR -S warning -f gcc --)
    ready() { command -v shellcheck >/dev/null; }
    wanted() { [[ $1 == *.sh || $2 =~ ^#!.*[/\ ](ba|da|k)?sh([[:space:]]|$) ]]; }
    advice="fix each one, or where the code is right as it stands, put a '# shellcheck disable=SCnnnn' comment above that line saying why" ;;
pyflakes)
    kind="Python files"
    command=(/usr/bin/python3 -m pyflakes --)
    ready() { /usr/bin/python3 -c 'import pyflakes' 2>/dev/null; }
    wanted() { [[ $1 == *.py || $2 =~ ^#!.*python ]]; }
    advice="fix each one" ;;
*)
    echo "$usage" >&2
    exit 2 ;;
esac

ready || { echo "FAIL: $linter is not installed (scripts/deps.sh test installs it)"; exit 1; }
cd "$source" || exit 1
if ! refusal=$(git rev-parse --is-inside-work-tree 2>&1 >/dev/null); then
    echo "FAIL: git cannot list the files in $source, which are the ones to lint: $refusal"
    exit 1
fi

# The files git knows of, committed or not yet, that are still there.
files=()
while IFS= read -r -d '' file; do
    [ -f "$file" ] || continue
    first=
    IFS= read -r -n 128 first <"$file" || true
    if wanted "$file" "$first"; then files+=("$file"); fi
done < <(git ls-files -z --cached --others --exclude-standard)
[ ${#files[@]} -gt 0 ] || { echo "FAIL: found no $kind in $source"; exit 1; }

if "${command[@]}" "${files[@]}"; then
    echo "ok: $linter finds nothing in ${#files[@]} $kind"
    exit 0
fi
echo "FAIL: $linter finds the faults above in the repository's $kind: $advice"
exit 1
