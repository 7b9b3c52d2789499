"""The one Authenticode signature a KZviVIVaru release carries, built from what
the keys cover, and its checks (docs/releasing.md). sign-exe.sh gives each
signature this form; the verifier takes one only when it is byte for byte what
this builds from it. Each cryptographic check is one openssl call.

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


class SpcIndirectDataContent(core.Sequence):
    """What Authenticode signs: the exe's digest."""
    _fields = [("data", core.Any), ("message_digest", algos.DigestInfo)]


cms.ContentType._map["1.3.6.1.4.1.311.2.1.4"] = "spc_indirect_data"
cms.ContentInfo._oid_specs["spc_indirect_data"] = SpcIndirectDataContent

SPC, SIGNED_DATA, TST_INFO = "1.3.6.1.4.1.311.2.1.4", "1.2.840.113549.1.7.2", "1.2.840.113549.1.9.16.1.4"
LEGACY, RFC3161, NESTED = "1.2.840.113549.1.9.6", "1.3.6.1.4.1.311.3.3.1", "1.3.6.1.4.1.311.2.4.1"
KINDS = {LEGACY: "legacy", RFC3161: "RFC 3161"}
BY_LENGTH = {hashlib.new(name).digest_size: name for name in ("sha1", "sha256", "sha384", "sha512")}
# The orders of the curves Windows checks ECDSA signatures on.
ORDERS = {"secp256r1": int("FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551", 16),
          "secp384r1": int("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFC7634D81F4372DDF581A0DB248B0A77AECEC196ACCC52973", 16),
          "secp521r1": int("1FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFA51868783BF2F966B7FCC0148F709A5"
                           "D03BB5C9B8899C47AEBB6FB71E91386409", 16)}
LARGEST = 64 << 10  # bytes of a signature: a release's, chains and stamps included, is about 7 KiB
LIFETIME_SIGNING, NULL = "1.3.6.1.4.1.311.10.3.13", b"\5\0"
MISREAD = (ValueError, TypeError, KeyError, AttributeError, IndexError, RecursionError)  # asn1crypto's, as it reads


class Unreadable(Exception):
    """The signature cannot be read as a release's; the text says why."""


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


def whole(value):
    value.native  # read to its end now: what asn1crypto cannot read is the signature's fault, not the checks'
    return value


def der(value):
    """A parsed value's bytes as given, as the keys cover them: dump() re-sorts one whose header ends in 0x80."""
    value = value.chosen if isinstance(value, core.Choice) else value
    return parser.emit(value.class_, value.method, value.tag, value.contents)


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


def lower_s(value, order=None):
    """An ECDSA signature value with the lower s of its twins: (r, n - s)
    verifies as (r, s) does, and anyone can make the one of the other. Where
    the key is not at hand, its curve is the smallest whose order exceeds r
    and s, which a genuine value on a larger curve misses by 2**-256."""
    r, s = algos.DSASignature.load(value).native.values()
    order = order or next((n for n in sorted(ORDERS.values()) if max(r, s) < n), None)
    return algos.DSASignature({"r": r, "s": min(s, order - s)}).dump() if order else value


def attribute(info, name):
    """The one value of a signed attribute, or None."""
    values = [a["values"] for a in info["signed_attrs"] if a["type"].native == name]
    return values[0][0].native if len(values) == 1 and len(values[0]) == 1 else None


def unsigned(info, kind):
    attributes = [] if isinstance(info["unsigned_attrs"], core.Void) else info["unsigned_attrs"]
    return [value for a in attributes if a["type"].dotted == kind for value in a["values"]]


def digest_of(info, name):
    """A signer info's digest, named by the length of the one its signed
    attributes carry: its key covers that, not the identifier beside it."""
    digest = BY_LENGTH.get(len(attribute(info, "message_digest") or b""))
    if not digest:
        raise Unreadable(f"{name}: its signed attributes carry no SHA-1 or SHA-2 digest")
    return digest


def certificates(data):
    if any(choice.name != "certificate" for choice in data["certificates"]):
        raise Unreadable("it carries a certificate of another kind than X.509")
    return list({der(whole(choice.chosen)): choice.chosen for choice in data["certificates"]}.values())


class Signer:
    """A signer info: who signed, with which digest, the chain its signature
    carries, and its part of the one form."""

    def __init__(self, name, info, pool, unsigned_parts=(), described="", stamped=False):
        self.name, self.info, sid = name, info, info["sid"]
        if sid.name != "issuer_and_serial_number":
            raise Unreadable(f"{name}: its signer is named by a key identifier, which a release's is not")
        found = [c for c in pool if der(c.issuer) == der(sid.chosen["issuer"])
                 and c.serial_number == sid.chosen["serial_number"].native]
        if len(found) != 1:
            raise Unreadable(f"{name}: {len(found)} certificates in it match its signer, not one")
        self.certificate, self.digest = found[0], digest_of(info, name)
        for read in ("content_type", "signing_time"):  # what the checks read, read now: its errors are the signature's
            attribute(info, read)
        # The signer's certificate, then its issuers' by name, up to but not
        # including one that issued itself (a root); of two, the first in
        # DER's order.
        self.chain = [self.certificate]
        while der(self.chain[-1].subject) != der(self.chain[-1].issuer):
            issuers = [c for c in pool if der(c.subject) == der(self.chain[-1].issuer)
                       and der(c.subject) != der(c.issuer) and c not in self.chain]
            if not issuers:
                break
            self.chain.append(min(issuers, key=der))
        kind, value = self.certificate.public_key.algorithm, info["signature"].native
        if kind not in ("rsa", "ec"):
            raise Unreadable(f"{name}: its signer's key is {kind}, which no release's is")
        if kind == "ec":
            curve = self.certificate.public_key.curve
            order = ORDERS.get(curve[1]) if curve[0] == "named" else None
            if not order:
                raise Unreadable(f"{name}: its signer's key is on a curve that Windows does not check signatures on")
            value = value if stamped else lower_s(value, order)  # a stamp covers it as it is
        tbs = self.certificate["tbs_certificate"]
        self.part = sequence(
            f"{name}: signer info", core.Integer(1).dump(),
            sequence(f"{name}: signer", der(tbs["issuer"]), der(tbs["serial_number"])),
            sequence(f"{name}: digest algorithm", algos.DigestAlgorithmId(self.digest).dump(), NULL),
            Part(f"{name}: signed attributes", 0, info["signed_attrs"].contents, tagged=True),
            sequence(f"{name}: signature algorithm",  # as OpenSSL writes it
                     *([oid("1.2.840.113549.1.1.1"), NULL] if kind == "rsa" else
                       [algos.SignedDigestAlgorithmId(f"{self.digest}_ecdsa").dump()])),
            core.OctetString(value).dump(),
            *([Part(f"{name}: unsigned attributes{described}", 1, *unsigned_parts, tagged=True, sort=True)]
              if unsigned_parts else []))


def signed_data(name, version, digest, content_type, content, chain, signer_part, pinned=None):
    """A ContentInfo of signed data, its certificates each once, sorted, each
    with the algorithm its issuer signed in its body (the copy outside the
    body is covered by nothing), and an ECDSA issuer's signature with the
    lower s, but for the PINNED one, whose digest a token's signed
    attributes carry."""
    chain = {der(c): c for c in chain}.values()

    def value(c):
        ecdsa = c["tbs_certificate"]["signature"].signature_algo == "ecdsa"  # with any digest, SHA-224 and SHA-3 too
        return lower_s(c["signature_value"].native) if ecdsa and c is not pinned else c["signature_value"].native
    return sequence(name, oid(SIGNED_DATA), Part(name, 0, sequence(
        f"{name}: signed data", core.Integer(version).dump(),
        Part(f"{name}: digest algorithms", 17, sequence(f"{name}: digest", algos.DigestAlgorithmId(digest).dump(), NULL)),
        sequence(f"{name}: content", oid(content_type), Part(f"{name}: content", 0, content, tagged=True)),
        Part(f"{name}: certificates", 0, *(sequence(
            f"{name}: certificates: {c.subject.human_friendly}", der(c["tbs_certificate"]),
            der(c["tbs_certificate"]["signature"]), parser.emit(0, 0, 3, b"\0" + value(c)))
            for c in chain), tagged=True, sort=True),
        Part(f"{name}: signer infos", 17, signer_part)), tagged=True))


class Signature:
    """The primary signature (0) or the one nested in it (1), read with its
    stamp, and its one form: SHA-256 alone, or SHA-1 for XP with SHA-256
    nested; XP reads a legacy stamp only, the others an RFC 3161 one."""

    def __init__(self, index, content_info):
        self.index, name = index, f"signature {index}"
        data = content_info["content"]
        if content_info["content_type"].native != "signed_data" or len(data["signer_infos"]) != 1:
            raise Unreadable(f"{name} is not signed data of one signer info")
        info, pool = data["signer_infos"][0], certificates(data)
        self.nested = [Signature(1, n) for n in unsigned(info, NESTED)[:1]] if index == 0 else []
        self.content = data["encap_content_info"]["content"]
        if data["encap_content_info"]["content_type"].native != "spc_indirect_data":
            raise Unreadable(f"{name} does not sign an exe (its content is no Authenticode digest)")
        whole(self.content["message_digest"])
        digest = digest_of(info, name)
        if (digest, len(self.nested), index) not in (("sha256", 0, 0), ("sha1", 1, 0), ("sha256", 0, 1)):
            raise Unreadable(f"{name} is {digest.upper()}{' with a signature nested' if self.nested else ''}, "
                             "not a release's form: SHA256 alone, or SHA1 with SHA256 nested")
        self.kind = LEGACY if digest == "sha1" else RFC3161
        stamps, parts, authority, self.stamp = unsigned(info, self.kind)[:1], [], [], None
        if stamps:
            self.stamp = Signer(f"{name}'s time stamp", stamps[0], pool) if self.kind == LEGACY else \
                Token(f"{name}'s time stamp", stamps[0])
            parts.append((f"{name}'s time stamp", self.kind, self.stamp.part))
            authority = self.stamp.chain if self.kind == LEGACY else []
        parts += [(f"{name}'s nested signature", NESTED, n.part) for n in self.nested]
        described = f" ({'a legacy time stamp, which XP reads,' if self.kind == LEGACY else 'an RFC 3161 time stamp'}" \
            f" or none{', and the nested signature' if self.nested else ''})"
        self.signer = Signer(name, info, pool, [sequence(what, oid(kind), Part(what, 17, part)) for what, kind, part in parts],
                             described, stamped=bool(stamps))
        self.part = signed_data(name, 1, digest, SPC, parser.emit(0, 1, 16, self.content.contents),
                                self.signer.chain + authority, self.signer.part)


class Token:
    """An RFC 3161 time-stamp token: signed data of version 3 over its
    time-stamp information."""

    def __init__(self, name, content_info):
        data = content_info["content"]
        if content_info["content_type"].native != "signed_data" or len(data["signer_infos"]) != 1:
            raise Unreadable(f"{name} is not a time-stamp token of one signer info")
        content = data["encap_content_info"]["content"]
        self.signer = Signer(name, data["signer_infos"][0], certificates(data))
        self.info, self.chain = whole(tsp.TSTInfo.load(content.contents)), self.signer.chain
        self.part = signed_data(name, 3, self.signer.digest, TST_INFO, core.OctetString(content.contents).dump(),
                                self.chain, self.signer.part, pinned=self.signer.certificate)


def form(blob):
    """The primary signature of BLOB, and the first part of the one form it
    differs in, or None; Unreadable where it is no release's signature."""
    if len(blob) > LARGEST:
        raise Unreadable(f"its signature is {len(blob)} bytes, more than any release's ({LARGEST})")
    try:
        primary = Signature(0, cms.ContentInfo.load(blob))
    except MISREAD as error:  # asn1crypto parses as it is read
        raise Unreadable(f"its signature cannot be read ({' '.join(str(error).split())[:200]})")
    return primary, first_difference(primary.part, blob)


def pe_fields(exe):
    """Where an exe keeps its checksum and its certificate table's directory
    entry, the two fields Authenticode leaves out of its digest."""
    optional = struct.unpack_from("<I", exe, 0x3C)[0] + 24
    if exe[:2] != b"MZ" or exe[optional - 24:optional - 20] != b"PE\0\0":
        raise ValueError("not a Windows exe")
    return optional + 64, optional + (96 if struct.unpack_from("<H", exe, optional)[0] == 0x10B else 112) + 4 * 8


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
    """The Authenticode digest: the exe but its checksum, its certificate
    table's directory entry and the table, zero-padded to 8 bytes as signing
    pads the file."""
    checksum, security = pe_fields(exe)
    end = struct.unpack_from("<I", exe, security)[0] or len(exe)
    data = exe[:checksum] + exe[checksum + 4:security] + exe[security + 8:end]
    return hashlib.new(name, data + b"\0" * (-end % 8)).digest()


def fingerprint(certificate):
    return hashlib.sha256(der(certificate)).hexdigest().upper()


class Checker:
    """The checks of one exe's signatures: the report, the problems, the form
    ("SHA1 legacy time-stamped, ...") and the signers' fingerprints."""

    def __init__(self, exe, files, folder):
        self.exe, self.files, self.folder = exe, files, folder
        self.report, self.problems, self.form, self.signers = [], [], [], []

    def file(self, data):
        path = os.path.join(self.folder, str(len(os.listdir(self.folder))))
        with open(path, "wb") as f:
            f.write(data)
        return path

    def openssl(self, *args):
        """Whether openssl succeeded, and its output or the reason it gives:
        "error 18 at 0 depth lookup: REASON", or OpenSSL 3's
        "PID:error:CODE:LIBRARY:FUNCTION:REASON:FILE:LINE:DATA"."""
        try:
            done = subprocess.run(["openssl", *args], capture_output=True, text=True, errors="replace", timeout=60)
        except subprocess.TimeoutExpired:
            return False, "openssl took more than a minute"
        lines = (done.stdout + done.stderr).splitlines()
        reasons = [line.split("lookup:", 1)[1].strip() for line in lines if "lookup:" in line] + [
            ": ".join(p for p in (f[5], ":".join(f[8:])) if p) for f in (line.split(":") for line in lines) if len(f) > 5
            and f[1] == "error"]
        return done.returncode == 0, done.stdout if done.returncode == 0 else next(filter(None, reasons), "openssl gives no reason")

    def pem(self, chain):
        return self.file(b"".join(pem.armor("CERTIFICATE", der(c)) for c in chain))

    def verifies(self, signer):
        key = self.file(pem.armor("PUBLIC KEY", der(signer.certificate.public_key)))
        signed = parser.emit(0, 1, 17, signer.info["signed_attrs"].contents)  # as signed: a SET
        return self.openssl("dgst", "-" + signer.digest, "-verify", key, "-signature",
                            self.file(signer.info["signature"].native), self.file(signed))[0]

    def chains(self, chain, file, moment, purpose):
        """Why CHAIN does not chain to the trusted certificates in FILE at
        MOMENT for PURPOSE, as Windows judges it, or None: an issuer's
        extended key usage limits what it issued, and OpenSSL's chain must be
        these certificates and a trusted one above them: the next, or, where
        the last of them is trusted itself, any from there up to a root."""
        for c in chain:
            usage = c.extended_key_usage_value  # none: for every purpose, but an authority must name its own
            if (usage is None and c is chain[0] and purpose == "time_stamping") or (usage and purpose not in usage.native):
                return f"the certificate of {c.subject.human_friendly} is not for {purpose.replace('_', ' ')}"
        ok, said = self.openssl("verify", "-show_chain", "-CAfile", file, "-untrusted", self.pem(chain),
                                "-attime", str(int(moment.timestamp())), "-purpose", "any", self.pem(chain[:1]))
        depth, trusted = sum(line.startswith("depth=") for line in said.splitlines()), der(chain[-1]) in self.files[file]
        if ok and (depth <= len(chain) if trusted else depth != len(chain) + 1):
            return "the certificates it carries are not its chain up to the trusted ones (one missing, or one not on it)"
        return None if ok else said

    def stamp(self, signature, tsa_cafile):
        """The verified time of the signature's stamp; None after naming why not."""
        stamp, signed = signature.stamp, signature.signer.info["signature"].native
        if signature.kind == LEGACY:
            moment = attribute(stamp.info, "signing_time")
            why = "it stamps another signature, or names no time" if moment is None or \
                attribute(stamp.info, "message_digest") != hashlib.new(stamp.digest, signed).digest() else \
                None if self.verifies(stamp) else "it does not verify under its authority's key"
        else:
            moment = stamp.info["gen_time"].native
            ok, why = self.openssl("ts", "-verify", "-in", self.file(stamp.part.dump()), "-token_in", "-data",
                                   self.file(signed), "-CAfile", tsa_cafile, "-attime", str(int(moment.timestamp())))
            why = None if ok else why
        why = why or self.chains(stamp.chain, tsa_cafile, moment, "time_stamping")
        if why:
            self.problems.append(f"signature {signature.index}: its time stamp does not verify against the "
                                 f"authorities in {tsa_cafile} ({why})")
        return None if why else moment

    def signature(self, signature, cafile, tsa_cafile):
        name, signer, before = f"signature {signature.index}", signature.signer, len(self.problems)
        if signature.content["message_digest"]["digest"].native != pe_digest(self.exe, signer.digest):
            self.problems.append(f"{name}: it does not sign this exe (another digest)")
        if attribute(signer.info, "message_digest") != hashlib.new(signer.digest, signature.content.contents).digest() \
                or attribute(signer.info, "content_type") != "spc_indirect_data":
            self.problems.append(f"{name}: its signed attributes do not name what it signs")
        if not self.verifies(signer):
            self.problems.append(f"{name}: it does not verify under the key of its signer's certificate "
                                 "(a signature by another key, or changed after signing)")
        moment = self.stamp(signature, tsa_cafile) if signature.stamp else None
        usage = signer.certificate.extended_key_usage_value
        lifetime = bool(usage) and LIFETIME_SIGNING in [u.dotted for u in usage]  # judged now, stamped or not
        why = self.chains(signer.chain, cafile, moment if moment and not lifetime else
                          datetime.datetime.now(datetime.timezone.utc), "code_signing")
        if why:
            self.problems.append(f"{name}: its signer's certificate does not verify against the CAs in {cafile} "
                                 f"({why}{'; it is for lifetime signing, which no stamp outlasts' if lifetime else ''})")
        self.signers.append(fingerprint(signer.certificate))
        self.form.append(f"{signer.digest.upper()} {KINDS[signature.kind] if moment else 'not'} time-stamped")
        stamped = f"{KINDS[signature.kind]}, " + (f"{moment:%Y-%m-%d %H:%M:%S} UTC, verified" if moment else "NOT verified")
        self.report += [f"{name}{' (primary)' if signature.index == 0 else ''}: {signer.digest.upper()}, "
                        f"signer {signer.certificate.subject.human_friendly}",
                        f"  signer's certificate, SHA-256: {fingerprint(signer.certificate)}",
                        f"  time stamp: {stamped if signature.stamp else 'none'}",
                        f"  verifies: {'yes' if len(self.problems) == before else 'NO'}"]


def check(primary, exe, cafile, tsa_cafile, files):
    """A Checker that has checked each signature and stamp of PRIMARY, a
    signature in its one form taken from EXE; FILES maps each CA file to its
    certificates' bytes."""
    with tempfile.TemporaryDirectory() as folder:
        checker = Checker(exe, files, folder)
        for signature in [primary] + primary.nested:
            checker.signature(signature, cafile, tsa_cafile)
        return checker


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] != "canonical":
        sys.exit(__doc__)
    with open(sys.argv[2], "rb") as f:
        given = f.read()
    try:
        made = form(given)[0].part.dump()
    except Unreadable as problem:
        sys.exit(f"authenticode: {problem}")
    with open(sys.argv[3], "wb") as f:
        f.write(pem.armor("PKCS7", made))
