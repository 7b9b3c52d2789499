"""Checks the Authenticode signatures of a release exe from their bytes:
asn1crypto reads them, and each check is one openssl call whose exit status
is the verdict on one thing. docs/releasing.md lists the checks.
"""
import datetime
import hashlib
import os
import struct
import subprocess
import tempfile

from asn1crypto import algos, cms, core, parser, pem, tsp, x509


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    """What an Authenticode signature signs: the digest of the exe."""
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


cms.ContentType._map["1.3.6.1.4.1.311.2.1.4"] = "spc_indirect_data"
cms.ContentInfo._oid_specs["spc_indirect_data"] = SpcIndirectDataContent

DIGESTS = {"sha1": "SHA1", "sha256": "SHA256", "sha384": "SHA384", "sha512": "SHA512"}
STAMPS = ("counter_signature", "microsoft_time_stamp_token")  # legacy, RFC 3161
NESTED = "microsoft_nested_signature"
LARGEST = 64 << 10  # bytes of a signature: a release's, chains and stamps included, is about 7 KiB
UNIVERSAL_STRINGS = {3, 4, 12, 18, 19, 20, 22, 26, 28, 30}  # bit, octet and character strings
BOOLEAN, INTEGER, NULL, OID = 1, 2, 5, 6


class Unreadable(Exception):
    """The signature cannot be read as one; the text says why."""


def der(data):
    """Refuses data unless each element in it, all the way down, is in DER's
    one form: a definite length in the fewest bytes, strings primitive, and
    booleans, integers, nulls and object identifiers in their one encoding.
    Anything else could hide bytes, or read otherwise to another reader."""
    at = 0
    while at < len(data):
        size = parser.peek(data[at:])
        class_, method, tag, _, contents, trailer = parser.parse(data[at:at + size], strict=True)
        if trailer or data[at:at + size] != parser.emit(class_, method, tag, contents):
            raise Unreadable(f"its signature is not DER: the element at byte {at} has a length in another form")
        if method == 1 and class_ == 0 and tag in UNIVERSAL_STRINGS:
            raise Unreadable(f"its signature is not DER: the string at byte {at} is split into parts")
        if method == 0 and class_ == 0 and not canonical(tag, contents):
            raise Unreadable(f"its signature is not DER: the value at byte {at} is encoded in another form")
        if method == 1:
            der(contents)
        at += size


def canonical(tag, contents):
    """Whether a boolean, integer, null or object identifier is in its one
    DER encoding (other values are)."""
    if tag == BOOLEAN:
        return contents in (b"\0", b"\xff")
    if tag == NULL:
        return not contents
    if tag == INTEGER:
        return bool(contents) and not (len(contents) > 1 and (contents[0], contents[1] >> 7) in ((0, 0), (0xFF, 1)))
    if tag == OID:  # no subidentifier starts with a padding byte, the last one ends
        return bool(contents) and not contents[-1] & 0x80 and not any(
            byte == 0x80 and (i == 0 or not contents[i - 1] & 0x80) for i, byte in enumerate(contents))
    return True


def load(blob):
    """The ContentInfo of a signature blob: one element, strict DER."""
    if len(blob) > LARGEST:
        raise Unreadable(f"its signature is {len(blob)} bytes, more than any release's ({LARGEST})")
    try:
        der(blob)
        signature = cms.ContentInfo.load(blob, strict=True)
        kind = signature["content_type"].native
    except (ValueError, TypeError, RecursionError) as error:
        raise Unreadable(f"its signature is not a PKCS#7 signature ({error})")
    if kind != "signed_data":
        raise Unreadable("its signature is not a PKCS#7 signed-data structure")
    return signature


def pe_fields(exe):
    """Where an exe keeps its checksum and its certificate table's directory
    entry, the two fields Authenticode leaves out of its digest."""
    optional = struct.unpack_from("<I", exe, 0x3C)[0] + 24
    if exe[:2] != b"MZ" or exe[optional - 24:optional - 20] != b"PE\0\0":
        raise ValueError("not a Windows exe")
    magic = struct.unpack_from("<H", exe, optional)[0]
    return optional + 64, optional + (96 if magic == 0x10B else 112) + 4 * 8


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


class Openssl:
    """openssl runs, each in a folder of files of its own."""

    def __init__(self, folder):
        self.folder, self.count = folder, 0

    def file(self, data):
        self.count += 1
        path = os.path.join(self.folder, str(self.count))
        with open(path, "wb") as f:
            f.write(data)
        return path

    def run(self, *args):
        """Whether openssl succeeded, and the reason it gives otherwise."""
        try:
            done = subprocess.run(["openssl", *args], capture_output=True, text=True, errors="replace", timeout=60)
        except subprocess.TimeoutExpired:
            return False, "openssl took more than a minute"
        lines = done.stdout.splitlines() + done.stderr.splitlines()
        # "error 18 at 0 depth lookup: REASON", or OpenSSL 3's
        # "PID:error:CODE:LIBRARY:FUNCTION:REASON:FILE:LINE:DATA".
        reasons = [line.split("lookup:", 1)[1].strip() for line in lines if "lookup:" in line]
        reasons += [": ".join(part for part in (fields[5], ":".join(fields[8:])) if part)
                    for fields in (line.split(":") for line in lines if ":error:" in line) if len(fields) > 5]
        return done.returncode == 0, ([r for r in reasons if r] or ["openssl gives no reason"])[0]

    def pem(self, certificates):
        return self.file(b"".join(pem.armor("CERTIFICATE", c.dump()) for c in certificates))

    def verifies(self, certificate, algorithm, digest, signature, data):
        """Whether SIGNATURE, made with ALGORITHM over DIGEST's digest of
        DATA, verifies under the certificate's key."""
        if algorithm not in ("rsassa_pkcs1v15", "ecdsa") or digest not in DIGESTS:
            return False
        key = self.file(pem.armor("PUBLIC KEY", certificate.public_key.dump()))
        return self.run("dgst", "-" + digest, "-verify", key, "-signature", self.file(signature), self.file(data))[0]

    def signs(self, info, certificate, data):
        """Whether the signer info's signature over data verifies under the
        certificate's key."""
        return self.verifies(certificate, info["signature_algorithm"].signature_algo,
                             info["digest_algorithm"]["algorithm"].native, info["signature"].native, data)

    def reads_all_of(self, der):
        """Whether OpenSSL reads DER, a PKCS#7 signature, to its last byte and
        writes it back as it was: a field that asn1crypto reads past and
        OpenSSL does not could carry data, or hide a signature from Windows."""
        out = os.path.join(self.folder, f"{self.count}.again")
        ok = self.run("pkcs7", "-inform", "DER", "-in", self.file(der), "-outform", "DER", "-out", out)[0]
        with open(out, "rb") if ok else open(os.devnull, "rb") as f:
            return ok and f.read() == der

    def issued(self, parent, child):
        """Whether PARENT's key signed the certificate CHILD."""
        return self.verifies(parent, child.signature_algo, child.hash_algo, child["signature_value"].native,
                             child["tbs_certificate"].dump())

    def chains(self, certificate, others, cafile, moment, purpose):
        """Why the certificate does not chain to cafile at that moment for
        that purpose, or None."""
        usage = certificate.extended_key_usage_value  # none: for every purpose, as Windows reads it
        if usage is not None and purpose not in usage.native:
            return f"its certificate is not for {purpose.replace('_', ' ')}"
        ok, reason = self.run("verify", "-CAfile", cafile, "-untrusted", self.pem(others or [certificate]),
                              "-attime", str(int(moment.timestamp())), "-purpose", "any", self.pem([certificate]))
        return None if ok else reason


def signed_attributes(info):
    """The signer info's signed attributes as they are signed: a DER SET."""
    return b"\x31" + info["signed_attrs"].dump()[1:]


def attribute(info, name):
    values = [a["values"] for a in info["signed_attrs"] if a["type"].native == name]
    return values[0][0].native if len(values) == 1 and len(values[0]) == 1 else None


def certificates_of(signed_data):
    """Its certificates, each once: a chain file may list one twice."""
    return list({c.chosen.dump(): c.chosen for c in signed_data["certificates"]}.values())


def signer_of(signed_data, info):
    """The one certificate of the set that matches the signer identifier."""
    sid = info["sid"]
    if sid.name != "issuer_and_serial_number":
        raise Unreadable("its signer is named by a key identifier, which Authenticode does not use")
    matches = [c for c in certificates_of(signed_data) if c.issuer.dump() == sid.chosen["issuer"].dump()
               and c.serial_number == sid.chosen["serial_number"].native]  # the bytes: readers match names otherwise
    if not matches:
        raise Unreadable("its signer's certificate is not in it")
    if len(matches) > 1:
        raise Unreadable(f"its certificate set holds {len(matches)} certificates that match its signer, "
                         "so which one signed is left to whoever reads it")
    if info["version"].native != "v1":  # the one an issuer-and-serial identifier takes
        raise Unreadable("its signer info's version is not 1")
    return matches[0]


def around(signer_info):
    """A PKCS#7 signature that holds nothing but SIGNER_INFO, for OpenSSL to
    read it as it reads any signer info."""
    def element(class_, tag, contents):
        return parser.emit(class_, 1, tag, contents)
    data = bytes.fromhex("300b06092a864886f70d010701")  # ContentInfo of type data, without content
    body = b"\x02\x01\x01" + element(0, 17, b"") + data + element(0, 17, signer_info)
    return element(0, 16, bytes.fromhex("06092a864886f70d010702") + element(2, 0, element(0, 16, body)))


def parameterless(*algorithms):
    """Whether the algorithms carry no parameters but an empty NULL; reading
    parameters of another type raises ValueError."""
    return all(a["parameters"].native is None for a in algorithms)


class Checker:
    """Checks every signature of one exe; collects the report, the problems,
    the form ("SHA1 time-stamped, SHA256 time-stamped") and the signers."""

    def __init__(self, exe, cafile, tsa_cafile, folder):
        self.exe, self.cafile, self.tsa_cafile = exe, cafile, tsa_cafile
        self.openssl = Openssl(folder)
        self.report, self.problems, self.form, self.signers = [], [], [], []
        self.trusted = set()  # the encodings of the trusted CAs' and authorities' certificates
        for path in {cafile, tsa_cafile}:
            try:
                with open(path, "rb") as f:
                    self.trusted |= {der for kind, _, der in pem.unarmor(f.read(), multiple=True) if kind == "CERTIFICATE"}
            except (OSError, ValueError):
                pass  # openssl's chain checks name the file
        self.anchors = [x509.Certificate.load(certificate) for certificate in self.trusted]

    def unsigned_data(self, signed_data, info, signers):
        """What SIGNED_DATA holds that no signature covers and nothing needs:
        the places where a signed exe could carry data of anyone's. SIGNERS
        are the certificates that sign in it; they and the certificates whose
        keys signed them are needed."""
        needed, problems = {c.dump(): c for c in signers}, []
        queue = list(signers)
        while queue:
            child = queue.pop()
            for certificate in certificates_of(signed_data):
                if certificate.dump() not in needed and certificate.subject.dump() == child.issuer.dump() \
                        and self.openssl.issued(certificate, child):
                    needed[certificate.dump()] = certificate
                    queue.append(certificate)
        unused = len(certificates_of(signed_data)) - len(needed)
        if unused:
            problems.append(f"its certificate set holds {unused} certificate(s) that neither sign nor issue a signer's")
        # An issuer's certificate is needed for its key, which anyone can copy
        # into a certificate of their own: it must be a trusted one, or be
        # signed by one, or by one signed so, down from the trusted ones; a
        # certificate that signed itself vouches for nothing.
        def signed_by(issuers, child):
            return any(issuer is not child and issuer.subject.dump() == child.issuer.dump()
                       and self.openssl.issued(issuer, child) for issuer in issuers)
        vouched = [c for c in needed.values() if c.dump() in self.trusted or signed_by(self.anchors, c)]
        grown = True
        while grown:
            more = [c for c in needed.values() if c not in vouched and signed_by(vouched, c)]
            vouched, grown = vouched + more, bool(more)
        forged = [c for c in needed.values() if c not in signers and c not in vouched]
        if forged:
            problems.append(f"its certificate set holds {len(forged)} certificate(s) with an issuer's key that no "
                            "trusted or needed certificate signed")
        if not isinstance(signed_data["crls"], core.Void):
            problems.append("it carries revocation lists, which no signing tool of a release adds")
        if signed_data["version"].native not in ("v1", "v3"):
            problems.append("its version is none that a signature or a time stamp has")
        algorithms = [a["algorithm"].native for a in signed_data["digest_algorithms"]]
        if algorithms != [info["digest_algorithm"]["algorithm"].native]:
            problems.append(f"it lists the digests {', '.join(algorithms)}, not its signer's alone")
        if not parameterless(info["digest_algorithm"], info["signature_algorithm"], *signed_data["digest_algorithms"]):
            problems.append("its algorithms carry parameters, which they take none of")
        return problems

    def check(self, blob):
        signatures = [(0, load(blob))]
        for index, content_info in signatures:
            try:
                if not self.openssl.reads_all_of(content_info.dump()):
                    raise Unreadable("OpenSSL does not read it as it is (fields past its end, or it fails to read it)")
                nested = self.signature(index, content_info["content"])
            except Unreadable as problem:
                self.problems.append(f"signature {index}: {problem}")
                continue
            except (ValueError, KeyError, TypeError, AttributeError) as error:  # asn1crypto parses as it is read
                self.problems.append(f"signature {index}: it cannot be read ({' '.join(str(error).split())})")
                continue
            if nested and index > 0:
                self.problems.append(f"signature {index}: a signature is nested in it, where Windows does not look")
            elif nested:
                signatures.append((1, nested[0]))  # a second one is refused; none is worth checking
        return self

    def signature(self, index, signed_data):
        """Checks one signature; returns the signatures nested in it."""
        if len(signed_data["signer_infos"]) != 1:
            raise Unreadable(f"it holds {len(signed_data['signer_infos'])} signer infos, not one")
        info = signed_data["signer_infos"][0]
        certificate = signer_of(signed_data, info)
        name = info["digest_algorithm"]["algorithm"].native
        if name not in DIGESTS:
            raise Unreadable(f"its digest is {name}, which no release uses")
        content = signed_data["encap_content_info"]
        if content["content_type"].native != "spc_indirect_data":
            raise Unreadable("it does not sign an exe (its content is no Authenticode digest)")
        signed, before = content["content"], len(self.problems)
        if signed["message_digest"]["digest"].native != pe_digest(self.exe, name):
            self.problems.append(f"signature {index}: it does not sign this exe (another digest)")
        if attribute(info, "message_digest") != hashlib.new(name, signed.contents).digest() \
                or attribute(info, "content_type") != "spc_indirect_data":
            self.problems.append(f"signature {index}: its signed attributes do not name what it signs")
        if not self.openssl.signs(info, certificate, signed_attributes(info)):
            self.problems.append(f"signature {index}: it does not verify under the key of its signer's "
                                 "certificate (a signature by another key, or changed after signing)")
        stamps, nested = [], []
        for unsigned in [] if isinstance(info["unsigned_attrs"], core.Void) else info["unsigned_attrs"]:
            kind, values = unsigned["type"].native, list(unsigned["values"])
            if kind in STAMPS:
                stamps += [(kind, value) for value in values]
            elif kind == NESTED:
                nested += values
            else:
                self.problems.append(f"signature {index}: it carries an unsigned attribute {unsigned['type'].dotted}, "
                                     "which is neither a time stamp nor a nested signature")
        if len(nested) > 1:
            self.problems.append(f"signature {index}: it carries {len(nested)} nested signatures; a release's carries one")
        if len(stamps) > 1:
            self.problems.append(f"signature {index}: it carries {len(stamps)} time stamps, of which Windows reads one")
        stamped = [self.stamp(index, info, signed_data, *stamp) for stamp in stamps]
        moment = stamped[0][0] if len(stamped) == 1 else None
        self.problems += [f"signature {index}: {problem}" for problem in
                          self.unsigned_data(signed_data, info, [certificate] + [a for _, a in stamped if a])]
        others = [c for c in certificates_of(signed_data) if c is not certificate]
        unchained = self.openssl.chains(certificate, others, self.cafile,
                                        moment or datetime.datetime.now(datetime.timezone.utc), "code_signing")
        if unchained:
            self.problems.append(f"signature {index}: its signer's certificate does not verify against the CAs in "
                                 f"{self.cafile} ({unchained})")
        self.signers.append(fingerprint(certificate))
        self.form.append(DIGESTS[name] + (" time-stamped" if moment else ""))
        stamped = moment.astimezone(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC (verified)") if moment \
            else "NOT verified" if stamps else "none"
        self.report += [f"signature {index}{' (primary)' if index == 0 else ''}: {DIGESTS[name]}, "
                        f"signer {certificate.subject.human_friendly}",
                        f"  signer's certificate, SHA-256: {fingerprint(certificate)}",
                        f"  time stamp: {stamped}",
                        f"  verifies: {'yes' if len(self.problems) == before else 'NO'}"]
        return nested

    def stamp(self, index, info, signed_data, kind, value):
        """The verified time of a signature's stamp, or None after naming the
        problem; and a legacy stamp's authority, whose certificate the
        signature carries."""
        imprint, authority = info["signature"].native, None
        try:
            if kind == "counter_signature":
                authority = signer_of(signed_data, value)
                moment, why = self.legacy_stamp(value, imprint, signed_data, authority)
            else:
                moment, why = self.rfc3161_stamp(value, imprint)
        except (Unreadable, ValueError, KeyError, TypeError, AttributeError) as problem:
            moment, why = None, str(problem)
        if why:
            self.problems.append(f"signature {index}: its time stamp does not verify against the authorities in "
                                 f"{self.tsa_cafile} ({why})")
            return None, authority
        return moment, authority

    def legacy_stamp(self, counter, imprint, signed_data, authority):
        """A legacy Authenticode stamp: a counter-signature by the authority
        over the signature's own bytes. Its time, and why it fails or None."""
        name = counter["digest_algorithm"]["algorithm"].native
        moment = attribute(counter, "signing_time")
        if name not in DIGESTS or moment is None:
            return None, "it names no digest or no time"
        if attribute(counter, "message_digest") != hashlib.new(name, imprint).digest():
            return None, "it stamps another signature"
        if not isinstance(counter["unsigned_attrs"], core.Void):
            return None, "it carries unsigned attributes, where a stamp has none"
        if not parameterless(counter["digest_algorithm"], counter["signature_algorithm"]):
            return None, "its algorithms carry parameters, which they take none of"
        if not self.openssl.reads_all_of(around(counter.dump())):
            return None, "OpenSSL does not read it as it is"
        if not self.openssl.signs(counter, authority, signed_attributes(counter)):
            return None, "it does not verify under its authority's key"
        return moment, self.openssl.chains(authority, [c for c in certificates_of(signed_data) if c is not authority],
                                           self.tsa_cafile, moment, "time_stamping")

    def rfc3161_stamp(self, token, imprint):
        """An RFC 3161 stamp: a token the authority signed over the
        signature's digest. Its time, and why it fails or None."""
        signed_data = token["content"]
        if len(signed_data["signer_infos"]) != 1:
            return None, "its token holds more or fewer signer infos than one"
        info = signed_data["signer_infos"][0]
        problems = self.unsigned_data(signed_data, info, [signer_of(signed_data, info)])
        if not isinstance(info["unsigned_attrs"], core.Void):
            problems.append("it carries unsigned attributes, where a stamp has none")
        content = signed_data["encap_content_info"]["content"].parsed
        if problems or not isinstance(content, tsp.TSTInfo):
            return None, "; ".join(problems) or "its token holds no time-stamp information"
        moment = content["gen_time"].native
        ok, why = self.openssl.run("ts", "-verify", "-in", self.openssl.file(token.dump()), "-token_in",
                                   "-data", self.openssl.file(imprint), "-CAfile", self.tsa_cafile,
                                   "-attime", str(int(moment.timestamp())))
        return moment, None if ok else why


def check(blob, exe, cafile, tsa_cafile):
    """A Checker that has checked every signature in BLOB, taken from EXE's
    certificate table; raises Unreadable when blob is no DER signature."""
    with tempfile.TemporaryDirectory() as folder:
        return Checker(exe, cafile, tsa_cafile, folder).check(blob)
