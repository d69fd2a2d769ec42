#!/usr/bin/env python3
"""quarvelin-cli image as a user runs it: exit statuses, JSON lines, Ctrl-C, real block devices."""
import argparse
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

ARGS = None


def native_path(path):
    """The path as the program sees it: Wine maps the Unix root to drive Z:."""
    return "Z:" + path if ARGS.emulator else path


def run_cli(*args, **kwargs):
    command = ([ARGS.emulator] if ARGS.emulator else []) + [ARGS.exe] + list(args)
    return subprocess.run(command, capture_output=True, timeout=240, **kwargs)


def json_lines(stdout):
    return [json.loads(line) for line in stdout.decode().splitlines()]


class ImageCommand(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quarvelin_cli_")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def make_source(self, size):
        data = os.urandom(size)
        with open(self.path("source.img"), "wb") as f:
            f.write(data)
        return data

    def test_images_a_file_byte_for_byte_with_json_lines(self):
        data = self.make_source(3 * 1048576 + 100)
        source = native_path(self.path("source.img"))
        result = run_cli("image", "--json", source, native_path(self.path("copy.img")))
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.path("copy.img"), "rb") as f:
            self.assertEqual(f.read(), data)
        lines = json_lines(result.stdout)
        self.assertEqual(lines[0]["text"], "Starting Disk Imaging on " + source)
        self.assertEqual(lines[1]["text"], "Source Size: 3 MB")
        self.assertEqual((lines[-1]["kind"], lines[-1]["code"]), ("Finished", 4))
        self.assertEqual(lines[-1]["text"], "Imaging Complete. 3 MB copied.")
        self.assertFalse([m for m in lines if m["kind"] == "Error"])
        # The checksums are printed and stored beside the image; the map says it is all read.
        sha256 = hashlib.sha256(data).hexdigest()
        md5 = hashlib.md5(data).hexdigest()
        texts = [m["text"] for m in lines]
        self.assertIn("Image SHA-256: " + sha256, texts)
        self.assertIn("Image MD5: " + md5, texts)
        with open(self.path("copy.img.sha256")) as f:
            self.assertEqual(f.read(), sha256 + "  copy.img\n")
        with open(self.path("copy.img.md5")) as f:
            self.assertEqual(f.read(), md5 + "  copy.img\n")
        with open(self.path("copy.img.map")) as f:
            blocks = [line.split() for line in f if not line.startswith("#")][1:]
        self.assertEqual(blocks, [["0x00000000", "0x00300064", "+"]])

        # Imaging again over that rescue is refused unless asked to resume, which has nothing left.
        again = run_cli("image", source, native_path(self.path("copy.img")))
        self.assertEqual(again.returncode, 1)
        self.assertIn(b"A rescue map is already at", again.stderr)
        resumed = run_cli("image", "--resume", "--no-checksums", source,
                          native_path(self.path("copy.img")))
        self.assertEqual(resumed.returncode, 0, resumed.stderr)
        self.assertIn(b"Resuming the imaging recorded in", resumed.stdout)
        with open(self.path("copy.img"), "rb") as f:
            self.assertEqual(f.read(), data)

    def test_paths_outside_ascii_name_the_files_read_and_written(self):
        # Greek and Japanese fit in no one legacy Windows code page; under UTF-8 as the program's
        # code page they reach the engine as typed.
        folder = self.path("Jürgen Ωμέγα 日本")
        os.mkdir(folder)
        data = os.urandom(1048576 + 512)
        with open(os.path.join(folder, "Quelle.img"), "wb") as f:
            f.write(data)
        source = native_path(os.path.join(folder, "Quelle.img"))
        result = run_cli("image", "--json", source, native_path(os.path.join(folder, "Kopie.img")))
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(folder, "Kopie.img"), "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual(json_lines(result.stdout)[0]["text"], "Starting Disk Imaging on " + source)

    def test_a_source_that_will_not_open_fails_without_output(self):
        # Usage errors and their statuses are cli_test's.
        result = run_cli("image", native_path(self.path("missing.img")), native_path(self.path("copy.img")))
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"Failed to open source drive. Check permissions.", result.stderr)
        self.assertFalse(os.path.exists(self.path("copy.img")))
        self.assertIn(b"Usage: quarvelin-cli image", run_cli("image", "--help").stdout)

    def test_a_double_dash_ends_the_options(self):
        data = self.make_source(4096)
        os.rename(self.path("source.img"), self.path("-src.img"))
        result = run_cli("image", "--", "-src.img", "copy.img", cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.path("copy.img"), "rb") as f:
            self.assertEqual(f.read(), data)


class NativeOnly(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quarvelin_cli_")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_ctrl_c_stops_and_keeps_the_partial_image_and_its_map(self):
        source = os.path.join(self.dir, "sparse.img")
        with open(source, "wb") as f:
            f.truncate(64 << 30)  # large enough that the copy is still running when interrupted
        output = os.path.join(self.dir, "partial.img")
        process = subprocess.Popen([ARGS.exe, "image", "--json", source, output],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        first = json.loads(process.stdout.readline())
        self.assertEqual(first["text"], "Starting Disk Imaging on " + source)
        json.loads(process.stdout.readline())  # Source Size: the copy loop is about to run
        process.send_signal(signal.SIGINT)
        rest, _ = process.communicate(timeout=120)
        self.assertEqual(process.returncode, 130)
        self.assertEqual(json_lines(rest)[-1], {"kind": "Status", "code": 2, "text": "Imaging Cancelled."})
        # The image has its full length (unread parts are holes); the map says how far it got, in
        # whole reads, ready for --resume.
        self.assertEqual(os.path.getsize(output), 64 << 30)
        with open(output + ".map") as f:
            blocks = [line.split() for line in f if not line.startswith("#")][1:]
        self.assertEqual([b[2] for b in blocks], ["+", "?"][-len(blocks):])
        self.assertEqual(sum(int(b[1], 16) for b in blocks), 64 << 30)
        self.assertEqual(int(blocks[0][1], 16) % 1048576, 0)

    def test_loop_devices_image_byte_for_byte(self):
        if os.geteuid() != 0 or shutil.which("losetup") is None:
            self.skipTest("needs root and losetup")
        backing = os.path.join(self.dir, "backing.img")
        data = os.urandom(6 * 1048576 + 8192)
        with open(backing, "wb") as f:
            f.write(data)
        for sector_size in (512, 4096):
            with self.subTest(sector_size=sector_size):
                device = subprocess.run(["losetup", "-f", "--show", "--sector-size", str(sector_size), backing],
                                        capture_output=True, check=True, text=True).stdout.strip()
                try:
                    output = os.path.join(self.dir, "loop%d.img" % sector_size)
                    result = run_cli("image", device, output)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    with open(output, "rb") as f:
                        self.assertEqual(f.read(), data)
                finally:
                    subprocess.run(["losetup", "-d", device], check=False)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator")
    parser.add_argument("--only-file-image", action="store_true")
    parser.add_argument("exe")
    ARGS, rest = parser.parse_known_args()
    if ARGS.only_file_image:
        del NativeOnly
    unittest.main(argv=[sys.argv[0]] + rest)
