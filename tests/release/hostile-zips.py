"""Makes altered copies of a signed release zip, the ways an attacker or a
careless repacker would, each under the real zip's name in a folder of its
own (so that nothing but the alteration tells it apart), and prints for each
"ZIP<TAB>the cause verify-release must give" (? for any one character).

    hostile-zips.py SIGNED_ZIP OUT_FOLDER SOURCE_DATE_EPOCH SOURCE_DIR PKI_DIR

SIGNED_ZIP's exe carries a SHA-1 signature with a legacy stamp and a nested
SHA-256 one with an RFC 3161 stamp; PKI_DIR is pki.py's, its authority the
one that stamped it. Content changes are zipped by the release's own writer,
so that nothing but the change tells them apart; the directory tricks need
Python's zipfile.
"""
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile
import warnings
import zipfile

warnings.simplefilter("ignore")  # zipfile warns of the duplicate name it is asked to write

signed_zip, out, epoch, source, pki_dir = sys.argv[1:]
sys.path[:0] = [f"{source}/release", f"{source}/tests/release"]
import authenticode  # noqa: E402  (the verifier's reading of the PE headers and of signatures)
import pki  # noqa: E402
from asn1crypto import cms, pem  # noqa: E402
with zipfile.ZipFile(signed_zip) as z:
    good = {name: z.read(name) for name in z.namelist()}
EXE, COMPILER, PKI = "KZviVIVaru.exe", "g++-mingw-w64-x86-64-posix", pki.Pki(pki_dir)


def with_sums(files):
    files = {name: data for name, data in files.items() if name != "SHA256SUMS"}
    lines = (f"{hashlib.sha256(files[name]).hexdigest()}  {name}\n" for name in sorted(files))
    return {**files, "SHA256SUMS": "".join(lines).encode()}


def release_writer(path, files):
    with tempfile.TemporaryDirectory() as folder:
        for entry, data in files.items():
            with open(os.path.join(folder, entry), "wb") as f:
                f.write(data)
            os.chmod(os.path.join(folder, entry), 0o644)
            os.utime(os.path.join(folder, entry), (int(epoch), int(epoch)))
        subprocess.run(["zip", "-q", "-X", "-D", "-0", path, "--", *sorted(files)], check=True, cwd=folder,
                       env={**os.environ, "TZ": "UTC"})


def zipfile_writer(path, entries):
    with zipfile.ZipFile(path, "w") as z:
        for info, data in entries:
            z.writestr(info, data)


def osslsigncode(exe, *args):
    """The exe after one osslsigncode command, which gets -in and -out; an
    attach-signature says how its own check went, and writes the exe all the same."""
    with tempfile.TemporaryDirectory() as folder:
        given, made = os.path.join(folder, "given.exe"), os.path.join(folder, "made.exe")
        with open(given, "wb") as f:
            f.write(exe)
        subprocess.run(["osslsigncode", *args, "-in", given, "-out", made], check=args[0] != "attach-signature",
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(made, "rb") as f:
            return f.read()


def key(name):
    return ["-certs", PKI.path(f"{name}.pem"), "-key", PKI.path(f"{name}.key")]


def attached(blob):
    """The unsigned exe with BLOB attached as its signature."""
    with tempfile.NamedTemporaryFile(suffix=".pem") as f:
        f.write(pem.armor("PKCS7", blob))
        f.flush()
        return osslsigncode(unsigned_exe(), "attach-signature", "-CAfile", "/dev/null", "-sigin", f.name)


def in_the_form(exe):
    """EXE with its signature given the one form, as sign-exe.sh gives it."""
    return attached(authenticode.form(authenticode.certificate_blob(exe))[0].part.dump())


def md5_named():
    signature = cms.ContentInfo.load(authenticode.certificate_blob(good[EXE]))
    signature["content"]["signer_infos"][0]["signature_algorithm"] = {"algorithm": "md5_rsa"}
    return attached(signature.dump())


def unsigned_exe():
    return osslsigncode(good[EXE], "remove-signature")


def certificate_table(exe):
    """Where the exe's headers keep its checksum and its certificate table's
    (offset, size), and the table's own (offset, size, DER length)."""
    checksum, entry = authenticode.pe_fields(exe)
    offset, size = struct.unpack_from("<II", exe, entry)
    return checksum, entry, offset, size, len(authenticode.certificate_blob(bytes(exe)))


def pe_checksum(exe):
    """The PE checksum of an exe whose checksum field holds zero."""
    total = 0
    for word in struct.unpack_from(f"<{len(exe) // 2}H", exe):
        total = (total & 0xFFFF) + (total >> 16) + word
    return (total & 0xFFFF) + (total >> 16) + len(exe)


def padded_signature():
    """4 KiB put inside the certificate entry after the signature, which
    Authenticode does not hash (CVE-2013-3900)."""
    exe = bytearray(good[EXE])
    _, entry, offset, size, _ = certificate_table(exe)
    padding = b"PAYLOAD-" * 512
    struct.pack_into("<II", exe, entry, offset, size + len(padding))
    struct.pack_into("<I", exe, offset, size + len(padding))
    return bytes(exe + padding)


def hidden_in_alignment():
    """Non-zero bytes in the alignment after the signature, with the entry's
    length cut to the signature's end and the checksum made good again: what
    the verifier once passed."""
    exe = bytearray(good[EXE])
    checksum, entry, offset, size, length = certificate_table(exe)
    if (8 + length) % 8 == 0:  # no alignment to hide in: make some
        exe += bytes(8)
        size += 8
        struct.pack_into("<II", exe, entry, offset, size)
    struct.pack_into("<I", exe, offset, 8 + length)
    exe[offset + 8 + length:offset + size] = b"\xa5" * (size - 8 - length)
    struct.pack_into("<I", exe, checksum, 0)
    struct.pack_into("<I", exe, checksum, pe_checksum(exe))
    return bytes(exe)


def later_stamp():
    """The RFC 3161 stamp's time (its one GeneralizedTime) moved a year on."""
    stamp = re.search(rb"\x18\x0f(20\d\d)\d{10}Z", good[EXE])
    year = str(int(stamp.group(1)) + 1).encode()
    return good[EXE][:stamp.start(1)] + year + good[EXE][stamp.end(1):]


link = zipfile.ZipInfo(EXE)
link.create_system, link.external_attr = 3, 0o120777 << 16
guide = good["README-CHS.txt"].decode("utf-8").replace("不要设法绕过", "可以设法绕过").encode("utf-8")
buildinfo = good["BUILDINFO"].decode().splitlines(keepends=True)
other_compiler = "".join(f"package {COMPILER} 99.0-1\n" if line.startswith(f"package {COMPILER} ") else line
                         for line in buildinfo).encode()
padded = padded_signature()
FORM = f"{EXE}: its signature is not in the one form a release's takes: "
cases = [
    ("planted-dll", lambda n: release_writer(n, {**good, "version.dll": b"MZ"}),
     "version.dll: not part of the commit's release"),
    ("edited-guide", lambda n: release_writer(n, with_sums({**good, "README-CHS.txt": guide})),
     "README-CHS.txt: differs from the commit's README-CHS.txt"),
    ("linked-exe", lambda n: zipfile_writer(
        n, [(link, "../../good/KZviVIVaru.exe")] + [(k, v) for k, v in good.items() if k != EXE]),
     f"{EXE}: its headers or certificate table are cut short"),
    ("duplicate-exe", lambda n: zipfile_writer(n, list(good.items()) + [(EXE, good[EXE] + b"\0")]),
     f"{EXE}: a second entry of that name"),
    ("no-buildinfo", lambda n: release_writer(n, with_sums({k: v for k, v in good.items() if k != "BUILDINFO"})),
     "BUILDINFO: missing"),
    ("other-compiler", lambda n: release_writer(n, with_sums({**good, "BUILDINFO": other_compiler})),
     f"build root: the record names {COMPILER} 99.0-1, which the apt source does not serve; KZ_RELEASE_SOURCE"),
    ("stripped-signature", lambda n: release_writer(n, with_sums({**good, EXE: unsigned_exe()})),
     f"{EXE}: not signed"),
    ("edited-stamp", lambda n: release_writer(n, with_sums({**good, EXE: later_stamp()})),
     f"{EXE}: signature 1: its time stamp does not verify"),
    ("self-made-stamp", lambda n: release_writer(n, with_sums({**good, EXE: osslsigncode(
        good[EXE], "add", "-index", "0", "-TSA-certs", PKI.path("self-made-tsa.pem"), "-TSA-key",
        PKI.path("self-made-tsa.key"), "-TSA-time", "1600000000")})), FORM),
    ("stranger-nested", lambda n: release_writer(n, with_sums({**good, EXE: osslsigncode(
        good[EXE], "sign", *key("stranger"), "-h", "sha256", "-nest")})), FORM),
    ("rfc3161-for-legacy", lambda n: release_writer(n, with_sums({**good, EXE: attached(PKI.swapped_stamp(authenticode.certificate_blob(good[EXE]), 0))})),
     f"{FORM}signature 0: unsigned attributes (a legacy time stamp, which XP reads, or none"),
    ("md5-named", lambda n: release_writer(n, with_sums({**good, EXE: md5_named()})),
     f"{FORM}signature 0: signature algorithm differs"),
    ("padded-signature", lambda n: release_writer(n, with_sums({**good, EXE: padded})),
     f"{EXE}: differs from the commit's {EXE}"),
    ("hidden-in-alignment", lambda n: release_writer(n, with_sums({**good, EXE: hidden_in_alignment()})),
     f"{EXE}: differs from the commit's {EXE}"),
    ("sha256-alone", lambda n: release_writer(n, with_sums({**good, EXE: in_the_form(osslsigncode(
        unsigned_exe(), "sign", "-pkcs12", PKI.path("test.pfx"), "-readpass", PKI.path("password"), "-h", "sha256"))})),
     f"{EXE}: signed as \"SHA256 not time-stamped\", not as KZ_VERIFY_SIGNATURES says"),
    ("impostor-signed", lambda n: release_writer(n, with_sums({**good, EXE: in_the_form(osslsigncode(
        unsigned_exe(), "sign", *key("impostor"), "-h", "sha256"))})),
     f"{EXE}: a signature is by the certificate"),
]
for case, make, cause in cases:
    os.mkdir(os.path.join(out, case))
    path = os.path.join(out, case, os.path.basename(signed_zip))
    make(path)
    print(f"{path}\t{cause}")
