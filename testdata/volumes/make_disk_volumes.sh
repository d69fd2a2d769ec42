#!/usr/bin/env bash
# Builds whole-disk images (partition tables with real file systems in them) for the volume
# finder's tests, with the tools users' systems use: sfdisk for the tables, mkfs.vfat + mtools,
# mkntfs + ntfs-3g, mkfs.exfat + exfat-fuse for the volumes. Each disk is written as
# <name>.img.gz with <name>.volumes beside it: one line per volume a finder must report,
# tab-separated: kind, first byte, length in bytes, origin.
# Needs root (loop devices and FUSE mounts). Idempotent: every output is rebuilt from scratch.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
files=$(cd "$here/../files" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/quarvelin-disks.XXXXXX")
loops=()
mounts=()
cleanup() {
  local m l
  for m in "${mounts[@]}"; do fusermount -u "$m" 2>/dev/null || umount "$m" 2>/dev/null || true; done
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

MiB=1048576

# fat IMAGE MIB SECTOR_SIZE EXTRA_MKFS_ARGS...: a FAT volume with a few files in it.
fat() {
  local img=$1 mib=$2 ss=$3
  shift 3
  rm -f "$img"
  truncate -s $((mib * MiB)) "$img"
  mkfs.vfat -S "$ss" -n DISKFAT "$@" "$img" >/dev/null
  mmd -i "$img" ::/photos
  mcopy -i "$img" "$files/harbour_jfif_app0.jpg" ::/photos/harbour.jpg
  mcopy -i "$img" "$files/ghostscript_two_pages.pdf" ::/report.pdf
  printf 'notes kept on a FAT volume\n' >"$work/notes.txt"
  mcopy -i "$img" "$work/notes.txt" ::/notes.txt
}

# ntfs IMAGE MIB SECTOR_SIZE: an NTFS volume with a few files in it.
ntfs() {
  local img=$1 mib=$2 ss=$3 mnt
  rm -f "$img"
  truncate -s $((mib * MiB)) "$img"
  mkntfs -F -Q -q -s "$ss" -L DISKNTFS "$img" 2>/dev/null
  mnt=$(mktemp -d "$work/mnt.XXXXXX")
  ntfs-3g "$img" "$mnt"
  mounts+=("$mnt")
  mkdir "$mnt/music"
  cp "$files/id3v2_and_id3v1_tags.mp3" "$mnt/music/song.mp3"
  cp "$files/adam7_interlaced.png" "$mnt/picture.png"
  printf 'notes kept on an NTFS volume\n' >"$mnt/notes.txt"
  fusermount -u "$mnt"
  unset 'mounts[-1]'
}

# exfat IMAGE MIB: an exFAT volume with a few files in it.
exfat() {
  local img=$1 mib=$2 mnt loop
  rm -f "$img"
  truncate -s $((mib * MiB)) "$img"
  mkfs.exfat -L DISKEXFAT "$img" >/dev/null
  loop=$(losetup --find --show "$img")
  loops+=("$loop")
  mnt=$(mktemp -d "$work/mnt.XXXXXX")
  mount.exfat-fuse "$loop" "$mnt" >/dev/null
  mounts+=("$mnt")
  mkdir "$mnt/docs"
  cp "$files/linearized_fast_web_view.pdf" "$mnt/docs/guide.pdf"
  printf 'notes kept on an exFAT volume\n' >"$mnt/notes.txt"
  fusermount -u "$mnt"
  unset 'mounts[-1]'
  losetup -d "$loop"
  unset 'loops[-1]'
}

# place DISK VOLUME SECTOR SECTOR_SIZE: copies a volume into the disk at a sector.
place() {
  dd if="$2" of="$1" bs="$4" seek="$3" conv=notrunc status=none
}

# finish NAME: compresses the disk and moves its volume list beside it.
finish() {
  gzip -9n <"$work/$1.img" >"$here/$1.img.gz"
  cp "$work/$1.volumes" "$here/$1.volumes"
}

# volume NAME KIND FIRST_SECTOR SECTORS SECTOR_SIZE ORIGIN: one expected volume.
volume() {
  printf '%s\t%d\t%d\t%s\n' "$2" $(($3 * $5)) $(($4 * $5)) "$6" >>"$work/$1.volumes"
}

# 1. MBR: two primary partitions (FAT12, NTFS) and an extended one holding two logical drives
#    (FAT16, exFAT).
fat "$work/fat12.img" 4 512 -F 12
ntfs "$work/ntfs.img" 4 512
fat "$work/fat16.img" 4 512 -F 16 -s 1
exfat "$work/exfat.img" 4
disk=$work/mbr_disk.img
rm -f "$disk" "$work/mbr_disk.volumes"
truncate -s $((20 * MiB)) "$disk"
sfdisk -q -X dos "$disk" <<'EOF'
start=2048, size=8192, type=1
start=10240, size=8192, type=7
start=18432, type=5
start=20480, size=8192, type=e
start=30720, size=8192, type=7
EOF
place "$disk" "$work/fat12.img" 2048 512
place "$disk" "$work/ntfs.img" 10240 512
place "$disk" "$work/fat16.img" 20480 512
place "$disk" "$work/exfat.img" 30720 512
volume mbr_disk FAT 2048 8192 512 "MBR partition 1"
volume mbr_disk NTFS 10240 8192 512 "MBR partition 2"
volume mbr_disk FAT 20480 8192 512 "extended partition 5"
volume mbr_disk exFAT 30720 8192 512 "extended partition 6"
finish mbr_disk

# 2. The same disk with its MBR wiped: every volume lies on a 1 MiB boundary, where the probe finds it.
cp "$disk" "$work/mbr_wiped_disk.img"
dd if=/dev/zero of="$work/mbr_wiped_disk.img" bs=512 count=1 conv=notrunc status=none
rm -f "$work/mbr_wiped_disk.volumes"
volume mbr_wiped_disk FAT 2048 8192 512 "boot sector at sector 2048 (no partition lists it)"
volume mbr_wiped_disk NTFS 10240 8192 512 "boot sector at sector 10240 (no partition lists it)"
volume mbr_wiped_disk FAT 20480 8192 512 "boot sector at sector 20480 (no partition lists it)"
volume mbr_wiped_disk exFAT 30720 8192 512 "boot sector at sector 30720 (no partition lists it)"
finish mbr_wiped_disk

# 3. The same disk with the NTFS partition's boot sector wiped: its backup at the partition's
#    end still describes it.
cp "$disk" "$work/ntfs_backup_disk.img"
dd if=/dev/zero of="$work/ntfs_backup_disk.img" bs=512 seek=10240 count=1 conv=notrunc status=none
rm -f "$work/ntfs_backup_disk.volumes"
volume ntfs_backup_disk FAT 2048 8192 512 "MBR partition 1"
volume ntfs_backup_disk NTFS 10240 8192 512 "MBR partition 2 (from its backup boot sector)"
volume ntfs_backup_disk FAT 20480 8192 512 "extended partition 5"
volume ntfs_backup_disk exFAT 30720 8192 512 "extended partition 6"
finish ntfs_backup_disk

# 4. GPT with two partitions (FAT32, NTFS). FAT32 needs 65525 clusters, hence the larger disk.
fat "$work/gpt_fat.img" 34 512 -F 32 -s 1
ntfs "$work/gpt_ntfs.img" 6 512
disk=$work/gpt_disk.img
rm -f "$disk" "$work/gpt_disk.volumes"
truncate -s $((48 * MiB)) "$disk"
sfdisk -q -X gpt "$disk" <<'EOF'
start=2048, size=69632, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
start=71680, size=12288, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
EOF
place "$disk" "$work/gpt_fat.img" 2048 512
place "$disk" "$work/gpt_ntfs.img" 71680 512
volume gpt_disk FAT 2048 69632 512 "GPT partition 1"
volume gpt_disk NTFS 71680 12288 512 "GPT partition 2"
finish gpt_disk

# 5. GPT on a disk with 4096-byte sectors (FAT and NTFS made for that sector size).
fat "$work/fat_4k.img" 4 4096
ntfs "$work/ntfs_4k.img" 6 4096
disk=$work/gpt_4k_disk.img
rm -f "$disk" "$work/gpt_4k_disk.volumes"
truncate -s $((16 * MiB)) "$disk"
# sfdisk takes the sector size from the device: a loop device with 4096-byte sectors.
loop=$(losetup --find --show --sector-size 4096 "$disk")
loops+=("$loop")
sfdisk -q -X gpt "$loop" <<'EOF'
start=256, size=1024, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
start=1280, size=1536, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
EOF
losetup -d "$loop"
unset 'loops[-1]'
place "$disk" "$work/fat_4k.img" 256 4096
place "$disk" "$work/ntfs_4k.img" 1280 4096
volume gpt_4k_disk FAT 256 1024 4096 "GPT partition 1"
volume gpt_4k_disk NTFS 1280 1536 4096 "GPT partition 2"
finish gpt_4k_disk

ls -l "$here"/*disk*.img.gz
