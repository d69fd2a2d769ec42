#!/usr/bin/env python3
"""Writes compound files (the container of Office 97-2003 documents and Outlook messages).

No Debian tool writes an Outlook .msg, or a compound file with 4096-byte sectors, and LibreOffice's
PowerPoint export stores a 440 KB preview bitmap. This writes them from the published layout:

  make_cfb.py msg OUT [--v4]           a short Outlook mail: properties, subject, body, sender
  make_cfb.py repack IN OUT [--v4] [--drop NAME]...
                                       the top-level streams of IN (a real file) in a new container

Small streams go to the mini stream, as every writer does; the directory is a balanced tree of
black nodes ordered as the format orders names (length, then upper-case code units).
"""
import struct
import sys

END, FREE, FATSECT, NOSTREAM = 0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFFFD, 0xFFFFFFFF
SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")


def read_streams(path):
    """The root's streams of a compound file, in directory order (storages are not kept)."""
    d = open(path, "rb").read()
    ss = 1 << struct.unpack_from("<H", d, 30)[0]
    nfat, first_dir = struct.unpack_from("<II", d, 44)
    first_minifat = struct.unpack_from("<I", d, 60)[0]
    difat = struct.unpack_from("<109I", d, 76)[:nfat]
    fat = []
    for s in difat:
        fat += struct.unpack_from("<%dI" % (ss // 4), d, (s + 1) * ss)

    def chain(s):
        out = []
        while s < 0xFFFFFFFA:
            out.append(d[(s + 1) * ss:(s + 2) * ss])
            s = fat[s]
        return b"".join(out)

    dirb = chain(first_dir)
    entries = [dirb[i:i + 128] for i in range(0, len(dirb), 128)]
    root = entries[0]
    mini = chain(struct.unpack_from("<I", root, 116)[0])
    minifat = struct.unpack("<%dI" % (len(chain(first_minifat)) // 4), chain(first_minifat)) \
        if first_minifat < 0xFFFFFFFA else ()
    streams = []
    for e in entries[1:]:
        if e[66] != 2:
            continue
        name = e[:struct.unpack_from("<H", e, 64)[0] - 2].decode("utf-16le")
        start, size = struct.unpack_from("<II", e, 116)
        if size >= 4096:
            data = chain(start)[:size]
        else:
            parts, s = [], start
            while s < 0xFFFFFFFA:
                parts.append(mini[s * 64:(s + 1) * 64])
                s = minifat[s]
            data = b"".join(parts)[:size]
        streams.append((name, data))
    return streams, root[80:96]


def name_key(name):
    return (len(name), name.upper())


class Node:
    def __init__(self, name, kind, data=b"", children=None, clsid=bytes(16)):
        self.name, self.kind, self.data = name, kind, data
        self.children = children or []
        self.clsid = clsid
        self.start, self.left, self.right, self.child = END, NOSTREAM, NOSTREAM, NOSTREAM


def write(root, path, v4=False):
    shift = 12 if v4 else 9
    ss = 1 << shift
    nodes = []

    def number(node):
        nodes.append(node)
        for c in node.children:
            number(c)

    number(root)
    ids = {id(n): i for i, n in enumerate(nodes)}

    def tree(sorted_nodes):
        if not sorted_nodes:
            return NOSTREAM
        mid = len(sorted_nodes) // 2
        top = sorted_nodes[mid]
        top.left = tree(sorted_nodes[:mid])
        top.right = tree(sorted_nodes[mid + 1:])
        return ids[id(top)]

    for n in nodes:
        n.child = tree(sorted(n.children, key=lambda c: name_key(c.name)))

    # Small streams, each in whole 64-byte mini sectors.
    mini, minifat = b"", []
    for n in nodes[1:]:
        if n.kind == 2 and 0 < len(n.data) < 4096:
            count = (len(n.data) + 63) // 64
            n.start = len(mini) // 64
            minifat += [n.start + i + 1 for i in range(count - 1)] + [END]
            mini += n.data.ljust(count * 64, b"\0")
    root.data = mini

    sectors = []  # the file's sectors after the header, in order
    fat = []

    def put(data):
        if not data:
            return END
        count = (len(data) + ss - 1) // ss
        first = len(sectors)
        for i in range(count):
            sectors.append(data[i * ss:(i + 1) * ss].ljust(ss, b"\0"))
            fat.append(first + i + 1 if i + 1 < count else END)
        return first

    minifat_bytes = b"".join(struct.pack("<I", v) for v in minifat)
    first_minifat = put(minifat_bytes.ljust(-(-len(minifat_bytes) // ss) * ss, b"\xff"))
    root.start = put(mini)
    for n in nodes[1:]:
        if n.kind == 2 and len(n.data) >= 4096:
            n.start = put(n.data)
    dirb = b""
    for n in nodes:
        name = n.name.encode("utf-16le") + b"\0\0"
        size = len(n.data) if n.kind in (2, 5) else 0
        start = n.start if size else (END if n.kind == 5 else 0)
        dirb += (name.ljust(64, b"\0") + struct.pack("<HBB3I", len(name), n.kind, 1, n.left,
                                                   n.right, n.child)
                 + n.clsid + bytes(4) + bytes(16) + struct.pack("<IQ", start, size))
    empty = (bytes(64) + struct.pack("<HBB3I", 0, 0, 0, NOSTREAM, NOSTREAM, NOSTREAM)
             + bytes(36) + struct.pack("<IQ", 0, 0))
    dirb += empty * ((-len(dirb) // 128) % (ss // 128))
    first_dir = put(dirb)
    dir_sectors = len(dirb) // ss

    # The FAT sectors come last and cover themselves.
    per = ss // 4
    nfat = 1
    while len(sectors) + nfat > nfat * per:
        nfat += 1
    assert nfat <= 109
    first_fat = len(sectors)
    fat += [FATSECT] * nfat
    fat += [FREE] * (nfat * per - len(fat))
    fatb = struct.pack("<%dI" % len(fat), *fat)
    for i in range(nfat):
        sectors.append(fatb[i * ss:(i + 1) * ss])

    header = (SIGNATURE + bytes(16) + struct.pack("<HHHHH", 0x3E, 4 if v4 else 3, 0xFFFE, shift, 6)
              + bytes(6) + struct.pack("<IIIIIIIII", dir_sectors if v4 else 0, nfat, first_dir, 0,
                                       4096, first_minifat, len(minifat_bytes) and
                                       -(-len(minifat_bytes) // ss), END, 0)
              + struct.pack("<109I", *([first_fat + i for i in range(nfat)] + [FREE] * (109 - nfat))))
    with open(path, "wb") as out:
        out.write(header.ljust(ss, b"\0"))
        out.writelines(sectors)


def prop(tag, flags, value):
    return struct.pack("<IIQ", tag, flags, value)


def message():
    """A plain-text mail as Outlook saves it: fixed-size properties in one stream, strings in
    streams of their own, and the named-property storage."""
    strings = {
        0x001A: "IPM.Note",
        0x0037: "Photos from the recovered drive",
        0x0C1A: "Recovery Desk",
        0x0E1D: "Photos from the recovered drive",
        0x1000: "Hello,\r\n\r\n412 pictures and 37 videos came back whole; the list is attached "
                "to the ticket.\r\n\r\nRegards,\r\nthe recovery desk\r\n",
    }
    children = []
    props = b""
    for pid, text in strings.items():
        data = text.encode("utf-16le")
        children.append(Node("__substg1.0_%04X001F" % pid, 2, data))
        props += prop(pid << 16 | 0x001F, 6, len(data) + 2)
    # Delivery time (2023-11-14 22:13:20 UTC as FILETIME), message flags (read), importance.
    props += prop(0x0E060040, 6, 133444952000000000)
    props += prop(0x0E070003, 6, 1)
    props += prop(0x00170003, 6, 1)
    # A top-level message's header: reserved, next recipient and attachment ids, their counts.
    children.append(Node("__properties_version1.0", 2, bytes(8) + struct.pack("<IIII", 0, 0, 0, 0)
                         + bytes(8) + props))
    nameid = Node("__nameid_version1.0", 1, children=[
        Node("__substg1.0_00020102", 2, b""),
        Node("__substg1.0_00030102", 2, b""),
        Node("__substg1.0_00040102", 2, b""),
    ])
    children.append(nameid)
    msg_clsid = bytes.fromhex("0B0D020000000000C000000000000046")
    return Node("Root Entry", 5, children=children, clsid=msg_clsid)


def main(args):
    v4 = "--v4" in args
    args = [a for a in args if a != "--v4"]
    if args[0] == "msg":
        write(message(), args[1], v4)
    elif args[0] == "repack":
        drop = [args[i + 1] for i, a in enumerate(args) if a == "--drop"]
        streams, clsid = read_streams(args[1])
        children = [Node(name, 2, data) for name, data in streams
                    if name.lstrip("\x01\x05") not in drop]
        write(Node("Root Entry", 5, children=children, clsid=clsid), args[2], v4)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
