#!/usr/bin/env python3
"""Checks the files a scan recovered through the file systems against the list of files on the disk.

  tools/check_named_recovery.py EXPECTED OUTDIR [--disk IMAGE] [--require] [--json]

EXPECTED has one line per file, tab-separated (bench/fs_volume_fill.py writes it):
  volume  state  path  size  sha256  contiguous
volume is the folder the scan puts the volume's files in ("Volume 2 (FAT)"; "-" for a source that is
one volume), state live, deleted or overwritten (deleted and its clusters reused: nothing is owed),
path from the volume's root, contiguous yes/no for deleted FAT and exFAT files ("-" otherwise).

OUTDIR/manifest.jsonl is what the scan wrote. A file is exact when the manifest has it with its bytes,
its state, and under OUTDIR/<Category>/<volume>/<path>. A deleted FAT file whose long name was lost
comes back with '_' for the first character of its name, and so do deleted folders: that counts as
their own name.

Printed per volume and state: expected, exact, right bytes with another state or output name,
different bytes, missing; then the files named by a file system that are on no list, and the carved
files that duplicate a named one (sectors shared with it, or its bytes, alone or with more after them,
once more than the disk holds copies of them). With --require the exit status is 1 when a target is
missed: every live file exact, every deleted NTFS file and every contiguous deleted FAT/exFAT file
exact, no carved duplicate, and with --disk every named file's sectors (as the manifest gives them)
holding the bytes written for it.
"""
import argparse
import bisect
import hashlib
import json
import os
import sys

MANIFEST = "manifest.jsonl"
LISTED = 25  # files listed per kind of miss
COLUMNS = ("expected", "exact", "misplaced", "different", "missing")
# Manifest states that are right for each expected state.
RIGHT_STATES = {"live": {"live"}, "deleted": {"deleted"},
                "overwritten": {"deleted", "deleted, possibly overwritten"}}


def load_expected(path):
    rows = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if not line.strip() or line.startswith("#"):
                continue
            fields = line.rstrip("\n").split("\t")
            if len(fields) != 6 or fields[1] not in RIGHT_STATES:
                sys.exit("check_named_recovery: %s:%d: not volume, state, path, size, sha256, contiguous"
                         % (path, number))
            volume, state, name, size, sha256, contiguous = fields
            rows.append(dict(volume="" if volume == "-" else volume, state=state, path=name, size=int(size),
                             sha256=sha256, contiguous=contiguous))
    return rows


def load_manifest(outdir):
    entries = []
    with open(os.path.join(outdir, MANIFEST), encoding="utf-8") as f:
        for line in f:
            if line.strip():
                entries.append(json.loads(line))
    return entries


def file_system_of(volume):
    """"Volume 2 (FAT)" -> "FAT"; "" when the source is the volume itself."""
    return volume[volume.rfind("(") + 1:-1] if volume.endswith(")") else ""


def volume_folder(entry):
    """The volume folder of a recovered file's output path ("" when there is none)."""
    parts = entry["file"].split("/")
    return parts[1] if len(parts) > 2 and parts[1].startswith("Volume ") else ""


def first_letters_lost(path):
    """The path with every name's first character '_', as deleted FAT names without a long name
    (the file's, or a deleted folder's above it) come back."""
    return "/".join("_" + name[1:] if name else name for name in path.split("/"))


def same_but_first_letters(original, found):
    """Whether `found` is `original` with some names' first character turned into '_'."""
    a, b = original.split("/"), found.split("/")
    return len(a) == len(b) and all(x == y or (y[:1] == "_" and x[1:] == y[1:]) for x, y in zip(a, b))


def expected_group(row):
    """The row of the table a file is counted in."""
    if row["state"] == "deleted" and row["contiguous"] in ("yes", "no"):
        return "deleted, " + ("contiguous" if row["contiguous"] == "yes" else "fragmented")
    return row["state"]


def owed(row):
    """Whether the targets require this file back exact."""
    if row["state"] == "live":
        return True
    return row["state"] == "deleted" and (file_system_of(row["volume"]) == "NTFS" or row["contiguous"] == "yes")


def match(expected, named):
    """For each expected file, its verdict and the manifest entry it was paired with; and the named
    files paired with none. Each named file is paired once, exact pairings first."""
    by_path = {}
    by_lost_letters = {}
    by_name = {}
    for entry in named:
        if entry.get("originalPath"):
            by_path.setdefault((volume_folder(entry), entry["originalPath"]), []).append(entry)
            by_lost_letters.setdefault((volume_folder(entry), first_letters_lost(entry["originalPath"])),
                                       []).append(entry)
            by_name.setdefault((volume_folder(entry), entry["originalPath"].rpartition("/")[2]), []).append(entry)
    used = set()
    verdicts = [None] * len(expected)

    def candidates(row):
        found = by_path.get((row["volume"], row["path"]), [])
        if row["state"] != "live" and file_system_of(row["volume"]) in ("FAT", ""):
            found = found + [e for e in by_lost_letters.get((row["volume"], first_letters_lost(row["path"])), [])
                             if e not in found and same_but_first_letters(row["path"], e["originalPath"])]
        return [e for e in found if id(e) not in used]

    def is_exact(row, entry):
        under = entry["file"].split("/", 1)[1] if "/" in entry["file"] else ""
        own = ((row["volume"] + "/") if row["volume"] else "") + entry["originalPath"].lstrip("/")
        return (entry["sha256"] == row["sha256"] and entry["size"] == row["size"]
                and entry["state"] in RIGHT_STATES[row["state"]] and under == own)

    for exact_pass in (True, False):
        for i, row in enumerate(expected):
            if verdicts[i] is not None:
                continue
            for entry in candidates(row):
                if exact_pass and not is_exact(row, entry):
                    continue
                used.add(id(entry))
                if exact_pass:
                    verdicts[i] = ("exact", entry)
                elif entry["sha256"] == row["sha256"]:
                    verdicts[i] = ("misplaced", entry)
                else:
                    verdicts[i] = ("different", entry)
                break
    for i, row in enumerate(expected):
        if verdicts[i] is None:
            # Under another path: says where a reader put it, for the list of misses.
            base = row["path"].rpartition("/")[2]
            elsewhere = [e for e in by_name.get((row["volume"], base), []) if id(e) not in used]
            verdicts[i] = ("missing", elsewhere[0] if elsewhere else None)
    unexpected = [e for e in named if id(e) not in used]
    return verdicts, unexpected


HEAD = 8  # bytes a named file is indexed by, to find the carves that begin with it


def read_head(outdir, entry, length):
    try:
        with open(os.path.join(outdir, entry["file"]), "rb") as f:
            return f.read(length)
    except OSError:
        return None


def prefix_sha256(outdir, entry, length):
    digest = hashlib.sha256()
    with open(os.path.join(outdir, entry["file"]), "rb") as f:
        digest.update(f.read(length))
    return digest.hexdigest()


def duplicates(expected, named, carved, outdir):
    """Carved files on sectors a named file was recovered from, and carved files holding a named file's
    bytes (all of them, or they and more after) beyond the copies of those bytes the disk holds: a
    carve of the second copy of a photo whose first copy came back by name is no duplicate, a carve of
    a small file out of the record that holds it is."""
    copies = {}
    for row in expected:
        copies[row["sha256"]] = copies.get(row["sha256"], 0) + 1
    for e in named:
        copies[e["sha256"]] = copies.get(e["sha256"], 0) - 1
    by_hash = {e["sha256"]: e for e in named if e["size"] > 0}
    by_head = {}
    for e in by_hash.values():
        head = read_head(outdir, e, HEAD)
        if head is not None and len(head) == min(HEAD, e["size"]):
            by_head.setdefault(head, []).append(e)
    runs = sorted((first, first + count) for e in named for first, count in e.get("sectors", []) if count > 0)
    starts = [r[0] for r in runs]
    ends = []  # the furthest end among runs[0..i], so one bisect answers "does any run reach here"
    for _, end in runs:
        ends.append(max(end, ends[-1]) if ends else end)
    same_bytes, shared_sectors = [], []
    for c in carved:
        held = by_hash.get(c["sha256"]) if c["size"] > 0 else None
        head = read_head(outdir, c, HEAD) if held is None else None
        for k in range(1, len(head or b"") + 1):
            held = next((e for e in by_head.get(head[:k], []) if e["size"] < c["size"]
                         and prefix_sha256(outdir, c, e["size"]) == e["sha256"]), None)
            if held:
                break
        if held:
            copies[held["sha256"]] -= 1
            if copies[held["sha256"]] < 0:
                same_bytes.append(c)
        for first, count in c.get("sectors", []):
            i = bisect.bisect_left(starts, first + count) - 1
            if count > 0 and i >= 0 and ends[i] > first:
                shared_sectors.append(c)
                break
    return same_bytes, shared_sectors


def wrong_sectors(named, disk, sector_size=512):
    """Named files whose sector runs, read from the disk image, do not give the bytes written for
    them: the runs are what keeps carving off a file's sectors."""
    wrong = []
    with open(disk, "rb") as f:
        for e in named:
            if not e.get("sectors"):
                continue  # kept inside the file system's own records
            digest = hashlib.sha256()
            left = e["size"]
            for first, count in e["sectors"]:
                f.seek(first * sector_size)
                piece = f.read(min(count * sector_size, left))
                digest.update(piece)
                left -= len(piece)
            if left or digest.hexdigest() != e["sha256"]:
                wrong.append(e)
    return wrong


def summarise(expected, verdicts):
    table = {}
    for row, (verdict, _) in zip(expected, verdicts):
        line = table.setdefault((row["volume"], expected_group(row)), dict.fromkeys(COLUMNS, 0))
        line["expected"] += 1
        line[verdict] += 1
    return table


def describe(row, verdict, entry):
    text = "%s %s %s (%d bytes)" % (row["volume"] or "volume", expected_group(row), row["path"], row["size"])
    if entry is None:
        return text
    if verdict == "missing":
        return text + " -> only at %s" % entry["file"]
    why = []
    if entry["sha256"] != row["sha256"]:
        why.append("%d bytes, other content" % entry["size"])
    if entry["state"] not in RIGHT_STATES[row["state"]]:
        why.append("state %s" % entry["state"])
    if not why:
        why.append("written as %s" % entry["file"])
    if entry.get("problem"):
        why.append("problem: %s" % entry["problem"])
    return text + " -> " + ", ".join(why)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("expected")
    parser.add_argument("outdir")
    parser.add_argument("--require", action="store_true", help="exit status 1 when a target is missed")
    parser.add_argument("--json", action="store_true", help="print the results as one JSON object")
    parser.add_argument("--disk", help="the scanned image: check that each named file's sectors hold its bytes")
    args = parser.parse_args()

    expected = load_expected(args.expected)
    entries = load_manifest(args.outdir)
    named = [e for e in entries if e.get("foundBy") == "file system"]
    carved = [e for e in entries if e.get("foundBy") == "carving"]
    verdicts, unexpected = match(expected, named)
    same_bytes, shared_sectors = duplicates(expected, named, carved, args.outdir)
    table = summarise(expected, verdicts)
    owed_missed = [(row, v, e) for row, (v, e) in zip(expected, verdicts) if owed(row) and v != "exact"]
    targets = []
    for title, rows in (("every live file exact under its full path", [m for m in owed_missed if
                                                                       m[0]["state"] == "live"]),
                        ("every deleted NTFS file exact", [m for m in owed_missed if m[0]["state"] == "deleted"
                                                           and file_system_of(m[0]["volume"]) == "NTFS"]),
                        ("every contiguous deleted FAT/exFAT file exact",
                         [m for m in owed_missed if m[0]["state"] == "deleted"
                          and file_system_of(m[0]["volume"]) != "NTFS"])):
        targets.append((title + ("" if not rows else " (%d not)" % len(rows)), not rows))
    duplicate_count = len({id(c) for c in same_bytes + shared_sectors})
    targets.append(("no carved duplicate of a named file" + (" (%d)" % duplicate_count if duplicate_count else ""),
                    duplicate_count == 0))
    misread = wrong_sectors(named, args.disk) if args.disk else []
    if args.disk:
        targets.append(("every named file's sectors hold its bytes" + (" (%d do not)" % len(misread) if misread
                                                                         else ""), not misread))

    if args.json:
        print(json.dumps({
            "table": [dict(volume=v, state=s, **line) for (v, s), line in sorted(table.items())],
            "unexpected": [e["file"] for e in unexpected],
            "duplicates": {"same_bytes": [c["file"] for c in same_bytes],
                           "shared_sectors": [c["file"] for c in shared_sectors]},
            "missed": [{"volume": r["volume"], "path": r["path"], "verdict": v} for r, v, _ in owed_missed],
            "wrong_sectors": [e["file"] for e in misread],
            "targets": [{"target": t, "met": m} for t, m in targets]}, indent=1, ensure_ascii=False))
    else:
        print("%-22s %-22s %9s %7s %10s %10s %8s" % ("volume", "state", "expected", "exact", "misplaced",
                                                  "different", "missing"))
        for (volume, state), line in sorted(table.items()):
            print("%-22s %-22s %9d %7d %10d %10d %8d" % ((volume or "-"), state, *(line[c] for c in COLUMNS)))
        print("(misplaced: right bytes, but another state or output name)")
        print("named by a file system: %d, of them on no list: %d; carved: %d, of them duplicating a named "
              "file: %d holding its bytes, %d on its sectors" % (len(named), len(unexpected), len(carved),
                                                          len(same_bytes), len(shared_sectors)))
        if owed_missed:
            print("owed back exact but not:")
            for row, verdict, entry in owed_missed[:LISTED]:
                print("  %s: %s" % (verdict, describe(row, verdict, entry)))
            if len(owed_missed) > LISTED:
                print("  ... and %d more (--json lists them all)" % (len(owed_missed) - LISTED))
        for title, files in (("named but on no list:", unexpected), ("carved, holding a named file's bytes:",
                                                                     same_bytes),
                             ("carved from a named file's sectors:", shared_sectors),
                             ("named, but its sectors hold other bytes:", misread)):
            if files:
                print(title)
                for e in files[:LISTED]:
                    print("  %s (%s, %d bytes)" % (e["file"], e.get("state"), e["size"]))
                if len(files) > LISTED:
                    print("  ... and %d more" % (len(files) - LISTED))
        for text, met in targets:
            print("%s: %s" % ("met" if met else "MISSED", text))
    return 1 if args.require and not all(met for _, met in targets) else 0


if __name__ == "__main__":
    sys.exit(main())
