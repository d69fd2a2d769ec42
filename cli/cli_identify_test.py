#!/usr/bin/env python3
"""quarvelin-cli identify on real sample files, as a user checks recovered files."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

EXE = None
FILES = None


def identify(*args):
    return subprocess.run([EXE, "identify"] + list(args), capture_output=True, timeout=120)


class Identify(unittest.TestCase):
    def test_formats_come_from_the_bytes_not_the_name(self):
        work = tempfile.mkdtemp(prefix="quarvelin_identify_")
        try:
            renamed = os.path.join(work, "holiday.dat")
            shutil.copy(os.path.join(FILES, "camera_exif_app1_first_thumbnail.jpg"), renamed)
            result = identify("--json", renamed, os.path.join(FILES, "archive_comment.zip"))
            self.assertEqual(result.returncode, 0, result.stderr)
            jpeg, archive = [json.loads(line) for line in result.stdout.decode().splitlines()]
            self.assertEqual((jpeg["format"], jpeg["extension"]), ("JPEG", "jpg"))
            self.assertEqual(jpeg["size"], os.path.getsize(renamed))
            self.assertEqual((jpeg["confidence"], jpeg["accepted"]), (100, True))
            self.assertIs(jpeg["fields"]["hasExif"], True)
            self.assertEqual(jpeg["issues"], [])
            # Whichever row matched first, the archive's names say it is no Word document.
            self.assertEqual((archive["format"], archive["extension"]), ("ZIP", "zip"))
            self.assertEqual(archive["size"], os.path.getsize(os.path.join(FILES, "archive_comment.zip")))
        finally:
            shutil.rmtree(work, ignore_errors=True)

    def test_unknown_and_missing_files_fail_with_a_reason(self):
        # A disk image starts with a boot sector, which no file type does.
        result = identify(os.path.join(FILES, "..", "sample_disk.img"), os.path.join(FILES, "missing.jpg"))
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"sample_disk.img: no known file header", result.stderr)
        self.assertIn(b"missing.jpg: cannot open", result.stderr)
        self.assertEqual(identify().returncode, 2)


if __name__ == "__main__":
    EXE, FILES = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
