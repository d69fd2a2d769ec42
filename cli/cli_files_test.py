#!/usr/bin/env python3
"""quarvelin-cli files, and scan through the file systems, on volumes made by the real tools."""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

EXE = None
IMAGES = None  # the unpacked test volumes
LISTS = None  # testdata/volumes: what each volume holds


def run_cli(*args):
    return subprocess.run([EXE] + list(args), capture_output=True, timeout=300)


def json_lines(result):
    return [json.loads(line) for line in result.stdout.decode().splitlines()]


def expected(name):
    """(state, path, size, sha256) of every file the volume's maker wrote into it."""
    with open(os.path.join(LISTS, name + ".files"), encoding="utf-8") as f:
        rows = [line.rstrip("\n").split("\t") for line in f if line.strip()]
    return [(state, "/" + path, int(size), digest) for state, path, size, digest in rows]


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def manifest(out):
    with open(os.path.join(out, "manifest.jsonl"), encoding="utf-8") as f:
        return [json.loads(line) for line in f]


class FilesCommand(unittest.TestCase):
    def test_lists_every_file_of_a_volume_with_its_state_and_only_the_deleted_on_request(self):
        image = os.path.join(IMAGES, "fat16.img")
        result = run_cli("files", "--json", image)
        self.assertEqual(result.returncode, 0, result.stderr)
        entries = json_lines(result)
        files = {(e["state"], e["path"], e["size"]) for e in entries if "path" in e}
        volumes = [e for e in entries if "fileSystem" in e]
        want = {(state, path, size) for state, path, size, _ in expected("fat16")}
        self.assertTrue(want <= files, sorted(want - files))
        self.assertEqual([(v["fileSystem"], v["firstSector"]) for v in volumes], [("FAT16", 0)])

        deleted = json_lines(run_cli("files", "--json", "--deleted", image))
        self.assertTrue(deleted)
        self.assertTrue(all(e["state"] != "live" for e in deleted if "path" in e))

        table = run_cli("files", image).stdout.decode()
        self.assertIn("/Фото отпуск/beach photo.jpg", table)
        self.assertIn("-- volume 1: FAT16 at sector 0", table)

    def test_every_volume_of_a_partitioned_disk_and_of_one_whose_table_is_wiped(self):
        for disk in ("mbr_disk", "mbr_wiped_disk"):
            result = run_cli("files", "--json", os.path.join(IMAGES, disk + ".img"))
            self.assertEqual(result.returncode, 0, result.stderr)
            volumes = [(e["fileSystem"][:3], e["firstSector"]) for e in json_lines(result)
                       if "fileSystem" in e and "error" not in e]
            self.assertEqual(volumes, [("FAT", 2048), ("NTF", 10240), ("FAT", 20480),
                                       ("exF", 30720)], disk)

    def test_a_source_without_a_file_system_fails_and_usage_errors(self):
        with tempfile.NamedTemporaryFile() as blank:
            blank.write(bytes(1 << 20))
            blank.flush()
            result = run_cli("files", blank.name)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"No FAT, exFAT or NTFS file system found", result.stderr)
        self.assertEqual(run_cli("files").returncode, 2)
        self.assertEqual(run_cli("scan", "--no-fs", "--no-carve", "a", "b").returncode, 2)


class NamedScan(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quarvelin_named_")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_files_come_back_under_their_folders_and_names_recorded_in_the_manifest(self):
        out = os.path.join(self.dir, "out")
        result = run_cli("scan", "--json", os.path.join(IMAGES, "fat16.img"), out)
        self.assertEqual(result.returncode, 0, result.stderr)
        records = {r["originalPath"]: r for r in manifest(out) if r["foundBy"] == "file system"}
        for state, path, size, digest in expected("fat16"):
            record = records.get(path)
            self.assertIsNotNone(record, path)
            self.assertEqual(record["state"], state, path)
            written = os.path.join(out, record["file"])
            self.assertTrue(record["file"].endswith(path), (record["file"], path))
            self.assertEqual(os.path.getsize(written), size, path)
            if state != "overwritten":
                self.assertEqual(sha256(written), digest, path)
                self.assertEqual(record["sha256"], digest, path)
        self.assertTrue(os.path.isfile(os.path.join(out, "Images", "Фото отпуск",
                                                    "beach photo.jpg")))
        # Every FileFound line names a file on disk, and nothing named is carved again.
        found = [m["text"].split("|")[0] for m in json_lines(result) if m["kind"] == "FileFound"]
        self.assertEqual(len(found), len(manifest(out)))
        named = {r["sha256"] for r in manifest(out) if r["foundBy"] == "file system"}
        carved = [r for r in manifest(out) if r["foundBy"] == "carving"]
        self.assertFalse([r["file"] for r in carved if r["sha256"] in named and r["size"] > 0])

    def test_only_and_types_select_what_is_written(self):
        out = os.path.join(self.dir, "only")
        result = run_cli("scan", "--no-carve", "--only", "*.txt",
                         os.path.join(IMAGES, "fat16.img"), out)
        self.assertEqual(result.returncode, 0, result.stderr)
        paths = [r["originalPath"] for r in manifest(out)]
        self.assertTrue(paths)
        self.assertTrue(all(p.lower().endswith(".txt") for p in paths), paths)

        out = os.path.join(self.dir, "types")
        result = run_cli("scan", "--no-carve", "--types", "pdf",
                         os.path.join(IMAGES, "fat16.img"), out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(sorted(os.path.basename(r["file"]) for r in manifest(out)),
                         ["Mixed Case Long Name.pdf", "budget for the year.pdf"])

    def test_each_volume_of_a_disk_has_its_own_folder(self):
        out = os.path.join(self.dir, "disk")
        result = run_cli("scan", "--no-carve", os.path.join(IMAGES, "mbr_disk.img"), out)
        self.assertEqual(result.returncode, 0, result.stderr)
        folders = {r["file"].split("/")[1] for r in manifest(out)}
        self.assertEqual(folders, {"Volume 1 (FAT)", "Volume 2 (NTFS)", "Volume 3 (FAT)",
                                   "Volume 4 (exFAT)"})


if __name__ == "__main__":
    EXE, IMAGES, LISTS = sys.argv[1:4]
    unittest.main(argv=sys.argv[:1] + sys.argv[4:], verbosity=2)
