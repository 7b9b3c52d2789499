"""The verifier's refusals and sign-exe.sh's, in seconds, with no root, Wine
or network: the tests' PKI and authority (pki.py), a tiny exe made here,
signatures made by osslsigncode and given the release's one form, and every
variant of that form an attacker could make of what no key covers.

    verifier_test.py SOURCE_DIR
"""
import contextlib
import datetime
import hashlib
import io
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

SOURCE = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path[:0] = [os.path.join(SOURCE, "release"), os.path.join(SOURCE, "tests", "release")]
import authenticode  # noqa: E402
import pki  # noqa: E402
import verify  # noqa: E402
from asn1crypto import algos, cms, core, parser, pem  # noqa: E402

WORK = tempfile.TemporaryDirectory()
DIR, PKI, EXE = WORK.name, pki.Pki(WORK.name), verify.EXE


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


def write(name, data):
    path = os.path.join(DIR, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def sign(key, digest, exe=None, *options):
    """osslsigncode's signature of the tiny exe by KEY, with its chain."""
    write("in.exe", exe or tiny_exe())
    write("certs.pem", PKI.pem(PKI.chain(key)))
    subprocess.run(["osslsigncode", "sign", "-certs", "certs.pem", "-key", f"{key}.key", "-h", digest, *options,
                    "-in", "in.exe", "-out", "out.exe"], check=True, capture_output=True, cwd=DIR)
    with open(os.path.join(DIR, "out.exe"), "rb") as f:
        blob = authenticode.certificate_blob(f.read())
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


def with_certificates(signature, *names):
    data = signature["content"]
    data["certificates"] = cms.CertificateSet(list(data["certificates"]) + [
        cms.CertificateChoices({"certificate": PKI.certificate(name)}) for name in names])
    return signature


def legacy(signature, tsa="tsa", when=None):
    """SIGNATURE with a legacy stamp and the authority's certificate, as
    osslsigncode adds them."""
    counter = PKI.legacy(tsa, info(signature)["signature"].native, when)
    return unsigned(with_certificates(signature, *PKI.chain(tsa)), ("counter_signature", counter))


def rfc3161(signature, tsa="tsa", token=None):
    return unsigned(signature, ("microsoft_time_stamp_token", token or PKI.token(tsa, info(signature)["signature"].native)))


def canonical(signature):
    """The signature as sign-exe.sh leaves it: in its one form."""
    return authenticode.form(signature.dump())[0].part.dump()


def dual(primary="vendor", nested="vendor", stamp=True, tsa="tsa"):
    inner = sign(nested, "sha256")
    return canonical(unsigned(legacy(sign(primary, "sha1"), tsa) if stamp else sign(primary, "sha1"),
                              ("microsoft_nested_signature", rfc3161(inner, tsa) if stamp else inner)))


def s_of(value):
    return algos.DSASignature.load(value)["s"].native


def high_s(key, digest):
    """A signature by KEY, an ECDSA one, whose s is the higher of its twins'."""
    while s_of(info(signature := sign(key, digest))["signature"].native) < pki.P256 // 2:
        pass
    return signature


def problems(blob):
    """What the checks find in BLOB, or why it is no release's signature."""
    try:
        return check(blob)[0]
    except authenticode.Unreadable as problem:
        return [str(problem)]


def check(blob, trusted=("ca",)):
    """The problems the verifier finds in the signature BLOB of the tiny exe,
    with the TRUSTED CAs: its form first, then its keys, chains and stamps;
    and the form it has."""
    cafile = write(f"{'+'.join(trusted)}.pem", PKI.pem(trusted))
    files = {cafile: {PKI.certificate(n).dump() for n in trusted}, f"{DIR}/tsa-root.pem": {PKI.certificate("tsa-root").dump()}}
    primary, differs = authenticode.form(blob.dump() if isinstance(blob, cms.ContentInfo) else blob)
    if differs:
        return [f"its signature is not in the one form a release's takes: {differs} differs"], None
    checked = authenticode.check(primary, tiny_exe(), cafile, f"{DIR}/tsa-root.pem", files)
    return checked.problems, checked.form


def setUpModule():
    PKI.make()
    PKI.keys_for_signing()


class Node:
    """An element of a DER encoding, as the variants take it apart."""

    def __init__(self, der):
        self.class_, self.method, self.tag, _, self.contents, _ = parser.parse(der)
        self.der, self.children = der, None
        if self.method == 1:
            self.children, rest = [], self.contents
            while rest:
                self.children.append(Node(rest[:parser.peek(rest)]))
                rest = rest[len(self.children[-1].der):]

    def emit(self, target, change):
        """The encoding with CHANGE made to the element TARGET, a change
        taking its encoding and its next sibling's and giving what goes there."""
        if self.children is None:
            return self.der
        held = [c.emit(target, change) for c in self.children]
        for i, child in enumerate(self.children):
            if child is target:
                held[i:i + 2] = change(held[i], held[i + 1:i + 2])
                break
        return parser.emit(self.class_, 1, self.tag, b"".join(held))


OTHER_OIDS = ("1.2.840.113549.1.1.4", "1.2.840.113549.1.1.13", "1.2.840.113549.1.1.11")  # md5, sha512, sha256 with RSA


def rewritten(encoding, long_length):
    """ENCODING with its tag the next one, or its length in a longer form."""
    class_, method, tag, head, contents, _ = parser.parse(encoding)
    if not long_length:
        return parser.emit(class_, method, tag + 1 if tag < 30 else 1, contents)
    size = len(contents).to_bytes((len(contents).bit_length() + 7) // 8 + 1, "big")  # a byte more than it needs
    return head[:1] + bytes([0x80 | len(size)]) + size + contents


def changes(node, last):
    """What an attacker does to an element: (what, change) pairs."""
    yield "dropped", lambda e, after: after
    yield "duplicated", lambda e, after: [e, e] + after
    if not last:
        yield "swapped with the next", lambda e, after: after + [e]
    yield "retagged", lambda e, after: [rewritten(e, False)] + after
    yield "with its length in a longer form", lambda e, after: [rewritten(e, True)] + after
    if (node.class_, node.tag) == (0, 6):
        for dotted in (d for d in OTHER_OIDS if core.ObjectIdentifier(d).dump() != node.der):
            yield f"as {dotted}", lambda e, after, d=dotted: [core.ObjectIdentifier(d).dump()] + after
    if node.class_ == 0 and node.children and node.children[0].tag == 6:  # an algorithm identifier
        parameters = [] if node.children[1:] else [b"\5\0"]  # taken away, or a NULL added
        yield "with its parameters changed", lambda e, after: [
            parser.emit(0, 1, 16, node.children[0].der + b"".join(parameters))] + after


def signers(primary):
    signatures = [primary] + primary.nested
    return [s.signer for s in signatures] + [s.stamp if s.kind == authenticode.LEGACY else s.stamp.signer
                                             for s in signatures if s.stamp]


def covered(primary):
    """The encodings of what the keys cover in the one form, left whole."""
    found, signatures = set(), [primary] + primary.nested
    for s in signers(primary):
        found |= {s.info["signed_attrs"].dump(), s.info["signature"].dump()}
        found |= {c["tbs_certificate"].dump() for c in s.chain}
    found |= {parser.emit(0, 1, 16, s.content.contents) for s in signatures}
    found |= {core.OctetString(s.stamp.info.dump()).dump() for s in signatures if s.kind == authenticode.RFC3161 and s.stamp}
    return found


def swapped_stamps(blob):
    """BLOB with each signature's stamp swapped for one of the other kind."""
    for index in (0, 1):
        yield f"signature {index}'s stamp swapped for one of the other kind", PKI.swapped_stamp(blob, index)


def twin(value):
    """(r, n - s) for an ECDSA signature value (r, s) on P-256: it verifies
    as well, and anyone can make it."""
    r = algos.DSASignature.load(value)["r"].native
    return algos.DSASignature({"r": r, "s": pki.P256 - s_of(value)}).dump()


def twins(root, primary):
    """ROOT, a signature's tree, with each ECDSA value, of a signer info or a
    certificate, as its twin, wherever it is."""
    ec = [s for s in signers(primary) if s.certificate.public_key.algorithm == "ec"]
    ecdsa = {c.dump(): c for s in signers(primary) for c in s.chain if c.signature_algo == "ecdsa"}.values()
    for what, given, made in [(f"{s.name}'s ECDSA signature", s.info["signature"].dump(),
                               core.OctetString(twin(s.info["signature"].native)).dump()) for s in ec] + [
            (f"the ECDSA signature of {c.subject.human_friendly}'s certificate", c["signature_value"].dump(),
             parser.emit(0, 0, 3, b"\0" + twin(c["signature_value"].native))) for c in ecdsa]:
        for n, node in enumerate(found(root, given)):
            yield f"{what} ({n}) as its twin", root.emit(node, lambda e, after: [made] + after)


def found(node, der):
    """The elements under NODE whose encoding is DER."""
    yield from [node] if node.der == der else (f for c in node.children or [] for f in found(c, der))


def variants(blob):
    """Every variant of BLOB's elements that no key covers: each dropped,
    duplicated, swapped, retagged, its length written longer, an OID
    another, parameters added or taken away; each ECDSA signature value its
    twin; and each stamp of the other kind."""
    root, keep = Node(blob), covered(authenticode.form(blob)[0])
    queue = [(root, "")]
    while queue:
        node, where = queue.pop()
        for i, child in enumerate(node.children or []):
            for what, change in changes(child, i == len(node.children) - 1):
                yield f"{where}/{i} {what}", root.emit(child, change)
            if child.der not in keep:
                queue.append((child, f"{where}/{i}"))
    yield from twins(root, authenticode.form(blob)[0])
    if len(authenticode.form(blob)[0].nested) == 1:
        yield from swapped_stamps(blob)


class Form(unittest.TestCase):
    def refused(self, blob, form):
        """Whether the verifier refuses BLOB, a variant of a signature of
        FORM: by a problem it names, or by the weaker form a release could
        have, which the vendor's announced form then refuses."""
        try:
            found, made = check(blob)
        except authenticode.Unreadable:
            return True
        return bool(found) or made != form and bool(verify.FORM.fullmatch(", ".join(made)))

    def test_genuine_forms(self):
        for case, blob, form in (
                ("dual", dual(), ["SHA1 legacy time-stamped", "SHA256 RFC 3161 time-stamped"]),
                ("dual, unstamped", dual(stamp=False), ["SHA1 not time-stamped", "SHA256 not time-stamped"]),
                ("SHA-256 under an intermediate CA", canonical(rfc3161(sign("employee", "sha256"))),
                 ["SHA256 RFC 3161 time-stamped"]),
                ("EC keys, a higher s kept where a stamp or a token pins it",
                 canonical(rfc3161(high_s("ec-vendor", "sha256"), "ec-tsa")), ["SHA256 RFC 3161 time-stamped"])):
            with self.subTest(case):
                self.assertEqual(check(blob), ([], form))
                self.assertEqual(canonical(cms.ContentInfo.load(blob)), blob)  # the form of the form is itself

    def test_every_variant_of_what_no_key_covers_is_refused(self):
        both = ["SHA1 legacy time-stamped", "SHA256 RFC 3161 time-stamped"]
        for blob, form in ((dual(), both), (canonical(rfc3161(sign("vendor", "sha256"))), ["SHA256 RFC 3161 time-stamped"]),
                           (dual("ec-vendor", "ec-vendor", tsa="ec-tsa"), both),
                           (canonical(sign("ec-vendor", "sha256")), ["SHA256 not time-stamped"])):
            made = list(variants(blob))
            self.assertGreater(len(made), 150)
            passed = [what for what, variant in made if not self.refused(variant, form)]
            self.assertEqual(passed, [], f"{len(passed)} of {len(made)} variants pass")

    def test_the_first_part_that_differs_is_named(self):
        genuine = dual()
        tree = Node(genuine)
        certificates = tree.children[1].children[0].children[3]
        md5 = cms.ContentInfo.load(genuine)
        info(md5)["signature_algorithm"] = {"algorithm": "md5_rsa"}
        for case, blob, cause in (
                ("an RFC 3161 stamp where XP reads a legacy one", next(swapped_stamps(genuine))[1],
                 "signature 0: unsigned attributes (a legacy time stamp, which XP reads, or none"),
                ("the certificates reversed", tree.emit(certificates.children[0], lambda e, after: after + [e]),
                 "signature 0: certificates differs"),
                ("md5WithRSAEncryption named", md5, "signature 0: signature algorithm differs")):
            with self.subTest(case):
                self.assertTrue(any(cause in p for p in problems(blob)), problems(blob))


class Keys(unittest.TestCase):
    """What the form keeps: a key, a chain, a purpose, a stamp."""

    def test_refusals(self):
        hour = datetime.timedelta(hours=1)
        before = datetime.datetime.now(datetime.timezone.utc) - 2 * hour  # while "expired" was valid
        cases = [
            ("another key under the vendor's certificate", lambda: with_only(sign("impostor", "sha256"), "vendor"),
             "does not verify under the key"),
            ("a stranger's signature", lambda: sign("stranger", "sha256"), "signature 0: its signer's certificate does not"),
            ("a signature of another exe", lambda: sign("vendor", "sha256", tiny_exe(b"\x90\xc3")), "does not sign this exe"),
            ("its signed attributes reordered, of a length asn1crypto takes for none", reordered, "does not verify under the key"),
            ("a stamp with its time edited", lambda: rfc3161(sign("vendor", "sha256"), token=edited_time(sign("vendor", "sha256"))),
             "its time stamp does not verify"),
            ("another signature's stamp", lambda: rfc3161(sign("vendor", "sha256"), token=PKI.token("tsa", b"other")),
             "its time stamp does not verify"),
            ("an RFC 3161 stamp by a self-made authority", lambda: rfc3161(sign("vendor", "sha256"), "self-made-tsa"),
             "its time stamp does not verify"),
            ("a legacy stamp by a self-made authority", lambda: dual_with(legacy(sign("vendor", "sha1"), "self-made-tsa")),
             "signature 0: its time stamp does not verify"),
            ("a legacy stamp by an authority not for time stamping",
             lambda: dual_with(legacy(sign("vendor", "sha1"), "tsa-without-usage")), "TSA is not for time stamping"),
            ("a certificate for another purpose", lambda: sign("web", "sha256"), "Web is not for code signing"),
            ("an intermediate CA for another purpose", lambda: sign("web-employee", "sha256"),
             "Web intermediate is not for code signing"),
            ("the root's name and key in a certificate of anyone's",
             lambda: with_certificates(sign("vendor", "sha256"), "copy"), "not its chain up to the trusted ones"),
            ("a lifetime-signing certificate, expired, stamped while valid",
             lambda: dual_with(legacy(sign("expired-lifetime", "sha1"), when=before)), "signature 0: its signer's certificate"),
        ]
        for case, make, cause in cases:
            with self.subTest(case):
                found = problems(canonical(make()))
                self.assertTrue(any(cause in problem for problem in found), f"expected [{cause}], got {found}")
        # Without the lifetime-signing usage, the stamp keeps the signature valid.
        found = problems(canonical(dual_with(legacy(sign("expired", "sha1"), when=before))))
        self.assertFalse([p for p in found if p.startswith("signature 0")], found)
        # Where the intermediate is trusted too, the chain still runs through it to the root; left out, it is missed.
        employee = canonical(rfc3161(sign("employee", "sha256")))
        self.assertEqual(check(employee, ("ca", "intermediate")), ([], ["SHA256 RFC 3161 time-stamped"]))
        self.assertIn("not its chain", check(canonical(rfc3161(with_only(sign("employee", "sha256"), "employee"))),
                                             ("ca", "intermediate"))[0][0])

    def test_what_a_key_covers_but_cannot_be_read_is_refused_not_a_crash(self):
        """Genuine signatures in their form, each with a part that the checks
        read deeply made unreadable: the exe's digest, and each time in turn."""
        signed, both = canonical(sign("vendor", "sha256")), dual()
        data, tree = cms.ContentInfo.load(signed)["content"], Node(signed)
        content = data["encap_content_info"]["content"].contents
        bits = next(found(tree, data["certificates"][0].chosen["signature_value"].dump()))
        made = [("the exe's digest not an OCTET STRING", signed.replace(content, content[:-34] + b"\2" + content[-33:])),
                ("a certificate's signature an empty BIT STRING", tree.emit(bits, lambda e, after: [b"\3\0"] + after))]
        # A time is its tag and length, then all its digits: two bytes alone turn up in keys and signatures too.
        for head, month, digits in ((cms.CMSAttributeType("signing_time").dump() + b"\x31\x0f\x17\x0d", 2, 12),
                                    (b"\x18\x0f", 4, 14)):
            made += [(f"the time after {head.hex()} at {at.start()} in month 13", both[:at.end() + month] + b"13" +
                      both[at.end() + month + 2:]) for at in re.finditer(re.escape(head) + rb"(?=[0-9]{%d}Z)" % digits, both)]
        self.assertEqual(len(made), 7)  # the digest, a certificate, the four signing times and the one genTime
        for case, blob in made:
            with self.subTest(case):
                self.assertIn("its signature cannot be read", problems(blob)[0])


def with_only(signature, name):
    signature["content"]["certificates"] = cms.CertificateSet([cms.CertificateChoices({"certificate": PKI.certificate(name)})])
    return signature


def reordered():
    """A signature whose signed attributes are 0x180 bytes, a length whose
    last byte asn1crypto takes for an indefinite one, the first two swapped."""
    name = 1
    while (size := len(info(signature := sign("vendor", "sha256", None, "-n", "x" * name))["signed_attrs"].contents)) != 0x180:
        name += 0x180 - size
    given = info(signature)["signed_attrs"].contents
    first, second, *rest = Node(parser.emit(0, 1, 17, given)).children
    return cms.ContentInfo.load(signature.dump().replace(given, b"".join(c.der for c in [second, first, *rest])))


def dual_with(primary):
    return unsigned(primary, ("microsoft_nested_signature", sign("vendor", "sha256")))


def edited_time(signature):
    """A token whose time is a second on: inside every certificate's
    validity, so that only the token's own signature can tell."""
    blob = PKI.token("tsa", info(signature)["signature"].native).dump()
    at = re.search(rb"\x18\x0f(?=[0-9]{14}Z)", blob).end()  # genTime, the token's one GeneralizedTime
    moment = datetime.datetime.strptime(blob[at:at + 14].decode(), "%Y%m%d%H%M%S") + datetime.timedelta(seconds=1)
    return cms.ContentInfo.load(blob[:at] + moment.strftime("%Y%m%d%H%M%S").encode() + blob[at + 14:])


class Policy(unittest.TestCase):
    """What the technician pins: the signer, the form, that it is signed."""

    def verdict(self, blob, **pinned):
        wanted = {"signed": False, "signer": "", "form": "", "cafile": f"{DIR}/ca.pem", "tsa_cafile": f"{DIR}/tsa-root.pem",
                  "authorities": {f"{DIR}/ca.pem": set(), f"{DIR}/tsa-root.pem": set()}, **pinned}
        z = verify.Zip.__new__(verify.Zip)
        z.label, z.failures, z.exe, z.blob = "x.zip", 0, tiny_exe(), blob
        z.primary = authenticode.form(blob)[0] if blob else None
        with contextlib.redirect_stdout(io.StringIO()) as output:
            verify.check_signature(z, wanted)
        return output.getvalue()

    def test_pins(self):
        genuine = dual()
        vendor = hashlib.sha256(PKI.certificate("vendor").dump()).hexdigest().upper()
        form = "SHA1 legacy time-stamped, SHA256 RFC 3161 time-stamped"
        self.assertNotIn("FAIL", self.verdict(genuine, signer=vendor, form=form))
        for case, blob, pinned, cause in (
                ("unsigned, a signature asked for", None, {"signed": True}, "not signed, and KZ_VERIFY_SIGNED"),
                ("another signer pinned", genuine, {"signer": "AB" * 32}, f"a signature is by the certificate {vendor}"),
                ("another form", genuine, {"form": "SHA256 RFC 3161 time-stamped"}, f"signed as \"{form}\""),
                ("two signers", dual(nested="stranger"), {}, "its signatures are by different certificates")):
            with self.subTest(case):
                self.assertIn(f"FAIL: x.zip: {EXE}: {cause}", self.verdict(blob, **pinned))


class Settings(unittest.TestCase):
    def test_refused_by_name(self):
        write("ca-copy.pem", PKI.pem(["ca"]))
        write("no-certificate.pem", b"nothing here")
        write("bad-block.pem", PKI.pem(["ca"]) + pem.armor("CERTIFICATE", b"\x30\x03\x02\x01"))
        write("a-key.pem", PKI.pem(["ca"]) + pem.armor("PRIVATE KEY", b"\x30\x00"))
        os.mkfifo(os.path.join(DIR, "fifo.pem"))
        ca = Node(PKI.certificate("ca").dump())
        write("empty-bits.pem", pem.armor("CERTIFICATE", ca.emit(ca.children[2], lambda e, after: [b"\3\0"] + after)))
        for environ, cause in (
                ({"KZ_VERIFY_SIGNED": "yes"}, "KZ_VERIFY_SIGNED is \"yes\""),
                ({"KZ_VERIFY_SIGNER": ""}, "KZ_VERIFY_SIGNER is set but empty"),
                ({"KZ_VERIFY_SIGNER": "AB:CD"}, "KZ_VERIFY_SIGNER is not a SHA-256 fingerprint"),
                ({"KZ_VERIFY_SIGNATURES": "SHA256 time-stamped"}, "KZ_VERIFY_SIGNATURES is \"SHA256 time-stamped\""),
                ({"KZ_VERIFY_SIGNATURES": "SHA1 RFC 3161 time-stamped, SHA256 RFC 3161 time-stamped"}, "not a form"),
                ({"KZ_VERIFY_SIGNR": "AB" * 32}, "KZ_VERIFY_SIGNR is not a setting"),
                ({"KZ_VERIFY_CAFILE": "missing.pem"}, "KZ_VERIFY_CAFILE: cannot read"),
                ({"KZ_VERIFY_CAFILE": "fifo.pem"}, "KZ_VERIFY_CAFILE: fifo.pem is not a regular file"),
                ({"KZ_VERIFY_CAFILE": "."}, "KZ_VERIFY_CAFILE: . is not a regular file"),
                ({"KZ_VERIFY_TSA_CAFILE": "bad-block.pem"}, "KZ_VERIFY_TSA_CAFILE: bad-block.pem holds a PEM block that is no"),
                ({"KZ_VERIFY_TSA_CAFILE": "a-key.pem"}, "a PRIVATE KEY block"),
                ({"KZ_VERIFY_CAFILE": "empty-bits.pem"}, "empty-bits.pem holds a PEM block that is no certificate"),
                ({"KZ_VERIFY_TSA_CAFILE": "no-certificate.pem"}, "holds no PEM certificate")):
            with self.subTest(cause), self.assertRaises(verify.Refused) as refusal:
                verify.settings({"KZ_VERIFY_CAFILE": "ca-copy.pem", "KZ_VERIFY_TSA_CAFILE": "ca-copy.pem", **environ}, DIR)
            self.assertIn(cause, str(refusal.exception).replace(DIR + "/", ""))
        read = verify.settings({"KZ_VERIFY_CAFILE": "ca-copy.pem", "KZ_VERIFY_TSA_CAFILE": "ca-copy.pem",
                                "KZ_VERIFY_SIGNER": "ab:" * 31 + "ab"}, DIR)
        self.assertEqual((read["cafile"], read["signer"], read["signed"]), (f"{DIR}/ca-copy.pem", "AB" * 32, True))
        # The wrapper finds its own folder through a link to it, called from anywhere.
        os.symlink(f"{SOURCE}/scripts/verify-release.sh", link := os.path.join(DIR, "verify"))
        done = subprocess.run([link], cwd="/", capture_output=True, text=True)
        self.assertEqual((done.returncode, done.stderr.splitlines()[-1:]), (2, ["usage: verify-release.sh ZIP... [COMMIT]"]))

    def test_commit_named_once_from_any_ref(self):
        repo = os.path.join(DIR, "repo")
        run = lambda *args: subprocess.run(["git", "-C", repo, *args], check=True, capture_output=True, text=True).stdout.strip()  # noqa: E731
        subprocess.run(["git", "init", "-q", repo], check=True)
        for n in range(2):
            run("-c", "user.name=t", "-c", "user.email=t@t", "commit", "-q", "--allow-empty", "-m", str(n))
        first, second = run("rev-parse", "HEAD~1"), run("rev-parse", "HEAD")
        run("tag", second[:7], first)  # a tag that reads as the second commit's short hash
        for name, cause in ((second[:7], "is ambiguous"), ("v9.9", "no commit v9.9"), ("^HEAD", "no commit ^HEAD")):
            with self.subTest(name), self.assertRaises(verify.Refused) as refusal:
                verify.resolve(repo, name)
            self.assertIn(cause, str(refusal.exception))
        # A commit that only a remote's branch reaches is found all the same.
        run("checkout", "-q", "--detach", first)
        run("update-ref", "refs/remotes/origin/only", second)
        run("branch", "-q", "-D", run("rev-parse", "--abbrev-ref", "@{-1}") or "master")
        self.assertEqual(verify.resolve(repo, "origin/only"), second)


class Explanation(unittest.TestCase):
    def test_members_and_diffoscope(self):
        def zipped(guide):
            data = io.BytesIO()
            with zipfile.ZipFile(data, "w") as z:
                z.writestr("README-CHS.txt", guide)
                z.writestr(EXE, tiny_exe())
            return data.getvalue()
        z = verify.Zip(write("given.zip", zipped("可以设法绕过\r\n")), 0)
        with contextlib.redirect_stdout(io.StringIO()) as output:
            verify.explain(z, zipped("不要设法绕过\r\n"), DIR)
        self.assertIn("given.zip: README-CHS.txt: differs from the commit's README-CHS.txt", output.getvalue())
        self.assertIn("diffoscope: ", output.getvalue())
        with zipfile.ZipFile(bomb := io.BytesIO(), "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr(EXE, bytes(verify.LARGEST + 1))  # a few KiB that unpack to more than a zip may hold
        with contextlib.redirect_stdout(io.StringIO()) as output:
            self.assertEqual(verify.Zip(write("bomb.zip", bomb.getvalue()), 0).failures, 1)
        self.assertIn("bomb.zip: zip: its files unpack to more than", output.getvalue())


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

    def test_its_signatures_are_in_the_form(self):
        # Stamped, in dual mode, the release test signs through the token.
        write("in.exe", tiny_exe())
        for dual_, form in (("0", ["SHA256 not time-stamped"]), ("1", ["SHA1 not time-stamped", "SHA256 not time-stamped"])):
            with self.subTest(dual=dual_):
                output = self.sign_exe({"KZ_SIGN_PFX": "test.pfx", "KZ_SIGN_PASSWORD_FILE": "password", "KZ_SIGN_DUAL": dual_,
                                        "KZ_SIGN_TIMESTAMP_URL": "none", "KZ_SIGN_LEGACY_TIMESTAMP_URL": "none"},
                                       "in.exe", "signed.exe").communicate()[0]
                with open(os.path.join(DIR, "signed.exe"), "rb") as f:
                    self.assertEqual(check(authenticode.certificate_blob(f.read())), ([], form), output)

    def test_named_files_taken_as_named(self):
        """Files whose names start with a dash, a module path with a #: files,
        not options or comments; and an OUT that is IN is refused, IN kept."""
        for name in ("test.pfx", "password"):
            shutil.copy(os.path.join(DIR, name), os.path.join(DIR, f"-{name}"))
        os.makedirs(os.path.join(DIR, "a#b"), exist_ok=True)
        os.symlink("/usr/lib/softhsm/libsofthsm2.so", module := os.path.join(DIR, "a#b", "softhsm2.so"))
        write("chain.pem", PKI.pem(PKI.chain("vendor")))
        pfx = {"KZ_SIGN_PFX": "-test.pfx", "KZ_SIGN_PASSWORD_FILE": "-password", "KZ_SIGN_TIMESTAMP_URL": "none"}
        token = {"SOFTHSM2_CONF": PKI.path("token/softhsm2.conf"), "KZ_SIGN_PKCS11_MODULE": module, "KZ_SIGN_CERT": "chain.pem",
                 "KZ_SIGN_KEY": "pkcs11:token=kz;object=vendor;type=private", "KZ_SIGN_PASSWORD_FILE": PKI.path("token/pin"),
                 "KZ_SIGN_TIMESTAMP_URL": "none"}
        for case, environ, args, status, said in (("a PFX and a password file named -...", pfx, ["check"], 0, ""),
                                                  ("a token's module under a folder named a#b", token, ["check"], 0, ""),
                                                  ("OUT is IN", pfx, ["in.exe", "./in.exe"], 1, "OUT is IN itself")):
            with self.subTest(case):
                write("in.exe", tiny_exe())
                signing = self.sign_exe(environ, *args)
                self.assertEqual((signing.wait(), said in signing.communicate()[0]), (status, True))
                self.assertTrue(os.path.exists(os.path.join(DIR, "in.exe")))

    def test_no_out_left_by_a_signal(self):
        write("in.exe", tiny_exe())
        for stop, dual_ in ((signal.SIGTERM, "0"), (signal.SIGINT, "1"), (signal.SIGHUP, "0")):
            with self.subTest(stop.name), socket.socket() as silent:
                silent.bind(("127.0.0.1", 0))
                silent.listen()
                silent.settimeout(20)
                url = f"http://127.0.0.1:{silent.getsockname()[1]}/"
                signing = self.sign_exe({"KZ_SIGN_PFX": "test.pfx", "KZ_SIGN_PASSWORD_FILE": "password", "KZ_SIGN_DUAL": dual_,
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
