#!/usr/bin/env bash
# Builds the NTFS test volumes with mkntfs and ntfs-3g (FUSE), writes real files into them (folders,
# long and non-ASCII names, resident, sparse, compressed and fragmented files, a file with enough
# hard links to need an attribute list), deletes a folder tree and reuses some of the freed space.
# Writes NAME.img.gz and NAME.files (state, path, size, sha256 per file) beside this script.
# Run as root.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
files=$here/../files
work=$(mktemp -d "${TMPDIR:-/tmp}/ntfs-volumes.XXXXXX")
mounted=""
loopdev=""
fusepid=""

cleanup() {
  if [ -n "$mounted" ]; then fusermount -u "$mounted" 2>/dev/null || true; fi
  if [ -n "$loopdev" ]; then losetup -d "$loopdev" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# mount_image IMAGE DIR [SECTOR]: mounts through ntfs-3g; 4 KiB-sector images go through a loop
# device with that sector size.
mount_image() {
  local image=$1 dir=$2 sector=${3:-512}
  mkdir -p "$dir"
  if [ "$sector" = 512 ]; then
    ntfs-3g -o compression "$image" "$dir"
  else
    loopdev=$(losetup --find --show --sector-size "$sector" "$image")
    ntfs-3g -o compression "$loopdev" "$dir"
  fi
  mounted=$dir
}

unmount_image() {
  sync
  fusermount -u "$mounted"
  mounted=""
  # ntfs-3g finishes writing after the unmount returns; wait until the image is let go.
  for _ in $(seq 50); do
    if ! pgrep -f "ntfs-3g.*$work" >/dev/null; then break; fi
    sleep 0.1
  done
  if [ -n "$loopdev" ]; then
    losetup -d "$loopdev"
    loopdev=""
  fi
}

# A deterministic text of N bytes whose every line says where it is, so misplaced pieces show.
pattern() {
  awk -v n="$1" -v tag="$2" 'BEGIN {
    for (i = 0; total < n; i++) {
      line = sprintf("%s line %08d of a file whose pieces must come back in order\n", tag, i)
      if (total + length(line) > n) line = substr(line, 1, n - total)
      printf "%s", line
      total += length(line)
    }
  }'
}

# list_tree DIR STATE: one .files line per regular file under DIR.
list_tree() {
  local dir=$1 state=$2
  (cd "$dir" && find . -type f -print0 | sort -z | while IFS= read -r -d '' f; do
    printf '%s\t%s\t%s\t%s\n' "$state" "${f#./}" "$(stat -c %s "$f")" \
      "$(sha256sum "$f" | cut -d' ' -f1)"
  done)
}

# runs_of IMAGE PATH: the clusters (first count) of the unnamed $DATA, one run a line, holes left out.
runs_of() {
  ntfsinfo -v -F "$2" "$1" 2>/dev/null | awk '
    /Dumping attribute \$DATA/ { data = 1; next }
    /Dumping attribute/ { data = 0 }
    data && /Runlist:/ { inrun = 1; next }
    inrun && $1 ~ /^0x/ { if ($2 != "<HOLE>") print $2, $3; next }
    { inrun = 0 }'
}

# settle IMAGE LIST RUNS: rewrites "deleted" lines of LIST as "overwritten" when any cluster the
# file had (RUNS: path, then "first count" pairs) is now set in $Bitmap.
settle() {
  ntfscat "$1" '$Bitmap' >"$work/bitmap"
  python3 - "$work/bitmap" "$2" "$3" <<'PY'
import sys
bitmap = open(sys.argv[1], "rb").read()
runs = {}
for line in open(sys.argv[3], encoding="utf-8"):
    path, rest = line.rstrip("\n").split("\t", 1)
    runs[path] = [tuple(int(x, 0) for x in r.split()) for r in rest.split(";") if r.strip()]
def used(lcn):
    return bitmap[lcn // 8] >> (lcn % 8) & 1
out = []
for line in open(sys.argv[2], encoding="utf-8"):
    state, path, size, digest = line.rstrip("\n").split("\t")
    if state == "deleted" and any(used(c) for first, n in runs.get(path, []) for c in range(first, first + n)):
        state = "overwritten"
    out.append("\t".join((state, path, size, digest)))
open(sys.argv[2], "w", encoding="utf-8").write("\n".join(out) + "\n")
PY
}

# record_deleted IMAGE DIR PATHS...: lists the files under PATHS (relative to the mounted DIR) as
# deleted, and their runs, before they are removed. Needs the image unmounted for ntfsinfo, so it
# is given the list made while mounted.
note_runs() {
  local image=$1 list=$2 out=$3 path
  while IFS=$'\t' read -r _ path _ _; do
    printf '%s\t%s\n' "$path" "$(runs_of "$image" "/$path" | paste -sd';')" >>"$out"
  done <"$list"
}

make_volume() {
  local name=$1 sector=$2 cluster=$3 size=$4
  local image=$work/$name.img mnt=$work/mnt-$name list=$work/$name.files
  local gone=$work/$name.gone runs=$work/$name.runs
  : >"$gone"
  : >"$runs"
  truncate -s "$size" "$image"
  mkntfs -F -Q -q -s "$sector" -c "$cluster" -L "Quarvelin $name" "$image"

  mount_image "$image" "$mnt" "$sector"
  # A throwaway file first: its record is the lowest one freed later, so the file written after
  # the deletions takes it instead of a deleted file's record.
  echo decoy >"$mnt/decoy.txt"
  mkdir -p "$mnt/Documents/Reports/2024" "$mnt/Photos/Été à Zürich 日本" "$mnt/Music"
  cp "$files/ghostscript_two_pages.pdf" "$mnt/Documents/Reports/2024/quarterly report.pdf"
  cp "$files/harbour_jfif_app0.jpg" "$mnt/Photos/Été à Zürich 日本/harbour.jpg"
  cp "$files/gray_16bit_text_chunk.png" "$mnt/Photos/Été à Zürich 日本/grey ünïcödé.png"
  cp "$files/id3v2_and_id3v1_tags.mp3" "$mnt/Music/tagged song.mp3"
  printf 'A small note kept inside its own file record.\n' >"$mnt/Documents/note.txt"
  printf 'tiny' >"$mnt/Documents/Reports/tiny.txt"
  : >"$mnt/Documents/empty.txt"
  pattern 5000 long >"$mnt/Documents/$(printf 'a long file name that goes on and on %.0s' 1 2 3 4 5)end.txt"
  # Hidden and system files are users' files too.
  echo "hidden but mine" >"$mnt/Documents/hidden.txt"
  python3 -c "import os; os.setxattr('$mnt/Documents/hidden.txt','system.ntfs_attrib_be',bytes.fromhex('00000026'))"
  # Sparse: a hole, some data, another hole.
  truncate -s 300000 "$mnt/sparse.bin"
  pattern 20000 sparse | dd of="$mnt/sparse.bin" bs=1 seek=150000 conv=notrunc status=none
  # Compressed: every file made in this folder is stored in compression units.
  mkdir "$mnt/Compressed"
  python3 -c "import os; os.setxattr('$mnt/Compressed','system.ntfs_attrib_be',bytes.fromhex('00000810'))"
  pattern 90000 compressed >"$mnt/Compressed/compressible.txt"
  cp "$files/harbour_jfif_app0.jpg" "$mnt/Compressed/photo.jpg"
  # Hard links in several folders, enough long names to overflow the record.
  mkdir -p "$mnt/Links/More"
  pattern 3000 linked >"$mnt/Links/linked.txt"
  for i in $(seq -w 1 "$LINKS"); do
    ln "$mnt/Links/linked.txt" "$mnt/Links/More/another name for the linked file, number $i.txt"
  done
  # The folder that gets deleted, with sub-folders and files.
  mkdir -p "$mnt/Trash/Old photos/2019" "$mnt/Trash/Letters"
  cp "$files/cmyk_adobe_app14_first.jpg" "$mnt/Trash/Old photos/2019/cmyk.jpg"
  cp "$files/incremental_crlf_line_ends.pdf" "$mnt/Trash/Letters/letter.pdf"
  printf 'a deleted resident note\n' >"$mnt/Trash/Letters/short.txt"
  pattern 12000 trash >"$mnt/Trash/readme.txt"

  # Fill the volume with one-cluster fillers, then a ballast file up to a few clusters short of
  # full, free every other filler, then write files that can only go into the gaps.
  local free count=$FILLERS
  mkdir "$mnt/Fillers"
  filler() { printf '%s/Fillers/f%04d.txt' "$mnt" "$1"; }
  for ((i = 0; i < count; i++)); do pattern "$cluster" "filler$i" >"$(filler $i)"; done
  free=$(df -B1 --output=avail "$mnt" | tail -n 1)
  head -c $((free - 8 * cluster)) /dev/zero >"$mnt/ballast.bin" 2>/dev/null || true
  for ((i = 1; i < count; i += 2)); do rm "$(filler $i)"; done
  pattern $((count / 3 * cluster)) fragmented >"$mnt/fragmented.txt"
  pattern $((count / 12 * cluster)) "deleted fragmented" >"$mnt/Trash/Letters/fragmented draft.txt"
  for ((i = 2; i < count; i += 4)); do rm "$(filler $i)"; done
  pattern $((count / 10 * cluster)) "deleted too" >"$mnt/Trash/Old photos/2019/pieces.txt"
  list_tree "$mnt/Trash" deleted | sed 's|^deleted\t|deleted\tTrash/|' >"$gone"
  unmount_image

  note_runs "$image" "$gone" "$runs"

  mount_image "$image" "$mnt" "$sector"
  rm -rf "$mnt/Trash"
  rm "$mnt/decoy.txt"
  # New data over part of the freed space.
  pattern $((count / 8 * cluster)) overwriting >"$mnt/overwriting.txt"
  list_tree "$mnt" live | grep -v $'\tLinks/More/' >"$list"
  cat "$gone" >>"$list"
  unmount_image

  settle "$image" "$list" "$runs"
  ntfsfix -n "$image" >/dev/null
  gzip -9nc "$image" >"$here/$name.img.gz"
  sort -t$'\t' -k2 "$list" >"$here/$name.files"
  echo "$name: $(wc -l <"$here/$name.files") files, $(stat -c %s "$here/$name.img.gz") bytes gzipped"
}

LINKS=40 FILLERS=480 make_volume ntfs_512 512 1024 $((12 * 1024 * 1024))
LINKS=12 FILLERS=160 make_volume ntfs_4k 4096 4096 $((12 * 1024 * 1024))
