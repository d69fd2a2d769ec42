#!/usr/bin/env bash
# Builds the FAT test volumes with mkfs.vfat and mtools (no mounting), writes real files into them,
# deletes some, and lists in NAME.files what a perfect reader reports for each file the script made:
#   state<TAB>path<TAB>size<TAB>sha256
# Deleted short names lose their first character on FAT: the list gives the name the reader makes
# of them ('_' in its place); deleted files with a long name keep it whole.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
samples=$(cd "$here/../files" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/fat-volumes.XXXXXX")
trap 'rm -rf "$work"' EXIT

# mtools reads and writes names through the locale; its short names use code page 850, which
# agrees with 437 for the accented letters used here.
export LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1

img=""
list=""
src="$work/src"
mkdir -p "$src"

# new IMAGE: starts a fresh list for IMAGE
new() {
  img="$work/$1.img"
  list="$work/$1.files"
  : >"$list"
}

# file NAME SOURCE...: makes a source file of the given pieces concatenated (a piece is a sample
# file name, or "text:..." for literal text)
file() {
  local out="$src/$1" piece
  shift
  mkdir -p "$(dirname "$out")"
  : >"$out"
  for piece in "$@"; do
    case "$piece" in
      text:*) printf '%s\n' "${piece#text:}" >>"$out" ;;
      *) cat "$samples/$piece" >>"$out" ;;
    esac
  done
}

# repeat NAME SAMPLE COUNT: a larger file made of COUNT copies of a sample, each followed by its
# copy number so no two clusters are alike
repeat() {
  local out="$src/$1" i
  : >"$out"
  for ((i = 0; i < $3; i++)); do
    cat "$samples/$2" >>"$out"
    printf 'copy %d\n' "$i" >>"$out"
  done
}

# First-fit allocation on FAT32: mtools follows the FSInfo next-free hint, so clear it ("unknown")
# before every write; freed clusters are then reused and files fragment.
unhint() {
  local fsinfo
  fsinfo=$(od -An -tu2 -j48 -N2 "$img" | tr -d ' ')
  local sector
  sector=$(od -An -tu2 -j11 -N2 "$img" | tr -d ' ')
  printf '\xff\xff\xff\xff' | dd of="$img" bs=1 seek=$((fsinfo * sector + 492)) conv=notrunc status=none
}

# put SOURCE DEST: copies a source file to DEST on the image
put() {
  [ "${fat32:-0}" = 1 ] && unhint
  mcopy -i "$img" "$src/$1" "::/$2"
}
mkdir_() {
  [ "${fat32:-0}" = 1 ] && unhint
  mmd -i "$img" "::/$1"
}

# expect STATE PATH SOURCE: records what a reader should report for a file
expect() {
  local size sum
  size=$(stat -c %s "$src/$3")
  sum=$(sha256sum "$src/$3" | cut -d' ' -f1)
  printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$size" "$sum" >>"$list"
}

finish() {
  local name
  name=$(basename "$img" .img)
  fsck.vfat -n "$img" >/dev/null
  gzip -9nc "$img" >"$here/$name.img.gz"
  cp "$list" "$here/$name.files"
  echo "$name: $(stat -c %s "$here/$name.img.gz") bytes"
}

# (a) FAT12 on a 1.44 MB floppy: a few files and a folder, one deleted file.
new fat12
fat32=0
mkfs.vfat -C -n FLOPPY "$img" 1440 >/dev/null
file readme.txt "text:A floppy with a few files on it."
file harbour.jpg harbour_jfif_app0.jpg
file report.pdf ghostscript_two_pages.pdf
file notes.txt "text:Notes kept in a folder." "text:Second line."
file old.txt "text:This file was deleted but its cluster is still free."
put readme.txt README.TXT
put harbour.jpg harbour.jpg
mkdir_ DOCS
put report.pdf DOCS/REPORT.PDF
put notes.txt DOCS/notes.txt
put old.txt OLD.TXT
mdel -i "$img" ::/OLD.TXT
expect live README.TXT readme.txt
expect live harbour.jpg harbour.jpg
expect live DOCS/REPORT.PDF report.pdf
expect live DOCS/notes.txt notes.txt
expect deleted _LD.TXT old.txt
finish

# (b) FAT16 (16 MiB): long and non-ASCII names, a deleted folder tree, deleted files.
new fat16
mkfs.vfat -C -F 16 -n HOLIDAY "$img" 16384 >/dev/null
file menu.txt "text:Soupe du jour, café, crème brûlée."
file japanese.txt "text:日本語のテキスト"
file beach.jpg progressive_multi_scan.jpg
file sunset.png noise_several_idat_chunks.png
file ete.txt "text:Short name with an accented letter."
file long.pdf incremental_crlf_line_ends.pdf
repeat album.mp3 speech_one_second_32k_no_tag.mp3 6
file plan.txt "text:Plan for 2019."
file draft.txt "text:First draft, in a folder inside a deleted folder."
file budget.pdf tiny_one_line_page.pdf
file song.mp3 id3v2_and_id3v1_tags.mp3
file gone.txt "text:Short-named file, deleted."
file empty.txt
put menu.txt "café menu.txt"
put japanese.txt "日本語.txt"
mkdir_ "Фото отпуск"
put beach.jpg "Фото отпуск/beach photo.jpg"
put sunset.png "Фото отпуск/sunset.png"
put ete.txt "ÉTÉ.TXT"
put long.pdf "Mixed Case Long Name.pdf"
put album.mp3 "Фото отпуск/album.mp3"
put empty.txt "empty.txt"
mkdir_ "Old Projects"
mkdir_ "Old Projects/2019"
mkdir_ "Old Projects/2019/drafts"
put plan.txt "Old Projects/2019/PLAN.TXT"
put draft.txt "Old Projects/2019/drafts/draft one.txt"
put budget.pdf "Old Projects/budget for the year.pdf"
put song.mp3 "deleted long name.mp3"
put gone.txt "GONE.TXT"
mdeltree -i "$img" "::/Old Projects"
mdel -i "$img" "::/deleted long name.mp3" ::/GONE.TXT
expect live "café menu.txt" menu.txt
expect live "日本語.txt" japanese.txt
expect live "Фото отпуск/beach photo.jpg" beach.jpg
expect live "Фото отпуск/sunset.png" sunset.png
expect live "ÉTÉ.TXT" ete.txt
expect live "Mixed Case Long Name.pdf" long.pdf
expect live "Фото отпуск/album.mp3" album.mp3
expect live "empty.txt" empty.txt
expect deleted "Old Projects/_019/_LAN.TXT" plan.txt
expect deleted "Old Projects/_019/_rafts/draft one.txt" draft.txt
expect deleted "Old Projects/budget for the year.pdf" budget.pdf
expect deleted "deleted long name.mp3" song.mp3
expect deleted "_ONE.TXT" gone.txt
finish

# (c) FAT32 (34 MiB, 512-byte clusters) with first-fit allocation: a file fragmented around a
# deleted one, deleted files whose clusters later files took, deleted folders. F.JPG's entry takes
# the first free slot in work, where the end of the deleted essay's long name was: what is left of
# that name is not the whole name, so the reader gives the short name.
new fat32
fat32=1
mkfs.vfat -C -F 32 -s 1 -n FIRSTFIT "$img" 34816 >/dev/null
mkdir_ work
mkdir_ Trip
mkdir_ Trip/Day1
repeat a.bin tiny_gray_under_2000_bytes.jpg 6
repeat b.bin rgba_gradient_alpha.png 10
file c.pdf tiny_one_line_page.pdf
repeat d.wav pcm16_mono_8khz.wav 2
repeat e.txt tiny_one_note.zip 40
file f.jpg tiny_gray_under_2000_bytes.jpg
file trip1.jpg harbour_jfif_app0.jpg
file trip2.txt "text:Trip notes, in a deleted folder."
file last.docx pandoc_report.docx
put a.bin work/A.BIN
put b.bin "between the others.bin"
put c.pdf work/C.PDF
mdel -i "$img" "::/between the others.bin"
put d.wav "work/fragmented recording.wav"
put e.txt "work/essay draft.txt"
mdel -i "$img" "::/work/essay draft.txt"
put f.jpg work/F.JPG
put trip1.jpg "Trip/Day1/harbour view.jpg"
put trip2.txt Trip/NOTES.TXT
put last.docx "Trip/last report.docx"
mdeltree -i "$img" ::/Trip
expect live work/A.BIN a.bin
expect overwritten "between the others.bin" b.bin
expect live work/C.PDF c.pdf
expect live "work/fragmented recording.wav" d.wav
expect overwritten "work/_SSAYD~1.TXT" e.txt
expect live work/F.JPG f.jpg
expect deleted "Trip/Day1/harbour view.jpg" trip1.jpg
expect deleted "Trip/_OTES.TXT" trip2.txt
expect deleted "Trip/last report.docx" last.docx
finish

# (d) FAT16 with 4096-byte sectors.
new fat16_4k
fat32=0
mkfs.vfat -C -F 16 -S 4096 -s 1 -n BIGSECTORS "$img" 17408 >/dev/null
repeat big.mp3 speech_one_second_32k_no_tag.mp3 3
file small.txt "text:A small file on a volume with 4096-byte sectors."
file pic.png rgba_gradient_alpha.png
file del.jpg tiny_gray_under_2000_bytes.jpg
put big.mp3 "speech three times.mp3"
mkdir_ Pictures
put pic.png Pictures/GRADIENT.PNG
put small.txt small.txt
put del.jpg "Pictures/removed picture.jpg"
mdel -i "$img" "::/Pictures/removed picture.jpg"
expect live "speech three times.mp3" big.mp3
expect live Pictures/GRADIENT.PNG pic.png
expect live small.txt small.txt
expect deleted "Pictures/removed picture.jpg" del.jpg
finish

# (e) Quick-formatted: files and folders written, the volume formatted again over them, a few new
# files written. Only the new files belong to the file system; the old ones are left to carving.
new quick_format
mkfs.vfat -C -F 16 -s 1 -n BEFORE "$img" 8192 >/dev/null
file old1.pdf ghostscript_two_pages.pdf
file old2.jpg harbour_jfif_app0.jpg
file old3.txt "text:An old note from before the format."
repeat old4.wav pcm16_mono_8khz.wav 2
put old1.pdf "old document.pdf"
mkdir_ "Old Folder"
mkdir_ "Old Folder/Inner"
put old2.jpg "Old Folder/old picture.jpg"
put old3.txt "Old Folder/Inner/OLDNOTE.TXT"
put old4.wav "old recording.wav"
# mkfs.vfat -C refuses an existing file: format the image in place instead.
mkfs.vfat -F 16 -s 1 -n AFTER "$img" >/dev/null
file new1.txt "text:Written after the quick format."
file new2.png rgba_gradient_alpha.png
put new1.txt "new note.txt"
mkdir_ Fresh
put new2.png Fresh/GRADIENT.PNG
expect live "new note.txt" new1.txt
expect live Fresh/GRADIENT.PNG new2.png
finish
