#!/usr/bin/env bash
# Regenerates testdata/sample_disk.img: a small FAT12 volume, as a USB stick would hold it, with a
# few files on it and one deleted. The imaging job copies it; scans carve it.
# Needs dosfstools and mtools.
set -euo pipefail
cd "$(dirname "$0")"
out=sample_disk.img
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rm -f "$out"
mkfs.fat -C -F 12 -n QUARVELIN -i 51A3C0DE "$out" 2048 >/dev/null
export MTOOLS_SKIP_CHECK=1

printf 'Shopping list\n- coffee\n- bread\n- batteries for the camera\n' >"$work/LIST.TXT"
for i in $(seq 1 200); do
  printf 'Line %03d of the holiday notes: the ferry leaves at %02d:%02d.\n' "$i" $((i % 24)) $((i % 60))
done >"$work/NOTES.TXT"
seq 1 20000 >"$work/NUMBERS.TXT"

mmd -i "$out" ::/DOCS
mcopy -i "$out" "$work/LIST.TXT" ::/LIST.TXT
mcopy -i "$out" "$work/NOTES.TXT" ::/DOCS/NOTES.TXT
mcopy -i "$out" "$work/NUMBERS.TXT" ::/DOCS/NUMBERS.TXT
# Deleted: its directory entry is marked free, its clusters stay on the volume.
mdel -i "$out" ::/DOCS/NUMBERS.TXT
mdir -i "$out" -/ ::/
