#!/usr/bin/env python3
"""Runs the disk access plugin's tests under Wine with a drive letter whose raw device is an image
file, so sector reads go through the real Win32 path: maps Q: in the Wine prefix's dosdevices to a
64-sector image whose bytes the test can predict, runs the test program, removes the mapping."""
import argparse
import os
import subprocess
import sys
import tempfile

SECTORS = 64


def image_bytes():
    # Sector s holds (s * 31 + j) & 0xFF at byte j.
    return bytes((s * 31 + j) & 0xFF for s in range(SECTORS) for j in range(512))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator", required=True)
    parser.add_argument("program")
    args = parser.parse_args()

    prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
    link = os.path.join(prefix, "dosdevices", "q::")
    with tempfile.TemporaryDirectory() as folder:
        image = os.path.join(folder, "drive.img")
        with open(image, "wb") as out:
            out.write(image_bytes())
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(image, link)
        try:
            env = dict(os.environ, QUARVELIN_TEST_DRIVE="Q", QUARVELIN_TEST_SECTORS=str(SECTORS))
            return subprocess.run([args.emulator, args.program], env=env).returncode
        finally:
            os.remove(link)


if __name__ == "__main__":
    sys.exit(main())
