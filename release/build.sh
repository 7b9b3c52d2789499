#!/bin/bash
# The release build, run by root.sh inside the build root, in the sources
# of one commit: both exes, checked for the oldest Windows they claim, then
# for the unsigned release and for each signature in /mnt/SET/KZviVIVaru.pem
# both zips, with that signature attached, as /srv/SET/<zip name>; the
# unsigned exes as /srv/exe/x64.exe and x86.exe, their zips' names beside.
#
#   build.sh COMMIT SOURCE_DATE_EPOCH
set -euo pipefail
shopt -s nullglob
export SOURCE_DATE_EPOCH=$2 LC_ALL=C  # one sort order for SHA256SUMS
commit=$1
mkdir -p /srv/exe /srv/unsigned
for arch in x64 x86; do
    echo "== release $arch"
    cmake -S . -B "/tmp/$arch" -G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >/dev/null
    cmake --build "/tmp/$arch" -j 2 >/dev/null
    cmake --install "/tmp/$arch" --prefix "/tmp/stage/$arch" >/dev/null
    release/check-oldest-windows.sh "/tmp/stage/$arch/KZviVIVaru.exe" "$arch"
    name=$(cat "/tmp/$arch/release-name")
    # The build record: the root's every package and version, from which
    # root.sh makes it again, and what the zip's bytes depend on besides.
    {
        echo "# How this zip was built: release/root.sh makes the root of these packages again, and the verifier rebuilds the zip in it."
        echo "zip $name.zip"
        echo "commit $commit"
        echo "source-date-epoch $SOURCE_DATE_EPOCH"
        echo "debian $(. /etc/os-release && echo "$VERSION_CODENAME") $(dpkg --print-architecture)"
        dpkg-query -W -f='package ${Package} ${Version}\n' | sort
    } >"/tmp/stage/$arch/BUILDINFO"
    cp "/tmp/stage/$arch/KZviVIVaru.exe" "/srv/exe/$arch.exe"
    echo "$name.zip" >"/srv/exe/$arch.name"
    for set in unsigned /mnt/*/; do
        set=$(basename "$set")
        folder=/tmp/zip/$set/$arch
        mkdir -p "$folder" "/srv/$set"
        cp "/tmp/stage/$arch/"* "$folder/"
        if [ "$set" != unsigned ]; then
            # osslsigncode checks the signature against a CA file as it
            # attaches it; that verdict is the verifier's, so none is given.
            rm "$folder/KZviVIVaru.exe"
            osslsigncode attach-signature -CAfile /dev/null -sigin "/mnt/$set/KZviVIVaru.pem" \
                -in "/tmp/stage/$arch/KZviVIVaru.exe" -out "$folder/KZviVIVaru.exe" >/dev/null 2>&1 || true
            [ -f "$folder/KZviVIVaru.exe" ] || { echo "the signature $set does not attach to the $arch exe"; continue; }
        fi
        # Stored, in one order, dated the commit's time, with one mode and no
        # extra fields: the same files give the same bytes, whoever zips them.
        (cd "$folder" && sha256sum -- * >/tmp/SHA256SUMS && mv /tmp/SHA256SUMS . && chmod 644 -- * &&
            touch -d "@$SOURCE_DATE_EPOCH" -- * && TZ=UTC zip -q -X -D -0 "/srv/$set/$name.zip" -- *)
    done
done
