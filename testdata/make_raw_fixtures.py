#!/usr/bin/env python3
"""Builds small camera RAW files (DNG, CR2, NEF, ARW, ORF, RW2) from their published structure.

No program on Debian writes these formats, so they are laid out here after TIFF 6.0, Adobe's DNG
specification and the well-documented layouts of the makers' files: IFD0 with Make and Model, a
JPEG preview, a raw image of packed 12/14-bit or 16-bit colour-filter-array samples, an EXIF IFD
with exposure tags and a maker note. They are not what a camera wrote, byte for byte.

    make_raw_fixtures.py INPUTS OUT

INPUTS holds preview.jpg and thumb.jpg (JPEGs by ImageMagick), thumb.rgb (32x24 8-bit RGB) and
mosaic.rgb (64x48 RGB, 16 bits a sample, big-endian), from which the raw samples are taken in
an RGGB pattern. Every file ends at the last byte its IFDs refer to.
"""

import os
import struct
import sys

BYTE, ASCII, SHORT, LONG, RATIONAL, UNDEFINED, SRATIONAL = 1, 2, 3, 4, 5, 7, 10
SIZES = {BYTE: 1, ASCII: 1, SHORT: 2, LONG: 4, RATIONAL: 8, UNDEFINED: 1, SRATIONAL: 8}


class At:
    """An item's offset (and, as a count, its length): for values that are whole items."""

    def __init__(self, name):
        self.name = name


class Ref:
    """An item's offset, as a LONG value."""

    def __init__(self, name):
        self.name = name


class Len:
    """An item's length, as a LONG value."""

    def __init__(self, name):
        self.name = name


class Ifd:
    """An IFD with its out-of-line values after it; `prefix` bytes come before it."""

    def __init__(self, entries, next_ifd=None, prefix=b""):
        self.entries = sorted(entries, key=lambda e: e[0])
        self.next_ifd = next_ifd
        self.prefix = prefix


def value_count(typ, value):
    if isinstance(value, At):
        return None
    if isinstance(value, str):
        return len(value) + 1
    if isinstance(value, bytes):
        return len(value)
    if isinstance(value, list):
        return len(value)
    return 1


class Tiff:
    """Lays out a TIFF-structured file: a header, then named items (IFDs and byte blocks) in order,
    each starting on a word boundary."""

    def __init__(self, order, magic, extra=b"", extra_refs=(), plain=False):
        self.e = order  # "<" or ">"
        self.magic = magic
        self.plain = plain  # the header is `magic` alone, the first IFD right after it
        self.extra = extra
        self.extra_refs = extra_refs  # header LONGs after `extra`: offsets of items
        self.items = []

    def add(self, name, item):
        self.items.append((name, item))

    def u16(self, v):
        return struct.pack(self.e + "H", v)

    def u32(self, v):
        return struct.pack(self.e + "I", v)

    def encode(self, typ, value, pos, size):
        if isinstance(value, (Ref, Len)):
            value = [value]
        if isinstance(value, str):
            return value.encode("ascii") + b"\0"
        if isinstance(value, bytes):
            return value
        if not isinstance(value, list):
            value = [value]
        out = b""
        for v in value:
            if isinstance(v, Ref):
                v = pos[v.name]
            elif isinstance(v, Len):
                v = size[v.name]
            if typ in (RATIONAL, SRATIONAL):
                out += struct.pack(self.e + ("II" if typ == RATIONAL else "ii"), *v)
            elif typ == SHORT:
                out += self.u16(v)
            elif typ == LONG:
                out += self.u32(v)
            else:
                out += bytes([v])
        return out

    def ifd_size(self, ifd):
        n = len(ifd.prefix) + 2 + 12 * len(ifd.entries) + 4
        for tag, typ, value in ifd.entries:
            count = value_count(typ, value)
            if count is not None and count * SIZES[typ] > 4:
                n += (count * SIZES[typ] + 1) & ~1
        return n

    def build(self):
        header_len = len(self.magic) if self.plain else 8 + len(self.extra) + 4 * len(self.extra_refs)
        pos, size, at = {}, {}, header_len
        for name, item in self.items:
            at += at & 1
            pos[name] = at
            size[name] = self.ifd_size(item) if isinstance(item, Ifd) else len(item)
            at += size[name]
        first = next(name for name, item in self.items if isinstance(item, Ifd))
        out = bytearray(self.magic if self.plain else self.magic + self.u32(pos[first]) + self.extra)
        for name in self.extra_refs:
            out += self.u32(pos[name])
        for name, item in self.items:
            if len(out) & 1:
                out += b"\0"
            assert len(out) == pos[name]
            if not isinstance(item, Ifd):
                out += item
                continue
            out += item.prefix
            table = len(out)
            values = table + 2 + 12 * len(item.entries) + 4
            block = b""
            out += self.u16(len(item.entries))
            for tag, typ, value in item.entries:
                if isinstance(value, At):
                    out += self.u16(tag) + self.u16(typ) + self.u32(size[value.name])
                    out += self.u32(pos[value.name])
                    continue
                data = self.encode(typ, value, pos, size)
                count = len(data) // SIZES[typ]
                out += self.u16(tag) + self.u16(typ) + self.u32(count)
                if len(data) <= 4:
                    out += data + b"\0" * (4 - len(data))
                else:
                    out += self.u32(values + len(block))
                    block += data + b"\0" * (len(data) & 1)
            out += self.u32(pos[item.next_ifd] if item.next_ifd else 0)
            out += block
        return bytes(out)


# --- image data -----------------------------------------------------------------------------------

def read(inputs, name):
    with open(os.path.join(inputs, name), "rb") as f:
        return f.read()


def mosaic(inputs, bits):
    """64x48 RGGB samples of `bits` bits from the 16-bit RGB picture."""
    rgb = read(inputs, "mosaic.rgb")
    samples = []
    for y in range(48):
        for x in range(64):
            channel = (0 if x % 2 == 0 else 1) if y % 2 == 0 else (1 if x % 2 == 0 else 2)
            (v,) = struct.unpack(">H", rgb[(y * 64 + x) * 6 + channel * 2:][:2])
            samples.append(v >> (16 - bits))
    return samples


def pack(samples, bits, order=">"):
    """Samples packed MSB first without padding (12 or 14 bits), or 16 bits in `order`."""
    if bits == 16:
        return b"".join(struct.pack(order + "H", s) for s in samples)
    out, acc, n = bytearray(), 0, 0
    for s in samples:
        acc, n = (acc << bits) | s, n + bits
        while n >= 8:
            n -= 8
            out.append((acc >> n) & 0xFF)
    if n:
        out.append((acc << (8 - n)) & 0xFF)
    return bytes(out)


def exif(entries=()):
    return Ifd([(33434, RATIONAL, [(1, 125)]), (33437, RATIONAL, [(8, 1)]),
                (34855, SHORT, 200), (36864, UNDEFINED, b"0230"),
                (36867, ASCII, "2023:11:14 22:13:20"), (37386, RATIONAL, [(50, 1)])] +
               list(entries))


# --- the files ------------------------------------------------------------------------------------

def dng_little_endian(i):
    t = Tiff("<", b"II*\0")
    t.add("ifd0", Ifd([
        (254, LONG, 1), (256, LONG, 32), (257, LONG, 24), (258, SHORT, [8, 8, 8]), (259, SHORT, 1),
        (262, SHORT, 2), (271, ASCII, "Canon"), (272, ASCII, "Canon EOS 5D Mark III"),
        (273, LONG, Ref("thumb")), (277, SHORT, 3), (278, LONG, 24), (279, LONG, Len("thumb")),
        (305, ASCII, "Adobe DNG Converter 15.0"), (330, LONG, [Ref("raw"), Ref("preview")]),
        (34665, LONG, Ref("exif")), (50706, BYTE, [1, 4, 0, 0]), (50707, BYTE, [1, 1, 0, 0]),
        (50708, ASCII, "Canon EOS 5D Mark III"),
        (50721, SRATIONAL, [(6722, 10000), (-635, 10000), (-963, 10000), (-4287, 10000),
                            (12460, 10000), (2028, 10000), (-908, 10000), (2162, 10000),
                            (5668, 10000)]),
        (50728, RATIONAL, [(1, 2), (1, 1), (2, 3)]), (50778, SHORT, 21)]))
    t.add("exif", exif())
    t.add("raw", Ifd([
        (254, LONG, 0), (256, LONG, 64), (257, LONG, 48), (258, SHORT, 16), (259, SHORT, 1),
        (262, SHORT, 32803), (273, LONG, Ref("mosaic")), (277, SHORT, 1), (278, LONG, 48),
        (279, LONG, Len("mosaic")), (33421, SHORT, [2, 2]), (33422, BYTE, [0, 1, 1, 2]),
        (50714, LONG, 2048), (50717, LONG, 15000), (50719, LONG, [8, 8]),
        (50720, LONG, [48, 32])]))
    t.add("preview", Ifd([
        (254, LONG, 1), (256, LONG, 160), (257, LONG, 120), (258, SHORT, [8, 8, 8]),
        (259, SHORT, 7), (262, SHORT, 6), (273, LONG, Ref("jpeg")), (277, SHORT, 3),
        (278, LONG, 120), (279, LONG, Len("jpeg"))]))
    t.add("thumb", i["thumb.rgb"])
    t.add("jpeg", i["preview.jpg"])
    t.add("mosaic", pack(mosaic(i["dir"], 16), 16, "<"))
    return t.build()


def dng_big_endian_tiled(i):
    t = Tiff(">", b"MM\0*")
    samples = mosaic(i["dir"], 16)
    tiles = []
    for ty in range(3):
        for tx in range(2):
            tile = [samples[(ty * 16 + y) * 64 + tx * 32 + x] for y in range(16) for x in range(32)]
            tiles.append(pack(tile, 16, ">"))
    xmp = (b'<?xpacket begin="\xef\xbb\xbf" id="W5M0MpCehiHzreSzNTczkc9d"?>'
           b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/'
           b'22-rdf-syntax-ns#"><rdf:Description rdf:about="" xmlns:xmp="http://ns.adobe.com/xap/'
           b'1.0/" xmp:Rating="4"/></rdf:RDF></x:xmpmeta><?xpacket end="w"?>')
    t.add("ifd0", Ifd([
        (254, LONG, 1), (256, LONG, 32), (257, LONG, 24), (258, SHORT, [8, 8, 8]), (259, SHORT, 1),
        (262, SHORT, 2), (271, ASCII, "NIKON CORPORATION"), (272, ASCII, "NIKON D750"),
        (273, LONG, Ref("thumb")), (277, SHORT, 3), (278, LONG, 24), (279, LONG, Len("thumb")),
        (330, LONG, Ref("raw")), (700, BYTE, At("xmp")), (34665, LONG, Ref("exif")),
        (34853, LONG, Ref("gps")), (50706, BYTE, [1, 3, 0, 0]), (50708, ASCII, "Nikon D750")]))
    t.add("raw", Ifd([
        (254, LONG, 0), (256, LONG, 64), (257, LONG, 48), (258, SHORT, 16), (259, SHORT, 1),
        (262, SHORT, 32803), (277, SHORT, 1), (322, SHORT, 32), (323, SHORT, 16),
        (324, LONG, [Ref("tile%d" % n) for n in range(6)]),
        (325, LONG, [Len("tile%d" % n) for n in range(6)]), (33421, SHORT, [2, 2]),
        (33422, BYTE, [0, 1, 1, 2])]))
    t.add("thumb", i["thumb.rgb"])
    for n, tile in enumerate(tiles):
        t.add("tile%d" % n, tile)
    t.add("exif", exif())
    t.add("gps", Ifd([(0, BYTE, [2, 3, 0, 0]), (1, ASCII, "N"),
                      (2, RATIONAL, [(53, 1), (20, 1), (3054, 100)]), (3, ASCII, "W"),
                      (4, RATIONAL, [(6, 1), (15, 1), (4212, 100)])]))
    t.add("xmp", xmp)
    return t.build()


def canon_maker_note(model):
    # Canon's maker note is a plain IFD whose value offsets count from the file's header.
    return Ifd([(1, SHORT, [98] + [100 + n for n in range(48)]), (6, ASCII, model),
                (7, ASCII, "Firmware Version 1.2.3"), (9, ASCII, "Quarvelin Test"),
                (16, LONG, 0x80000285)])


def canon_cr2(i, model, gps):
    t = Tiff("<", b"II*\0", b"CR\x02\0", ["ifd3"])
    ifd0 = [(256, SHORT, 160), (257, SHORT, 120), (258, SHORT, [8, 8, 8]), (259, SHORT, 6),
            (271, ASCII, "Canon"), (272, ASCII, model), (273, LONG, Ref("preview")),
            (274, SHORT, 1), (279, LONG, Len("preview")), (282, RATIONAL, [(72, 1)]),
            (283, RATIONAL, [(72, 1)]), (296, SHORT, 2), (306, ASCII, "2023:11:14 22:13:20"),
            (34665, LONG, Ref("exif"))]
    exif_entries = [(37500, UNDEFINED, At("makernote"))]
    if gps:
        ifd0.append((34853, LONG, Ref("gps")))
        exif_entries.append((40965, LONG, Ref("interop")))
    t.add("ifd0", Ifd(ifd0, "ifd1"))
    t.add("exif", exif(exif_entries))
    t.add("makernote", canon_maker_note(model))
    if gps:
        t.add("interop", Ifd([(1, ASCII, "R98"), (2, UNDEFINED, b"0100")]))
        t.add("gps", Ifd([(0, BYTE, [2, 3, 0, 0]), (1, ASCII, "S"),
                          (2, RATIONAL, [(33, 1), (51, 1), (3120, 100)])]))
    t.add("ifd1", Ifd([(259, SHORT, 6), (513, LONG, Ref("thumbjpeg")),
                       (514, LONG, Len("thumbjpeg"))], "ifd2"))
    t.add("ifd2", Ifd([(256, SHORT, 32), (257, SHORT, 24), (258, SHORT, [8, 8, 8]),
                       (259, SHORT, 1), (262, SHORT, 2), (273, LONG, Ref("rgb")), (277, SHORT, 3),
                       (278, SHORT, 24), (279, LONG, Len("rgb"))], "ifd3"))
    t.add("ifd3", Ifd([(259, SHORT, 6), (273, LONG, Ref("raw")), (279, LONG, Len("raw")),
                       (50752, SHORT, [1, 32, 32])]))
    t.add("preview", i["preview.jpg"])
    t.add("thumbjpeg", i["thumb.jpg"])
    t.add("rgb", i["thumb.rgb"])
    t.add("raw", pack(mosaic(i["dir"], 14), 14))
    return t.build()


def nikon_maker_note(order):
    # Nikon's maker note carries a TIFF header of its own; its offsets count from there.
    inner = Tiff(order, b"MM\0*" if order == ">" else b"II*\0")
    inner.add("ifd", Ifd([(1, UNDEFINED, b"0210"), (2, SHORT, [0, 200]),
                          (4, ASCII, "RAW    "), (5, ASCII, "AUTO        "),
                          (0x93, SHORT, 3)]))
    return b"Nikon\0\x02\x10\0\0" + inner.build()


def nikon_nef(i, order, model, bits):
    t = Tiff(order, b"MM\0*" if order == ">" else b"II*\0")
    t.add("ifd0", Ifd([
        (254, LONG, 1), (256, LONG, 32), (257, LONG, 24), (258, SHORT, [8, 8, 8]), (259, SHORT, 1),
        (262, SHORT, 2), (271, ASCII, "NIKON CORPORATION"), (272, ASCII, model),
        (273, LONG, Ref("thumb")), (277, SHORT, 3), (278, LONG, 24), (279, LONG, Len("thumb")),
        (305, ASCII, "Ver.1.00 "), (330, LONG, [Ref("sub0"), Ref("sub1")]),
        (34665, LONG, Ref("exif"))]))
    t.add("sub0", Ifd([(254, LONG, 1), (259, SHORT, 6), (513, LONG, Ref("preview")),
                       (514, LONG, Len("preview"))]))
    t.add("sub1", Ifd([
        (254, LONG, 0), (256, LONG, 64), (257, LONG, 48), (258, SHORT, bits), (259, SHORT, 1),
        (262, SHORT, 32803), (273, LONG, Ref("raw")), (277, SHORT, 1), (278, LONG, 48),
        (279, LONG, Len("raw")), (33421, SHORT, [2, 2]), (33422, BYTE, [0, 1, 1, 2])]))
    t.add("exif", exif([(37500, UNDEFINED, At("makernote"))]))
    t.add("makernote", nikon_maker_note(order))
    t.add("thumb", i["thumb.rgb"])
    t.add("preview", i["preview.jpg"])
    t.add("raw", pack(mosaic(i["dir"], bits), bits))
    return t.build()


def sony_arw(i, model, compression, bits):
    t = Tiff("<", b"II*\0")
    t.add("ifd0", Ifd([
        (254, LONG, 1), (259, SHORT, 6), (271, ASCII, "SONY"), (272, ASCII, model),
        (274, SHORT, 1), (305, ASCII, model + " v1.00"), (330, LONG, Ref("raw")),
        (513, LONG, Ref("preview")), (514, LONG, Len("preview")), (34665, LONG, Ref("exif"))],
        "ifd1"))
    t.add("ifd1", Ifd([(254, LONG, 1), (259, SHORT, 6), (513, LONG, Ref("thumbjpeg")),
                       (514, LONG, Len("thumbjpeg"))]))
    t.add("exif", exif([(37500, UNDEFINED, At("makernote"))]))
    # Sony's maker note: "SONY DSC " and three zero bytes, then a plain IFD with offsets from the
    # file's header; its preview entry points at the preview outside the note.
    t.add("makernote", Ifd([(0x102, LONG, 5), (0x2001, UNDEFINED, At("preview")),
                            (0xB020, ASCII, "Standard"), (0xB026, LONG, 0)],
                           prefix=b"SONY DSC \0\0\0"))
    data = mosaic(i["dir"], bits)
    if compression == 32767:
        raw = bytes(s >> (bits - 8) for s in data)
    else:
        raw = pack(data, 16, "<")
    t.add("raw", Ifd([
        (254, LONG, 0), (256, LONG, 64), (257, LONG, 48), (258, SHORT, bits),
        (259, SHORT, compression), (262, SHORT, 32803), (273, LONG, Ref("rawdata")),
        (277, SHORT, 1), (278, LONG, 48), (279, LONG, Len("rawdata")), (33421, SHORT, [2, 2]),
        (33422, BYTE, [0, 1, 1, 2])]))
    t.add("thumbjpeg", i["thumb.jpg"])
    t.add("preview", i["preview.jpg"])
    t.add("rawdata", raw)
    return t.build()


def olympus_orf(i, order, magic, make, model):
    t = Tiff(order, magic)
    # The new-style Olympus maker note: "OLYMPUS\0", a byte order, version 3, then an IFD whose
    # offsets count from the note's start; its preview lies inside the note.
    note = Tiff(order, b"OLYMPUS\0" + (b"MM" if order == ">" else b"II") +
                struct.pack(order + "H", 3), plain=True)
    note.add("ifd", Ifd([(0x0000, UNDEFINED, b"0100"), (0x0101, LONG, Ref("jpeg")),
                         (0x0102, LONG, Len("jpeg"))]))
    note.add("jpeg", i["thumb.jpg"])
    body = note.build()
    t.add("ifd0", Ifd([
        (254, LONG, 0), (256, LONG, 64), (257, LONG, 48), (258, SHORT, 12), (259, SHORT, 1),
        (262, SHORT, 1), (271, ASCII, make), (272, ASCII, model), (273, LONG, Ref("raw")),
        (277, SHORT, 1), (278, LONG, 48), (279, LONG, Len("raw")), (34665, LONG, Ref("exif"))]))
    t.add("exif", exif([(37500, UNDEFINED, At("makernote"))]))
    t.add("makernote", body)
    t.add("raw", pack(mosaic(i["dir"], 12), 12))
    return t.build()


def panasonic_rw2(i, model, jpeg_last):
    # Panasonic's header: "IIU\0", the first IFD at 24, and sixteen fixed bytes.
    guid = bytes.fromhex("88e774d8f8251d4d947a6e77822b5d6a")
    t = Tiff("<", b"IIU\0", guid)
    t.add("ifd0", Ifd([
        (0x01, UNDEFINED, b"0340"), (0x02, SHORT, 64), (0x03, SHORT, 48), (0x04, SHORT, 0),
        (0x05, SHORT, 0), (0x06, SHORT, 48), (0x07, SHORT, 64), (0x09, SHORT, 1),
        (0x0A, SHORT, 12), (0x0B, SHORT, 34316), (0x17, SHORT, 200), (0x24, SHORT, 512),
        (0x25, SHORT, 256), (0x26, SHORT, 384), (0x2E, UNDEFINED, At("jpeg")),
        (271, ASCII, "Panasonic"), (272, ASCII, model), (273, LONG, Ref("raw")),
        (274, SHORT, 1), (278, SHORT, 48), (279, LONG, Len("raw")), (280, LONG, Ref("raw")),
        (34665, LONG, Ref("exif"))]))
    t.add("exif", exif())
    raw = pack(mosaic(i["dir"], 12), 12)
    if jpeg_last:
        t.add("raw", raw)
        t.add("jpeg", i["preview.jpg"])
    else:
        t.add("jpeg", i["preview.jpg"])
        t.add("raw", raw)
    return t.build()


def main():
    inputs, out = sys.argv[1], sys.argv[2]
    i = {name: read(inputs, name) for name in ("preview.jpg", "thumb.jpg", "thumb.rgb")}
    i["dir"] = inputs
    files = {
        "dng_little_endian_raw_subifd.dng": dng_little_endian(i),
        "dng_big_endian_tiles_xmp_last.dng": dng_big_endian_tiled(i),
        "canon_cr2_four_ifds.cr2": canon_cr2(i, "Canon EOS 5D Mark III", False),
        "canon_cr2_gps_interop_ifds.cr2": canon_cr2(i, "Canon EOS 6D", True),
        "nikon_big_endian_12bit.nef": nikon_nef(i, ">", "NIKON D200", 12),
        "nikon_little_endian_14bit.nef": nikon_nef(i, "<", "NIKON Z 6", 14),
        "sony_compressed_raw_subifd.arw": sony_arw(i, "ILCE-7M3", 32767, 12),
        "sony_uncompressed_16bit.arw": sony_arw(i, "ILCE-7RM4", 1, 16),
        "olympus_iiro_little_endian.orf": olympus_orf(i, "<", b"IIRO", "OLYMPUS IMAGING CORP.",
                                                      "E-M5"),
        "olympus_mmor_big_endian.orf": olympus_orf(i, ">", b"MMOR", "OLYMPUS OPTICAL CO.,LTD",
                                                   "E-1"),
        "panasonic_raw_data_last.rw2": panasonic_rw2(i, "DMC-GH4", False),
        "panasonic_jpeg_after_raw.rw2": panasonic_rw2(i, "DC-G9", True),
    }
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
