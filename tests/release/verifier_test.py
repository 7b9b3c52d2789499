"""Each refusal of the release verifier and of sign-exe.sh, in seconds, with
no root, Wine or network: a throwaway PKI made once per run with openssl, a
tiny exe made here, signatures made by osslsigncode and altered with
asn1crypto, time stamps made by openssl ts.

    verifier_test.py SOURCE_DIR
"""
import contextlib
import datetime
import hashlib
import io
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import unittest
import warnings
import zipfile

SOURCE = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "scripts"))
import authenticode  # noqa: E402
import verify_release  # noqa: E402
from asn1crypto import algos, cms, core, parser, pem  # noqa: E402

EXE, WORK = verify_release.EXE, tempfile.TemporaryDirectory()
DIR = WORK.name


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=DIR)


def certificate(name, subject, *extensions, issuer=None, serial=None):
    """NAME.pem and NAME.key in DIR: self-signed, or issued by ISSUER."""
    ext = os.path.join(DIR, f"{name}.ext")
    with open(ext, "w") as f:
        f.write("".join(f"{e}\n" for e in extensions))
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", subject, "-keyout", f"{name}.key", "-out", f"{name}.csr")
    signer = ["-CA", f"{issuer}.pem", "-CAkey", f"{issuer}.key"] if issuer else ["-signkey", f"{name}.key"]
    openssl("x509", "-req", "-in", f"{name}.csr", *signer, "-set_serial", str(serial or 1000 + len(os.listdir(DIR))),
            "-days", "2", "-extfile", ext, "-out", f"{name}.pem")


def tiny_exe(code=b"\xc3"):
    """A PE32+ image of headers and one section: enough for Authenticode."""
    dos = bytearray(64)
    dos[:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 64)
    optional = bytearray(240)
    struct.pack_into("<H", optional, 0, 0x20B)
    struct.pack_into("<Q", optional, 24, 0x140000000)  # image base
    struct.pack_into("<IIHHHHHH", optional, 32, 0x1000, 0x200, 5, 2, 0, 0, 5, 2)  # alignments, versions
    struct.pack_into("<II", optional, 56, 0x2000, 0x200)  # image and header sizes
    struct.pack_into("<HHI", optional, 68, 2, 0, 0)  # a window program
    struct.pack_into("<I", optional, 108, 16)  # data directories
    section = struct.pack("<8sIIIIIIHHI", b".text", 0x1000, 0x1000, 0x200, 0x200, 0, 0, 0, 0, 0x60000020)
    headers = bytes(dos) + struct.pack("<4sHHIIIHH", b"PE\0\0", 0x8664, 1, 0, 0, 0, 240, 0x22) + optional + section
    return headers.ljust(0x200, b"\0") + code.ljust(0x200, b"\0")


def read(name):
    with open(os.path.join(DIR, name), "rb") as f:
        return f.read()


def write(name, data):
    path = os.path.join(DIR, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def sign(key, digest, exe=None, chain=""):
    """The blob of an osslsigncode signature of the tiny exe by KEY, its
    certificate followed by CHAIN's."""
    write("in.exe", exe or tiny_exe())
    write("certs.pem", b"".join(read(f"{name}.pem") for name in (key, chain) if name))
    subprocess.run(["osslsigncode", "sign", "-certs", "certs.pem", "-key", f"{key}.key", "-h", digest,
                    "-in", "in.exe", "-out", "out.exe"], check=True, capture_output=True, cwd=DIR)
    with open(os.path.join(DIR, "out.exe"), "rb") as f:
        blob = verify_release.certificate_blob(f.read())
    os.remove(os.path.join(DIR, "out.exe"))
    return cms.ContentInfo.load(blob)


def info(signature):
    return signature["content"]["signer_infos"][0]


def unsigned(signature, *attributes):
    """SIGNATURE with ATTRIBUTES (type, value) added to its unsigned ones."""
    old = [] if isinstance(info(signature)["unsigned_attrs"], core.Void) else list(info(signature)["unsigned_attrs"])
    info(signature)["unsigned_attrs"] = cms.CMSAttributes(
        old + [cms.CMSAttribute({"type": kind, "values": [value]}) for kind, value in attributes])
    return signature


def legacy_stamp(signature, tsa="tsa", over=None):
    """A legacy Authenticode stamp: TSA counter-signs the signature's bytes."""
    signer = info(signature)
    attributes = cms.CMSAttributes([
        {"type": "content_type", "values": ["data"]},
        {"type": "signing_time", "values": [cms.Time({"utc_time": datetime.datetime.now(datetime.timezone.utc)})]},
        {"type": "message_digest", "values": [hashlib.sha1(over or signer["signature"].native).digest()]}])
    write("attributes", b"\x31" + attributes.dump()[1:])
    openssl("dgst", "-sha1", "-sign", f"{tsa}.key", "-out", "signed", "attributes")
    with open(os.path.join(DIR, "signed"), "rb") as f:
        value = f.read()
    authority = load_certificate(tsa)
    counter = cms.SignerInfo({
        "version": "v1", "digest_algorithm": {"algorithm": "sha1"}, "signed_attrs": attributes,
        "sid": {"issuer_and_serial_number": {"issuer": authority.issuer, "serial_number": authority.serial_number}},
        "signature_algorithm": {"algorithm": "rsassa_pkcs1v15"}, "signature": value})
    with_certificates(signature, authority)
    return unsigned(signature, ("counter_signature", counter))


def rfc3161_token(signature, tsa="tsa"):
    write("imprint", info(signature)["signature"].native)
    with open(os.path.join(DIR, f"{tsa}.cnf"), "w") as f:
        f.write(f"[tsa]\ndefault_tsa = t\n[t]\nserial = {DIR}/serial\nsigner_cert = {DIR}/{tsa}.pem\n"
                f"certs = {DIR}/{tsa}.pem\nsigner_key = {DIR}/{tsa}.key\nsigner_digest = sha256\n"
                "default_policy = 2.999.1\ndigests = sha256\ness_cert_id_alg = sha256\n")
    openssl("ts", "-query", "-data", "imprint", "-sha256", "-cert", "-out", "query")
    openssl("ts", "-reply", "-queryfile", "query", "-config", f"{tsa}.cnf", "-token_out", "-out", "token")
    with open(os.path.join(DIR, "token"), "rb") as f:
        return cms.ContentInfo.load(f.read())


def rfc3161_stamp(signature, tsa="tsa"):
    return unsigned(signature, ("microsoft_time_stamp_token", rfc3161_token(signature, tsa)))


def load_certificate(name):
    with open(os.path.join(DIR, f"{name}.pem"), "rb") as f:
        return cms.Certificate.load(pem.unarmor(f.read())[2])


def with_certificates(signature, *certificates):
    signed_data = signature["content"]
    signed_data["certificates"] = cms.CertificateSet(
        [c for c in signed_data["certificates"]] + [cms.CertificateChoices({"certificate": c}) for c in certificates])
    return signature


def genuine(primary="vendor", nested="vendor"):
    """The vendor's dual signature: SHA-1 with a legacy stamp, SHA-256 with an
    RFC 3161 stamp nested in it."""
    inner = rfc3161_stamp(sign(nested, "sha256"))
    return unsigned(legacy_stamp(sign(primary, "sha1")), ("microsoft_nested_signature", inner))


def edited_stamp_time(signature):
    """The stamp's time a second on: inside every certificate's validity, so
    that only the token's own signature can tell."""
    blob = rfc3161_token(signature).dump()
    at = blob.index(b"\x18\x0f") + 2  # the GeneralizedTime of genTime
    moment = datetime.datetime.strptime(blob[at:at + 14].decode(), "%Y%m%d%H%M%S") + datetime.timedelta(seconds=1)
    token = cms.ContentInfo.load(blob[:at] + moment.strftime("%Y%m%d%H%M%S").encode() + blob[at + 14:])
    return unsigned(signature, ("microsoft_time_stamp_token", token))


def grafted_stamp(signature):
    """A genuine stamp, of another signature."""
    other = sign("vendor", "sha256", tiny_exe(b"\x90\xc3"))
    return unsigned(signature, ("microsoft_time_stamp_token", rfc3161_token(other)))


def with_parameters(signature):
    """The signature algorithm with an OCTET STRING where its NULL
    parameters go: the last such identifier is the signer info's."""
    blob = signature.dump()
    at = blob.rindex(bytes.fromhex("2a864886f70d0101010500")) + 9
    return blob[:at] + b"\x04\x00" + blob[at + 2:]


def digest_algorithms(signature, *names):
    signature["content"]["digest_algorithms"] = cms.DigestAlgorithms([{"algorithm": name} for name in names])
    return signature


def revocation_list(signature):
    """The root's (empty) revocation list, as a signature can carry it."""
    write("index.txt", b"")
    write("ca.cnf", f"[ca]\ndefault_ca = c\n[c]\ndatabase = {DIR}/index.txt\ndefault_md = sha256\n"
                    "default_crl_days = 1\n".encode())
    openssl("ca", "-gencrl", "-config", "ca.cnf", "-keyfile", "ca.key", "-cert", "ca.pem", "-out", "crl.pem")
    openssl("crl", "-in", "crl.pem", "-outform", "DER", "-out", "crl")
    with open(os.path.join(DIR, "crl"), "rb") as f:
        crl = cms.CertificateList.load(f.read())
    signature["content"]["crls"] = cms.RevocationInfoChoices([cms.RevocationInfoChoice({"crl": crl})])
    return signature


def stamp_with_unsigned_attribute(signature):
    counter = info(legacy_stamp(signature))["unsigned_attrs"][0]["values"][0]
    counter["unsigned_attrs"] = cms.CMSAttributes([{"type": "content_type", "values": ["data"]}])
    return signature


def padded_oid(blob):
    """The signed-data OID with a padding byte in a subidentifier; the outer
    SEQUENCE's two-byte length made one longer."""
    oid = bytes.fromhex("06092a864886f70d010702")
    assert blob[:2] == b"\x30\x82" and blob[4:15] == oid
    return b"\x30\x82" + (len(blob) - 3).to_bytes(2, "big") + bytes.fromhex("060a2a864886f70d01078002") + blob[15:]


def only_certificate(signature, name):
    signature["content"]["certificates"] = cms.CertificateSet([cms.CertificateChoices({"certificate": load_certificate(name)})])
    return signature


def indefinite(blob):
    """BER: the outer SEQUENCE with an indefinite length."""
    header = 2 + (blob[1] & 0x7F if blob[1] & 0x80 else 0)
    return b"\x30\x80" + blob[header:] + b"\0\0"


def setUpModule():
    certificate("ca", "/CN=Test root", "basicConstraints=critical,CA:TRUE", "keyUsage=keyCertSign")
    certificate("vendor", "/CN=Vendor", "extendedKeyUsage=codeSigning", issuer="ca", serial=4242)
    # Another key under the vendor's issuer name and serial, from a CA of the same name.
    certificate("fake-ca", "/CN=Test root", "basicConstraints=critical,CA:TRUE", "keyUsage=keyCertSign")
    certificate("impostor", "/CN=Vendor", "extendedKeyUsage=codeSigning", issuer="fake-ca", serial=4242)
    certificate("stranger", "/CN=Stranger", "extendedKeyUsage=codeSigning")
    certificate("tsa-root", "/CN=TSA root", "basicConstraints=critical,CA:TRUE", "keyUsage=keyCertSign")
    certificate("tsa", "/CN=TSA", "extendedKeyUsage=critical,timeStamping", issuer="tsa-root")
    certificate("self-made-tsa", "/CN=TSA", "extendedKeyUsage=critical,timeStamping")
    certificate("web", "/CN=Web", "extendedKeyUsage=serverAuth", issuer="ca")
    certificate("intermediate", "/CN=Intermediate", "basicConstraints=critical,CA:TRUE", "keyUsage=keyCertSign",
                issuer="ca")
    certificate("employee", "/CN=Vendor's unit", "extendedKeyUsage=codeSigning", issuer="intermediate")
    # The root's name and key in a certificate by a root of anyone's making.
    certificate("own-root", "/CN=Own root", "basicConstraints=critical,CA:TRUE", "keyUsage=keyCertSign")
    openssl("x509", "-in", "ca.pem", "-pubkey", "-noout", "-out", "ca-key.pem")
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Test root", "-keyout", "copy.key", "-out", "copy.csr")
    openssl("x509", "-req", "-in", "copy.csr", "-force_pubkey", "ca-key.pem", "-CA", "own-root.pem", "-CAkey", "own-root.key",
            "-set_serial", "9", "-days", "2", "-out", "copy.pem")
    write("serial", b"01\n")


class Signatures(unittest.TestCase):
    def check(self, signature):
        blob = signature.dump() if isinstance(signature, cms.ContentInfo) else signature
        return authenticode.check(blob, tiny_exe(), f"{DIR}/ca.pem", f"{DIR}/tsa-root.pem")

    def test_genuine_signature_under_an_intermediate(self):
        self.assertEqual(self.check(sign("employee", "sha256", chain="intermediate")).problems, [])

    def test_genuine_dual_signature(self):
        # with the vendor's certificate twice, as a chain file may list it, and the root's
        checked = self.check(with_certificates(genuine(), load_certificate("vendor"), load_certificate("ca")))
        self.assertEqual(checked.problems, [])
        self.assertEqual(checked.form, ["SHA1 time-stamped", "SHA256 time-stamped"])
        fingerprint = hashlib.sha256(load_certificate("vendor").dump()).hexdigest().upper()
        self.assertEqual(checked.signers, [fingerprint, fingerprint])

    def test_refusals(self):
        vendor, impostor = load_certificate("vendor"), load_certificate("impostor")
        cases = [
            ("impostor's key, vendor's certificate after it",
             lambda: with_certificates(sign("impostor", "sha256"), vendor), "2 certificates that match its signer"),
            ("vendor's key, a certificate of its issuer and serial after it",
             lambda: with_certificates(sign("vendor", "sha256"), impostor), "2 certificates that match its signer"),
            ("another key under the vendor's certificate alone",
             lambda: only_certificate(sign("impostor", "sha256"), "vendor"), "does not verify under the key"),
            ("no signer's certificate", lambda: only_certificate(sign("vendor", "sha256"), "stranger"),
             "its signer's certificate is not in it"),
            ("a stranger's signature", lambda: sign("stranger", "sha256"), "does not verify against the CAs"),
            ("a signature of another exe", lambda: sign("vendor", "sha256", tiny_exe(b"\x90\xc3")),
             "does not sign this exe"),
            ("a stamp with its time edited", lambda: edited_stamp_time(sign("vendor", "sha256")),
             "signature 0: its time stamp does not verify"),
            ("another signature's stamp", lambda: grafted_stamp(sign("vendor", "sha256")),
             "signature 0: its time stamp does not verify"),
            ("a legacy stamp that carries unsigned data", lambda: stamp_with_unsigned_attribute(sign("vendor", "sha1")),
             "where a stamp has none"),
            ("an RFC 3161 stamp by a self-made authority", lambda: rfc3161_stamp(sign("vendor", "sha256"), "self-made-tsa"),
             "signature 0: its time stamp does not verify"),
            ("a legacy stamp by a self-made authority", lambda: legacy_stamp(sign("vendor", "sha1"), "self-made-tsa"),
             "signature 0: its time stamp does not verify"),
            ("a legacy stamp of other bytes", lambda: legacy_stamp(sign("vendor", "sha1"), over=b"other"),
             "it stamps another signature"),
            ("two stamps", lambda: rfc3161_stamp(legacy_stamp(sign("vendor", "sha1"))), "2 time stamps"),
            ("a stranger's nested signature beside the vendor's",
             lambda: unsigned(genuine(), ("microsoft_nested_signature", sign("stranger", "sha256"))),
             "2 nested signatures"),
            ("a signature nested in the nested one",
             lambda: unsigned(sign("vendor", "sha1"), ("microsoft_nested_signature", genuine())), "nested in it"),
            ("another unsigned attribute", lambda: unsigned(sign("vendor", "sha256"), ("content_type", "data")),
             "neither a time stamp nor a nested signature"),
            ("two signer infos", lambda: two_signer_infos(sign("vendor", "sha256")), "2 signer infos"),
            ("a certificate no signature needs", lambda: with_certificates(sign("vendor", "sha256"),
                                                                           load_certificate("stranger")),
             "1 certificate(s) that neither sign nor issue"),
            ("another digest listed", lambda: digest_algorithms(sign("vendor", "sha256"), "sha256", "sha1"),
             "it lists the digests sha1, sha256"),
            ("a revocation list", lambda: revocation_list(sign("vendor", "sha256")), "carries revocation lists"),
            ("parameters where none go", lambda: with_parameters(sign("vendor", "sha256")), "cannot be read"),
            ("an unknown signature algorithm", lambda: unknown_algorithm(sign("vendor", "sha256")), "cannot be read"),
            ("a certificate for another purpose", lambda: sign("web", "sha256"), "not for code signing"),
            ("a certificate named as the signer's issuer, by another key",
             lambda: with_certificates(sign("vendor", "sha256"), load_certificate("fake-ca")),
             "1 certificate(s) that neither sign nor issue"),
            ("the issuer's key in a certificate of anyone's", lambda: with_certificates(sign("vendor", "sha256"),
                                                                                      copied_issuer()),
             "1 certificate(s) with an issuer's key that no trusted or needed certificate signed"),
            ("the issuer's key in a certificate of a root of anyone's", lambda: with_certificates(
                sign("vendor", "sha256"), load_certificate("copy"), load_certificate("own-root")),
             "2 certificate(s) with an issuer's key that no trusted or needed certificate signed"),
            ("a field past the nested signature's last", lambda: unsigned(
                legacy_stamp(sign("vendor", "sha1")),
                ("microsoft_nested_signature", with_junk(rfc3161_stamp(sign("vendor", "sha256")).dump()))),
             "signature 1: OpenSSL does not read it as it is"),
            ("a field past a legacy stamp's last", lambda: legacy_stamp_with_junk(sign("vendor", "sha1")),
             "OpenSSL does not read it as it is"),
            ("a signer identifier that names the issuer in other letters", lambda: recased_issuer(sign("vendor", "sha256")),
             "its signer's certificate is not in it"),
            ("a signer info's version as a carrier", lambda: versioned(sign("vendor", "sha256")), "its signer info's version"),
        ]
        for case, make, cause in cases:
            with self.subTest(case):
                problems = self.check(make()).problems
                self.assertTrue(any(cause in problem for problem in problems), f"expected [{cause}], got {problems}")

    def test_unreadable_blobs(self):
        blob = sign("vendor", "sha256").dump()
        long_length = b"\x30\x83" + len(blob[4:]).to_bytes(3, "big") + blob[4:]  # a length in more bytes than it needs
        for case, data in (("BER indefinite length", indefinite(blob)), ("non-minimal length", long_length),
                           ("bytes after it", blob + b"\0\0"), ("an OID with a padding byte", padded_oid(blob)),
                           ("a NULL with contents", null_with_contents(sign("vendor", "sha256"))),
                           ("more than a release's", blob + bytes(64 << 10)), ("no signed data", cms.ContentInfo(
                               {"content_type": "data", "content": core.OctetString(b"x")}).dump())):
            with self.subTest(case), self.assertRaises(authenticode.Unreadable):
                self.check(data)


def copied_issuer():
    """The root's name and key in a certificate of anyone's making, with room
    for data and no valid signature."""
    copy = cms.Certificate.load(load_certificate("ca").dump())
    copy["tbs_certificate"]["serial_number"] = 7
    copy["signature_value"] = b"\0" * 256
    return copy


def with_junk(content_info):
    """CONTENT_INFO with an element past the last field of its signed data,
    which asn1crypto reads past and OpenSSL refuses."""
    def inside(der):
        return parser.parse(der)[4]
    oid = inside(content_info)[:parser.peek(inside(content_info))]
    signed_data = inside(inside(inside(content_info)[len(oid):])) + parser.emit(0, 0, 2, b"\1" * 20)
    return cms.ContentInfo.load(parser.emit(0, 1, 16, oid + parser.emit(2, 1, 0, parser.emit(0, 1, 16, signed_data))))


def legacy_stamp_with_junk(signature):
    counter = info(legacy_stamp(signature))["unsigned_attrs"][0]["values"][0].dump()
    junked = parser.emit(0, 1, 16, parser.parse(counter)[4] + parser.emit(0, 0, 2, b"\1" * 20))
    info(signature)["unsigned_attrs"] = cms.CMSAttributes([{"type": "counter_signature",
                                                            "values": [cms.SignerInfo.load(junked)]}])
    return signature


def recased_issuer(signature):
    serial = info(signature)["sid"].chosen["serial_number"]
    info(signature)["sid"] = cms.SignerIdentifier({"issuer_and_serial_number": {
        "issuer": cms.Name.build({"common_name": "TEST ROOT"}), "serial_number": serial}})
    return signature


def versioned(signature):
    info(signature)["version"] = 1 << 64
    return signature


def null_with_contents(signature):
    info(signature)["signature_algorithm"] = algos.SignedDigestAlgorithm.load(
        bytes.fromhex("300e06092a864886f70d010101050141"))
    return signature.dump()


def unknown_algorithm(signature):
    info(signature)["signature_algorithm"] = {"algorithm": "1.2.3.4"}
    return signature


def two_signer_infos(signature):
    signed_data = signature["content"]
    signed_data["signer_infos"] = cms.SignerInfos([info(signature), info(sign("vendor", "sha256"))])
    return signature


class Policy(unittest.TestCase):
    """What the technician pins: the signer, the form, that it is signed."""

    def verdict(self, blob, **pinned):
        wanted = {"signed": False, "signer": "", "form": "", "cafile": f"{DIR}/ca.pem",
                  "tsa_cafile": f"{DIR}/tsa-root.pem", **pinned}
        verification = verify_release.Verification(wanted, "x.zip")
        with contextlib.redirect_stdout(io.StringIO()) as output:
            verification.signature(blob, tiny_exe())
        return output.getvalue()

    def test_text_from_a_signature_stays_on_its_line(self):
        forged = type("Checked", (), {"report": ["signature 0: SHA256, signer x\nverified: x.zip is the release"],
                                      "problems": ["a\x1b[8mhidden\u202e"], "signers": [], "form": []})
        real, verify_release.authenticode.check = verify_release.authenticode.check, lambda *args: forged
        try:
            output = self.verdict(b"blob")
        finally:
            verify_release.authenticode.check = real
        self.assertFalse([line for line in output.splitlines() if line.startswith("verified:") or "\x1b" in line
                          or "\u202e" in line], output)

    def test_pins(self):
        dual = genuine().dump()
        vendor = hashlib.sha256(load_certificate("vendor").dump()).hexdigest().upper()
        self.assertNotIn("FAIL", self.verdict(dual, signer=vendor, form="SHA1 time-stamped, SHA256 time-stamped"))
        cases = [
            ("unsigned, a signature asked for", None, {"signed": True}, "not signed, and KZ_VERIFY_SIGNED"),
            ("another signer pinned", dual, {"signer": "AB" * 32}, f"a signature is by the certificate {vendor}"),
            ("another form", dual, {"form": "SHA256 time-stamped"}, "signed as \"SHA1 time-stamped, SHA256 time-stamped\""),
            ("two signers", genuine(nested="stranger").dump(), {}, "its signatures are by different certificates"),
        ]
        for case, blob, pinned, cause in cases:
            with self.subTest(case):
                self.assertIn(f"FAIL: x.zip: {EXE}: {cause}", self.verdict(blob, **pinned))


class Settings(unittest.TestCase):
    def test_refused_by_name(self):
        write("ca-copy.pem", pem.armor("CERTIFICATE", load_certificate("ca").dump()))
        write("not-a-certificate.pem", b"nothing here")
        cases = [
            ({"KZ_VERIFY_SIGNED": "yes"}, "KZ_VERIFY_SIGNED is \"yes\""),
            ({"KZ_VERIFY_SIGNER": ""}, "KZ_VERIFY_SIGNER is set but empty"),
            ({"KZ_VERIFY_SIGNER": "AB:CD"}, "KZ_VERIFY_SIGNER is not a SHA-256 fingerprint"),
            ({"KZ_VERIFY_SIGNATURES": "SHA256 stamped"}, "KZ_VERIFY_SIGNATURES is \"SHA256 stamped\""),
            ({"KZ_VERIFY_SIGNR": "AB" * 32}, "KZ_VERIFY_SIGNR is not a setting"),
            ({"KZ_VERIFY_CAFILE": "missing.pem"}, "KZ_VERIFY_CAFILE: cannot read"),
            ({"KZ_VERIFY_TSA_CAFILE": "not-a-certificate.pem"}, "KZ_VERIFY_TSA_CAFILE: " + DIR),
        ]
        for environ, cause in cases:
            with self.subTest(cause), self.assertRaises(verify_release.Refused) as refusal:
                verify_release.settings(environ, DIR)
            self.assertIn(cause, str(refusal.exception))
        read = verify_release.settings({"KZ_VERIFY_CAFILE": "ca-copy.pem", "KZ_VERIFY_SIGNER": "ab:" * 31 + "ab"}, DIR)
        self.assertEqual((read["cafile"], read["signer"], read["signed"]), (f"{DIR}/ca-copy.pem", "AB" * 32, True))

    def test_commit_named_once_and_fetched_from_any_ref(self):
        repo = os.path.join(DIR, "repo")
        run = lambda *args: subprocess.run(["git", "-C", repo, *args], check=True, capture_output=True, text=True).stdout.strip()  # noqa: E731
        subprocess.run(["git", "init", "-q", repo], check=True)
        for n in range(2):
            run("-c", "user.name=t", "-c", "user.email=t@t", "commit", "-q", "--allow-empty", "-m", str(n))
        first, second = run("rev-parse", "HEAD~1"), run("rev-parse", "HEAD")
        run("tag", second[:7], first)  # a tag that reads as the second commit's short hash
        self.assertEqual(verify_release.resolve(repo, second), second)
        for name, cause in ((second[:7], "is ambiguous"), ("v9.9", "no commit v9.9")):
            with self.subTest(name), self.assertRaises(verify_release.Refused) as refusal:
                verify_release.resolve(repo, name)
            self.assertIn(cause, str(refusal.exception))
        # A commit that only a remote's branch reaches still reaches the build.
        run("checkout", "-q", "--detach", first)
        run("update-ref", "refs/remotes/origin/only", second)
        run("branch", "-q", "-D", run("rev-parse", "--abbrev-ref", "@{-1}") or "master")
        verify_release.fetch(repo, os.path.join(DIR, "fetched"))
        subprocess.run(["git", "-C", os.path.join(DIR, "fetched"), "cat-file", "-e", f"{second}^{{commit}}"], check=True)


class Explanations(unittest.TestCase):
    """Why a zip is not the rebuilt one, once the bytes have differed."""

    def zip(self, name, entries, date=(2026, 1, 1, 0, 0, 0)):
        path = os.path.join(DIR, name)
        with zipfile.ZipFile(path, "w") as z, warnings.catch_warnings():
            warnings.simplefilter("ignore")  # zipfile's, on the duplicate name a case writes
            for entry, data in entries:
                z.writestr(entry if isinstance(entry, zipfile.ZipInfo) else zipfile.ZipInfo(entry, date), data)
        return path

    def test_causes(self):
        # What the release test's altered zips do not show already: the
        # toolchain, the exe's code, the layout and a zip that cannot be read.
        exe, signed = tiny_exe(), tiny_exe() + b"SIGNATURE"
        files = {"BUILDINFO": b"zip x64\npackage g++-mingw-w64-x86-64-posix 12.2\n", EXE: signed}
        wanted = self.zip("wanted.zip", files.items())
        damaged = zipfile.ZipInfo(EXE, (2026, 1, 1, 0, 0, 0))
        damaged.compress_type = zipfile.ZIP_DEFLATED
        cases = [
            ("compiler", {**files, "BUILDINFO": b"zip x64\npackage g++-mingw-w64-x86-64-posix 99\n"}.items(),
             "toolchain: not the one BUILDINFO names, and that alone changes the exe's bytes: "
             "g++-mingw-w64-x86-64-posix 99 in BUILDINFO, 12.2 here"),
            ("code", {**files, EXE: signed[:0x210] + b"\xff" + signed[0x211:]}.items(),
             f"{EXE}: differs from the commit's with the zip's signature attached, in its code or headers"),
            ("layout", [(zipfile.ZipInfo(k, (2030, 1, 1, 0, 0, 0)), v) for k, v in files.items()], "zip: laid out otherwise"),
            ("damaged", [(damaged, b"x" * 1000)], "zip: not a zip that can be read")]
        for case, entries, cause in cases:
            with self.subTest(case):
                given = self.zip("given.zip", entries)
                if case == "damaged":  # its deflated data turned to noise
                    with open(given, "r+b") as f:
                        f.seek(30 + len(EXE))
                        f.write(b"\xff" * 4)
                causes = verify_release.explain(given, wanted, exe, {})
                self.assertTrue(any(c.startswith(cause) for c in causes), causes)


class SignExe(unittest.TestCase):
    """sign-exe.sh: no PIN on a command line, no unsigned OUT left behind."""

    def sign_exe(self, environ, *args):
        own = {name: value for name, value in os.environ.items() if not name.startswith("KZ_")}
        return subprocess.Popen([f"{SOURCE}/scripts/sign-exe.sh", *args], cwd=DIR, env={**own, **environ},
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def test_pin_in_key_refused_in_every_mode(self):
        for args in (["check"], ["in.exe", "pin.exe"]):
            with self.subTest(args[0]):
                output = self.sign_exe({"KZ_SIGN_KEY": "pkcs11:token=kz;pin-value=1234"}, *args).communicate()[0]
                self.assertIn("KZ_SIGN_KEY carries the PIN", output)
                self.assertFalse(os.path.exists(os.path.join(DIR, "pin.exe")))

    def test_no_out_left_by_a_signal(self):
        openssl("pkcs12", "-export", "-inkey", "vendor.key", "-in", "vendor.pem", "-passout", "pass:pw", "-out", "vendor.pfx")
        write("password", b"pw\n")
        write("in.exe", tiny_exe())
        for stop, dual in ((signal.SIGTERM, "0"), (signal.SIGINT, "1"), (signal.SIGHUP, "0")):
            with self.subTest(stop.name), socket.socket() as silent:
                silent.bind(("127.0.0.1", 0))
                silent.listen()
                silent.settimeout(20)
                url = f"http://127.0.0.1:{silent.getsockname()[1]}/"
                signing = self.sign_exe({"KZ_SIGN_PFX": "vendor.pfx", "KZ_SIGN_PASSWORD_FILE": "password", "KZ_SIGN_DUAL": dual,
                                         "KZ_SIGN_TIMESTAMP_URL": url, "KZ_SIGN_LEGACY_TIMESTAMP_URL": url}, "in.exe", "out.exe")
                connection = silent.accept()[0]  # osslsigncode waits for the authority
                signing.send_signal(stop)
                signing.communicate(timeout=20)
                connection.settimeout(20)
                with connection:
                    while connection.recv(65536):  # its request, then the end of a closed connection
                        pass
                self.assertEqual([f for f in os.listdir(DIR) if f.startswith("out.exe")], [])


if __name__ == "__main__":
    unittest.main()
