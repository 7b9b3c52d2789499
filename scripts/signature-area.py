"""Checks the signature area of a signed exe: what Authenticode does not
sign, and so what anyone can change in a signed exe without breaking its
signature.

    signature-area.py EXE

Prints "unsigned" when the exe has no certificate table, "signed" when it
has exactly one certificate entry holding one PKCS#7 signature and nothing
else: the table at the very end of the file, no bytes after the signature
inside the entry but the zeros that round it to 8 bytes (the padding trick
of CVE-2013-3900), no second entry, a PE checksum that is the file's, and no
unsigned attribute in any signature but time stamps and nested signatures
(osslsigncode, for one, can add a blob of anything there). Otherwise prints a
line for each thing wrong and ends with 1.
"""
import struct
import sys

WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0200, 0x0002
SECURITY_DIRECTORY = 4
UNSIGNED_ATTRIBUTES = {
    "1.2.840.113549.1.9.6": "a legacy time stamp (counterSignature)",
    "1.3.6.1.4.1.311.3.3.1": "an RFC 3161 time stamp",
    "1.3.6.1.4.1.311.2.4.1": "a nested signature",
}


def elements(data):
    """(tag, contents) of each DER element in data, one level deep."""
    at = 0
    while at + 2 <= len(data):
        tag, first, at = data[at], data[at + 1], at + 2
        length = first
        if first & 0x80:
            count = first & 0x7F
            length, at = int.from_bytes(data[at:at + count], "big"), at + count
        yield tag, data[at:at + length]
        at += length


def oid(contents):
    values, value = [], 0
    for byte in contents:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            values.append(value)
            value = 0
    first = min(values[0] // 40, 2) if values else 0
    return ".".join(map(str, [first, values[0] - 40 * first, *values[1:]])) if values else ""


def unsigned_attributes(data):
    """The OIDs of every SignerInfo's unsigned attributes ([1], a set of
    SEQUENCE { OID, SET }), at any depth, nested signatures included."""
    found = []
    for tag, contents in elements(data):
        if tag & 0x20:  # constructed
            children = list(elements(contents))
            attributes = [list(elements(c)) for t, c in children if t == 0x30]
            if (tag == 0xA1 and children and len(attributes) == len(children)
                    and all(a and a[0][0] == 0x06 for a in attributes)):
                found += [oid(a[0][1]) for a in attributes]
            found += unsigned_attributes(contents)
    return found


def der_length(data, at):
    """The length of the DER element at `at`, header included, or None."""
    if at + 2 > len(data) or data[at] != 0x30:
        return None
    first = data[at + 1]
    if first < 0x80:
        return 2 + first
    count = first & 0x7F
    if not 0 < count <= 4 or at + 2 + count > len(data):
        return None
    return 2 + count + int.from_bytes(data[at + 2:at + 2 + count], "big")


def pe_checksum(data, checksum_at):
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for at in range(0, len(padded), 2):
        if checksum_at <= at < checksum_at + 4:
            continue
        total += padded[at] | padded[at + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + (total >> 16)) + len(data)


def problems(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        return ["not a PE file"], False
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    if struct.unpack_from("<I", data, directories - 4)[0] <= SECURITY_DIRECTORY:
        return [], False
    offset, size = struct.unpack_from("<II", data, directories + 8 * SECURITY_DIRECTORY)
    if offset == 0 and size == 0:
        return [], False
    found = []
    if offset + size > len(data) or size < 8:
        return [f"its certificate table ({size} bytes at {offset}) does not fit in the file"], True
    if offset + size < len(data):
        found.append(f"{len(data) - offset - size} bytes follow its certificate table")
    length, revision, kind = struct.unpack_from("<IHH", data, offset)
    signature = der_length(data, offset + 8)
    if revision != WIN_CERT_REVISION_2_0 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA or signature is None:
        found.append("its certificate entry holds no PKCS#7 signature")
    elif not 8 + signature <= length <= size:
        found.append("its certificate entry and the signature in it disagree on their length")
    else:
        extra = data[offset + 8 + signature:offset + length]
        if len(extra) >= 8 or extra.strip(b"\0"):
            found.append(f"{len(extra)} bytes follow the signature inside its certificate entry, "
                         "outside what the signature covers")
        if (length + 7) // 8 * 8 != size:
            found.append("its certificate table holds more than the one certificate entry")
        for unknown in sorted(set(unsigned_attributes(data[offset + 8:offset + 8 + signature])) - set(UNSIGNED_ATTRIBUTES)):
            found.append(f"a signature carries an unsigned attribute {unknown}, which is neither a time stamp "
                         "nor a nested signature")
    checksum_at = optional + 64
    if struct.unpack_from("<I", data, checksum_at)[0] != pe_checksum(data, checksum_at):
        found.append("its PE checksum is not the file's (the file changed after it was signed)")
    return found, True


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    try:
        found, signed = problems(data)
    except (struct.error, IndexError):
        found, signed = ["its headers are cut short"], True
    except RecursionError:
        found, signed = ["its signature is nested too deeply to read"], True
    print("\n".join(found) if found else "signed" if signed else "unsigned")
    sys.exit(1 if found else 0)


if __name__ == "__main__":
    main()
