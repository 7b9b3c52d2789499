"""Reads the Authenticode signatures of an exe from its bytes, for what
osslsigncode's report cannot be trusted with, and checks what Authenticode
leaves unsigned: anyone can change that part of a signed exe without
breaking its signatures.

    signatures.py EXE

Prints "unsigned", or a line "signer FINGERPRINT SERIAL" for each code
signature (the primary one, then those nested in it): the SHA-256
fingerprint and the serial number (hex) of the certificate that made it.
Prints a line "problem WHAT" for each thing wrong, and ends with 1, unless
the exe's signature area holds exactly one certificate entry with one
strict-DER PKCS#7 signature and nothing else:
  - the certificate table at the very end of the file, no bytes after the
    signature in it but the zeros that round it to 8 bytes (the padding of
    CVE-2013-3900), no second entry, a PE checksum that is the file's;
  - no unsigned attribute but one time stamp a signature and one nested
    signature in the primary one; nothing hidden in BER's indefinite
    lengths, which osslsigncode reads and a DER reader does not.
"""
import hashlib
import struct
import sys

WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0200, 0x0002
SECURITY_DIRECTORY = 4
SIGNED_DATA = "1.2.840.113549.1.7.2"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
STAMPS = {"1.2.840.113549.1.9.6", "1.3.6.1.4.1.311.3.3.1"}  # legacy counterSignature, RFC 3161
DEEPEST = 32  # far deeper than any signature nests


class Unreadable(Exception):
    """The signature is not what a signing tool writes; the text says why."""


def elements(data):
    """(tag, contents, whole element) of each DER element in data, one level
    deep; anything but definite, in-bounds lengths is refused."""
    at = 0
    while at < len(data):
        if at + 2 > len(data):
            raise Unreadable("its signature is cut short")
        tag, first, start = data[at], data[at + 1], at + 2
        length = first
        if first & 0x80:
            count = first & 0x7F
            if count == 0:
                raise Unreadable("its signature uses an indefinite length, which is not DER")
            if count > 4:
                raise Unreadable("its signature is cut short")
            length, start = int.from_bytes(data[start:start + count], "big"), start + count
        if start + length > len(data):
            raise Unreadable("its signature is cut short")
        yield tag, data[start:start + length], data[at:start + length]
        at = start + length


def children(data, tag):
    """The elements inside the one element of data, which must have tag."""
    found = list(elements(data))
    if len(found) != 1 or found[0][0] != tag:
        raise Unreadable("its signature is not a PKCS#7 signature")
    return list(elements(found[0][1]))


def oid(contents):
    values, value = [], 0
    for byte in bytes(contents):
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            values.append(value)
            value = 0
    if not values:
        return ""
    first = min(values[0] // 40, 2)
    return ".".join(map(str, [first, values[0] - 40 * first, *values[1:]]))


def signers(content_info, nested, found, problems):
    """Appends (fingerprint, serial) of each code signature in content_info,
    a ContentInfo holding SignedData, and those nested in it."""
    if nested > 1:
        raise Unreadable("a signature is nested in a nested one, where Windows does not look")
    parts = children(content_info, 0x30)
    if len(parts) != 2 or parts[0][0] != 0x06 or oid(parts[0][1]) != SIGNED_DATA:
        raise Unreadable("its signature is not a PKCS#7 signature")
    signed_data = children(parts[1][1], 0x30)
    certificates = {}
    for tag, contents, _ in signed_data:
        if tag == 0xA0:  # certificates: each one's issuer and serial, and its fingerprint
            for _, certificate, whole in elements(contents):
                tbs = list(elements(list(elements(certificate))[0][1]))
                tbs = tbs[1:] if tbs[0][0] == 0xA0 else tbs  # the version, when given
                certificates[(bytes(tbs[2][2]), bytes(tbs[0][1]))] = hashlib.sha256(whole).hexdigest().upper()
    signer_infos = [e for e in signed_data if e[0] == 0x31][-1:]
    infos = list(elements(signer_infos[0][1])) if signer_infos else []
    if len(infos) != 1:
        raise Unreadable(f"a signature holds {len(infos)} signer infos, not one")
    info = list(elements(infos[0][1]))
    issuer, serial = [e for e in elements(info[1][1])][:2]
    fingerprint = certificates.get((bytes(issuer[2]), bytes(serial[1])), "unknown")
    found.append((fingerprint, bytes(serial[1]).hex().upper().lstrip("0") or "0"))
    for tag, contents, _ in info:
        if tag != 0xA1:
            continue
        stamps = 0
        for _, attribute, _ in elements(contents):
            kind, values = list(elements(attribute))
            values = list(elements(values[1]))
            name = oid(kind[1])
            if len(values) != 1 and name == NESTED_SIGNATURE:
                problems.append(f"a signature carries {len(values)} nested signatures; a release's carries one")
            elif len(values) != 1:
                problems.append(f"an unsigned attribute {name} holds {len(values)} values, not one")
            if name == NESTED_SIGNATURE:
                for _, _, value in values:
                    signers(value, nested + 1, found, problems)
            elif name in STAMPS:
                stamps += len(values)
            else:
                problems.append(f"a signature carries an unsigned attribute {name}, "
                                "which is neither a time stamp nor a nested signature")
        if stamps > 1:
            problems.append(f"a signature carries {stamps} time stamps, of which Windows and osslsigncode read one")


def pe_checksum(data, checksum_at):
    total = 0
    padded = bytes(data) + b"\0" * (len(data) % 2)
    for at in range(0, len(padded), 2):
        if checksum_at <= at < checksum_at + 4:
            continue
        total += padded[at] | padded[at + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + (total >> 16)) + len(data)


def certificate_table(data):
    """Where the PE headers keep the certificate table's (offset, size), and
    where the checksum is; the first is None when the exe has no such entry.
    Raises ValueError for a file that is not a PE file."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    if struct.unpack_from("<I", data, directories - 4)[0] <= SECURITY_DIRECTORY:
        return None, optional + 64
    return directories + 8 * SECURITY_DIRECTORY, optional + 64


def read(data):
    """The signers, or None when unsigned, and what is wrong."""
    try:
        entry, checksum_at = certificate_table(data)
    except ValueError as problem:
        return [], [str(problem)]
    offset, size = struct.unpack_from("<II", data, entry) if entry else (0, 0)
    if offset == 0 and size == 0:
        return None, []
    if offset + size > len(data) or size < 8:
        return [], [f"its certificate table ({size} bytes at {offset}) does not fit in the file"]
    problems, found = [], []
    if offset + size < len(data):
        problems.append(f"{len(data) - offset - size} bytes follow its certificate table")
    if struct.unpack_from("<I", data, checksum_at)[0] != pe_checksum(data, checksum_at):
        problems.append("its PE checksum is not the file's (the file changed after it was signed)")
    length, revision, kind = struct.unpack_from("<IHH", data, offset)
    if revision != WIN_CERT_REVISION_2_0 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA or not 8 < length <= size:
        return [], problems + ["its certificate entry holds no PKCS#7 signature"]
    if (length + 7) // 8 * 8 != size:
        problems.append("its certificate table holds more than the one certificate entry")
    entry = memoryview(data)[offset + 8:offset + length]
    signature = next(elements(entry))[2]
    extra = entry[len(signature):]
    if len(extra) >= 8 or bytes(extra).strip(b"\0"):
        problems.append(f"{len(extra)} bytes follow the signature inside its certificate entry, "
                        "outside what the signature covers")
    signers(signature, 0, found, problems)
    return found, problems


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    found, problems = [], []
    try:
        found, problems = read(data)
    except Unreadable as problem:
        problems = [str(problem)]
    except (struct.error, IndexError, ValueError):
        problems = ["its signature or headers are cut short"]
    if found is None:
        print("unsigned")
    for fingerprint, serial in found or []:
        print(f"signer {fingerprint} {serial}")
    for problem in problems:
        print(f"problem {problem}")
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
