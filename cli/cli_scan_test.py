#!/usr/bin/env python3
"""quarvelin-cli scan and types as a user runs them: image files, loop devices, refusals."""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

EXE = None
FILES = None


def run_cli(*args):
    return subprocess.run([EXE] + list(args), capture_output=True, timeout=300)


def lines(result):
    return [json.loads(line) for line in result.stdout.decode().splitlines()]


def is_root():
    return os.geteuid() == 0 and shutil.which("losetup") is not None


class ScanCommand(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quarvelin_scan_")
        self.image = os.path.join(self.dir, "disk.img")
        # Two photos and a PNG at sector starts between random bytes.
        rand = bytes(os.urandom(4 * 1048576))
        disk = bytearray(rand)
        self.placed = {}
        for offset, name in ((512 * 8, "harbour_jfif_app0.jpg"), (512 * 3000, "adam7_interlaced.png"),
                             (512 * 5000, "camera_exif_app1_first_thumbnail.jpg")):
            with open(os.path.join(FILES, name), "rb") as f:
                data = f.read()
            disk[offset:offset + len(data)] = data
            self.placed[name] = data
        with open(self.image, "wb") as f:
            f.write(disk)

    def tearDown(self):
        subprocess.run(["umount", "-q", os.path.join(self.dir, "mnt")], capture_output=True)
        shutil.rmtree(self.dir, ignore_errors=True)

    def recovered(self, out):
        found = {}
        for folder, _, names in os.walk(out):
            for name in names:
                if folder == out and name in ("manifest.jsonl", "scan-progress.json"):
                    continue
                with open(os.path.join(folder, name), "rb") as f:
                    found[os.path.relpath(os.path.join(folder, name), out)] = f.read()
        return found

    def test_types_filter_the_scan_and_the_summary_counts_by_folder(self):
        out = os.path.join(self.dir, "out")
        result = run_cli("scan", "--types", "jpg", self.image, out)
        self.assertEqual(result.returncode, 0, result.stderr)
        recovered = self.recovered(out)
        self.assertIn(self.placed["harbour_jfif_app0.jpg"], recovered.values())
        self.assertIn(self.placed["camera_exif_app1_first_thumbnail.jpg"], recovered.values())
        self.assertNotIn(self.placed["adam7_interlaced.png"], recovered.values())
        self.assertTrue(all(path.startswith("Images" + os.sep) for path in recovered))
        self.assertRegex(result.stdout.decode(), r"Recovered:[\s\S]*Images\s+\d+ files")

    def test_json_lines_and_refusals(self):
        # The FileFound lines' paths, sizes and count are checked on the sample disk.
        out = os.path.join(self.dir, "out")
        messages = lines(run_cli("scan", "--json", "--types=png", self.image, out))
        self.assertEqual(messages[0], {"kind": "Status", "code": 2,
                                       "text": "Starting native scan on " + self.image})
        found = [m["text"].split("|")[1] for m in messages if m["kind"] == "FileFound"]
        self.assertEqual(found, ["rec_0_2048.png"])
        self.assertEqual(messages[-1], {"kind": "Finished", "code": 4, "text": "1"})
        self.assertEqual(run_cli("scan", "--no-fs", "--types", "exe", self.image, out).returncode, 2)
        self.assertEqual(run_cli("scan", self.image).returncode, 2)
        missing = run_cli("scan", os.path.join(self.dir, "nope.img"), out)
        self.assertEqual(missing.returncode, 1)
        self.assertIn(b"Failed to open drive (", missing.stderr)

    def test_ctrl_c_ends_the_scan_with_its_count(self):
        sparse = os.path.join(self.dir, "sparse.img")
        with open(sparse, "wb") as f:
            f.truncate(64 << 30)  # zeros: still scanning when interrupted
        process = subprocess.Popen([EXE, "scan", "--json", sparse, os.path.join(self.dir, "out")],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        json.loads(process.stdout.readline())  # the scan has started
        process.send_signal(signal.SIGINT)
        rest, _ = process.communicate(timeout=120)
        self.assertEqual(process.returncode, 130)
        self.assertEqual(json.loads(rest.decode().splitlines()[-1]),
                         {"kind": "Finished", "code": 4, "text": "0"})

    def test_types_lists_every_extension_once(self):
        result = run_cli("types")
        self.assertEqual(result.returncode, 0)
        extensions = [line.split()[0] for line in result.stdout.decode().splitlines()]
        self.assertEqual(len(extensions), len(set(extensions)))
        self.assertTrue({"jpg", "png", "mp4", "docx", "zip", "7z", "xml"} <= set(extensions))

    @unittest.skipUnless(is_root(), "needs root and losetup")
    def test_loop_devices_and_an_output_folder_on_the_source(self):
        device = subprocess.run(["losetup", "-f", "--show", self.image], capture_output=True,
                                check=True, text=True).stdout.strip()
        try:
            out = os.path.join(self.dir, "out")
            result = run_cli("scan", "--types", "jpg,png", device, out)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(sorted(self.recovered(out).values()), sorted(self.placed.values()))
        finally:
            subprocess.run(["losetup", "-d", device], check=False)

        # A volume on a loop device, mounted, with the output folder inside it: refused.
        volume = os.path.join(self.dir, "volume.img")
        subprocess.run(["truncate", "-s", "8M", volume], check=True)
        subprocess.run(["mkfs.ext4", "-q", volume], check=True, capture_output=True)
        device = subprocess.run(["losetup", "-f", "--show", volume], capture_output=True,
                                check=True, text=True).stdout.strip()
        mount = os.path.join(self.dir, "mnt")
        os.mkdir(mount)
        try:
            if subprocess.run(["mount", device, mount], capture_output=True).returncode != 0:
                self.skipTest("cannot mount here")
            result = run_cli("scan", "--json", device, os.path.join(mount, "recovered"))
            self.assertEqual(result.returncode, 1)
            self.assertEqual([(m["kind"], m["text"]) for m in lines(result)[-2:]],
                             [("Error", "Output folder is on the drive being scanned. Choose another drive."),
                              ("Finished", "0")])
            self.assertFalse(os.path.exists(os.path.join(mount, "recovered")))
        finally:
            subprocess.run(["umount", "-q", mount], capture_output=True)
            subprocess.run(["losetup", "-d", device], check=False)

    @unittest.skipUnless(is_root(), "needs root to mount a small file system")
    def test_a_full_output_disk_ends_the_scan_with_an_error(self):
        mount = os.path.join(self.dir, "mnt")
        os.mkdir(mount)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=12k", "tmpfs", mount],
                          capture_output=True).returncode != 0:
            self.skipTest("cannot mount here")
        result = run_cli("scan", "--json", "--types", "jpg,png", self.image, os.path.join(mount, "out"))
        self.assertEqual(result.returncode, 1)
        messages = lines(result)
        errors = [m["text"] for m in messages if m["kind"] == "Error"]
        self.assertEqual(len(errors), 1)
        self.assertTrue(errors[0].startswith("Failed to write output file: "), errors)
        written = sum(1 for m in messages if m["kind"] == "FileFound")
        self.assertEqual(messages[-1], {"kind": "Finished", "code": 4, "text": str(written)})


if __name__ == "__main__":
    EXE, FILES = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
