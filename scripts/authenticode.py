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

from asn1crypto import algos, cms, core, parser, pem, tsp


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
CODE_SIGNING, TIME_STAMPING = "code_signing", "time_stamping"


class Unreadable(Exception):
    """The signature cannot be read as one; the text says why."""


UNIVERSAL_STRINGS = {3, 4, 12, 18, 19, 20, 22, 26, 28, 30}  # bit, octet and character strings


def der(data):
    """Refuses data unless each element in it, all the way down, is in DER's
    one form: a definite length in the fewest bytes, strings primitive.
    Anything else could hide bytes that one reader sees and another skips."""
    at = 0
    while at < len(data):
        size = parser.peek(data[at:])
        class_, method, tag, _, contents, trailer = parser.parse(data[at:at + size], strict=True)
        if trailer or data[at:at + size] != parser.emit(class_, method, tag, contents):
            raise Unreadable(f"its signature is not DER: the element at byte {at} has a length in another form")
        if method == 1 and class_ == 0 and tag in UNIVERSAL_STRINGS:
            raise Unreadable(f"its signature is not DER: the string at byte {at} is split into parts")
        if method == 1:
            der(contents)
        at += size


def load(blob):
    """The ContentInfo of a signature blob: one element, strict DER."""
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
    """The Authenticode digest of an unsigned exe: all of it but its checksum
    and its certificate table's directory entry, zero-padded to 8 bytes as
    signing pads the file."""
    checksum, security = pe_fields(exe)
    data = exe[:checksum] + exe[checksum + 4:security] + exe[security + 8:]
    return hashlib.new(name, data + b"\0" * (-len(exe) % 8)).digest()


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
        """(succeeded, the reason openssl gives for a failure)."""
        done = subprocess.run(["openssl", *args], capture_output=True, text=True, errors="replace", timeout=60)
        reasons = [line.split("lookup:", 1)[1].strip() for line in done.stdout.splitlines() + done.stderr.splitlines()
                   if "lookup:" in line]
        reasons += [line.rsplit(":", 1)[-1].strip() for line in done.stderr.splitlines() if ":error:" in line]
        return done.returncode == 0, (reasons or [done.stderr.strip()[-200:] or "no reason given"])[0]

    def pem(self, certificates):
        return self.file(b"".join(pem.armor("CERTIFICATE", c.dump()) for c in certificates))

    def signs(self, info, certificate, data):
        """Whether the signer info's signature over data verifies under the
        certificate's key."""
        algorithm = info["signature_algorithm"].signature_algo
        if algorithm not in ("rsassa_pkcs1v15", "ecdsa"):
            return False
        key = self.file(pem.armor("PUBLIC KEY", certificate.public_key.dump()))
        digest = "-" + info["digest_algorithm"]["algorithm"].native
        return self.run("dgst", digest, "-verify", key, "-signature", self.file(info["signature"].native),
                        self.file(data))[0]

    def chains(self, certificate, others, cafile, moment, purpose):
        """Why the certificate does not chain to cafile at that moment for
        that purpose, or None."""
        usage = certificate.extended_key_usage_value
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


def signer_of(info, certificates):
    """The one certificate that matches the signer identifier."""
    sid = info["sid"]
    if sid.name == "issuer_and_serial_number":
        matches = [c for c in certificates if c.issuer == sid.chosen["issuer"]
                   and c.serial_number == sid.chosen["serial_number"].native]
    else:
        matches = [c for c in certificates if c.key_identifier == sid.chosen.native]
    if not matches:
        raise Unreadable("its signer's certificate is not in it")
    if len(matches) > 1:
        raise Unreadable(f"its certificate set holds {len(matches)} certificates that match its signer, "
                         "so which one signed is left to whoever reads it")
    return matches[0]


class Checker:
    """Checks every signature of one exe; collects the report, the problems,
    the form ("SHA1 time-stamped, SHA256 time-stamped") and the signers."""

    def __init__(self, unsigned_exe, cafile, tsa_cafile, folder):
        self.exe, self.cafile, self.tsa_cafile = unsigned_exe, cafile, tsa_cafile
        self.openssl = Openssl(folder)
        self.report, self.problems, self.form, self.signers = [], [], [], []

    def check(self, blob):
        signatures = [(0, load(blob))]
        for index, content_info in signatures:
            try:
                nested = self.signature(index, content_info["content"])
            except Unreadable as problem:
                self.problems.append(f"signature {index}: {problem}")
                continue
            except (ValueError, KeyError, TypeError, AttributeError) as error:  # asn1crypto parses as it is read
                self.problems.append(f"signature {index}: it cannot be read ({error})")
                continue
            if nested and index > 0:
                self.problems.append(f"signature {index}: a signature is nested in it, where Windows does not look")
            elif nested:
                signatures += [(len(signatures) + i, value) for i, value in enumerate(nested)]
        return self

    def signature(self, index, signed_data):
        """Checks one signature; returns the signatures nested in it."""
        certificates = [c.chosen for c in signed_data["certificates"] if c.name == "certificate"]
        if len(signed_data["signer_infos"]) != 1:
            raise Unreadable(f"it holds {len(signed_data['signer_infos'])} signer infos, not one")
        info = signed_data["signer_infos"][0]
        certificate = signer_of(info, certificates)
        name = info["digest_algorithm"]["algorithm"].native
        if name not in DIGESTS:
            raise Unreadable(f"its digest is {name}, which no release uses")
        content = signed_data["encap_content_info"]
        if content["content_type"].native != "spc_indirect_data":
            raise Unreadable("it does not sign an exe (its content is no Authenticode digest)")
        signed, before = content["content"], len(self.problems)
        if signed["message_digest"]["digest"].native != pe_digest(self.exe, name):
            self.problems.append(f"signature {index}: it does not sign the commit's exe (another digest)")
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
        moments = [self.stamp(index, info, certificates, *stamp) for stamp in stamps]
        moment = moments[0] if len(moments) == 1 else None
        others = [c for c in certificates if c is not certificate]
        unchained = self.openssl.chains(certificate, others, self.cafile,
                                        moment or datetime.datetime.now(datetime.timezone.utc), CODE_SIGNING)
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

    def stamp(self, index, info, certificates, kind, value):
        """The verified time of a signature's stamp, or None after naming the
        problem."""
        imprint = info["signature"].native
        try:
            if kind == "counter_signature":
                moment, why = self.legacy_stamp(value, imprint, certificates)
            else:
                token = value["content"]["encap_content_info"]["content"].parsed
                if not isinstance(token, tsp.TSTInfo):
                    raise Unreadable("its RFC 3161 stamp holds no time-stamp information")
                moment = token["gen_time"].native
                ok, why = self.openssl.run("ts", "-verify", "-in", self.openssl.file(value.dump()), "-token_in",
                                           "-data", self.openssl.file(imprint), "-CAfile", self.tsa_cafile,
                                           "-attime", str(int(moment.timestamp())))
                why = None if ok else why
        except (Unreadable, ValueError, KeyError, TypeError, AttributeError) as problem:
            moment, why = None, str(problem)
        if why:
            self.problems.append(f"signature {index}: its time stamp does not verify against the authorities in "
                                 f"{self.tsa_cafile} ({why})")
            return None
        return moment

    def legacy_stamp(self, counter, imprint, certificates):
        """A legacy Authenticode stamp: a counter-signature by the authority
        over the signature's own bytes."""
        authority = signer_of(counter, certificates)
        name = counter["digest_algorithm"]["algorithm"].native
        moment = attribute(counter, "signing_time")
        if name not in DIGESTS or moment is None:
            return None, "it names no digest or no time"
        if attribute(counter, "message_digest") != hashlib.new(name, imprint).digest():
            return None, "it stamps another signature"
        if not self.openssl.signs(counter, authority, signed_attributes(counter)):
            return None, "it does not verify under its authority's key"
        return moment, self.openssl.chains(authority, [c for c in certificates if c is not authority],
                                           self.tsa_cafile, moment, TIME_STAMPING)


def check(blob, unsigned_exe, cafile, tsa_cafile):
    """A Checker that has checked every signature in blob against the
    unsigned exe; raises Unreadable when blob is no DER signature."""
    with tempfile.TemporaryDirectory() as folder:
        return Checker(unsigned_exe, cafile, tsa_cafile, folder).check(blob)
