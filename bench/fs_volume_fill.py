#!/usr/bin/env python3
"""Fills one volume of the file-system benchmark disk and writes down what a reader should find on it.

  bench/fs_volume_fill.py --fs ntfs|exfat --mount DIR ...
  bench/fs_volume_fill.py --fs fat --image VOLUME.img ...
      --files testdata/files --volume "Volume 1 (NTFS)" --seed N --expected OUT.tsv
      [--slack MiB] [--scale 1.0]

NTFS and exFAT are written through their FUSE mounts, FAT through mtools on the image. The volume gets,
in this order:
  1. nested folders (long, accented, Cyrillic and CJK names) holding copies of the real sample files and
     generated text files, interleaved with the files and folders that are deleted at the end;
  2. on NTFS and exFAT, large live files (a sample file repeated) until the volume is nearly full, since
     their drivers spread new files out and fragment only a full volume;
  3. churn: many small files, every other one deleted, then larger files written into the gaps (they
     come out fragmented; the deleted small files are "overwritten": some may survive, none must);
  4. the last writes of all: whole folders with sub-folders and a few hundred single files deleted.
Before step 4 deletes them, FAT and exFAT files are checked for being contiguous (the file and every
folder above it that is deleted with it): only those are expected back exact.

The expected list has one line per file, tab-separated:
  volume  state  path  size  sha256  contiguous
state: live, deleted or overwritten; contiguous: yes/no for deleted FAT/exFAT files, "-" otherwise.
"""
import argparse
import hashlib
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile

FOLDER_NAMES = ["Documents", "Photos 2023", "Résumé et café", "Документы", "Отчёты за квартал", "写真",
                "資料フォルダ", "Projects", "a folder with a rather long name that needs several entries",
                "Música", "Ελληνικά", "notes", "Archiv älterer Dateien", "misc"]
WORDS = ("sector cluster volume record folder index bitmap chain entry copy check verify recover "
         "drive block table journal attribute stream name size time").split()


def text_file(rng, lines):
    return "".join("%d %s\n" % (i, " ".join(rng.choice(WORDS) for _ in range(rng.randint(4, 14))))
                   for i in range(lines)).encode()


class Fixtures:
    def __init__(self, folder, rng):
        self.files = []
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if os.path.isfile(path) and os.path.getsize(path) > 0:
                with open(path, "rb") as f:
                    self.files.append((name, f.read()))
        self.rng = rng

    def pick(self):
        return self.rng.choice(self.files)

    def repeated(self, size):
        """A large file: one sample file repeated up to `size` bytes."""
        _, data = max(self.rng.sample(self.files, 5), key=lambda f: len(f[1]))
        return (data * (size // len(data) + 1))[:size]


class MountWriter:
    """Writes through a mounted file system."""

    def __init__(self, root):
        self.root = root

    def _host(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def write(self, files):
        for path, data in files:
            os.makedirs(os.path.dirname(self._host(path)), exist_ok=True)
            with open(self._host(path), "wb") as f:
                f.write(data)

    def delete(self, paths):
        for path in paths:
            os.remove(self._host(path))

    def delete_tree(self, path):
        shutil.rmtree(self._host(path))

    def free_bytes(self):
        os.sync()
        stat = os.statvfs(self.root)
        return stat.f_bavail * stat.f_frsize


class MtoolsWriter:
    """Writes into a FAT image with mtools: files go in per folder, in the order given."""

    def __init__(self, image, scratch):
        self.image = image
        self.scratch = scratch
        self.folders = {"/"}
        self.count = 0

    def _run(self, *args):
        subprocess.run([args[0], "-i", self.image, *args[1:]], check=True, stdout=subprocess.DEVNULL)

    def _folder(self, folder):
        missing = []
        while folder not in self.folders:
            missing.append(folder)
            folder = os.path.dirname(folder)
        for f in reversed(missing):
            self._run("mmd", "::" + f)
            self.folders.add(f)

    def write(self, files):
        batch = []  # consecutive files of one folder go in through one mcopy
        for path, data in files:
            folder = os.path.dirname(path)
            if batch and os.path.dirname(batch[-1][0]) != folder:
                self._copy(batch)
                batch = []
            batch.append((path, data))
        if batch:
            self._copy(batch)

    def _copy(self, batch):
        folder = os.path.dirname(batch[0][0])
        self._folder(folder)
        stage = tempfile.mkdtemp(dir=self.scratch)
        sources = []
        for path, data in batch:
            source = os.path.join(stage, os.path.basename(path))
            with open(source, "wb") as f:
                f.write(data)
            sources.append(source)
        self._first_fit()
        self._run("mcopy", "-D", "o", *sources, "::" + folder + "/")
        shutil.rmtree(stage)

    def _first_fit(self):
        """mtools allocates from FAT32's next-free hint and moves it on after every copy, so freed
        clusters would never be reused: "unknown" before each copy makes it allocate first-fit."""
        with open(self.image, "r+b") as f:
            fsinfo = struct.unpack("<H", f.read(512)[48:50])[0]
            f.seek(fsinfo * 512 + 492)
            f.write(b"\xff\xff\xff\xff")

    def delete(self, paths):
        for start in range(0, len(paths), 200):
            self._run("mdel", *("::" + p for p in paths[start:start + 200]))

    def delete_tree(self, path):
        self._run("mdeltree", "::" + path)
        self.folders = {f for f in self.folders if f != path and not f.startswith(path + "/")}

    def clusters(self, path):
        """The file's clusters in order, from mshowfat."""
        shown = subprocess.run(["mshowfat", "-i", self.image, "::" + path], check=True, capture_output=True,
                               text=True).stdout
        clusters = []
        for first, last in re.findall(r"<(\d+)(?:-(\d+))?>", shown):
            clusters += range(int(first), int(last or first) + 1)
        return clusters


class ExfatLayout:
    """The clusters of every file and folder of an exFAT volume, read from the image (the volume must
    be unmounted or synced): a walk of the directory tree by the public exFAT layout."""

    def __init__(self, device):
        with open(device, "rb") as f:
            self.bytes = f.read()
        boot = self.bytes[:512]
        self.fat_at = struct.unpack_from("<I", boot, 80)[0]
        self.heap_at = struct.unpack_from("<I", boot, 88)[0]
        root = struct.unpack_from("<I", boot, 96)[0]
        self.sector = 1 << boot[108]
        self.cluster = self.sector << boot[109]
        self.chains = {}
        self._walk("", self._chain(root, False, None))

    def _next(self, cluster):
        return struct.unpack_from("<I", self.bytes, self.fat_at * self.sector + 4 * cluster)[0]

    def _chain(self, first, no_fat_chain, length):
        if first < 2:
            return []
        if no_fat_chain:
            return list(range(first, first + max(1, -(-length // self.cluster))))
        chain = [first]
        while len(chain) < 1 << 20:
            following = self._next(chain[-1])
            if following < 2 or following >= 0xFFFFFFF7:
                break
            chain.append(following)
        return chain

    def _data(self, chain):
        at = lambda c: (self.heap_at * self.sector) + (c - 2) * self.cluster
        return b"".join(self.bytes[at(c):at(c) + self.cluster] for c in chain)

    def _walk(self, folder, chain):
        data = self._data(chain)
        i = 0
        while i + 32 <= len(data):
            kind = data[i]
            if kind == 0:
                break
            if kind != 0x85:
                i += 32
                continue
            count = data[i + 1]
            attributes = struct.unpack_from("<H", data, i + 4)[0]
            stream = data[i + 32:i + 64]
            flags, name_length = stream[1], stream[3]
            first, length = struct.unpack_from("<IQ", stream, 20)
            name = b"".join(data[i + 32 * k + 2:i + 32 * k + 32] for k in range(2, count + 1))
            name = name.decode("utf-16-le")[:name_length]
            path = folder + "/" + name
            clusters = self._chain(first, flags & 2, length)
            if len(clusters) * self.cluster < length:
                # A chain shorter than the file: the FAT on the device is not what the driver has yet.
                print("exFAT check: %s has %d clusters for %d bytes; taken as not contiguous"
                      % (path, len(clusters), length), file=sys.stderr)
                clusters = [0, 2]
            self.chains[path] = clusters
            if attributes & 0x10:
                self._walk(path, clusters)
            i += 32 * (count + 1)


def contiguous(clusters):
    return all(b == a + 1 for a, b in zip(clusters, clusters[1:]))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fs", choices=("ntfs", "exfat", "fat"), required=True)
    parser.add_argument("--mount", help="the mounted volume (NTFS, exFAT)")
    parser.add_argument("--device", help="the exFAT volume's device or image, read to check contiguity")
    parser.add_argument("--image", help="the FAT volume's image (written with mtools)")
    parser.add_argument("--files", required=True, help="folder of real sample files")
    parser.add_argument("--volume", required=True, help='how the scan names the volume: "Volume 1 (NTFS)"')
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--expected", required=True, help="expected list to append to")
    parser.add_argument("--slack", type=int, default=2, help="MiB left free beyond what the churn needs")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies the number of files")
    args = parser.parse_args()

    rng = random.Random(args.seed)
    fixtures = Fixtures(args.files, rng)
    scratch = tempfile.mkdtemp(prefix="fs_volume_fill_")
    writer = MtoolsWriter(args.image, scratch) if args.fs == "fat" else MountWriter(args.mount)
    live = {}  # path -> bytes
    gone = {}  # path -> (state, bytes)
    n = lambda count: max(1, int(count * args.scale))

    def put(files):
        writer.write(files)
        live.update(files)

    # 1. Folders of kept files, and of files and folders deleted at the end, written interleaved.
    doomed_trees = []
    doomed_files = []
    files = []
    serial = 0
    for top in range(n(6)):
        base = "/%s %d" % (FOLDER_NAMES[top % len(FOLDER_NAMES)], top)
        for depth_path in (base, base + "/" + rng.choice(FOLDER_NAMES), base + "/" + rng.choice(FOLDER_NAMES)
                           + " sub/" + rng.choice(FOLDER_NAMES) + " deeper"):
            for _ in range(rng.randint(40, 80)):
                serial += 1
                if rng.random() < 0.6:
                    name, data = fixtures.pick()
                    stem, ext = os.path.splitext(name)
                    name = "%s %d%s" % (stem, serial, ext)
                else:
                    name = rng.choice(["report", "Журнал", "café notes", "メモ", "log"]) + " %d.txt" % serial
                    data = text_file(rng, rng.choice([1, 3, 20, 200, 1500]))
                path = depth_path + "/" + name
                files.append((path, data))
                if rng.random() < 0.12:
                    doomed_files.append(path)
        # Folders deleted whole: a few files each, and a sub-folder or two.
        if top % 2 == 0:
            tree = base + "/Old project Проект %d" % top
            doomed_trees.append(tree)
            for sub in ("", "/draft", "/draft/scans é", "/final 最終"):
                for _ in range(rng.randint(4, 14)):
                    serial += 1
                    name, data = fixtures.pick()
                    stem, ext = os.path.splitext(name)
                    files.append(("%s%s/%s %d%s" % (tree, sub, stem, serial, ext), data))
    rng.shuffle(files)  # interleaves the folders' files on the disk
    files.sort(key=lambda f: f[0].count("/"))  # parents' entries first keeps folder creation simple
    put(files)

    # 2. Nearly full, so the drivers that spread files out have to fill gaps: what is left is room for
    # the churn's files and a little more (the multi-MiB files are the ones filling the volume).
    churn = [("/churn/small %d.txt" % i, text_file(rng, rng.randint(130, 400))) for i in range(n(480))]
    larger = []
    for i in range(n(24)):
        name, data = fixtures.pick()
        stem, ext = os.path.splitext(name)
        larger.append(("/Fragmented/%s %d%s" % (stem, i, ext), fixtures.repeated(rng.randint(40, 200) << 10)
                       if rng.random() < 0.5 else data))
    if args.fs == "fat":
        larger += [("/Large files/big %d.bin" % i, fixtures.repeated(rng.randint(2, 6) << 20))
                   for i in range(n(3))]
    else:
        # After the churn's deletes, the larger files find mostly its gaps free.
        left = sum(len(d) for _, d in churn) + args.slack * (1 << 20)
        big = 0
        while True:
            free = writer.free_bytes() - left
            if free < (1 << 20):
                break
            big += 1
            put([("/Large files/ballast %d.bin" % big, fixtures.repeated(int(min(free, 24 << 20))))])

    # 3. Churn: small files, every other deleted, larger ones written into the gaps.
    put(churn)
    dropped = [p for p, _ in churn[::2]]
    writer.delete(dropped)
    for p in dropped:
        gone[p] = ("overwritten", live.pop(p))
    put(larger)

    # 4. The last writes: which deleted files are contiguous, then the deletes.
    doomed = doomed_files + [p for p in live if any(p.startswith(t + "/") for t in doomed_trees)]
    chains = {}
    if args.fs == "fat":
        for path in doomed + [t for t in doomed_trees]:
            chains[path] = writer.clusters(path)
        for tree in doomed_trees:
            for folder in {os.path.dirname(p) for p in doomed if p.startswith(tree + "/")}:
                chains.setdefault(folder, writer.clusters(folder))
    elif args.fs == "exfat":
        os.sync()
        chains = ExfatLayout(args.device).chains

    def whole(path):
        """The file and every folder deleted with it lie in one run of clusters."""
        if not contiguous(chains.get(path, [0, 2])):
            return False
        folder = os.path.dirname(path)
        while any(folder == t or folder.startswith(t + "/") for t in doomed_trees):
            if not contiguous(chains.get(folder, [0, 2])):
                return False
            folder = os.path.dirname(folder)
        return True

    contiguity = {p: whole(p) for p in doomed} if args.fs != "ntfs" else {}
    if args.fs != "ntfs":
        spread = [p for p in live if p.startswith(("/Fragmented/", "/Large files/"))]
        if args.fs == "fat":
            chains.update((p, writer.clusters(p)) for p in spread)
        print("  %d of the %d files in /Fragmented and /Large files are fragmented"
              % (sum(not contiguous(chains.get(p, [])) for p in spread), len(spread)))
    writer.delete(doomed_files)
    for tree in doomed_trees:
        writer.delete_tree(tree)
    for p in doomed:
        gone[p] = ("deleted", live.pop(p))

    with open(args.expected, "a") as out:
        rows = [(p, "live", d) for p, d in live.items()] + [(p, s, d) for p, (s, d) in gone.items()]
        for path, state, data in sorted(rows):
            flag = ("yes" if contiguity[path] else "no") if path in contiguity else "-"
            out.write("\t".join([args.volume, state, path, str(len(data)), hashlib.sha256(data).hexdigest(),
                                 flag]) + "\n")
    shutil.rmtree(scratch)
    deleted = sum(1 for s, _ in gone.values() if s == "deleted")
    print("%s: %d live, %d deleted%s, %d deleted and overwritten by the churn" % (
        args.volume, len(live), deleted, " (%d contiguous)" % sum(contiguity.values()) if contiguity else "",
        len(gone) - deleted))
    return 0


if __name__ == "__main__":
    sys.exit(main())
