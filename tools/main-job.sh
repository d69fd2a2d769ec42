#!/usr/bin/env bash
# The main job: builds quarvelin-cli, makes a sample disk from the real files in testdata/files (a
# small FAT volume with half its files deleted, then a raw area of files at sector-aligned offsets
# between random and zeroed gaps), recovers it (the FAT volume's files by name, the rest by carving),
# and reports what came back and how much of it matches the originals byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh native

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target quarvelin-cli -j "$(nproc)" >/dev/null

work=build/main-job
rm -rf "$work"
mkdir -p "$work"
echo "Making a sample disk from testdata/files ..."
python3 tools/sample_disk.py --out "$work/sample_disk.img" --manifest "$work/sample_disk.json" \
  --seed 7 --fat-mib 8 --raw-mib 48
echo "Recovering $work/sample_disk.img into $work/recovered (named through its FAT volume, then carved) ..."
build/release/bin/quarvelin-cli scan "$work/sample_disk.img" "$work/recovered" | tail -n 10
echo
python3 tools/check_recovery.py --cli build/release/bin/quarvelin-cli "$work/recovered" "$work/sample_disk.json"
