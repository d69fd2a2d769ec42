#!/usr/bin/env python3
"""Checks what a scan recovered against the manifest of the disk it scanned (tools/sample_disk.py).

For every file placed on the disk it looks for a carved file under OUTDIR that is byte-identical
(exact) or that begins with all of the file's bytes (complete); otherwise the file is lost. A file
that came back exact or complete under another extension than its own, or in another category
folder, also counts as a wrong extension. A carved file that is neither equal to a file on the disk
nor begins with all of one's bytes is a false output. The types and their category folders come from
`quarvelin-cli types --json` (--cli PATH, or $QUARVELIN_CLI, default build/native/bin/quarvelin-cli).

  tools/check_recovery.py OUTDIR MANIFEST [--json] [--cli PATH] [--expect-exact jpg,png,...]
                          [--expect-complete] [--target-exact 95] [--target-type-exact 90]
                          [--target-complete 100] [--target-false 5]

Exit status 0, unless an expectation or target is given and not met (then 1); 2 when the type table
cannot be read.
"""
import argparse
import hashlib
import json
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_CLI = os.path.join(ROOT, "build", "native", "bin", "quarvelin-cli")


def load_table(cli):
    """The scanner's own table, one (extension, category folder, headers, headers matched whatever the
    letter case, in lower case) per type, from `types --json`; from the plain listing (extension, name,
    category a line) of a quarvelin-cli without it, with no headers."""
    try:
        listed = subprocess.run([cli, "types", "--json"], capture_output=True, text=True)
        if listed.returncode == 0:
            return [(t["extension"], t["category"], [bytes.fromhex(h) for h in t.get("headers", [])],
                     [bytes.fromhex(h) for h in t.get("headersIgnoringCase", [])]) for t in json.loads(listed.stdout)]
        listed = subprocess.run([cli, "types"], check=True, capture_output=True, text=True)
        return [(line.split()[0], line.split()[-1], [], []) for line in listed.stdout.splitlines() if line.strip()]
    except (OSError, subprocess.CalledProcessError, ValueError, KeyError, TypeError) as e:
        sys.exit("check_recovery: cannot read the type table from '%s types --json': %s" % (cli, e))


def load_types(cli):
    """Extension -> category folder."""
    return {extension: category for extension, category, _, _ in load_table(cli)}


def only_when_selected(cli):
    """The extensions a scan carves only when they are asked for (plain text): nothing of theirs is
    expected back from a scan of every type."""
    try:
        listed = subprocess.run([cli, "types", "--json"], capture_output=True, text=True, check=True)
        return {t["extension"] for t in json.loads(listed.stdout) if t.get("onlyWhenSelected")}
    except (OSError, subprocess.CalledProcessError, ValueError, KeyError, TypeError):
        return set()


# Extensions of one format whose content does not tell which a file had: a database comes back as
# .sqlite whether it was saved as .db or .sqlite.
SAME_CONTENT = [{"db", "sqlite"}]


def same_extension(a, b):
    return a == b or any(a in names and b in names for names in SAME_CONTENT)


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


MANIFEST = "manifest.jsonl"
PROGRESS = "scan-progress.json"


def list_carved(outdir):
    """Every recovered file under OUTDIR; the scan's manifest and progress beside them are not."""
    carved = []
    for folder, _, names in os.walk(outdir):
        carved += [Carved(outdir, os.path.join(folder, name)) for name in sorted(names)
                   if not (folder == outdir and name in (MANIFEST, PROGRESS))]
    return carved


def match(originals, carved, sector_size=512, categories=None):
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
        return sorted(found, key=lambda c: (distance(o, c), not same_extension(c.extension, o["extension"]),
                                            c.folder != (categories or {}).get(o["extension"]), c.path))

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


def false_outputs(originals, carved):
    """Carved files left unpaired that are neither equal to a file on the disk nor begin with one."""
    by_head = {}
    for o in originals:
        by_head.setdefault(bytes.fromhex(o["head"])[:KEY], []).append(o)
    false = []
    for c in carved:
        if c.used:
            continue
        alike = [o for o in by_head.get(c.head[:KEY], []) if o["size"] <= c.size
                 and c.head[:len(bytes.fromhex(o["head"]))] == bytes.fromhex(o["head"])]
        if not any(c.prefix_sha256(o["size"]) == o["sha256"] for o in alike):
            false.append(c)
    return false


def wrong_extension(result, categories):
    c = result["carved"]
    o = result["original"]
    return c is not None and (not same_extension(c.extension, o["extension"]) or
                              c.folder != categories.get(o["extension"]))


COLUMNS = ("files", "exact", "complete", "lost", "wrong_extension", "false")


def summarise(results, false, categories):
    table = {}

    def row(extension):
        return table.setdefault(extension, dict.fromkeys(COLUMNS, 0))

    for r in results:
        line = row(r["original"]["extension"])
        line["files"] += 1
        line[r["status"]] += 1
        line["wrong_extension"] += wrong_extension(r, categories)
    for c in false:
        row(c.extension)["false"] += 1
    totals = {k: sum(line[k] for line in table.values()) for k in COLUMNS}
    return dict(sorted(table.items())), totals


def percent(part, whole):
    return 100.0 * part / whole if whole else 100.0


def targets(table, totals, args):
    """(description, met) for every target given."""
    checks = []
    files = totals["files"]
    if args.target_exact is not None:
        value = percent(totals["exact"], files)
        checks.append(("%.1f %% of all files exact (target at least %g %%)" % (value, args.target_exact),
                       value >= args.target_exact))
    if args.target_complete is not None:
        value = percent(totals["exact"] + totals["complete"], files)
        checks.append(("%.1f %% of all files at least complete (target at least %g %%)"
                       % (value, args.target_complete), value >= args.target_complete))
    if args.target_type_exact is not None:
        low = sorted((percent(row["exact"], row["files"]), extension)
                     for extension, row in table.items() if row["files"])
        below = ["%s %.1f %%" % (extension, value) for value, extension in low if value < args.target_type_exact]
        checks.append(("no type below %g %% exact%s" % (args.target_type_exact,
                                                          ": " + ", ".join(below) if below else ""), not below))
    if args.target_false is not None:
        value = percent(totals["false"], files) if files else 0.0
        checks.append(("%.1f %% false outputs for the files on the disk (target under %g %%)"
                       % (value, args.target_false), value < args.target_false))
    return checks


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
    parser.add_argument("--cli", default=os.environ.get("QUARVELIN_CLI", DEFAULT_CLI),
                        help="quarvelin-cli to read the type table from")
    parser.add_argument("--expect-exact", default="", help="extensions whose every file must come back exact")
    parser.add_argument("--expect-complete", action="store_true", help="fail when any file is lost")
    parser.add_argument("--target-exact", type=float, help="least percentage of all files to come back exact")
    parser.add_argument("--target-type-exact", type=float, help="least percentage exact for every type")
    parser.add_argument("--target-complete", type=float,
                        help="least percentage of all files to come back exact or complete")
    parser.add_argument("--target-false", type=float,
                        help="false outputs must stay under this percentage of the files on the disk")
    args = parser.parse_args()

    categories = load_types(args.cli)
    with open(args.manifest) as f:
        manifest = json.load(f)
    # Files of no carvable type (a PostScript file placed after a PDF) are on the disk to be in the
    # way; nothing is expected back for them, but a carve of one is no false output either.
    # Nor for the types a scan carves only when asked for.
    unasked = only_when_selected(args.cli)
    originals = [o for o in manifest["files"] if o["extension"] in categories and o["extension"] not in unasked]
    carved = list_carved(args.outdir)
    results = match(originals, carved, manifest.get("sector_size", 512), categories)
    false = false_outputs(manifest["files"], carved)
    table, totals = summarise(results, false, categories)
    expect_exact = {e.strip() for e in args.expect_exact.split(",") if e.strip()}
    missed = failures(results, expect_exact, args.expect_complete)
    checks = targets(table, totals, args)
    matched = sum(1 for c in carved if c.used)

    if args.json:
        files = [dict(name=r["original"]["name"], extension=r["original"]["extension"], area=r["original"]["area"],
                      offset=r["original"].get("offset"), deleted=r["original"].get("deleted"), status=r["status"],
                      carved=r["carved"].relative if r["carved"] else None, extra=r["extra"],
                      wrong_extension=wrong_extension(r, categories),
                      near=r["near"].relative if r.get("near") else None) for r in results]
        print(json.dumps({"extensions": table, "totals": totals, "carved": len(carved), "carved_matched": matched,
                          "false_outputs": sorted(c.relative for c in false), "files": files,
                          "missed": [r["original"]["name"] for r in missed],
                          "targets": [{"target": text, "met": met} for text, met in checks]}, indent=1))
    else:
        header = ("type", "files", "exact", "complete", "lost", "wrong ext", "false", "exact %")
        print("%-10s %6s %6s %9s %6s %10s %6s %8s" % header)
        for extension, row in list(table.items()) + [("total", totals)]:
            print("%-10s %6d %6d %9d %6d %10d %6d %8s" % (
                extension, row["files"], row["exact"], row["complete"], row["lost"], row["wrong_extension"],
                row["false"], "%.1f" % percent(row["exact"], row["files"]) if row["files"] else "-"))
        files = totals["files"]
        print("of %d files: %.1f %% exact, %.1f %% complete (not exact), %.1f %% lost, %.1f %% under a wrong "
              "extension; %d false outputs (%.1f %% of the files)" % (
                  files, percent(totals["exact"], files), percent(totals["complete"], files),
                  percent(totals["lost"], files), percent(totals["wrong_extension"], files), totals["false"],
                  percent(totals["false"], files)))
        print("carved files: %d, %d of them paired with a file on the disk" % (len(carved), matched))
        print_list("lost files:", [r for r in results if r["status"] == "lost"])
        print_list("not exact:", [r for r in results if r["status"] == "complete"])
        print_list("wrong extension:", [r for r in results if wrong_extension(r, categories)])
        if false:
            print("false outputs:")
            for c in false[:LISTED]:
                print("  %s (%d bytes)" % (c.relative, c.size))
            if len(false) > LISTED:
                print("  ... and %d more (--json lists them all)" % (len(false) - LISTED))
        for text, met in checks:
            print("%s: %s" % ("met" if met else "NOT MET", text))
        if missed:
            print("FAILED: %d files miss the expectations" % len(missed))
    return 1 if missed or not all(met for _, met in checks) else 0


if __name__ == "__main__":
    sys.exit(main())
