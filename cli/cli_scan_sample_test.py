#!/usr/bin/env python3
"""quarvelin-cli scan on the main job's sample disk, which holds every sample file in a FAT volume (half of
them deleted) and between random and zeroed gaps: carving alone must bring every file back byte for byte,
named and filed by what its content is, and reported with the size it has on disk; the full scan brings the
FAT volume's files back under their own names and carves only the rest, every file exactly once.

  cli_scan_sample_test.py QUARVELIN_CLI_PATH [unittest options]
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import check_recovery  # noqa: E402

CLI = None
TABLE = []  # the scanner's types: (extension, category folder, headers, headers in any letter case)
# The main job's sample disk (tools/main-job.sh): a FAT volume with half its files deleted, then a raw
# area of files between random and zeroed gaps.
SAMPLE_DISK = ["--seed", "7", "--fat-mib", "8", "--raw-mib", "48"]


def build_sample(folder):
    image = os.path.join(folder, "sample.img")
    manifest = os.path.join(folder, "sample.json")
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "sample_disk.py"), "--out", image,
                    "--manifest", manifest] + SAMPLE_DISK, check=True, stdout=subprocess.DEVNULL)
    with open(manifest) as f:
        return image, json.load(f)


def expected_back(manifest):
    """The files a scan of every type brings back: not those of the types carved only when asked for."""
    unasked = check_recovery.only_when_selected(CLI)
    return [o for o in manifest["files"] if o["extension"] not in unasked]


def content_problems(results):
    problems = []
    for r in results:
        o, c, near = r["original"], r["carved"], r.get("near")
        if r["status"] == "lost":
            hint = ", %s starts alike and has %d bytes" % (near.relative, near.size) if near else ""
            problems.append("%s: lost%s" % (o["name"], hint))
        elif r["status"] != "exact":
            problems.append("%s (%s): %d bytes too many" % (o["name"], c.relative, r["extra"]))
    return problems


def naming_problems(results, sector_size):
    """Every matched carve carries the original's extension, sits in that type's folder, and names the chunk
    in which its header lies."""
    chunk = check_recovery.CHUNK_SECTORS * sector_size
    problems = []
    for r in results:
        o, c = r["original"], r["carved"]
        if c is None:
            continue
        expected = {(e, f) for e, f, _, _ in TABLE if check_recovery.same_extension(e, o["extension"])}
        if (c.extension, c.folder) not in expected:
            problems.append("%s came back as %s; expected %s" % (o["name"], c.relative, sorted(expected)))
        if c.sector is None:
            problems.append("%s came back as %s, not named rec_<n>_<sector>.<ext>" % (o["name"], c.relative))
        elif o["offset"] is not None and not 0 <= o["offset"] - c.sector * sector_size < chunk:
            problems.append("%s at byte %d came back as %s, named after another chunk"
                            % (o["name"], o["offset"], c.relative))
    return problems


def found_line_problems(lines, outdir):
    """The FileFound lines name exactly the files under outdir, each with its size on disk; the numbers in
    the names run from 0; Finished counts them."""
    problems = []
    reported = {}
    for line in lines:
        if line["kind"] != "FileFound":
            continue
        parts = line["text"].split("|")
        if len(parts) != 4 or parts[3] != "Native" or not parts[2].isdigit():
            problems.append("malformed FileFound text: " + line["text"])
            continue
        path, name, size = parts[0], parts[1], int(parts[2])
        if os.path.basename(path) != name or \
                os.path.normpath(os.path.dirname(os.path.dirname(path))) != os.path.normpath(outdir):
            problems.append("FileFound path %s is not OUTDIR/<folder>/%s" % (path, name))
        if path in reported:
            problems.append("FileFound twice: " + path)
        reported[path] = size
        if os.path.isfile(path) and os.path.getsize(path) != size:
            problems.append("%s reported as %d bytes, has %d" % (path, size, os.path.getsize(path)))
    carved = check_recovery.list_carved(outdir)
    on_disk = {os.path.normpath(c.path) for c in carved}
    reported_paths = {os.path.normpath(p) for p in reported}
    problems += ["reported but not on disk: " + p for p in sorted(reported_paths - on_disk)]
    problems += ["on disk but not reported: " + p for p in sorted(on_disk - reported_paths)]

    numbers = []
    categories = {e: f for e, f, _, _ in TABLE}
    for c in carved:
        found = check_recovery.CARVED_NAME.match(os.path.basename(c.path))
        if c.relative.count(os.sep) != 1 or not found or categories.get(found.group(3)) != c.folder:
            problems.append("misplaced or misnamed: " + c.relative)
        else:
            numbers.append(int(found.group(1)))
    if sorted(numbers) != list(range(len(numbers))):
        problems.append("file numbers are not 0..%d: %s" % (len(numbers) - 1, sorted(numbers)))
    finished = [line["text"] for line in lines if line["kind"] == "Finished"]
    if finished != [str(len(reported))]:
        problems.append("Finished %s after %d FileFound lines" % (finished, len(reported)))
    return problems


class ScanSampleDisk(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        TABLE[:] = check_recovery.load_table(CLI)
        cls.dir = tempfile.mkdtemp(prefix="quarvelin_scan_")
        cls.outdir = os.path.join(cls.dir, "out")
        image, cls.manifest = build_sample(cls.dir)
        cls.result = subprocess.run([CLI, "scan", "--json", "--no-fs", image, cls.outdir], capture_output=True,
                                    timeout=900)
        cls.lines = []
        for line in cls.result.stdout.decode(errors="replace").splitlines():
            try:
                cls.lines.append(json.loads(line))
            except ValueError:
                cls.lines.append({"kind": "unparsed", "text": line})
        cls.results = check_recovery.match(expected_back(cls.manifest), check_recovery.list_carved(cls.outdir),
                                           cls.manifest["sector_size"])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def test_scan_succeeds_and_ends_with_finished(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr.decode(errors="replace")[-2000:])
        self.assertTrue(self.lines, "no output")
        self.assertEqual(self.lines[-1]["kind"], "Finished", self.lines[-1])

    def test_every_file_comes_back_whole_named_filed_and_reported(self):
        self.assertEqual(content_problems(self.results) +
                         naming_problems(self.results, self.manifest["sector_size"]) +
                         found_line_problems(self.lines, self.outdir), [])


class ScanSampleDiskWithNames(unittest.TestCase):
    maxDiff = None

    def test_the_volumes_files_come_back_named_the_rest_carved_each_once(self):
        folder = tempfile.mkdtemp(prefix="quarvelin_named_")
        try:
            image, manifest = build_sample(folder)
            outdir = os.path.join(folder, "out")
            result = subprocess.run([CLI, "scan", image, outdir], capture_output=True, timeout=900)
            self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace")[-2000:])
            results = check_recovery.match(expected_back(manifest), check_recovery.list_carved(outdir),
                                           manifest["sector_size"])
            self.assertEqual(content_problems(results), [])
            with open(os.path.join(outdir, check_recovery.MANIFEST)) as f:
                records = [json.loads(line) for line in f]
            named = [r for r in records if r["foundBy"] == "file system"]
            in_volume = [f for f in manifest["files"] if f.get("path")]
            self.assertGreaterEqual(len(named), len(in_volume) // 2)
            # Nothing is recovered twice: no carved file comes from sectors a named one came from.
            taken = set()
            for r in named:
                for first, count in r["sectors"]:
                    taken.update(range(first, first + count))
            twice = [r["file"] for r in records if r["foundBy"] == "carving" and
                     any(s in taken for first, count in r["sectors"] for s in range(first, first + count))]
            self.assertEqual(twice, [])
        finally:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    CLI = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:])
