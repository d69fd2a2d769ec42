#!/usr/bin/env bash
# Cuts LZNT1-compressed units, as NTFS stores them, out of a volume ntfs-3g wrote with compression
# on: for each file, lznt1/<name>.lznt1 holds the clusters of its first compression unit and
# lznt1/<name>.plain the bytes they decompress to. Needs root (FUSE). Idempotent.
# (Not named make_*_volumes.sh: it makes no test volume of its own.)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
files=$(cd "$here/../files" && pwd)
out=$here/lznt1
work=$(mktemp -d "${TMPDIR:-/tmp}/quarvelin-lznt1.XXXXXX")
mnt=$work/mnt
mounted=0
cleanup() {
  if [ "$mounted" = 1 ]; then fusermount -u "$mnt" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

img=$work/ntfs.img
truncate -s 8M "$img"
# Compression needs clusters of at most 4 KiB; a unit is then 16 clusters.
mkntfs -F -Q -q -c 4096 "$img" 2>/dev/null
mkdir "$mnt"
ntfs-3g -o compression "$img" "$mnt"
mounted=1
mkdir "$mnt/c"
# FILE_ATTRIBUTE_COMPRESSED on the folder: files made in it are compressed.
python3 -c 'import os, sys; os.setxattr(sys.argv[1], "system.ntfs_attrib_be", bytes([0, 0, 8, 0]))' "$mnt/c"

mkdir -p "$work/plain"
# Text: literals and short references; the unit's data ends well before the unit does.
cat "$files/doctype_uppercase_tags.html" "$files"/*.xml "$files"/*.svg >"$work/plain/text"
# One phrase over and over: long copies whose source overlaps their destination.
{ yes 'the quick brown fox jumps over the lazy dog, ' || true; } | head -c 65536 >"$work/plain/repeat"
# Incompressible chunks (stored as they are) between compressible ones.
{
  head -c 4096 "$files/harbour_jfif_app0.jpg"
  head -c 8192 /dev/zero
  tail -c 4096 "$files/harbour_jfif_app0.jpg"
  head -c 16384 "$work/plain/text"
  head -c 5000 "$files/ghostscript_two_pages.pdf"
} >"$work/plain/mixed"
for name in text repeat mixed; do cp "$work/plain/$name" "$mnt/c/$name"; done
fusermount -u "$mnt"
mounted=0

mkdir -p "$out"
for name in text repeat mixed; do
  # The first run is the unit's data; the hole after it pads the unit to 16 clusters.
  read -r lcn length < <(ntfsinfo -v -F "/c/$name" "$img" |
    awk '/Runlist:/ { on = 1; next } on && $1 ~ /^0x/ { print $2, $3; exit }')
  if [ "$((length))" -ge 16 ]; then
    echo "$name was not compressed" >&2
    exit 1
  fi
  dd if="$img" of="$out/$name.lznt1" bs=4096 skip=$((lcn)) count=$((length)) status=none
  head -c 65536 "$work/plain/$name" >"$out/$name.plain"
done
ls -l "$out"
