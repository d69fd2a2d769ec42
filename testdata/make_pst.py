#!/usr/bin/env python3
"""Writes two minimal Outlook personal folders files (ANSI and Unicode) from the published file
structure ([MS-PST] 2.2.2): no tool on Debian writes PST files.

Each file has a header with both CRCs, a root structure whose ibFileEof gives the file's length, and
the pages that root points to: the first allocation map page at 0x4400 and an empty leaf page for
each of the node and block B-trees, every page with its trailer and CRC. There are no folders or
messages; a mail program would still have to add them, but the length is what a carver reads.

    make_pst.py OUT_DIR
"""
import os
import struct
import sys
import zlib

AMAP_AT = 0x4400
PAGE = 512
NBT_AT = AMAP_AT + PAGE
BBT_AT = NBT_AT + PAGE
EOF_AT = BBT_AT + PAGE
PTYPE_BBT, PTYPE_NBT, PTYPE_AMAP = 0x80, 0x81, 0x84
NBT_BID, BBT_BID = 0x04, 0x08


def crc(data):
    """The file's CRC-32: reflected polynomial 0xEDB88320, initial value 0, no final XOR."""
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF


def amap(unicode):
    # One bit per 64 bytes from 0x4400: the map page itself and the two B-tree pages are in use.
    data = bytearray(496 if unicode else 500)
    data[0:3] = b"\xff\xff\xff"
    return bytes(data)


def btree_leaf(unicode, entry_size):
    # rgentries, then cEnt, cEntMax, cbEnt, cLevel (and dwPadding in the Unicode layout).
    if unicode:
        return bytes(488) + bytes([0, 488 // entry_size, entry_size, 0]) + bytes(4)
    return bytes(496) + bytes([0, 496 // entry_size, entry_size, 0])


def page(unicode, data, ptype, bid):
    signature = 0  # only blocks and B-tree pages of encrypted files carry one
    if unicode:
        return data + struct.pack("<BBHIQ", ptype, ptype, signature, crc(data), bid)
    return data + struct.pack("<BBHII", ptype, ptype, signature, bid, crc(data))


def header(unicode):
    if unicode:
        root = struct.pack("<IQQQQQQQQBBH", 0, EOF_AT, AMAP_AT, 0, 0, NBT_BID, NBT_AT, BBT_BID,
                           BBT_AT, 1, 0, 0)
        assert len(root) == 72
        body = struct.pack("<2sHHBBIIQQI", b"SM", 23, 19, 1, 1, 0, 0, 0, 0x10, 0x21)
        body += bytes(128) + bytes(8) + root + bytes(4)       # rgnid, qwUnused, root, dwAlign
        body += b"\xff" * 128 + b"\xff" * 128                 # rgbFM, rgbFP
        body += bytes([0x80, 0]) + bytes(2) + struct.pack("<Q", 0x0C)  # sentinel, no encryption
        assert len(body) == 516
        partial = crc(body[:471])
        full = crc(body)
        out = b"!BDN" + struct.pack("<I", partial) + body + struct.pack("<I", full)
        out += bytes(3) + bytes(1) + bytes(32)
        assert len(out) == 564
        return out
    root = struct.pack("<IIIIIIIIIBBH", 0, EOF_AT, AMAP_AT, 0, 0, NBT_BID, NBT_AT, BBT_BID,
                       BBT_AT, 1, 0, 0)
    assert len(root) == 40
    body = struct.pack("<2sHHBBIIIII", b"SM", 14, 19, 1, 1, 0, 0, 0x0C, 0x10, 0x21)
    body += bytes(128) + root + b"\xff" * 128 + b"\xff" * 128  # rgnid, root, rgbFM, rgbFP
    body += bytes([0x80, 0]) + bytes(2) + bytes(8) + bytes(4) + bytes(3) + bytes(1) + bytes(32)
    out = b"!BDN" + struct.pack("<I", crc(body[:471])) + body
    assert len(out) == 512
    return out


def build(unicode):
    out = bytearray(header(unicode))
    out += bytes(AMAP_AT - len(out))
    out += page(unicode, amap(unicode), PTYPE_AMAP, AMAP_AT)
    out += page(unicode, btree_leaf(unicode, 32 if unicode else 16), PTYPE_NBT, NBT_BID)
    out += page(unicode, btree_leaf(unicode, 24 if unicode else 12), PTYPE_BBT, BBT_BID)
    assert len(out) == EOF_AT
    return bytes(out)


def main():
    out_dir = sys.argv[1]
    with open(os.path.join(out_dir, "unicode_minimal_header_root.pst"), "wb") as f:
        f.write(build(True))
    with open(os.path.join(out_dir, "ansi_minimal_header_root.pst"), "wb") as f:
        f.write(build(False))


if __name__ == "__main__":
    main()
