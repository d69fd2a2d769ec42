#!/usr/bin/env python3
"""check_named_recovery.py's verdicts on a hand-made manifest.

  tools/check_named_recovery_test.py [unittest options]
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

TOOLS = os.path.dirname(os.path.abspath(__file__))
NTFS, FAT = "Volume 1 (NTFS)", "Volume 2 (FAT)"


def sha(data):
    return hashlib.sha256(data).hexdigest()


def named(volume, category, path, data, state="live", sectors=()):
    return {"file": "%s/%s%s" % (category, volume, path), "originalPath": path, "state": state,
            "size": len(data), "volume": "NTFS at sector 2048 (MBR partition 1)", "foundBy": "file system",
            "sectors": [list(s) for s in sectors], "sha256": sha(data), "data": data}


def carved(name, data, sectors):
    return {"file": "Images/" + name, "originalPath": None, "state": "unknown", "size": len(data),
            "volume": None, "foundBy": "carving", "sectors": [list(s) for s in sectors], "sha256": sha(data),
            "data": data}


class CheckNamedRecovery(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="check_named_recovery_test_")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def check(self, expected, manifest, *options):
        with open(os.path.join(self.dir, "expected.tsv"), "w", encoding="utf-8") as f:
            for volume, state, path, data, contiguous in expected:
                f.write("\t".join([volume, state, path, str(len(data)), sha(data), contiguous]) + "\n")
        with open(os.path.join(self.dir, "manifest.jsonl"), "w", encoding="utf-8") as f:
            for entry in manifest:
                path = os.path.join(self.dir, entry["file"])
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as written:
                    written.write(entry["data"])
                f.write(json.dumps({k: v for k, v in entry.items() if k != "data"}, ensure_ascii=False) + "\n")
        run = subprocess.run([sys.executable, os.path.join(TOOLS, "check_named_recovery.py"),
                              os.path.join(self.dir, "expected.tsv"), self.dir, "--json", *options],
                             capture_output=True, text=True)
        return run.returncode, json.loads(run.stdout)

    def test_counts_each_verdict_and_misses_only_what_is_owed(self):
        photo, report, old, draft, lost = b"\xff\xd8photo", b"report", b"old letter", b"draft text", b"lost"
        expected = [(NTFS, "live", "/Фото/photo.jpg", photo, "-"),
                    (NTFS, "live", "/report.txt", report, "-"),
                    (NTFS, "deleted", "/old/letter.txt", old, "-"),
                    (FAT, "deleted", "/Old/résumé.txt", draft, "yes"),  # in a deleted folder
                    (FAT, "deleted", "/Old/scattered.txt", lost, "no"),
                    (FAT, "overwritten", "/churn/small 1.txt", b"gone", "-"),
                    (FAT, "live", "/copy/photo.jpg", photo, "-")]  # a second copy: carving it is no duplicate
        manifest = [named(NTFS, "Images", "/Фото/photo.jpg", photo, sectors=[(100, 8)]),
                    named(NTFS, "Documents", "/report.txt", b"repor\0"),
                    named(NTFS, "Documents", "/old/letter.txt", old, "deleted, possibly overwritten"),
                    named(FAT, "Documents", "/_ld/_ésumé.txt", draft, "deleted"),  # long names lost
                    named(FAT, "Other", "/FOUND.000", b"x"),
                    carved("rec_0_100.jpg", photo, [(100, 8)]),  # the live photo again
                    carved("rec_1_300.jpg", b"\xff\xd8other", [(300, 2)]),
                    carved("rec_2_104.jpg", b"\xff\xd8tail", [(104, 1)]),  # inside the photo's sectors
                    carved("rec_3_900.txt", old, [(900, 1)]),  # the letter has no second copy
                    carved("rec_4_950.jpg", photo + b"slack", [(950, 1)])]  # the photo, and a third copy
        status, result = self.check(expected, manifest)
        self.assertEqual(status, 0)
        rows = {(r["volume"], r["state"]): [r[c] for c in ("expected", "exact", "misplaced", "different",
                                                           "missing")] for r in result["table"]}
        self.assertEqual(rows, {(NTFS, "live"): [2, 1, 0, 1, 0], (NTFS, "deleted"): [1, 0, 1, 0, 0],
                                (FAT, "deleted, contiguous"): [1, 1, 0, 0, 0],
                                (FAT, "deleted, fragmented"): [1, 0, 0, 0, 1], (FAT, "live"): [1, 0, 0, 0, 1],
                                (FAT, "overwritten"): [1, 0, 0, 0, 1]})
        self.assertEqual(result["unexpected"], ["Other/Volume 2 (FAT)/FOUND.000"])
        self.assertEqual(result["duplicates"], {"same_bytes": ["Images/rec_3_900.txt", "Images/rec_4_950.jpg"],
                                                "shared_sectors": ["Images/rec_0_100.jpg", "Images/rec_2_104.jpg"]})
        self.assertEqual([m["path"] for m in result["missed"]],
                         ["/report.txt", "/old/letter.txt", "/copy/photo.jpg"])
        self.assertEqual([t["met"] for t in result["targets"]], [False, False, True, False])
        self.assertEqual(self.check(expected, manifest, "--require")[0], 1)

    def test_sector_runs_are_read_back_from_the_disk(self):
        disk = b"".join(bytes([sector]) * 512 for sector in range(4))
        with open(os.path.join(self.dir, "disk.img"), "wb") as f:
            f.write(disk)
        split = disk[1024:1536] + disk[0:100]  # a fragmented file: sector 2, then part of sector 0
        good = named(NTFS, "Other", "/split.bin", split, sectors=[(2, 1), (0, 1)])
        off_by_one = named(NTFS, "Other", "/moved.bin", disk[512:700], sectors=[(0, 1)])
        resident = named(NTFS, "Other", "/tiny.bin", b"in its record")
        expected = [(NTFS, "live", e["originalPath"], e["data"], "-") for e in (good, off_by_one, resident)]
        status, result = self.check(expected, [good, off_by_one, resident], "--require", "--disk",
                                    os.path.join(self.dir, "disk.img"))
        self.assertEqual(status, 1)
        self.assertEqual(result["wrong_sectors"], ["Other/Volume 1 (NTFS)/moved.bin"])

    def test_exact_needs_the_full_output_path(self):
        data = b"page"
        expected = [(FAT, "live", "/a/page.txt", data, "-"), (FAT, "live", "/b/page.txt", data, "-")]
        moved = named(FAT, "Documents", "/b/page.txt", data)
        moved["file"] = "Documents/Volume 2 (FAT)/b/page (2).txt"  # renamed on a clash
        status, result = self.check(expected, [named(FAT, "Documents", "/a/page.txt", data), moved], "--require")
        self.assertEqual(status, 1)
        self.assertEqual(result["table"][0]["exact"], 1)
        self.assertEqual(result["table"][0]["misplaced"], 1)

        status, result = self.check(expected[:1], [named(FAT, "Documents", "/a/page.txt", data)], "--require")
        self.assertEqual(status, 0)
        self.assertTrue(all(t["met"] for t in result["targets"]))


if __name__ == "__main__":
    unittest.main()
