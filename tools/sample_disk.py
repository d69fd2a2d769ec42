#!/usr/bin/env python3
"""Builds a sample disk image out of testdata/files, and a JSON manifest of every file placed on it.

The image is an optional FAT file system (mkfs.fat and mtools) in which about half of the files have
been deleted, followed by a raw area in which the files lie at random sector-aligned offsets, in random
order, between gaps of random or zeroed bytes: what a carver meets on a used drive. The same seed and
the same files give the same image, byte for byte.

Extra folders (--extra DIR, any number) add files that are placed once in each area, not copied to
fill the FAT: large files made for a benchmark. The files in a subfolder of an extra folder are
written back to back in the raw area, in name order, each from the sector after the previous one
ends (a PDF followed by a PostScript file, say); files of types no scan carves may be among them.

  tools/sample_disk.py --out disk.img --manifest disk.json --seed 7 [--types jpg,png] [--extra DIR]...
                       [--raw-mib N] [--fat-mib N [--fat32] [--fat-fill F]]
"""
import argparse
import hashlib
import json
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile

SECTOR = 512
MIB = 1 << 20
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ["DCIM/100MEDIA", "Documents/Letters", "Music", "Videos", "Downloads", "Backup/Old Files"]
# Fixed stamps so that mkfs.fat and mtools write the same bytes on every run.
VOLUME_ID = "51A3C0DE"
SOURCE_DATE_EPOCH = "1561000000"
BATCH = 400  # paths per mtools call, well inside the argument-length limit


def load_files(folder, types):
    files = []
    for name in sorted(os.listdir(folder)):
        extension = os.path.splitext(name)[1][1:].lower()
        path = os.path.join(folder, name)
        if os.path.isfile(path) and extension and (not types or extension in types):
            with open(path, "rb") as f:
                files.append((name, extension, f.read()))
    return files


def load_groups(folder, types):
    """Each subfolder's files, in name order; a group is kept whole when any of its files is selected."""
    groups = []
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.isdir(path):
            group = load_files(path, set())
            if group and (not types or any(extension in types for _, extension, _ in group)):
                groups.append(group)
    return groups


def entry(name, source, extension, data, area, offset, deleted):
    return {"name": name, "source": source, "extension": extension, "size": len(data),
            "sha256": hashlib.sha256(data).hexdigest(), "head": data[:32].hex(),
            "area": area, "offset": offset, "deleted": deleted}


def gap_sectors(rng):
    """Mostly short gaps, some of a few hundred sectors, and a few over a megabyte, so that files land in
    the same chunk as their neighbours, in chunks of their own, and across chunk boundaries."""
    roll = rng.random()
    if roll < 0.5:
        return rng.randint(1, 8)
    if roll < 0.9:
        return rng.randint(9, 512)
    return rng.randint(2048, 4096)


def write_gap(out, pos, length, rng):
    """Fills length bytes and the rest of the sector they end in (which also covers the slack after the
    previous file). Free space is often zeroed on real disks, so some gaps are zeros."""
    length += -(pos + length) % SECTOR
    out.write(bytes(length) if rng.random() < 0.3 else rng.randbytes(length))
    return pos + length


def write_raw_area(out, start, units, rng, raw_bytes):
    """Writes each unit (a list of files kept back to back) after a gap, in random order."""
    order = list(units)
    rng.shuffle(order)
    entries = []
    pos = start
    for unit in order:
        pos = write_gap(out, pos, gap_sectors(rng) * SECTOR, rng)
        for i, (name, extension, data) in enumerate(unit):
            if i:  # the next file of a group starts in the sector after, the slack zeroed
                slack = -pos % SECTOR
                out.write(bytes(slack))
                pos += slack
            entries.append(entry(name, name, extension, data, "raw", pos, None))
            out.write(data)
            pos += len(data)
    pos = write_gap(out, pos, SECTOR, rng)
    end = start + raw_bytes if raw_bytes else pos
    if pos > end:
        sys.exit("sample_disk: the files need %d MiB of raw area, more than --raw-mib" % -(-(pos - start) // MIB))
    while pos < end:
        pos = write_gap(out, pos, min(MIB, end - pos), rng)
    return entries


def mtools(*args):
    subprocess.run(list(args), check=True, stdout=subprocess.DEVNULL,
                   env=dict(os.environ, MTOOLS_SKIP_CHECK="1", SOURCE_DATE_EPOCH=SOURCE_DATE_EPOCH))


def batches(items):
    return [items[i:i + BATCH] for i in range(0, len(items), BATCH)]


def data_region(image):
    """Byte offset of cluster 2 and the cluster size, from the boot sector."""
    with open(image, "rb") as f:
        boot = f.read(SECTOR)
    per_sector, per_cluster, reserved, fats, root_entries = struct.unpack_from("<HBHBH", boot, 11)
    fat_sectors = struct.unpack_from("<H", boot, 22)[0] or struct.unpack_from("<I", boot, 36)[0]
    root_sectors = -(-root_entries * 32 // per_sector)
    return (reserved + fats * fat_sectors + root_sectors) * per_sector, per_cluster * per_sector


def cluster_offsets(image, paths):
    """Byte offset of each file whose clusters form one run; None for a fragmented file."""
    start, cluster = data_region(image)
    offsets = {}
    for batch in batches(paths):
        listing = subprocess.run(["mshowfat", "-i", image] + ["::/" + p for p in batch], check=True,
                                 capture_output=True, text=True,
                                 env=dict(os.environ, MTOOLS_SKIP_CHECK="1")).stdout
        for line in listing.splitlines():
            found = re.match(r"^::/(.*) ((?:<\d+(?:-\d+)?>)+)$", line)
            if found:
                runs = re.findall(r"<(\d+)", found.group(2))
                offsets[found.group(1)] = start + (int(runs[0]) - 2) * cluster if len(runs) == 1 else None
    return offsets


def build_fat(image, fat_mib, fat32, fill, files, extras, rng, work):
    if not shutil.which("mkfs.fat") or not shutil.which("mcopy"):
        sys.exit("sample_disk: needs mkfs.fat and mtools (tools/install-deps.sh native)")
    command = ["mkfs.fat", "-C", "--invariant", "-i", VOLUME_ID, "-n", "QUARVELIN"]
    subprocess.run(command + (["-F", "32"] if fat32 else []) + [image, str(fat_mib * 1024)],
                   check=True, stdout=subprocess.DEVNULL)
    # The extra files once, then enough copies of the set, under other names, to fill about `fill`
    # of the volume.
    def footprint(items):
        return sum(-(-len(data) // 4096) * 4096 for _, _, data in items)
    room = int(fill * fat_mib * MIB) - footprint(extras)
    copies = max(1, room // footprint(files)) if fill else 1
    placed = []  # (path on the volume, source name, extension, data)
    for copy in range(copies):
        order = list(files) + (list(extras) if copy == 0 else [])
        rng.shuffle(order)
        for name, extension, data in order:
            folder = rng.choice(FOLDERS) + ("" if copy == 0 else "/%03d" % copy)
            stem, dot_ext = os.path.splitext(name)
            target = name if copy == 0 else "%s (%d)%s" % (stem, copy, dot_ext)
            placed.append((folder + "/" + target, name, extension, data))

    folders = sorted({p.rsplit("/", 1)[0] for p, _, _, _ in placed})
    parents = sorted({"/".join(f.split("/")[:i]) for f in folders for i in range(1, f.count("/") + 2)},
                     key=lambda f: (f.count("/"), f))
    for batch in batches(parents):
        mtools("mmd", "-i", image, *["::/" + f for f in batch])
    # Stage the files under their target names, then copy them in placing order, a folder at a time.
    by_folder = {}
    for path, _, _, data in placed:
        folder, target = path.rsplit("/", 1)
        staged = os.path.join(work, folder, target)
        os.makedirs(os.path.dirname(staged), exist_ok=True)
        with open(staged, "wb") as f:
            f.write(data)
        by_folder.setdefault(folder, []).append(staged)
    for folder, staged in by_folder.items():
        for batch in batches(staged):
            mtools("mcopy", "-i", image, *batch, "::/" + folder + "/")

    offsets = cluster_offsets(image, [p for p, _, _, _ in placed])
    deleted = [rng.random() < 0.5 for _ in placed]
    for batch in batches([p for (p, _, _, _), gone in zip(placed, deleted) if gone]):
        mtools("mdel", "-i", image, *["::/" + p for p in batch])
    return [entry(path, source, extension, data, "fat", offsets.get(path), gone)
            for (path, source, extension, data), gone in zip(placed, deleted)]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True, help="image file to write")
    parser.add_argument("--manifest", required=True, help="JSON manifest to write")
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--files", default=os.path.join(ROOT, "testdata", "files"))
    parser.add_argument("--extra", action="append", default=[],
                        help="a folder of further files, placed once in each area (may be repeated)")
    parser.add_argument("--types", default="", help="comma-separated extensions to place (default: all)")
    parser.add_argument("--raw-mib", type=int, default=0, help="pad the raw area to this size")
    parser.add_argument("--fat-mib", type=int, default=0, help="put a FAT file system of this size first")
    parser.add_argument("--fat32", action="store_true", help="make the file system FAT32 (needs >= 40 MiB)")
    parser.add_argument("--fat-fill", type=float, default=0.0,
                        help="copy the files into the FAT under other names until about this fraction is used")
    args = parser.parse_args()

    types = {t.strip().lower() for t in args.types.split(",") if t.strip()}
    files = load_files(args.files, types)
    if not files:
        sys.exit("sample_disk: no files of the selected types in " + args.files)
    extras, groups = [], []
    for folder in args.extra:
        extras += load_files(folder, types)
        groups += load_groups(folder, types)
    names = [name for name, _, _ in files + extras] + [name for group in groups for name, _, _ in group]
    if len(set(names)) != len(names):
        sys.exit("sample_disk: the same file name comes twice among the sources")
    if not 0 <= args.fat_fill <= 0.9:
        sys.exit("sample_disk: --fat-fill must lie between 0 and 0.9")
    rng = random.Random(args.seed)

    entries = []
    if os.path.exists(args.out):
        os.remove(args.out)
    if args.fat_mib:
        with tempfile.TemporaryDirectory(prefix="sample_disk_") as work:
            entries += build_fat(args.out, args.fat_mib, args.fat32, args.fat_fill, files,
                                 extras + [f for group in groups for f in group], rng, work)
    raw_start = args.fat_mib * MIB
    with open(args.out, "ab") as out:
        units = [[f] for f in files + extras] + groups
        entries += write_raw_area(out, raw_start, units, rng, args.raw_mib * MIB)
    size = os.path.getsize(args.out)

    manifest = {"image": os.path.basename(args.out), "size": size, "sector_size": SECTOR, "seed": args.seed,
                "fat": {"bytes": raw_start, "fat32": args.fat32} if args.fat_mib else None,
                "raw": {"offset": raw_start, "bytes": size - raw_start}, "files": entries}
    with open(args.manifest, "w") as f:
        json.dump(manifest, f, indent=1)
        f.write("\n")
    fat_files = [e for e in entries if e["area"] == "fat"]
    print("%s: %.1f MiB, %d files in the raw area, %d in the FAT (%d deleted)"
          % (args.out, size / MIB, len(entries) - len(fat_files), len(fat_files),
             sum(1 for e in fat_files if e["deleted"])))


if __name__ == "__main__":
    main()
