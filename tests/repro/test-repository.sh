# shellcheck shell=bash
# Sourced by the release tests.
#
# Only what a test sets reaches its releases: a vendor's signing or verifying
# settings in the shell that runs it stay out.
for variable in $(compgen -e); do
    case $variable in KZ_SIGN_* | KZ_VERIFY_* | SOFTHSM2_CONF) unset "$variable" ;; esac
done

# test_repository SOURCE DEST: a git repository
# in DEST whose one commit holds the files git knows of in SOURCE, committed
# or not, as a fresh clone would have them: the sources under test, as a
# commit that a release can be made from. A tracked file deleted in SOURCE
# stays out. Its build roots are SOURCE's, made once for every test.
test_repository() {
    mkdir -p "$2/build" "$1/build/roots"
    ln -s "$(cd "$1" && pwd)/build/roots" "$2/build/roots"
    (cd "$1" && git ls-files -z --cached --others --exclude-standard |
        xargs -0 sh -c 'for f; do [ ! -e "$f" ] || cp --parents -p -- "$f" "$0" || exit 1; done' "$2") &&
        git -C "$2" init -q && git -C "$2" add -A &&
        git -C "$2" -c user.name=test -c user.email=test@localhost commit -qm "the sources under test"
}
