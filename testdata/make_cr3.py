#!/usr/bin/env python3
"""Writes a small Canon CR3 raw file from its published layout; no tool outside Canon's writes one.

    make_cr3.py PREVIEW.jpg THUMB.jpg OUT.cr3 [TRACKS]

ftyp "crx " + moov (Canon's uuid box with CNCV, CCTP, CTBO, CMT1..CMT4 TIFF blocks and THMB, then
mvhd and TRACKS trak boxes) + the XMP uuid box + the preview uuid box (PRVW) + mdat. Track 1 is the
full-size JPEG (PREVIEW), the others stand in for the raw planes and the timed metadata (CTMD);
each track's stsz/co64 point at its sample in mdat. Everything is deterministic.
"""
import struct
import sys

CANON = bytes.fromhex("85c0b687820f11e08111f4ce462b6a48")
XMP = bytes.fromhex("be7acfcb97a942e89c71999491e3afac")
PREVIEW = bytes.fromhex("eaf42b5e1c984b88b9fbb7dc406e4d16")


def box(kind, body):
    return struct.pack(">I4s", 8 + len(body), kind) + body


def full(kind, version, flags, body):
    return box(kind, struct.pack(">I", (version << 24) | flags) + body)


def uuid(ident, body):
    return box(b"uuid", ident + body)


def tiff(entries):
    """A little-endian TIFF block: one IFD of ASCII entries (tag, text)."""
    ifd_at = 8
    data_at = ifd_at + 2 + 12 * len(entries) + 4
    ifd, data = b"", b""
    for tag, text in entries:
        value = text.encode() + b"\0"
        if len(value) <= 4:
            ifd += struct.pack("<HHI4s", tag, 2, len(value), value.ljust(4, b"\0"))
        else:
            ifd += struct.pack("<HHII", tag, 2, len(value), data_at + len(data))
            data += value + (b"\0" if len(value) % 2 else b"")
    return b"II*\0" + struct.pack("<I", ifd_at) + struct.pack("<H", len(entries)) + ifd + b"\0" * 4 + data


def trak(number, handler, entry, size, offset):
    tkhd = full(b"tkhd", 0, 3, struct.pack(">IIIII", 0, 0, number, 0, 1) + b"\0" * 60)
    mdhd = full(b"mdhd", 0, 0, struct.pack(">IIIIHH", 0, 0, 1, 1, 0x55C4, 0))
    hdlr = full(b"hdlr", 0, 0, b"\0" * 4 + handler + b"\0" * 12 + b"\0")
    stsd = full(b"stsd", 0, 0, struct.pack(">I", 1) + box(entry, b"\0" * 6 + struct.pack(">H", 1) + b"\0" * 16))
    stts = full(b"stts", 0, 0, struct.pack(">III", 1, 1, 1))
    stsc = full(b"stsc", 0, 0, struct.pack(">IIII", 1, 1, 1, 1))
    stsz = full(b"stsz", 0, 0, struct.pack(">III", size, 1, size))
    co64 = full(b"co64", 0, 0, struct.pack(">IQ", 1, offset))
    stbl = box(b"stbl", stsd + stts + stsc + stsz + co64)
    dinf = box(b"dinf", full(b"dref", 0, 0, struct.pack(">I", 1) + full(b"url ", 0, 1, b"")))
    media_header = full(b"vmhd", 0, 1, b"\0" * 8) if handler == b"vide" else full(b"nmhd", 0, 0, b"")
    return box(b"trak", tkhd + box(b"mdia", mdhd + hdlr + box(b"minf", media_header + dinf + stbl)))


def build(preview, thumb, tracks):
    ftyp = box(b"ftyp", b"crx " + struct.pack(">I", 1) + b"crx isom")
    xmp = uuid(XMP, b'<?xpacket begin="\xef\xbb\xbf" id="W5M0MpCehiHzreSzNTczkc9d"?>'
               b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/'
               b'02/22-rdf-syntax-ns#"/></x:xmpmeta><?xpacket end="w"?>')
    # PRVW: a header (unknown word, width, height, unknown, size) then a JPEG.
    prvw = uuid(PREVIEW, struct.pack(">II", 0, 1) + box(b"PRVW", struct.pack(">IHHHI", 0, 160, 120, 1, len(thumb)) + thumb))
    # The samples: the JPEG, then stand-ins for the raw planes, then timed metadata.
    samples = [preview] + [bytes((i * 37 + k * 11) & 0xFF for i in range(640)) for k in range(tracks - 2)]
    samples.append(b"\0" * 4 + b"CTMD" + bytes(range(48)))
    samples = samples[:tracks]

    def moov(ctbo):
        canon = uuid(CANON,
                     box(b"CNCV", b"CanonCR3_001/00.09.00/00.00.00")
                     + box(b"CCTP", struct.pack(">III", 0, 1, tracks) + b"".join(
                         box(b"CCDT", struct.pack(">QII", 0x10 if t == 0 else 1, 0, t + 1)) for t in range(tracks)))
                     + box(b"CTBO", ctbo)
                     + box(b"free", b"\0" * 8)
                     + box(b"CMT1", tiff([(0x010F, "Canon"), (0x0110, "Canon EOS R6"), (0x0132, "2023:11:14 22:13:20")]))
                     + box(b"CMT2", tiff([(0x9003, "2023:11:14 22:13:20")]))
                     + box(b"CMT3", tiff([(0x0006, "Canon EOS R6")]))
                     + box(b"CMT4", tiff([(0x0001, "N")]))
                     + box(b"THMB", struct.pack(">IHHIHH", 0, 160, 120, len(thumb), 1, 0) + thumb))
        mvhd = full(b"mvhd", 0, 0, struct.pack(">IIII", 0, 0, 1, 1) + b"\0" * 80 + struct.pack(">I", tracks + 1))
        offsets, at = [], mdat_at + 8
        for sample in samples:
            offsets.append(at)
            at += len(sample)
        traks = b"".join(
            trak(t + 1, b"vide" if t < tracks - 1 else b"meta", b"CRAW" if t < tracks - 1 else b"CTMD",
                 len(samples[t]), offsets[t]) for t in range(tracks))
        return box(b"moov", canon + mvhd + traks)

    def ctbo(at):
        # Where the XMP, the preview, the media and a reserved area lie: index, offset, size.
        xmp_at, prvw_at, mdat = at, at + len(xmp), at + len(xmp) + len(prvw)
        rows = [(1, xmp_at, len(xmp)), (2, prvw_at, len(prvw)), (3, mdat, 8 + sum(map(len, samples))), (4, 0, 0)]
        return struct.pack(">I", len(rows)) + b"".join(struct.pack(">IQQ", *r) for r in rows)

    # The movie box's size does not depend on the offsets it holds: lay it out twice.
    mdat_at = 0
    first = moov(ctbo(0))
    after_moov = len(ftyp) + len(first)
    mdat_at = after_moov + len(xmp) + len(prvw)
    movie = moov(ctbo(after_moov))
    assert len(movie) == len(first)
    return ftyp + movie + xmp + prvw + box(b"mdat", b"".join(samples))


def main():
    preview, thumb, out = sys.argv[1:4]
    tracks = int(sys.argv[4]) if len(sys.argv) > 4 else 4
    with open(preview, "rb") as f:
        preview_bytes = f.read()
    with open(thumb, "rb") as f:
        thumb_bytes = f.read()
    with open(out, "wb") as f:
        f.write(build(preview_bytes, thumb_bytes, tracks))


if __name__ == "__main__":
    main()
