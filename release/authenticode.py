"""The one Authenticode signature a KZviVIVaru release carries, built from
what the keys cover, and its checks; docs/releasing.md has the form.

sign-exe.sh gives each signature this form before it is attached, and the
verifier takes a release's signature only when it is byte for byte what
form() builds from it, so that nothing no key covers can vary. Each
cryptographic check is one openssl call whose exit status is the verdict.

    authenticode.py canonical SIGNATURE.der OUT.pem     (sign-exe.sh)
"""
import datetime
import hashlib
import os
import struct
import subprocess
import sys
import tempfile

from asn1crypto import algos, cms, core, parser, pem, tsp

SPC = "1.3.6.1.4.1.311.2.1.4"  # the content Authenticode signs: the exe's digest


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", core.Any), ("message_digest", algos.DigestInfo)]


cms.ContentType._map[SPC] = "spc_indirect_data"
cms.ContentInfo._oid_specs["spc_indirect_data"] = SpcIndirectDataContent

LEGACY, RFC3161, NESTED = "1.2.840.113549.1.9.6", "1.3.6.1.4.1.311.3.3.1", "1.3.6.1.4.1.311.2.4.1"
SIGNED_DATA, TST_INFO = "1.2.840.113549.1.7.2", "1.2.840.113549.1.9.16.1.4"
DIGESTS = {"sha1": "1.3.14.3.2.26", "sha256": "2.16.840.1.101.3.4.2.1",
           "sha384": "2.16.840.1.101.3.4.2.2", "sha512": "2.16.840.1.101.3.4.2.3"}
BY_LENGTH = {hashlib.new(name).digest_size: name for name in DIGESTS}
ECDSA = {"sha1": "1.2.840.10045.4.1", "sha256": "1.2.840.10045.4.3.2",
         "sha384": "1.2.840.10045.4.3.3", "sha512": "1.2.840.10045.4.3.4"}
LIFETIME_SIGNING = "1.3.6.1.4.1.311.10.3.13"
KINDS = {LEGACY: "legacy", RFC3161: "RFC 3161"}
LARGEST = 64 << 10  # bytes of a signature: a release's, chains and stamps included, is about 7 KiB


class Unreadable(Exception):
    """The signature cannot be read as one of a release's; the text says why."""


class Part:
    """An element of the one form: its name in a verdict, its tag, and what it
    holds, other parts or bytes as the keys cover them; a SET OF sorted, as
    DER has it."""

    def __init__(self, name, tag, *held, tagged=False, sort=False):
        self.name, self.class_, self.tag = name, 2 if tagged else 0, tag
        self.held = sorted(held, key=dump) if sort else held

    def dump(self):
        return parser.emit(self.class_, 1, self.tag, b"".join(map(dump, self.held)))


def dump(part):
    return part.dump() if isinstance(part, Part) else part


def sequence(name, *held):
    return Part(name, 16, *held)


def oid(dotted):
    return core.ObjectIdentifier(dotted).dump()


def first_difference(part, given):
    """The name of the first part of the one form that GIVEN, the bytes in its
    place, differs in; None where they are the same."""
    if part.dump() == given:
        return None
    try:
        class_, method, tag, _, contents, trailer = parser.parse(given)
        held = []
        while contents:
            held.append(contents[:parser.peek(contents)])
            contents = contents[len(held[-1]):]
    except ValueError:
        return part.name
    if (class_, method, tag) == (part.class_, 1, part.tag) and not trailer:
        for mine, theirs in zip(part.held, held):
            if dump(mine) != theirs:  # that one changed, or what this holds is in another order or number
                changed = isinstance(mine, Part) and dump(mine) not in held and theirs not in map(dump, part.held)
                return first_difference(mine, theirs) if changed else part.name
    return part.name  # its tag, its length's encoding, or what it holds beyond the form


def attribute(info, name):
    """The one value of a signed attribute, or None."""
    values = [a["values"] for a in info["signed_attrs"] if a["type"].native == name]
    return values[0][0].native if len(values) == 1 and len(values[0]) == 1 else None


def unsigned(info, kind):
    """The values of the unsigned attributes of type KIND, in order."""
    attributes = [] if isinstance(info["unsigned_attrs"], core.Void) else info["unsigned_attrs"]
    return [value for a in attributes if a["type"].dotted == kind for value in a["values"]]


def digest_of(info, name):
    """A signer info's digest, named by the length of the one its signed
    attributes carry: its key covers that, not the identifier beside it."""
    value = attribute(info, "message_digest")
    if not isinstance(value, bytes) or len(value) not in BY_LENGTH:
        raise Unreadable(f"{name}: its signed attributes carry no SHA-1 or SHA-2 digest")
    return BY_LENGTH[len(value)]


def certificates(signed_data):
    if any(choice.name != "certificate" for choice in signed_data["certificates"]):
        raise Unreadable("it carries a certificate of another kind than X.509")
    return list({choice.chosen.dump(): choice.chosen for choice in signed_data["certificates"]}.values())


def signer(pool, info, name):
    """The one certificate of POOL that the signer identifier names, by its
    issuer's bytes and its serial."""
    sid = info["sid"]
    if sid.name != "issuer_and_serial_number":
        raise Unreadable(f"{name}: its signer is named by a key identifier, which a release's is not")
    found = [c for c in pool if c.issuer.dump() == sid.chosen["issuer"].dump()
             and c.serial_number == sid.chosen["serial_number"].native]
    if len(found) != 1:
        raise Unreadable(f"{name}: {len(found)} certificates in it match its signer, not one")
    return found[0]


def chain(certificate, pool):
    """CERTIFICATE and its issuers' certificates from POOL, found by name, up
    to but not including one that issued itself: a root, which the verifier
    holds. Of two of one name, the first in DER's order."""
    found = [certificate]
    while found[-1].subject.dump() != found[-1].issuer.dump():
        issuers = [c for c in pool if c.subject.dump() == found[-1].issuer.dump()
                   and c.subject.dump() != c.issuer.dump() and c not in found]
        if not issuers:
            break
        found.append(min(issuers, key=lambda c: c.dump()))
    return found


def certificate_set(name, certificates_):
    """Each certificate with the algorithm its issuer signed in its own body,
    where the copy outside the body is covered by nothing."""
    unique = {c.dump(): c for c in certificates_}.values()  # a signer's may also be its authority's
    return Part(name, 0, *(sequence(f"{name}: {c.subject.human_friendly}", c["tbs_certificate"].dump(),
                                    c["tbs_certificate"]["signature"].dump(),
                                    parser.emit(0, 0, 3, b"\0" + c["signature_value"].native)) for c in unique),
                tagged=True, sort=True)


def algorithms(name, certificate, digest):
    """The digest and signature algorithms as OpenSSL writes them for the key."""
    kind = certificate.public_key.algorithm
    if kind not in ("rsa", "ec"):
        raise Unreadable(f"{name}: its signer's key is {kind}, which no release's is")
    signature = [oid("1.2.840.113549.1.1.1"), b"\5\0"] if kind == "rsa" else [oid(ECDSA[digest])]
    return (sequence(f"{name}: digest algorithm", oid(DIGESTS[digest]), b"\5\0"),
            sequence(f"{name}: signature algorithm", *signature))


class Signer:
    """One signer info of the signature: who signed, with which digest, and
    its part of the one form."""

    def __init__(self, name, info, pool, unsigned_attributes=(), described=""):
        self.name, self.info = name, info
        self.certificate = signer(pool, info, name)
        self.digest = digest_of(info, name)
        self.chain = chain(self.certificate, pool)
        digest, signature = algorithms(name, self.certificate, self.digest)
        tbs = self.certificate["tbs_certificate"]
        self.part = sequence(
            f"{name}: signer info", core.Integer(1).dump(),
            sequence(f"{name}: signer", tbs["issuer"].dump(), tbs["serial_number"].dump()), digest,
            Part(f"{name}: signed attributes", 0, info["signed_attrs"].contents, tagged=True), signature,
            core.OctetString(info["signature"].native).dump(),
            *([Part(f"{name}: unsigned attributes{described}", 1, *unsigned_attributes, tagged=True, sort=True)]
              if unsigned_attributes else []))

    def signed_attributes(self):
        """The signed attributes as their signature covers them: a DER SET."""
        return b"\x31" + self.info["signed_attrs"].dump()[1:]


def signed_data(name, version, digest, content_type, content, certificates_, signer_part):
    return sequence(name, oid(SIGNED_DATA), Part(name, 0, sequence(
        f"{name}: signed data", core.Integer(version).dump(),
        Part(f"{name}: digest algorithms", 17, sequence(f"{name}: digest", oid(DIGESTS[digest]), b"\5\0")),
        sequence(f"{name}: content", oid(content_type), Part(f"{name}: content", 0, content, tagged=True)),
        certificate_set(f"{name}: certificates", certificates_),
        Part(f"{name}: signer infos", 17, signer_part)), tagged=True))


def attribute_part(name, kind, value):
    return sequence(name, oid(kind), Part(name, 17, value))


class Signature:
    """One of the exe's signatures, the primary one (0) or the one nested in
    it (1), read from its ContentInfo, with its stamp, and its one form."""

    def __init__(self, index, content_info):
        self.index, name = index, f"signature {index}"
        if content_info["content_type"].native != "signed_data":
            raise Unreadable(f"{name} is not a PKCS#7 signed-data structure")
        data = content_info["content"]
        if len(data["signer_infos"]) != 1:
            raise Unreadable(f"{name} holds {len(data['signer_infos'])} signer infos, not one")
        info, pool = data["signer_infos"][0], certificates(data)
        self.nested = [Signature(1, n) for n in unsigned(info, NESTED)[:1]] if index == 0 else []
        self.content = data["encap_content_info"]["content"]
        if data["encap_content_info"]["content_type"].native != "spc_indirect_data":
            raise Unreadable(f"{name} does not sign an exe (its content is no Authenticode digest)")
        digest = digest_of(info, name)
        # A release signs with SHA-256 alone, or with SHA-1 for XP and SHA-256
        # nested in it; XP reads a legacy stamp only, the others RFC 3161.
        if (digest, len(self.nested), index) not in (("sha256", 0, 0), ("sha1", 1, 0), ("sha256", 0, 1)):
            raise Unreadable(f"{name} is {digest.upper()}{' with a signature nested' if self.nested else ''}, "
                             "not a release's form: SHA256 alone, or SHA1 with SHA256 nested")
        self.kind = LEGACY if digest == "sha1" else RFC3161
        stamps = unsigned(info, self.kind)[:1]
        self.stamp, self.authority, parts = None, None, []
        if stamps and self.kind == LEGACY:
            self.stamp = Signer(f"{name}'s time stamp", stamps[0], pool)
            self.authority = self.stamp.chain
            parts.append(attribute_part(f"{name}'s time stamp", LEGACY, self.stamp.part))
        elif stamps:
            self.stamp = Token(f"{name}'s time stamp", stamps[0])
            parts.append(attribute_part(f"{name}'s time stamp", RFC3161, self.stamp.part))
        parts += [attribute_part(f"{name}'s nested signature", NESTED, n.part) for n in self.nested]
        described = f" ({'a legacy time stamp, which XP reads,' if self.kind == LEGACY else 'an RFC 3161 time stamp'} or none" \
            f"{', and the nested signature' if self.nested else ''})"
        self.signer = Signer(name, info, pool, parts, described)
        self.part = signed_data(name, 1, digest, SPC, parser.emit(0, 1, 16, self.content.contents),
                                self.signer.chain + (self.authority or []), self.signer.part)


class Token:
    """An RFC 3161 time-stamp token: signed data of version 3 over the
    time-stamp information."""

    def __init__(self, name, content_info):
        data = content_info["content"]
        if content_info["content_type"].native != "signed_data" or len(data["signer_infos"]) != 1:
            raise Unreadable(f"{name} is not a time-stamp token of one signer info")
        pool, content = certificates(data), data["encap_content_info"]["content"]
        self.signer = Signer(name, data["signer_infos"][0], pool)
        self.info = tsp.TSTInfo.load(content.contents)
        self.part = signed_data(name, 3, self.signer.digest, TST_INFO, core.OctetString(content.contents).dump(),
                                self.signer.chain, self.signer.part)


def form(blob):
    """The primary signature of BLOB, read and built in the one form."""
    if len(blob) > LARGEST:
        raise Unreadable(f"its signature is {len(blob)} bytes, more than any release's ({LARGEST})")
    try:
        return Signature(0, cms.ContentInfo.load(blob))
    except (ValueError, TypeError, KeyError, AttributeError, RecursionError) as error:  # asn1crypto parses as it is read
        raise Unreadable(f"its signature cannot be read ({' '.join(str(error).split())[:200]})")


def pe_fields(exe):
    """Where an exe keeps its checksum and its certificate table's directory
    entry, the two fields Authenticode leaves out of its digest."""
    optional = struct.unpack_from("<I", exe, 0x3C)[0] + 24
    if exe[:2] != b"MZ" or exe[optional - 24:optional - 20] != b"PE\0\0":
        raise ValueError("not a Windows exe")
    magic = struct.unpack_from("<H", exe, optional)[0]
    return optional + 64, optional + (96 if magic == 0x10B else 112) + 4 * 8


def certificate_blob(exe):
    """The signature in an exe's certificate table, without the alignment
    after it; None when unsigned, ValueError when there is none to read."""
    try:
        offset, size = struct.unpack_from("<II", exe, pe_fields(exe)[1])
        if (offset, size) == (0, 0):
            return None
        length = struct.unpack_from("<I", exe, offset)[0]
        if not 8 < length <= size or offset + size > len(exe):
            raise ValueError("its certificate table does not fit in the file")
        entry = exe[offset + 8:offset + length]
        return entry[:parser.peek(entry)]
    except struct.error:
        raise ValueError("its headers or certificate table are cut short")


def pe_digest(exe, name):
    """The Authenticode digest of an exe: all of it but its checksum, its
    certificate table's directory entry and the table, zero-padded to 8
    bytes as signing pads the file."""
    checksum, security = pe_fields(exe)
    end = struct.unpack_from("<I", exe, security)[0] or len(exe)
    data = exe[:checksum] + exe[checksum + 4:security] + exe[security + 8:end]
    return hashlib.new(name, data + b"\0" * (-end % 8)).digest()


def fingerprint(certificate):
    return hashlib.sha256(certificate.dump()).hexdigest().upper()


class Checker:
    """The checks of one exe's signatures; collects the report, the problems,
    the form ("SHA1 legacy time-stamped, ...") and the signers."""

    def __init__(self, exe, authorities, folder):
        self.exe, self.authorities, self.folder, self.count = exe, authorities, folder, 0
        self.report, self.problems, self.form, self.signers = [], [], [], []

    def file(self, data):
        self.count += 1
        path = os.path.join(self.folder, str(self.count))
        with open(path, "wb") as f:
            f.write(data)
        return path

    def openssl(self, *args):
        """Whether openssl succeeded, and the reason it gives or its output."""
        try:
            done = subprocess.run(["openssl", *args], capture_output=True, text=True, errors="replace", timeout=60)
        except subprocess.TimeoutExpired:
            return False, "openssl took more than a minute"
        lines = done.stdout.splitlines() + done.stderr.splitlines()
        if done.returncode == 0:
            return True, done.stdout
        # "error 18 at 0 depth lookup: REASON", or OpenSSL 3's
        # "PID:error:CODE:LIBRARY:FUNCTION:REASON:FILE:LINE:DATA".
        reasons = [line.split("lookup:", 1)[1].strip() for line in lines if "lookup:" in line]
        reasons += [": ".join(p for p in (f[5], ":".join(f[8:])) if p)
                    for f in (line.split(":") for line in lines if ":error:" in line) if len(f) > 5]
        return False, ([r for r in reasons if r] or ["openssl gives no reason"])[0]

    def pem(self, certificates_):
        return self.file(b"".join(pem.armor("CERTIFICATE", c.dump()) for c in certificates_))

    def verifies(self, signer_):
        """Whether the signer info's signature over its signed attributes
        verifies under its certificate's key."""
        key = self.file(pem.armor("PUBLIC KEY", signer_.certificate.public_key.dump()))
        return self.openssl("dgst", "-" + signer_.digest, "-verify", key, "-signature",
                            self.file(signer_.info["signature"].native), self.file(signer_.signed_attributes()))[0]

    def chains(self, certificates_, file, moment, purpose):
        """Why CERTIFICATES, a certificate and its issuers', do not chain to
        the trusted ones in FILE at MOMENT for PURPOSE, as Windows judges it,
        or None: an issuer's extended key usage limits what it issued, and
        OpenSSL's chain must be these certificates and one trusted above."""
        for c in certificates_:
            usage = c.extended_key_usage_value  # none: for every purpose, but a stamp's authority must say so
            if (usage is None and c is certificates_[0] and purpose == "time_stamping") or \
                    (usage is not None and purpose not in usage.native):
                return f"the certificate of {c.subject.human_friendly} is not for {purpose.replace('_', ' ')}"
        ok, said = self.openssl("verify", "-show_chain", "-CAfile", file, "-untrusted", self.pem(certificates_),
                                "-attime", str(int(moment.timestamp())), "-purpose", "any", self.pem(certificates_[:1]))
        if not ok:
            return said
        expected = len(certificates_) + (certificates_[-1].dump() not in self.authorities[file])
        if sum(line.startswith("depth=") for line in said.splitlines()) != expected:
            return "it carries a certificate that is not on the chain to the trusted ones"
        return None

    def stamp(self, signature):
        """The verified time of the signature's stamp; None after naming why not."""
        stamp, name, value = signature.stamp, f"signature {signature.index}", signature.signer.info["signature"].native
        if signature.kind == LEGACY:
            moment, chain_ = attribute(stamp.info, "signing_time"), stamp.chain
            if attribute(stamp.info, "message_digest") != hashlib.new(stamp.digest, value).digest() or moment is None:
                why = "it stamps another signature, or names no time"
            else:
                why = None if self.verifies(stamp) else "it does not verify under its authority's key"
        else:
            moment, chain_ = stamp.info["gen_time"].native, stamp.signer.chain
            ok, why = self.openssl("ts", "-verify", "-in", self.file(signature.stamp.part.dump()), "-token_in",
                                   "-data", self.file(value), "-CAfile", self.tsa_cafile,
                                   "-attime", str(int(moment.timestamp())))
            why = None if ok else why
        why = why or self.chains(chain_, self.tsa_cafile, moment, "time_stamping")
        if why:
            self.problems.append(f"{name}: its time stamp does not verify against the authorities in "
                                 f"{self.tsa_cafile} ({why})")
            return None
        return moment

    def signature(self, signature):
        name, signer_, before = f"signature {signature.index}", signature.signer, len(self.problems)
        digest = signature.content["message_digest"]
        if digest["digest"].native != pe_digest(self.exe, signer_.digest):
            self.problems.append(f"{name}: it does not sign this exe (another digest)")
        if attribute(signer_.info, "message_digest") != hashlib.new(signer_.digest, signature.content.contents).digest() \
                or attribute(signer_.info, "content_type") != "spc_indirect_data":
            self.problems.append(f"{name}: its signed attributes do not name what it signs")
        if not self.verifies(signer_):
            self.problems.append(f"{name}: it does not verify under the key of its signer's certificate "
                                 "(a signature by another key, or changed after signing)")
        moment = self.stamp(signature) if signature.stamp else None
        usage = signer_.certificate.extended_key_usage_value
        lifetime = usage is not None and LIFETIME_SIGNING in [u.dotted for u in usage]
        now = datetime.datetime.now(datetime.timezone.utc)
        why = self.chains(signer_.chain, self.cafile, now if lifetime or not moment else moment, "code_signing")
        if why:
            self.problems.append(f"{name}: its signer's certificate does not verify against the CAs in {self.cafile} "
                                 f"({why}{'; it is for lifetime signing, so its stamp does not outlast it' if lifetime else ''})")
        kind = f"{KINDS[signature.kind]} time-stamped" if moment else "not time-stamped"
        self.signers.append(fingerprint(signer_.certificate))
        self.form.append(f"{signer_.digest.upper()} {kind}")
        shown = moment.astimezone(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC, verified") if moment \
            else "NOT verified" if signature.stamp else "none"
        self.report += [f"{name}{' (primary)' if signature.index == 0 else ''}: {signer_.digest.upper()}, "
                        f"signer {signer_.certificate.subject.human_friendly}",
                        f"  signer's certificate, SHA-256: {fingerprint(signer_.certificate)}",
                        f"  time stamp: {KINDS[signature.kind] + ', ' + shown if signature.stamp else 'none'}",
                        f"  verifies: {'yes' if len(self.problems) == before else 'NO'}"]


def check(blob, exe, cafile, tsa_cafile, authorities):
    """A Checker that has checked BLOB, the signature taken from EXE's
    certificate table, against its one form and then each signature and
    stamp in it; AUTHORITIES maps each CA file to its certificates' bytes.
    Raises Unreadable when BLOB cannot be read as a release's signature."""
    primary = form(blob)
    with tempfile.TemporaryDirectory() as folder:
        checker = Checker(exe, authorities, folder)
        checker.cafile, checker.tsa_cafile = cafile, tsa_cafile
        differs = first_difference(primary.part, blob)
        if differs:
            checker.problems.append(f"its signature is not in the one form a release's takes: {differs} differs")
            return checker
        for signature in [primary] + primary.nested:
            checker.signature(signature)
        return checker


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] != "canonical":
        sys.exit(__doc__)
    with open(sys.argv[2], "rb") as f:
        given = f.read()
    try:
        made = form(given).part.dump()
    except Unreadable as problem:
        sys.exit(f"authenticode: {problem}")
    with open(sys.argv[3], "wb") as f:
        f.write(pem.armor("PKCS7", made))
