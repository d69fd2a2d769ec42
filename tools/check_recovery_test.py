#!/usr/bin/env python3
"""check_recovery.py's verdicts on a hand-made scan output, and sample_disk.py's placement of extra
files and of files kept back to back.

  tools/check_recovery_test.py [unittest options]
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
TYPES = [{"extension": "jpg", "name": "JPEG", "category": "Images", "headers": ["ffd8ffe0"]},
         {"extension": "svg", "name": "SVG", "category": "Images", "headers": ["3c737667"]},
         {"extension": "xml", "name": "XML", "category": "Code", "headers": ["3c3f786d6c"]},
         {"extension": "pdf", "name": "PDF", "category": "Documents", "headers": ["25504446"]}]


def original(name, data, offset):
    return {"name": name, "source": name, "extension": name.rsplit(".", 1)[1], "size": len(data),
            "sha256": hashlib.sha256(data).hexdigest(), "head": data[:32].hex(), "area": "raw",
            "offset": offset, "deleted": None}


class CheckRecovery(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="check_recovery_test_")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.cli = os.path.join(self.dir, "quarvelin-cli")
        with open(self.cli, "w") as f:
            f.write("#!/bin/sh\n[ \"$1 $2\" = 'types --json' ] && exec cat %s\nexit 2\n"
                    % os.path.join(self.dir, "types.json"))
        os.chmod(self.cli, 0o755)
        with open(os.path.join(self.dir, "types.json"), "w") as f:
            json.dump(TYPES, f)
        self.out = os.path.join(self.dir, "out")

    def carve(self, relative, data):
        path = os.path.join(self.out, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def check(self, files, *options):
        manifest = os.path.join(self.dir, "disk.json")
        with open(manifest, "w") as f:
            json.dump({"sector_size": 512, "files": files}, f)
        run = subprocess.run([sys.executable, os.path.join(TOOLS, "check_recovery.py"), self.out, manifest,
                              "--cli", self.cli, "--json", *options], capture_output=True, text=True)
        return run.returncode, json.loads(run.stdout)

    def test_counts_exact_complete_lost_wrong_extensions_and_false_outputs(self):
        photo = b"\xff\xd8\xff\xe0" + bytes(range(200)) + b"\xff\xd9"
        thumb = b"\xff\xd8\xff\xe0thumbnail" + b"\xff\xd9"
        drawing = b'<?xml version="1.0"?>\n<svg xmlns="http://www.w3.org/2000/svg"/>\n'
        report = b"%PDF-1.7\n1 0 obj\n<<>>\nendobj\n%%EOF\n"
        printout = b"%!PS-Adobe-3.0\n%%EOF\n"
        files = [original("photo.jpg", photo, 0), original("drawing.svg", drawing, 4096),
                 original("report.pdf", report, 8192), original("printout.ps", printout, 8704),
                 original("gone.jpg", b"\xff\xd8\xff\xe0gone" + bytes(40), 12288)]
        self.carve("Images/rec_0_0.jpg", photo)
        self.carve("Images/rec_1_0.jpg", thumb)  # a thumbnail carved on its own: no file of the disk
        self.carve("Code/rec_2_0.xml", drawing)  # whole, but as XML in the Code folder
        self.carve("Documents/rec_3_0.pdf", report + bytes(512 - len(report)) + printout)
        self.carve("Images/rec_4_0.jpg", photo[:50])  # cut short: neither the photo nor another file

        status, result = self.check(files)
        self.assertEqual(status, 0)
        self.assertEqual(result["extensions"]["jpg"],
                         {"files": 2, "exact": 1, "complete": 0, "lost": 1, "wrong_extension": 0, "false": 2})
        self.assertEqual(result["extensions"]["svg"]["exact"], 1)
        self.assertEqual(result["extensions"]["svg"]["wrong_extension"], 1)
        self.assertEqual(result["extensions"]["pdf"]["complete"], 1)
        self.assertNotIn("ps", result["extensions"])  # no type carves it: neither counted nor missed
        self.assertEqual(result["false_outputs"], [os.path.join("Images", "rec_1_0.jpg"),
                                                   os.path.join("Images", "rec_4_0.jpg")])
        self.assertEqual(result["totals"]["files"], 4)

        status, result = self.check(files, "--target-exact", "50", "--target-complete", "75",
                                    "--target-type-exact", "0", "--target-false", "60")
        self.assertEqual((status, [t["met"] for t in result["targets"]]), (0, [True, True, True, True]))
        status, result = self.check(files, "--target-exact", "51", "--target-complete", "76",
                                    "--target-type-exact", "1", "--target-false", "50")
        self.assertEqual((status, [t["met"] for t in result["targets"]]), (1, [False, False, False, False]))

    def test_extra_files_are_placed_once_and_groups_back_to_back(self):
        files = os.path.join(self.dir, "files")
        extra = os.path.join(self.dir, "extra")
        os.makedirs(files)
        os.makedirs(os.path.join(extra, "pair"))
        for path, data in [(os.path.join(files, "a.jpg"), b"\xff\xd8\xff\xe0" + bytes(3000)),
                           (os.path.join(extra, "big.pdf"), b"%PDF" + bytes(70000)),
                           (os.path.join(extra, "pair", "1.pdf"), b"%PDF" + bytes(1000)),
                           (os.path.join(extra, "pair", "2.ps"), b"%!PS" + bytes(10))]:
            with open(path, "wb") as f:
                f.write(data)
        manifest = os.path.join(self.dir, "disk.json")
        subprocess.run([sys.executable, os.path.join(TOOLS, "sample_disk.py"), "--out",
                        os.path.join(self.dir, "disk.img"), "--manifest", manifest, "--seed", "3",
                        "--files", files, "--extra", extra], check=True, capture_output=True)
        with open(manifest) as f:
            placed = {e["name"]: e for e in json.load(f)["files"]}
        self.assertEqual(sorted(placed), ["1.pdf", "2.ps", "a.jpg", "big.pdf"])
        self.assertEqual(placed["2.ps"]["offset"], placed["1.pdf"]["offset"] + 1024)
        self.assertTrue(all(e["offset"] % 512 == 0 for e in placed.values()))


if __name__ == "__main__":
    unittest.main()
