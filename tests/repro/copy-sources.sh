# Sourced by the release tests. copy_sources SOURCE DEST: the files git knows
# of in SOURCE (committed or not), as a fresh clone would have them, into DEST.
copy_sources() {
    mkdir -p "$2"
    (cd "$1" && git ls-files -z --cached --others --exclude-standard |
        xargs -0 -I{} sh -c 'test -e "{}" && cp --parents -p "{}" "$1"' _ "$2")
}
