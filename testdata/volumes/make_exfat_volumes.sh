#!/usr/bin/env bash
# Builds the exFAT test volumes: mkfs.exfat (exfatprogs) on an image, the image attached to a loop
# device and mounted with the FUSE driver (exfat-fuse, which wants a block device), real files
# copied in, some deleted. Lists in NAME.files what a perfect reader reports for each file the
# script made:
#   state<TAB>path<TAB>size<TAB>sha256
# How this driver deletes decides the states: it clears the in-use bits of the entry set and the
# file's allocation bitmap bits, and zeroes the FAT chain of a fragmented file, so a deleted
# fragmented file can only be taken to lie in one stretch and is listed as overwritten when that
# stretch now overlaps other files. Needs root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
samples=$(cd "$here/../files" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/exfat-volumes.XXXXXX")
mnt="$work/mnt"
mkdir -p "$mnt"
loop=""

cleanup() {
  if mountpoint -q "$mnt"; then fusermount -u "$mnt" || true; fi
  if [ -n "$loop" ]; then losetup -d "$loop" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
export LC_ALL=C.UTF-8 TZ=UTC

img=""
name=""
declare -A state size sha
order=()

# new NAME MIB SECTOR_BYTES [mkfs options...]: a fresh image of MIB MiB attached to a loop device
# with sectors of SECTOR_BYTES, formatted there with the options and mounted on $mnt
new() {
  name=$1
  img="$work/$1.img"
  truncate -s "$2M" "$img"
  loop=$(losetup --find --show --sector-size "$3" "$img")
  shift 3
  mkfs.exfat "$@" "$loop" >/dev/null
  mount.exfat-fuse "$loop" "$mnt" >/dev/null
  state=() size=() sha=() order=()
}

unmount_image() {
  fusermount -u "$mnt"
  # The driver writes its last changes as it exits; wait for it to let go of the device.
  for _ in $(seq 50); do
    mountpoint -q "$mnt" || break
    sleep 0.1
  done
  sleep 0.5
  losetup -d "$loop"
  loop=""
}

# put PATH PIECE...: writes the pieces (sample file names, "text:..." for a line of text or
# "lines:N:TAG" for N numbered lines) to PATH on the volume, and lists it as live
put() {
  local path=$1 piece out="$work/piece"
  shift
  : >"$out"
  for piece in "$@"; do
    case "$piece" in
      text:*) printf '%s\n' "${piece#text:}" >>"$out" ;;
      lines:*)
        local rest=${piece#lines:}
        seq -f "%06g ${rest#*:} line, numbered so that no two clusters read alike" \
          "${rest%%:*}" >>"$out"
        ;;
      *) cat "$samples/$piece" >>"$out" ;;
    esac
  done
  mkdir -p "$(dirname "$mnt/$path")"
  cp "$out" "$mnt/$path"
  state[$path]=live
  size[$path]=$(stat -c %s "$out")
  sha[$path]=$(sha256sum "$out" | cut -d' ' -f1)
  order+=("$path")
}

# remove PATH...: deletes files or whole folders; every listed file under them becomes deleted
remove() {
  local path p
  for path in "$@"; do
    rm -rf "${mnt:?}/$path"
    for p in "${order[@]}"; do
      if [ "$p" = "$path" ] || [[ "$p" == "$path/"* ]]; then state[$p]=deleted; fi
    done
  done
}

# overwritten PATH...: deleted files some of whose clusters another file now holds
overwritten() {
  local p
  for p in "$@"; do state[$p]=overwritten; done
}

# reused PATH...: deleted files whose clusters a later file took and then freed again: nothing
# tells a reader, which lists them as deleted, but their content is gone ("-" for the sha256)
reused() {
  local p
  for p in "$@"; do sha[$p]=-; done
}

finish() {
  unmount_image
  fsck.exfat -n "$img" >/dev/null
  local p
  for p in "${order[@]}"; do
    printf '%s\t%s\t%s\t%s\n' "${state[$p]}" "$p" "${size[$p]}" "${sha[$p]}"
  done >"$here/$name.files"
  gzip -9nc "$img" >"$here/$name.img.gz"
  rm -f "$img"
}

# A tree: non-ASCII and long names, an empty file, multi-cluster files, a deleted folder with
# folders in it, deleted files whose space nothing took since.
new exfat_tree 8 512 -L "Quarvelin"
put "Фото/harbour.jpg" harbour_jfif_app0.jpg
put "Фото/café.png" rgba_gradient_alpha.png
put "日本語/報告書.pdf" ghostscript_two_pages.pdf
put "Documents/report.docx" pandoc_report.docx
put "Documents/notes.txt" "text:Notes for the week: back up the photos."
put "Documents/A rather long file name that needs several name entries to hold all of it.txt" \
  "text:The name of this file takes six name entries."
put "Documents/Music/tone.flac" tone_16bit_seektable_padding.flac
put "Documents/Music/voice.mp3" id3v2_and_id3v1_tags.mp3
put "empty.txt"
put "big log.txt" "lines:9000:log"
put "Old Projects/readme.txt" "text:Projects we finished."
put "Old Projects/2019/plan.txt" "lines:300:plan"
put "Old Projects/2019/budget.pdf" tiny_one_line_page.pdf
put "Old Projects/2019/Drafts/draft.rtf" pandoc_short_letter.rtf
put "Old Projects/2019/Drafts/sketch.gif" gif87a_still.gif
put "Documents/deleted.jpg" progressive_multi_scan.jpg
put "Фото/удалено.png" noise_several_idat_chunks.png
# The driver ignores a change of the modification time alone: set both.
touch -d @1710498030 "$mnt/Documents/notes.txt"
remove "Old Projects" "Documents/deleted.jpg" "Фото/удалено.png"
finish

# Fragments and reuse, with 512-byte clusters: the driver fills the first free clusters, so a
# file written after others were deleted takes their gaps.
new exfat_fragmented 4 512 -c 512 -b 4K -L "Fragments"
put "photos/victim.jpg" camera_exif_app1_first_thumbnail.jpg
for i in $(seq -w 1 24); do put "fill/part$i.txt" "lines:240:part$i"; done
remove "photos/victim.jpg"
for i in $(seq -w 1 2 23); do remove "fill/part$i.txt"; done
# Takes the victim's clusters and the first six gaps, and so runs through a FAT chain.
put "fragmented.txt" "lines:1400:fragmented"
overwritten "photos/victim.jpg" "fill/part01.txt" "fill/part03.txt" "fill/part05.txt" \
  "fill/part07.txt" "fill/part09.txt" "fill/part11.txt"
# Fragmented too, then deleted: its chain is gone, and one stretch from its first cluster runs
# over the live parts between its gaps. It had taken the rest of part11's gap and the gaps of
# part13, part15 and part17, which are free again.
put "gone/fragmented then deleted.txt" "lines:700:gone"
remove "gone/fragmented then deleted.txt"
overwritten "gone/fragmented then deleted.txt"
reused "fill/part13.txt" "fill/part15.txt" "fill/part17.txt"
finish

# 4096-byte sectors: mkfs.exfat on a loop device that has them.
new exfat_4k_sectors 8 4096 -b 64K -L "Big Sectors"
put "readme.txt" "text:A volume with 4096-byte sectors."
put "Music/voice.mp3" id3v2_cover_art_48khz.mp3
put "Music/Ünïcödé tone.flac" embedded_cover_picture.flac
put "pictures/noise.png" noise_several_idat_chunks.png
put "pictures/gone.jpg" icc_profile_app2.jpg
put "logs/long.txt" "lines:3000:sector"
remove "pictures/gone.jpg" "logs"
finish
