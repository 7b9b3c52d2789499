"""Writes a release zip so that the same files give the same bytes, whoever
zips them: sorted, stored, dated SOURCE_DATE_EPOCH, no owner, permissions or
extra fields. Run by the build root's Python, which BUILDINFO names.

    zip.py ZIP SOURCE_DATE_EPOCH FOLDER
"""
import binascii
import os
import struct
import sys
import time

END = struct.Struct("<4sHHHHIIH")  # end of central directory record
CENTRAL = struct.Struct("<4sHHHHHHIIIHHHHHII")  # central directory header
LOCAL = struct.Struct("<4sHHHHHIIIHH")  # local file header
STORED = 0
VERSION = 20  # 2.0, made on MS-DOS: Windows' own attributes, no Unix modes


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
            sys.exit(f"zip: {name}: not a regular file")
        with open(path, "rb") as f:
            data = f.read()
        raw = name.encode("ascii")
        crc = binascii.crc32(data)
        directory += CENTRAL.pack(b"PK\1\2", VERSION, VERSION, 0, STORED, clock, date, crc,
                                  len(data), len(data), len(raw), 0, 0, 0, 0, 0, len(body)) + raw
        body += LOCAL.pack(b"PK\3\4", VERSION, 0, STORED, clock, date, crc,
                           len(data), len(data), len(raw), 0) + raw + data
    end = END.pack(b"PK\5\6", 0, 0, len(names), len(names), len(directory), len(body), 0)
    partial = zip_path + ".partial"
    with open(partial, "wb") as f:
        f.write(body + directory + end)
    os.replace(partial, zip_path)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    write(sys.argv[1], int(sys.argv[2]), sys.argv[3])
