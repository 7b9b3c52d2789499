"""Writes a release zip, and reads one the way its verifier must.

    release-zip.py write ZIP SOURCE_DATE_EPOCH FOLDER
        zips every file of FOLDER (no subfolders), sorted by name, stored
        uncompressed, dated SOURCE_DATE_EPOCH (UTC), with no owner, no
        permissions and no extra fields: the same files give the same bytes
        whoever zips them, with whatever umask and compressor.
    release-zip.py extract ZIP FOLDER
        checks the zip's own directory first; where an entry is no plain
        top-level file, or anything else is amiss, prints a line for each
        cause ("NAME: cause", "zip: cause"), unpacks nothing and ends with 1.
        Otherwise unpacks every entry into FOLDER, which must not hold it
        yet, each checked against its CRC.

Run with Debian's /usr/bin/python3 -I, so that what the build record names
is what ran.
"""
import binascii
import os
import struct
import sys
import time
import zlib

END = struct.Struct("<4sHHHHIIH")  # end of central directory record
CENTRAL = struct.Struct("<4sHHHHHHIIIHHHHHII")  # central directory header
LOCAL = struct.Struct("<4sHHHHHIIIHH")  # local file header
END_SIG, CENTRAL_SIG, LOCAL_SIG = b"PK\5\6", b"PK\1\2", b"PK\3\4"
STORED, DEFLATED = 0, 8
VERSION = 20  # 2.0, made on MS-DOS: Windows' own attributes, no Unix modes
DATA_DESCRIPTOR = 0x08  # general-purpose flag: sizes follow the data
UTF8_NAME = 0x800
UNIX_HOSTS = (3, 19)  # Unix, OS X: the top 16 bits of the attributes are a mode
DOS_FOLDER, WIN_REPARSE_POINT = 0x10, 0x400
# Far more than a release holds, yet small enough that no zip bomb is
# unpacked and no list of causes runs on for hours.
LARGEST, LARGEST_IN_ALL, MOST_ENTRIES = 64 << 20, 256 << 20, 64


class NotARelease(Exception):
    """The zip cannot be read as a release at all; the text names the cause."""


def dos_date_time(epoch):
    t = time.gmtime(max(epoch, 315532800))  # zips count from 1980
    return (t.tm_year - 1980) << 9 | t.tm_mon << 5 | t.tm_mday, t.tm_hour << 11 | t.tm_min << 5 | t.tm_sec // 2


def write(zip_path, epoch, folder):
    date, clock = dos_date_time(epoch)
    body, directory = bytearray(), bytearray()
    names = sorted(os.listdir(folder))
    for name in names:
        path = os.path.join(folder, name)
        if os.path.islink(path) or not os.path.isfile(path):
            raise NotARelease(f"{shown(name)}: not a regular file")
        with open(path, "rb") as f:
            data = f.read()
        raw = name.encode("ascii")
        crc = binascii.crc32(data)
        directory += CENTRAL.pack(CENTRAL_SIG, VERSION, VERSION, 0, STORED, clock, date, crc,
                                  len(data), len(data), len(raw), 0, 0, 0, 0, 0, len(body)) + raw
        body += LOCAL.pack(LOCAL_SIG, VERSION, 0, STORED, clock, date, crc,
                           len(data), len(data), len(raw), 0) + raw + data
    end = END.pack(END_SIG, 0, 0, len(names), len(names), len(directory), len(body), 0)
    partial = zip_path + ".partial"
    with open(partial, "wb") as f:
        f.write(body + directory + end)
    os.replace(partial, zip_path)


def shown(name):
    return name if name.isprintable() else ascii(name)[1:-1]


def entry_kind(host, attributes):
    """Why an entry is not a regular file, or None."""
    mode = attributes >> 16 if host in UNIX_HOSTS else 0
    kind = mode & 0o170000
    if kind == 0o120000:
        return "a symbolic link, not a regular file"
    if kind == 0o040000 or attributes & DOS_FOLDER:
        return "a folder, not a regular file"
    if attributes & WIN_REPARSE_POINT:
        return "a link (a Windows reparse point), not a regular file"
    if kind not in (0, 0o100000):
        return f"not a regular file (Unix file type {kind:o})"
    return None


def name_problem(name):
    if name.endswith(("/", "\\")):
        return "a folder, not a regular file"
    if "/" in name or "\\" in name:
        return "not at the top level of the zip"
    if name in ("", ".", "..") or not name.isprintable() or ":" in name or name[-1] in ". ":
        return "not a plain file name"
    return None


def read_directory(data):
    """The zip's entries, and a cause for each that is no plain top-level
    file or that another extractor could read otherwise."""
    start = data.rfind(END_SIG, max(0, len(data) - END.size - 0xFFFF))
    if start < 0:
        raise NotARelease("zip: no end-of-directory record, so not a zip")
    _, disk, first_disk, on_disk, count, size, offset, comment = END.unpack_from(data, start)
    if disk or first_disk or on_disk != count:
        raise NotARelease("zip: spread over several disks")
    if count == 0xFFFF or 0xFFFFFFFF in (size, offset):
        raise NotARelease("zip: a ZIP64 archive, which no release is")
    if offset + size < start:
        raise NotARelease(f"zip: {start - offset - size} bytes in front of it (data put before the zip)")
    if offset + size != start:
        raise NotARelease("zip: its directory is not where its end record says")
    if count > MOST_ENTRIES:
        raise NotARelease(f"zip: {count} entries, far more than any release holds")
    problems = []
    if start + END.size + comment != len(data):
        problems.append(f"zip: {len(data) - start - END.size} bytes after the end of its directory")
    elif comment:
        problems.append(f"zip: carries a comment of {comment} bytes, which no release does")
    entries, seen, spans, at = [], {}, [], offset
    for _ in range(count):
        if data[at:at + 4] != CENTRAL_SIG:
            raise NotARelease("zip: its directory is damaged")
        (_, made_by, _, flags, method, _, _, crc, packed, unpacked, name_len, extra_len,
         comment_len, _, _, attributes, local) = CENTRAL.unpack_from(data, at)
        raw = data[at + CENTRAL.size:at + CENTRAL.size + name_len]
        name = raw.decode("utf-8" if flags & UTF8_NAME else "cp437", "replace")
        at += CENTRAL.size + name_len + extra_len + comment_len
        causes = list(dict.fromkeys(c for c in (name_problem(name), entry_kind(made_by >> 8, attributes)) if c))
        if name.casefold() in seen:
            causes.append("a second entry of that name (extractors differ in which one they take)")
        seen[name.casefold()] = True
        if flags & 1:
            causes.append("encrypted")
        if method not in (STORED, DEFLATED):
            causes.append(f"compressed with method {method}, which no release uses")
        if unpacked > LARGEST:
            causes.append(f"{unpacked} bytes, more than any file of a release")
        if data[local:local + 4] != LOCAL_SIG:
            raise NotARelease(f"{shown(name)}: no local header where the directory says")
        (_, _, local_flags, local_method, _, _, local_crc, local_packed, local_unpacked,
         local_name_len, local_extra_len) = LOCAL.unpack_from(data, local)
        data_at = local + LOCAL.size + local_name_len + local_extra_len
        described = flags & DATA_DESCRIPTOR and (local_crc, local_packed, local_unpacked) == (0, 0, 0)
        if (data[local + LOCAL.size:local + LOCAL.size + local_name_len] != raw or local_method != method
                or local_flags != flags
                or (not described and (local_crc, local_packed, local_unpacked) != (crc, packed, unpacked))):
            causes.append("its local header disagrees with the zip's directory "
                          "(extractors that read one or the other get different files)")
        end = data_at + packed
        if flags & DATA_DESCRIPTOR:
            end += 16 if data[end:end + 4] == b"PK\7\10" else 12
        spans.append((local, end, name))
        problems += [f"{shown(name)}: {cause}" for cause in causes]
        entries.append((name, method, crc, unpacked, data[data_at:data_at + packed]))
    if at != offset + size:
        raise NotARelease("zip: its directory is damaged")
    if sum(entry[3] for entry in entries) > LARGEST_IN_ALL:
        problems.append(f"zip: {sum(entry[3] for entry in entries)} bytes unpacked, more than any release holds")
    covered = 0
    for begin, end, name in sorted(spans):
        if begin > covered:
            problems.append(f"zip: bytes {covered} to {begin - 1} belong to no entry")
        elif begin < covered:
            problems.append(f"{shown(name)}: shares its bytes with another entry")
        covered = max(covered, end)
    if covered < offset:
        problems.append(f"zip: bytes {covered} to {offset - 1} belong to no entry")
    elif covered > offset:
        problems.append("zip: its last entry runs into its directory")
    return entries, problems


def unpack(name, method, crc, size, packed):
    data = zlib.decompressobj(-15).decompress(packed, size + 1) if method == DEFLATED else bytes(packed)
    if len(data) != size or binascii.crc32(data) != crc:
        raise NotARelease(f"{shown(name)}: damaged (its size or CRC does not match)")
    return data


def checked(zip_path):
    if os.path.getsize(zip_path) > LARGEST_IN_ALL:
        raise NotARelease(f"zip: {os.path.getsize(zip_path)} bytes, more than any release holds")
    with open(zip_path, "rb") as f:
        entries, problems = read_directory(f.read())
    if problems:
        print("\n".join(problems))
        sys.exit(1)
    return entries


def main(args):
    try:
        if len(args) == 4 and args[0] == "write":
            write(args[1], int(args[2]), args[3])
        elif len(args) == 3 and args[0] == "extract":
            for entry in checked(args[1]):
                out = os.open(os.path.join(args[2], entry[0]), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
                with os.fdopen(out, "wb") as f:
                    f.write(unpack(*entry))
        else:
            sys.exit(__doc__)
    except NotARelease as problem:
        print(problem)
        sys.exit(1)
    except (OSError, struct.error, zlib.error, ValueError) as error:
        print(f"zip: cannot be {'written' if args[0] == 'write' else 'read or unpacked'}: {error}")
        sys.exit(1)


if __name__ == "__main__":
    main(sys.argv[1:])
