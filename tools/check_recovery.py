#!/usr/bin/env python3
"""Checks what a scan recovered against the manifest of the disk it scanned (tools/sample_disk.py).

For every file placed on the disk it looks for a carved file under OUTDIR that is byte-identical
(exact) or that begins with all of the file's bytes (complete); otherwise the file is lost.

  tools/check_recovery.py OUTDIR MANIFEST [--json] [--expect-exact jpg,png,...] [--expect-complete]

Exit status 0, unless an expectation is given and not met (then 1).
"""
import argparse
import hashlib
import json
import os
import re
import sys

# (extension, category folder, header) of every signature the scan searches for, in search order.
SIGNATURES = [
    ("jpg", "Images", b"\xff\xd8\xff\xe0"), ("jpg", "Images", b"\xff\xd8\xff\xe1"),
    ("jpg", "Images", b"\xff\xd8\xff\xdb"), ("jpg", "Images", b"\xff\xd8\xff\xee"),
    ("png", "Images", b"\x89PNG\r\n\x1a\n"),
    ("gif", "Images", b"GIF89a"), ("gif", "Images", b"GIF87a"),
    ("bmp", "Images", b"BM"),
    ("tif", "Images", b"II*\x00"), ("tif", "Images", b"MM\x00*"),
    ("webp", "Images", b"RIFF"),
    ("ico", "Images", b"\x00\x00\x01\x00"),
    ("svg", "Images", b"<svg"),
    ("psd", "Images", b"8BPS"),
    ("mp4", "Videos", b"\x00\x00\x00\x14ftyp"), ("mp4", "Videos", b"\x00\x00\x00\x18ftyp"),
    ("mp4", "Videos", b"\x00\x00\x00\x1cftyp"), ("mp4", "Videos", b"\x00\x00\x00\x20ftyp"),
    ("mov", "Videos", b"\x00\x00\x00\x14ftyp"), ("mov", "Videos", b"\x00\x00\x00\x20ftyp"),
    ("3gp", "Videos", b"\x00\x00\x00\x14ftyp"), ("3gp", "Videos", b"\x00\x00\x00\x18ftyp"),
    ("m4v", "Videos", b"\x00\x00\x00\x18ftyp"),
    ("avi", "Videos", b"RIFF"),
    ("mkv", "Videos", b"\x1a\x45\xdf\xa3"), ("webm", "Videos", b"\x1a\x45\xdf\xa3"),
    ("wmv", "Videos", b"\x30\x26\xb2\x75\x8e\x66\xcf\x11"),
    ("flv", "Videos", b"FLV\x01"),
    ("mp3", "Audio", b"\xff\xfb"), ("mp3", "Audio", b"ID3"),
    ("wav", "Audio", b"RIFF"),
    ("flac", "Audio", b"fLaC"),
    ("ogg", "Audio", b"OggS"),
    ("pdf", "Documents", b"%PDF"),
    ("docx", "Documents", b"PK\x03\x04\x14\x00\x06\x00"), ("docx", "Documents", b"PK\x03\x04"),
    ("rtf", "Documents", b"{\\rtf1"),
    ("zip", "Archives", b"PK\x03\x04"),
    ("rar", "Archives", b"Rar!\x1a\x07\x00"),
    ("7z", "Archives", b"7z\xbc\xaf\x27\x1c"),
    ("html", "Code", b"<html"),
    ("xml", "Code", b"<?xml"),
]
CATEGORY = {extension: folder for extension, folder, _ in SIGNATURES}
CARVED_NAME = re.compile(r"^rec_(\d+)_(\d+)\.([0-9a-z]+)$")
KEY = 8  # carved files are indexed by their first bytes; every header is at most this long
CHUNK_SECTORS = 2048  # the scan reads this many sectors at a time and names carves after the chunk
LISTED = 40  # files listed per kind of miss in the table output
HEAD = 32  # bytes of each file kept in memory to rule out candidates without reading them


class Carved:
    def __init__(self, outdir, path):
        self.path = path
        self.relative = os.path.relpath(path, outdir)
        self.folder = self.relative.split(os.sep)[0] if os.sep in self.relative else ""
        name = CARVED_NAME.match(os.path.basename(path))
        self.extension = os.path.splitext(path)[1][1:]
        self.sector = int(name.group(2)) if name else None
        self.size = os.path.getsize(path)
        with open(path, "rb") as f:
            self.head = f.read(HEAD)
        self.prefix_hashes = {}
        self.used = False

    def prefix_sha256(self, length):
        """SHA-256 of the first `length` bytes, read once per length."""
        if length not in self.prefix_hashes:
            digest = hashlib.sha256()
            with open(self.path, "rb") as f:
                left = length
                while left:
                    block = f.read(min(left, 1 << 20))
                    if not block:
                        break
                    digest.update(block)
                    left -= len(block)
            self.prefix_hashes[length] = digest.hexdigest()
        return self.prefix_hashes[length]


def list_carved(outdir):
    carved = []
    for folder, _, names in os.walk(outdir):
        carved += [Carved(outdir, os.path.join(folder, name)) for name in sorted(names)]
    return carved


def match(originals, carved, sector_size=512):
    """Pairs each original with one carved file, each carved file used once.

    Returns one dict per original: status "exact", "complete" or "lost", the carved file and the
    number of bytes it has beyond the original. Copies of one file have the same bytes, so where the
    original's offset is known a carved file named after the chunk holding that offset is paired first,
    and only then may a copy's carve stand in. Exact matches go before complete ones. Larger originals
    choose first: a file may be the start of a larger one (a PDF and its incrementally updated version),
    and every carve that holds the larger one holds the smaller one too.
    """
    index = {}
    for c in carved:
        index.setdefault(c.head[:KEY], []).append(c)
    results = [{"original": o, "status": "lost", "carved": None, "extra": None} for o in originals]
    by_size = sorted(results, key=lambda r: -r["original"]["size"])
    chunk = CHUNK_SECTORS * sector_size

    def distance(o, c):
        """How far the header lies past the start of the chunk the carve is named after."""
        if o.get("offset") is None:
            return 0
        if c.sector is None or o["offset"] < c.sector * sector_size:
            return float("inf")
        return o["offset"] - c.sector * sector_size

    def candidates(o, local):
        head = bytes.fromhex(o["head"])
        found = [c for c in index.get(head[:KEY], []) if not c.used and c.size >= o["size"]
                 and c.head[:len(head)] == head and (not local or distance(o, c) < chunk)]
        return sorted(found, key=lambda c: (distance(o, c), c.extension != o["extension"],
                                            c.folder != CATEGORY.get(o["extension"]), c.path))

    for local in (True, False):
        for exact in (True, False):
            for result in by_size:
                o = result["original"]
                if result["status"] != "lost" or (local and o.get("offset") is None):
                    continue
                for c in candidates(o, local):
                    if (c.size == o["size"]) == exact and c.prefix_sha256(o["size"]) == o["sha256"]:
                        c.used = True
                        result.update(status="exact" if exact else "complete", carved=c,
                                      extra=c.size - o["size"])
                        break
    # For a lost file, a carve that starts like it in its chunk tells a cut-short file from a missed one.
    for result in results:
        o = result["original"]
        if result["status"] == "lost" and o.get("offset") is not None:
            near = [c for c in index.get(bytes.fromhex(o["head"])[:KEY], []) if distance(o, c) < chunk]
            result["near"] = min(near, key=lambda c: distance(o, c)) if near else None
    return results


def describe(o):
    where = o["area"]
    if o["area"] == "fat":
        where += " deleted" if o["deleted"] else " live"
    if o.get("offset") is not None:
        where += " @%d" % o["offset"]
    return "%s %s (%d bytes)" % (where, o["name"], o["size"])


def summarise(results):
    table = {}
    for r in results:
        row = table.setdefault(r["original"]["extension"], {"files": 0, "exact": 0, "complete": 0, "lost": 0})
        row["files"] += 1
        row[r["status"]] += 1
    totals = {k: sum(row[k] for row in table.values()) for k in ("files", "exact", "complete", "lost")}
    return dict(sorted(table.items())), totals


def failures(results, expect_exact, expect_complete):
    """The files that miss the expectations: lost ones, and those that must be exact but are not."""
    return [r for r in results if (expect_complete and r["status"] == "lost")
            or (r["original"]["extension"] in expect_exact and r["status"] != "exact")]


def print_list(title, results):
    if results:
        print(title)
        for r in results[:LISTED]:
            carved = ""
            if r["carved"]:
                carved = " -> %s, %d bytes more" % (r["carved"].relative, r["extra"])
            elif r.get("near"):
                carved = " -> %s starts alike, %d bytes" % (r["near"].relative, r["near"].size)
            print("  " + describe(r["original"]) + carved)
        if len(results) > LISTED:
            print("  ... and %d more (--json lists them all)" % (len(results) - LISTED))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("outdir")
    parser.add_argument("manifest")
    parser.add_argument("--json", action="store_true", help="print the results as one JSON object")
    parser.add_argument("--expect-exact", default="", help="extensions whose every file must come back exact")
    parser.add_argument("--expect-complete", action="store_true", help="fail when any file is lost")
    args = parser.parse_args()

    with open(args.manifest) as f:
        manifest = json.load(f)
    carved = list_carved(args.outdir)
    results = match(manifest["files"], carved, manifest.get("sector_size", 512))
    table, totals = summarise(results)
    expect_exact = {e.strip() for e in args.expect_exact.split(",") if e.strip()}
    missed = failures(results, expect_exact, args.expect_complete)
    matched = sum(1 for c in carved if c.used)

    if args.json:
        files = [dict(name=r["original"]["name"], extension=r["original"]["extension"], area=r["original"]["area"],
                      offset=r["original"].get("offset"), deleted=r["original"].get("deleted"), status=r["status"],
                      carved=r["carved"].relative if r["carved"] else None, extra=r["extra"],
                      near=r["near"].relative if r.get("near") else None) for r in results]
        print(json.dumps({"extensions": table, "totals": totals, "carved": len(carved), "carved_matched": matched,
                          "files": files, "missed": [r["original"]["name"] for r in missed]}, indent=1))
    else:
        print("%-10s %6s %6s %9s %6s" % ("extension", "files", "exact", "complete", "lost"))
        for extension, row in list(table.items()) + [("total", totals)]:
            print("%-10s %6d %6d %9d %6d" % (extension, row["files"], row["exact"], row["complete"], row["lost"]))
        print("carved files: %d, %d of them match a file on the disk" % (len(carved), matched))
        print_list("lost files:", [r for r in results if r["status"] == "lost"])
        print_list("not exact:", [r for r in missed if r["status"] == "complete"])
        if missed:
            print("FAILED: %d files miss the expectations" % len(missed))
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
