#!/usr/bin/env python3
"""quarvelin-cli drives as a user runs it: the engine's JSON list as is, and the table made from it."""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ARGS = None


def run_cli(*args):
    command = ([ARGS.emulator] if ARGS.emulator else []) + [ARGS.exe] + list(args)
    return subprocess.run(command, capture_output=True, timeout=120)


def listed():
    result = run_cli("drives", "--json")
    if result.returncode != 0:
        raise AssertionError(result.stderr)
    lines = result.stdout.decode("utf-8").splitlines()
    if len(lines) != 1:
        raise AssertionError("expected one line: %r" % result.stdout)
    return json.loads(lines[0])


class DrivesCommand(unittest.TestCase):
    def test_json_list_and_the_table_made_from_it(self):
        # The list's fields and their values are the engine's (drive_list_test).
        drives = listed()
        if ARGS.emulator:
            # Wine's C: (the prefix) and Z: (the Unix root) are both fixed drives.
            by_id = {d["id"]: d for d in drives}
            self.assertEqual((by_id["C:\\"]["letter"], by_id["C:\\"]["type"]), ("C:", "SSD"))
            self.assertEqual(by_id["Z:\\"]["type"], "SSD")
        else:
            for drive in drives:
                self.assertEqual(drive["id"], "/dev/" + drive["letter"])
                self.assertEqual(drive["free"], "0")

        result = run_cli("drives")
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = result.stdout.decode("utf-8").splitlines()
        if listed() != drives:
            self.skipTest("the drives changed during the test (a loop device came or went)")
        if drives:
            self.assertEqual(rows[0].split(), ["DEVICE", "NAME", "TYPE", "SIZE", "FREE"])
            self.assertEqual([row.split()[0] for row in rows[1:]], [d["id"] for d in drives])
        else:
            self.assertEqual(rows, ["No drives found."])

    def test_an_attached_loop_device_is_listed_under_its_backing_file(self):
        if ARGS.emulator or os.geteuid() != 0 or not shutil.which("losetup"):
            self.skipTest("needs Linux, root and losetup")
        work = tempfile.mkdtemp(prefix="quarvelin_drives_")
        image = os.path.join(work, "card.img")
        with open(image, "wb") as f:
            f.truncate(3 * 1048576)
        attach = subprocess.run(["losetup", "-f", "--show", image], capture_output=True, text=True)
        try:
            if attach.returncode != 0:
                self.skipTest("no loop device: " + attach.stderr.strip())
            device = attach.stdout.strip()
            entry = [d for d in listed() if d["id"] == device]
            self.assertEqual(len(entry), 1)
            self.assertEqual((entry[0]["name"], entry[0]["size"], entry[0]["type"]),
                             (image, str(3 * 1048576), "SSD"))
        finally:
            if attach.returncode == 0:
                subprocess.run(["losetup", "-d", attach.stdout.strip()], check=False)
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator")
    parser.add_argument("exe")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
