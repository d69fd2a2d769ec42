#!/usr/bin/env python3
"""Figures from a failing drive's read log ("offset length ok|fail" per request) for
bench/failing_drive.sh, and the making and checking of the images it serves.

  read_log.py counts LOG [--bad FILE]
      total reads, failed reads, largest request, and with --bad the most times any bad sector
      was read (a failed request counts as a read of each bad sector it touches)
  read_log.py cover LOG --size BYTES --bad FILE
      failed reads done before every readable sector had been read at least once ("never" when
      some readable sector was never read)
  read_log.py reread LOG...
      sectors read successfully more than once over all the logs (whole in each request)
  read_log.py recovered SOURCE IMAGE --bad FILE
      readable sectors whose bytes on IMAGE match SOURCE, of all readable sectors
  read_log.py make-source OUT --size BYTES --files DIR [--seed N]
      real sample files one after another, each at a sector boundary, with random filler between;
      prints how many files were laid
Bad-sector files hold "first count" lines in 512-byte sectors.
"""

import argparse
import os
import random
import sys

SECTOR = 512


def read_bad(path):
    ranges = []
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].split()
            if line:
                first, count = int(line[0]), int(line[1])
                ranges.append((first, first + count))
    return sorted(ranges)


def bad_mask(ranges, sectors):
    mask = bytearray(sectors)
    for first, end in ranges:
        first, end = max(first, 0), min(end, sectors)
        if first < end:
            mask[first:end] = b"\1" * (end - first)
    return mask


def requests(path):
    with open(path) as f:
        for line in f:
            fields = line.split()
            if len(fields) == 3:
                offset, length = int(fields[0]), int(fields[1])
                yield offset // SECTOR, -(-(offset + length) // SECTOR), fields[2] == "ok", length


def counts(args):
    total = failed = largest = 0
    per_bad = {}
    ranges = read_bad(args.bad) if args.bad else []
    for first, end, ok, length in requests(args.log):
        total += 1
        largest = max(largest, length)
        if not ok:
            failed += 1
            for bad_first, bad_end in ranges:
                for s in range(max(first, bad_first), min(end, bad_end)):
                    per_bad[s] = per_bad.get(s, 0) + 1
    most = max(per_bad.values()) if per_bad else 0
    print(f"{total} {failed} {largest} {most}")


def cover(args):
    sectors = -(-args.size // SECTOR)
    covered = bad_mask(read_bad(args.bad), sectors)  # bad sectors need no reading
    missing = sectors - sum(covered)
    failed = 0
    for first, end, ok, _ in requests(args.log):
        if not ok:
            failed += 1
            continue
        end = min(end, sectors)
        if first >= end:
            continue
        missing -= (end - first) - sum(covered[first:end])
        covered[first:end] = b"\1" * (end - first)
        if missing == 0:
            print(failed)
            return
    print("never" if missing else failed)


def reread(args):
    # Counts only the sectors a request holds whole: a read into a buffer that is not page-aligned
    # reaches the drive split at a page boundary inside a sector, which both halves then touch.
    seen = {}
    for log in args.logs:
        with open(log) as f:
            for line in f:
                fields = line.split()
                if len(fields) == 3 and fields[2] == "ok":
                    offset, length = int(fields[0]), int(fields[1])
                    for s in range(-(-offset // SECTOR), (offset + length) // SECTOR):
                        seen[s] = seen.get(s, 0) + 1
    print(sum(1 for n in seen.values() if n > 1))


def recovered(args):
    size = os.path.getsize(args.source)
    sectors = -(-size // SECTOR)
    bad = bad_mask(read_bad(args.bad), sectors)
    readable = sectors - sum(bad)
    good = 0
    step = 2048
    with open(args.source, "rb") as src, open(args.image, "rb") as img:
        for base in range(0, sectors, step):
            a = src.read(step * SECTOR)
            b = img.read(step * SECTOR)
            if a == b:
                good += len(range(base, min(base + step, sectors))) - sum(bad[base:base + step])
                continue
            for i in range(0, len(a), SECTOR):
                s = base + i // SECTOR
                if not bad[s] and a[i:i + SECTOR] == b[i:i + SECTOR]:
                    good += 1
    print(f"{good} {readable}")


def make_source(args):
    rng = random.Random(args.seed)
    names = sorted(os.listdir(args.files))
    blobs = []
    for name in names:
        path = os.path.join(args.files, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                blobs.append(f.read())
    laid = 0
    written = 0
    with open(args.out, "wb") as out:
        while True:
            for blob in blobs:
                gap = rng.randrange(8, 257) * SECTOR
                if written + gap + len(blob) > args.size:
                    out.write(rng.randbytes(args.size - written))
                    print(laid)
                    return
                out.write(rng.randbytes(gap))
                out.write(blob)
                written += gap + len(blob)
                pad = -written % SECTOR
                out.write(rng.randbytes(pad))
                written += pad
                laid += 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("counts")
    p.add_argument("log")
    p.add_argument("--bad")
    p.set_defaults(run=counts)
    p = sub.add_parser("cover")
    p.add_argument("log")
    p.add_argument("--size", type=int, required=True)
    p.add_argument("--bad", required=True)
    p.set_defaults(run=cover)
    p = sub.add_parser("reread")
    p.add_argument("logs", nargs="+")
    p.set_defaults(run=reread)
    p = sub.add_parser("recovered")
    p.add_argument("source")
    p.add_argument("image")
    p.add_argument("--bad", required=True)
    p.set_defaults(run=recovered)
    p = sub.add_parser("make-source")
    p.add_argument("out")
    p.add_argument("--size", type=int, required=True)
    p.add_argument("--files", required=True)
    p.add_argument("--seed", type=int, default=1)
    p.set_defaults(run=make_source)
    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    sys.exit(main())
