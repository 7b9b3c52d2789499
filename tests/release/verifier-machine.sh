#!/bin/bash
# Runs a command as on a verifier's machine, which has what building and
# verifying need and none of what only the tests need. In a mount namespace of
# its own:
#   - the programs of the test-only packages (Wine, Xvfb, xdotool, qemu,
#     icoutils, ImageMagick, SoftHSM2, ...) cannot run, and dpkg-query calls
#     those packages absent;
#   - osslsigncode is the one the machine's own sources give (bookworm's 2.5,
#     which `deps.sh verify` installs), not the tests' backport;
#   - apt's sources, dpkg's database, the locales and binfmt_misc are
#     read-only, so that any attempt to install or register something fails.
#
#   verifier-machine.sh COMMAND...
#
# Needs root and mount namespaces; without them the command runs on this
# machine as it is, and says so.
set -euo pipefail
test_only=(wine64 wine32 wine xvfb xdotool x11-utils imagemagick imagemagick-6.q16 icoutils
    qemu-user googletest libgtest-dev fonts-wqy-microhei softhsm2 shellcheck pyflakes3)

if [ "${1:-}" != --inside ]; then
    if [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; then
        exec unshare --mount --propagation private "$0" --inside "$@"
    fi
    echo "note: no mount namespace here, so this runs on this machine as it is, test-only packages and all" >&2
    exec "$@"
fi
shift
own=$(mktemp -d)
trap 'rm -rf "$own"' EXIT

# Fetched before apt's folders turn read-only; where it cannot be (no
# network), the installed one stays, and the output says so.
if (cd "$own" && apt-get download -q osslsigncode/bookworm >/dev/null 2>&1) &&
    dpkg-deb -x "$own"/osslsigncode_*.deb "$own/bookworm"; then
    mount --bind "$own/bookworm/usr/bin/osslsigncode" /usr/bin/osslsigncode
else
    echo "note: bookworm's osslsigncode could not be fetched; verifying with $(osslsigncode --version | head -n1)" >&2
fi
for package in "${test_only[@]}"; do
    dpkg-query -L "$package" 2>/dev/null | grep -E '^/usr/s?bin/.' || true
done | sort -u | while read -r program; do
    [ ! -e "$program" ] || mount --bind /dev/null "$program"
done
for folder in /usr/lib/wine /usr/lib/x86_64-linux-gnu/wine /usr/lib/i386-linux-gnu/wine; do
    [ ! -d "$folder" ] || mount -t tmpfs -o ro,size=4k none "$folder"
done
for path in /etc/apt /var/lib/dpkg /var/lib/apt /etc/locale.gen /usr/lib/locale /proc/sys/fs/binfmt_misc; do
    [ -e "$path" ] || continue
    mount --bind "$path" "$path"
    mount -o remount,bind,ro "$path"
done

cat >"$own/dpkg-query" <<EOF
#!/bin/sh
for argument; do
    case " ${test_only[*]} " in
    *" \${argument%%:*} "*) echo "dpkg-query: no packages found matching \$argument" >&2; exit 1 ;;
    esac
done
exec /usr/bin/dpkg-query "\$@"
EOF
chmod +x "$own/dpkg-query"
echo "verifying with $(osslsigncode --version | head -n1)"
PATH=$own:$PATH "$@"
