#!/usr/bin/env bash
# The main job: builds quarvelin-cli and images the bundled sample disk, then checks the copy
# byte for byte against the original.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh native

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target quarvelin-cli -j "$(nproc)" >/dev/null

out=build/main-job
mkdir -p "$out"
source_image=testdata/sample_disk.img
copy="$out/sample_disk_copy.img"
echo "Imaging $source_image into $copy"
build/release/bin/quarvelin-cli image "$source_image" "$copy"

if cmp -s "$source_image" "$copy"; then
  echo "Verified: the copy is byte-for-byte identical to $source_image ($(stat -c %s "$copy") bytes)."
else
  echo "MISMATCH: $copy differs from $source_image" >&2
  exit 1
fi
