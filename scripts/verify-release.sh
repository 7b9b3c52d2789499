#!/bin/bash
# Checks release zips against the commit they claim to come from:
#
#   verify-release.sh ZIP... [COMMIT]     (COMMIT: a tag or hash; default HEAD)
#
# A zip is verified only when all of it is that commit's release:
#  1. its own directory, read before anything is unpacked: each entry a
#     regular file at the top level; no links, folders or duplicate names,
#     nothing hidden before, between or after the entries;
#  2. its BUILDINFO's package versions against this machine's, before the
#     build: another version of the toolchain changes the exe's bytes by itself;
#  3. the commit's own release, built here by that commit's scripts/package.sh
#     in a clean clone of it, unsigned: the zip must hold exactly its files
#     and bear the name of the release zip whose exe it holds;
#  4. SHA256SUMS lists every other file of the zip, and each matches;
#  5. every file but the exe byte-identical to the commit's; the exe's
#     unsigned area holding nothing but its signatures
#     (scripts/signatures.py); every signature listed and verified
#     against the CA certificates in KZ_VERIFY_CAFILE, every time stamp
#     against the authorities in KZ_VERIFY_TSA_CAFILE (both by default the
#     system's), all signatures by one certificate; the exe without them
#     byte-identical to the commit's;
#  6. the zip laid out exactly as the release's zip writer lays out its files.
# KZ_VERIFY_SIGNED=1 fails an unsigned exe too: a signed release whose
# signature was stripped is otherwise an unsigned release of the same code.
# KZ_VERIFY_SIGNER=<SHA-256 fingerprint> fails an unsigned exe and every
# signature by another certificate than the vendor's;
# KZ_VERIFY_SIGNATURES="SHA1 time-stamped, SHA256 time-stamped" (as the
# verdict prints it) fails any other form of signing.
#
# Each failure is one line, "FAIL: ZIP: what: cause". Ends with 0 only when
# every zip is verified. Needs only what building needs, plus osslsigncode
# (scripts/deps.sh verify); reads the reports of bookworm's 2.5 and of 2.9.
set -uo pipefail
usage="usage: verify-release.sh ZIP... [COMMIT]"
zips=()
given=()  # as the user named them: what the report calls them
commit=
for arg in "$@"; do
    case $arg in
    *.zip) [ -f "$arg" ] || { echo "verify-release: no file $arg" >&2; exit 2; }
        zips+=("$(readlink -f -- "$arg")")
        given+=("$arg") ;;
    *) [ -z "$commit" ] || { echo "$usage" >&2; exit 2; }
        commit=$arg ;;
    esac
done
[ ${#zips[@]} -gt 0 ] || { echo "$usage" >&2; exit 2; }
# The pinned signer, as openssl prints fingerprints or without the colons.
signer=$(tr -d ': ' <<<"${KZ_VERIFY_SIGNER:-}" | tr a-f A-F)
[ -z "$signer" ] || [[ $signer =~ ^[0-9A-F]{64}$ ]] ||
    { echo "verify-release: KZ_VERIFY_SIGNER is not a SHA-256 fingerprint: ${KZ_VERIFY_SIGNER}" >&2; exit 2; }
cd "$(dirname "$0")/.."
repo=$PWD
export LC_ALL=C
shopt -s dotglob nullglob  # every file a zip unpacks to, whatever its name

scripts/deps.sh verify || exit 1
sha=$(git rev-parse --verify -q "${commit:-HEAD}^{commit}") || { echo "FAIL: no commit ${commit:-HEAD} here"; exit 1; }
epoch=$(git log -1 --format=%ct "$sha")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
relzip() { /usr/bin/python3 -I "$repo/scripts/release-zip.py" "$@"; }
# What a zip says, without control characters but tabs and newlines, C1
# controls (U+0080 to U+009F) included.
printable() { tr '\001-\010\013-\037\177' '?' | sed 's/\xc2[\x80-\x9f]/?/g'; }
names_in() { local path; for path in "$1"/*; do printf '%s\n' "${path##*/}"; done; }
shown() { printf '%s' "$1" | tr '\n' '?' | printable; }  # a name, on one line
machine() { x86_64-w64-mingw32-objdump -f "$1" 2>/dev/null | sed -n 's/.*file format //p'; }

failures=()
label=()
checked=()  # set once a zip has been through every check: an error on the way is no verdict
form=()  # how a zip's exe is signed, for its verdict
toolchain=()  # the packages whose versions here differ from BUILDINFO's
fail() { printf 'FAIL: %s: %s\n' "${label[$1]}" "$2" | printable; failures[$1]=$((failures[$1] + 1)); }

# The packages BUILDINFO names whose versions differ here, on one line; of
# the first few dozen only, however many a made-up BUILDINFO names.
toolchain_differences() {
    awk '$1 == "package" && NF == 3 { print $2, $3 }' "$1" | head -n 32 | while read -r package version; do
        if ! [[ $package =~ ^[a-z0-9][a-z0-9.+-]+$ ]]; then
            echo "$package (not a Debian package name)"
        elif here=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null); [ "$here" != "$version" ]; then
            echo "$package $version in BUILDINFO, ${here:-not installed} here"
        fi
    done | paste -sd ';' | sed 's/;/; /g' | printable
}

# Where FILE and the commit's REFERENCE part: the first line of each that the
# other lacks, cut short.
first_difference() {
    diff -a "$1" "$2" | awk '
        function cut(s) { sub(/\r$/, "", s); return length(s) > 80 ? substr(s, 1, 80) "..." : s }
        /^< / && !g { g = 1; given = cut(substr($0, 3)) }
        /^> / && !w { w = 1; wanted = cut(substr($0, 3)) }
        END { printf "it has \"%s\" where the commit'"'"'s has \"%s\"", given, wanted }' |
        iconv -c -f UTF-8 -t UTF-8  # a character the cut split in two
}

# Every Authenticode signature of EXE (the primary one and those nested in
# it): index, digest, signer, the SHA-256 fingerprint of the signer's
# certificate, and time stamp. Each signature must verify against
# KZ_VERIFY_CAFILE, each time stamp against KZ_VERIFY_TSA_CAFILE; with
# KZ_VERIFY_SIGNER each must be by that certificate, and all by one.
# osslsigncode checks; its report is read signature by signature, in the
# wording of bookworm's 2.5 and of 2.9 alike, since its exit code and
# closing "Succeeded" hold when any one signature verifies. Who signed is
# taken from the signatures themselves (scripts/signatures.py, in SIGNERS:
# "FINGERPRINT SERIAL" lines), since a signature's description, which
# anyone signing chooses, reaches that report unescaped.
check_signatures() {
    local i=$1 exe=$2 report index digest subject serial stamp stamped signed reason leaf line count=0
    local -A by_serial=()
    form[i]=
    for line in "${signers[@]}"; do by_serial[${line#* }]=${line%% *}; done
    local verify=(timeout 300 osslsigncode verify -in "$exe")
    [ -z "${KZ_VERIFY_CAFILE:-}" ] || verify+=(-CAfile "$KZ_VERIFY_CAFILE")
    [ -z "${KZ_VERIFY_TSA_CAFILE:-}" ] || verify+=(-TSA-CAfile "$KZ_VERIFY_TSA_CAFILE")
    report=$("${verify[@]}" 2>&1)
    [ $? -ne 124 ] || fail "$i" "KZviVIVaru.exe: osslsigncode took more than 5 minutes to verify it (a revocation list that does not come?)"
    # One line a signature, its fields apart by the unit separator, which awk
    # keeps out of the fields.
    while IFS=$'\037' read -r index digest subject serial stamp stamped signed reason; do
        count=$((count + 1))
        leaf=${by_serial[$serial]:-unknown}
        echo "signature $index$([ "$index" != 0 ] || echo " (primary)"): $digest, signer $subject"
        echo "  signer's certificate, SHA-256: $leaf"
        if [ -z "$stamp$stamped" ]; then
            echo "  time stamp: none"
            form[i]+=", $digest"
        elif [ "$stamped" = ok ] && [ -n "$stamp" ]; then
            echo "  time stamp: $stamp (verified)"
            form[i]+=", $digest time-stamped"
        else
            echo "  time stamp: ${stamp:-undated} (NOT verified)"
            fail "$i" "KZviVIVaru.exe: signature $index: its time stamp does not verify against the authorities in ${KZ_VERIFY_TSA_CAFILE:-the system certificate store} (${reason:-no reason given})"
        fi
        if [ "$signed" = ok ]; then
            echo "  verifies: yes"
        else
            fail "$i" "KZviVIVaru.exe: signature $index does not verify (${reason:-no reason given})"
        fi
    done < <(awk '
        function clean(s) { gsub(/[\001-\037\177]/, "?", s); return s }
        function flush() {
            if (index_ != "")
                printf "%s\037%s\037%s\037%s\037%s\037%s\037%s\037%s\n", index_, clean(digest), clean(subject),
                    clean(serial), clean(stamp), stamped, signed, clean(reason)
        }
        function after(prefix, line) { sub("^[[:space:]]*" prefix "[[:space:]]*", "", line); return line }
        /^Signature Index: [0-9]+ / { flush(); index_ = $3; digest = subject = serial = stamp = stamped = signed = reason = "" }
        index_ == "" { next }
        /^Message digest algorithm +: / && digest == "" { digest = $NF }
        /^[[:space:]]+Subject: / && subject == "" { subject = after("Subject:", $0) }
        /^[[:space:]]+Serial : / && serial == "" { serial = toupper(after("Serial :", $0)); sub(/^0+/, "", serial) }
        /^[[:space:]]+Timestamp time: / && stamp == "" { stamp = after("Timestamp time:", $0) }
        /^The signature is timestamped: / && stamp == "" { stamp = after("The signature is timestamped:", $0) }
        /^Timestamp Server Signature verification: / && stamped != "failed" { stamped = $NF }  # one failed stamp fails
        /^Signature verification: / { signed = $NF }
        /[Ee]rror: / && reason == "" { reason = $0; sub(/.*[Ee]rror: */, "", reason) }
        END { flush() }' <<<"$report")
    [ "$count" -eq ${#signers[@]} ] ||
        fail "$i" "KZviVIVaru.exe: osslsigncode checked $count signatures, but the exe carries ${#signers[@]}"
    for line in $(printf '%s\n' "${signers[@]%% *}" | sort -u); do
        [ -z "$signer" ] || [ "$line" = "$signer" ] ||
            fail "$i" "KZviVIVaru.exe: a signature is by the certificate $line, not the one KZ_VERIFY_SIGNER names"
    done
    # Windows names the primary signature's signer; a release's signatures
    # are all the vendor's.
    [ "$(printf '%s\n' "${signers[@]%% *}" | sort -u | wc -l)" -le 1 ] ||
        fail "$i" "KZviVIVaru.exe: its signatures are by different certificates, and Windows shows only the primary one's signer"
    # The form the vendor announced, where the technician was told it: a
    # signature stripped of its nested one or of its stamps verifies still.
    if [ -n "${KZ_VERIFY_SIGNATURES:-}" ] && [ "${form[i]#, }" != "$KZ_VERIFY_SIGNATURES" ]; then
        fail "$i" "KZviVIVaru.exe: signed as \"${form[i]#, }\", not as KZ_VERIFY_SIGNATURES says, \"$KZ_VERIFY_SIGNATURES\""
    fi
    form[i]="signed: ${form[i]#, }, by $(printf '%s\n' "${signers[@]%% *}" | head -n 1)"
}

# 1 and 2: each zip's directory, then its build record.
for i in "${!zips[@]}"; do
    zip=${zips[$i]}
    label[i]=$(shown "${given[i]}")
    failures[i]=0
    files=$work/$i
    mkdir -p "$files"
    echo "== ${label[i]}"
    if ! relzip extract "$zip" "$files" >"$work/$i.problems"; then
        while IFS= read -r line; do fail "$i" "$line"; done <"$work/$i.problems"
        continue
    fi
    mapfile -t names < <(names_in "$files")
    echo "directory: ${#names[@]} regular files at the top level: ${names[*]}" | printable
    if [ -f "$files/BUILDINFO" ]; then
        toolchain[i]=$(toolchain_differences "$files/BUILDINFO")
        if [ -n "${toolchain[i]}" ]; then
            echo "toolchain: not the one BUILDINFO names, and that alone changes the exe's bytes: ${toolchain[i]}"
        else
            echo "toolchain: the package versions BUILDINFO names"
        fi
    fi
done

# 3: the commit's release, once for every zip.
sound=()
for i in "${!zips[@]}"; do [ "${failures[i]}" -eq 0 ] && sound+=("$i"); done
if [ ${#sound[@]} -gt 0 ]; then
    echo "== building the release of commit $sha ($(git describe --always --tags "$sha"))"
    if ! { git clone -q --shared --no-checkout "$repo" "$work/src" && git -C "$work/src" checkout -q --detach "$sha"; } ||
        ! (cd "$work/src" && for variable in $(compgen -e); do
            case $variable in KZ_SIGN_*) unset "$variable" ;; esac
        done && scripts/package.sh) >"$work/build.log" 2>&1; then
        tail -n 20 "$work/build.log"
        echo "FAIL: the release build of commit $sha failed; nothing verified"
        exit 1
    fi
    # Each reference zip unpacked into a folder named for its exe's machine.
    for reference in "$work"/src/build/packages/*.zip; do
        mkdir "$work/reference"
        relzip extract "$reference" "$work/reference" || { echo "FAIL: cannot read $reference"; exit 1; }
        mv "$work/reference" "$work/reference-$(machine "$work/reference/KZviVIVaru.exe")"
    done
fi

# 4 to 6, for each zip whose directory is sound.
for i in "${sound[@]}"; do
    zip=${zips[$i]}
    files=$work/$i
    echo "== ${label[i]}: against commit $sha"
    reference=$work/reference-$(machine "$files/KZviVIVaru.exe" 2>/dev/null)
    if [ ! -f "$files/KZviVIVaru.exe" ] || [ ! -d "$reference" ]; then
        fail "$i" "KZviVIVaru.exe: missing, or not a Windows exe of either build"
        continue
    fi
    # The name says which Windows the exe runs on: a 64-bit exe under the
    # 32-bit zip's name would reach an XP station.
    release_name=$(awk '$1 == "zip" { print $2 ".zip" }' "$reference/BUILDINFO" 2>/dev/null)
    [ -z "$release_name" ] || [ "$(basename "${given[i]}")" = "$release_name" ] ||
        fail "$i" "zip: its exe is the one of the release zip $release_name, not of one named $(shown "$(basename "${given[i]}")")"
    mapfile -t expected < <(names_in "$reference")
    mapfile -t held < <(names_in "$files")
    for name in "${expected[@]}"; do
        [ -e "$files/$name" ] || fail "$i" "$name: missing"
    done
    for name in "${held[@]}"; do
        [ -e "$reference/$name" ] || fail "$i" "$name: not part of the commit's release"
    done

    # SHA256SUMS: every other file listed and matching, nothing else listed.
    declare -A listed=()
    if [ "$(wc -l <"$files/SHA256SUMS" 2>/dev/null || echo 0)" -gt 64 ]; then
        fail "$i" "SHA256SUMS: $(wc -l <"$files/SHA256SUMS") lines, more than a release lists"
    elif [ -f "$files/SHA256SUMS" ]; then
        n=0
        while IFS= read -r line || [ -n "$line" ]; do
            n=$((n + 1))
            if [[ $line =~ ^([0-9a-f]{64})\ [\ *](.+)$ ]]; then
                listed[${BASH_REMATCH[2]}]=${BASH_REMATCH[1]}
            else
                fail "$i" "SHA256SUMS: line $n is not a SHA-256 hash and a file name"
            fi
        done <"$files/SHA256SUMS"
        for name in "${held[@]}"; do
            [ "$name" != SHA256SUMS ] || continue
            if [ -z "${listed[$name]:-}" ]; then
                fail "$i" "$name: not in SHA256SUMS"
            elif [ "$(sha256sum <"$files/$name" | cut -d' ' -f1)" != "${listed[$name]}" ]; then
                fail "$i" "$name: does not match its hash in SHA256SUMS"
            fi
        done
        for name in "${!listed[@]}"; do
            [ -e "$files/$name" ] || fail "$i" "SHA256SUMS: lists $name, which the zip does not hold"
        done
        if [ "${failures[i]}" -eq 0 ] &&
            ! (cd "$files" && for name in *; do [ "$name" = SHA256SUMS ] || sha256sum -- "$name"; done) |
            cmp -s - "$files/SHA256SUMS"; then
            fail "$i" "SHA256SUMS: its lines are not in the order or form the release writes"
        fi
        echo "SHA256SUMS: ${#listed[@]} files listed"
    fi
    unset listed

    # Every file but the exe as the commit's build makes it.
    for name in "${expected[@]}"; do
        case $name in KZviVIVaru.exe | SHA256SUMS) continue ;; esac
        [ -f "$files/$name" ] || continue
        if cmp -s "$files/$name" "$reference/$name"; then
            echo "$name: identical to the commit's"
        else
            fail "$i" "$name: differs from the commit's $name ($(first_difference "$files/$name" "$reference/$name"))"
        fi
    done

    # The exe: what Authenticode leaves unsigned, its signatures, then the
    # code under them.
    exe=$files/KZviVIVaru.exe
    unsigned=$work/$i.unsigned.exe
    area=$(/usr/bin/python3 -I "$repo/scripts/signatures.py" "$exe")
    if [ "$area" = unsigned ]; then
        echo "signature: none (an unsigned release)"
        [ "${KZ_VERIFY_SIGNED:-}" != 1 ] || fail "$i" "KZviVIVaru.exe: not signed, and KZ_VERIFY_SIGNED=1 asks for a signature"
        [ -z "$signer" ] || fail "$i" "KZviVIVaru.exe: not signed, and KZ_VERIFY_SIGNER names the certificate that must have signed it"
        [ -z "${KZ_VERIFY_SIGNATURES:-}" ] || fail "$i" "KZviVIVaru.exe: not signed, and KZ_VERIFY_SIGNATURES says how it must be"
        cp "$exe" "$unsigned"
    else
        while IFS= read -r line; do fail "$i" "KZviVIVaru.exe: $line"; done < <(sed -n 's/^problem //p' <<<"$area")
        mapfile -t signers < <(sed -n 's/^signer //p' <<<"$area")
        check_signatures "$i" "$exe"
        osslsigncode remove-signature -in "$exe" -out "$unsigned" >/dev/null 2>&1 ||
            fail "$i" "KZviVIVaru.exe: its signature cannot be removed"
    fi
    if cmp -s "$unsigned" "$reference/KZviVIVaru.exe"; then
        echo "KZviVIVaru.exe without its signature: identical to the commit's"
    else
        if [ -n "${toolchain[i]:-}" ]; then
            fail "$i" "KZviVIVaru.exe: without its signature, differs from the commit's; this machine's toolchain is not the one BUILDINFO names (${toolchain[i]}), and that alone changes the exe's bytes: verify on a machine with the versions BUILDINFO names"
        else
            fail "$i" "KZviVIVaru.exe: without its signature, differs from the commit's"
        fi
    fi

    # Last, what the files cannot show: dates, order, attributes, extra fields.
    if [ "${failures[i]}" -eq 0 ]; then
        if relzip write "$work/$i.rezipped.zip" "$epoch" "$files" && cmp -s "$work/$i.rezipped.zip" "$zip"; then
            echo "zip: laid out as the release's zip writer lays out these files"
        else
            fail "$i" "zip: laid out otherwise than the release's zip writer lays out these files (dates, order, attributes or extra fields)"
        fi
    fi
    checked[i]=1
done

verified=0
for i in "${!zips[@]}"; do
    if [ "${failures[i]}" -eq 0 ] && [ -n "${checked[i]:-}" ]; then
        verified=$((verified + 1))
        echo "verified: ${label[i]} is the release of commit $sha (${form[i]:-unsigned})"
    elif [ "${failures[i]}" -eq 0 ]; then
        echo "NOT verified: ${label[i]}: the checks did not run to their end (see the errors above)"
    else
        echo "NOT verified: ${label[i]}: ${failures[i]} check(s) failed"
    fi
done
[ "$verified" -eq ${#zips[@]} ]
