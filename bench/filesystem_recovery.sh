#!/usr/bin/env bash
# Recovery through the file systems on a used disk: builds a 400 MiB MBR disk with an NTFS (192 MiB),
# a FAT32 (96 MiB) and an exFAT (96 MiB) volume, made and filled by the real tools (mkntfs and ntfs-3g,
# mkfs.vfat and mtools with first-fit allocation, mkfs.exfat and the FUSE driver; see
# bench/fs_volume_fill.py for what goes on each), scans it with and without the file-system pass, and
# prints side by side what came back by name and by carving, the per-volume check of
# tools/check_named_recovery.py, the time and peak memory of both scans, and the targets met or missed.
#
#   sudo bench/filesystem_recovery.sh [--keep DIR | --reuse DIR] [CLI]
#   sudo bench/filesystem_recovery.sh --many [N] [--keep DIR] [CLI]
#
# CLI (or QUARVELIN_CLI) defaults to build/native/bin/quarvelin-cli. --keep DIR builds in DIR and
# keeps it (the disk, the expected list, the scan outputs); --reuse DIR scans the disk a --keep run
# left there again, without building it. Each scan runs BENCH_RUNS times (default 3), the fastest
# counting, as the machines are shared; the file-system pass's share is taken from CPU time. The
# disk takes about 3 minutes to build, the scans about a minute.
#
# --many N measures instead the memory of `files --json` and `scan --no-carve` on an NTFS volume
# holding N small files (default 100000, about 2 minutes; a million took 8 minutes, ntfs-3g making
# some 3000 files a second), once at a quarter of them and once at all, and extrapolates to a million
# files. The outputs of those scans (N and N/4 files) are removed only at the end, which for a million
# takes a while longer.
#
# Needs root (loop devices and FUSE mounts). Exit status 0 when every target is met, 1 otherwise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
keep=""
reuse=""
many=""
cli=""
while (($#)); do
  case $1 in
    --keep) keep=$2; shift 2 ;;
    --reuse) keep=$2; reuse=1; shift 2 ;;
    --many)
      many=100000
      if [[ ${2:-} =~ ^[0-9]+$ ]]; then many=$2; shift; fi
      shift ;;
    -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
    *) cli=$1; shift ;;
  esac
done
cli=${cli:-${QUARVELIN_CLI:-$root/build/native/bin/quarvelin-cli}}
rss_target_mib=256  # peak memory of a scan, and the million-file extrapolation

if (($(id -u) != 0)); then
  echo "filesystem_recovery.sh: needs root (loop devices, FUSE mounts)" >&2
  exit 2
fi
if [[ ! -x $cli ]]; then
  echo "filesystem_recovery.sh: no quarvelin-cli at $cli (cmake --preset native && cmake --build" \
    "--preset native --target quarvelin-cli)" >&2
  exit 2
fi
packages=(ntfs-3g exfatprogs exfat-fuse dosfstools mtools fdisk time python3 fuse3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
export LC_ALL=C.UTF-8 TZ=UTC  # mtools turns the UTF-8 names into long names through the locale

if [[ -n $keep ]]; then
  mkdir -p "$keep"
  work=$(cd "$keep" && pwd)
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/filesystem_recovery.XXXXXX")
fi
mounts=()
daemons=()
loops=()
cleanup() {
  local m p l
  for m in "${mounts[@]}"; do mountpoint -q "$m" && fusermount -u "$m" || true; done
  for p in "${daemons[@]}"; do
    # A daemon whose mount is gone ends by itself; one that did not get unmounted is ended here.
    kill -0 "$p" 2>/dev/null && sleep 1 && kill "$p" 2>/dev/null
    wait "$p" 2>/dev/null || true
  done
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null || true; done
  [[ -n $keep ]] || rm -rf "$work"
}
trap cleanup EXIT

MiB=1048576
# Mounts an NTFS image through ntfs-3g kept in the foreground, so it can be ended by its own id.
mount_ntfs() {
  mkdir -p "$2"
  ntfs-3g -o no_detach,big_writes "$1" "$2" >>"$work/ntfs-3g.log" 2>&1 &
  daemons+=($!)
  mounts+=("$2")
  for _ in $(seq 100); do mountpoint -q "$2" && return; sleep 0.1; done
  echo "ntfs-3g did not mount $1" >&2
  exit 1
}
unmount() {
  sync
  fusermount -u "$1"
  local p
  for p in "${daemons[@]}"; do wait "$p" 2>/dev/null || true; done
  daemons=()
}

# Wall time (s) and peak RSS (KiB) of a command, from /usr/bin/time -v.
timed() {
  local report=$1
  shift
  /usr/bin/time -v -o "$report" "$@"
}
seconds() { awk -F': ' '/Elapsed \(wall clock\)/ {
  n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; printf "%.2f", s }' "$1"; }
cpu_seconds() { awk -F': ' '/(User|System) time/ {s += $2} END {printf "%.2f", s}' "$1"; }
peak_kib() { awk -F': ' '/Maximum resident set size/ {print $2}' "$1"; }
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }

# --- many small files: memory of listing and recovering a big MFT ---------------------------------
if [[ -n $many ]]; then
  ntfs_mib=$((many * 3 / 1024 + 96))  # a 1 KiB record and a few index bytes a file, and room
  vol=$work/many.img
  truncate -s $((ntfs_mib * MiB)) "$vol"
  mkntfs -F -Q -q -L Many "$vol" >/dev/null 2>&1
  mount_ntfs "$vol" "$work/mnt"
  status=0
  results=()
  made=0
  for goal in $((many / 4)) "$many"; do
    start=$(date +%s%N)
    python3 - "$work/mnt" "$made" "$goal" <<'EOF'
import os, sys
root, first, last = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(first, last):
    folder = os.path.join(root, "f%04d" % (i // 1000))
    if i % 1000 == 0 or i == first:
        os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "note %07d.txt" % i), "w") as f:
        f.write("small file %d\n" % i)
EOF
    end=$(date +%s%N)
    rate=$(awk -v n=$((goal - made)) -v ns=$((end - start)) 'BEGIN {printf "%.0f", n / (ns / 1e9)}')
    made=$goal
    unmount "$work/mnt"
    timed "$work/time_files_$goal.txt" "$cli" files --json "$vol" >/dev/null 2>"$work/files_$goal.err" || status=1
    # Each run's output stays until the end: removing a million files takes longer than the scan.
    rm -rf "$work/out_many_$goal"
    timed "$work/time_scan_$goal.txt" "$cli" scan --no-carve "$vol" "$work/out_many_$goal" >/dev/null \
      2>"$work/scan_$goal.err" || status=1
    recovered=$(wc -l <"$work/out_many_$goal/manifest.jsonl" 2>/dev/null || echo 0)
    results+=("$goal $(peak_kib "$work/time_files_$goal.txt") $(peak_kib "$work/time_scan_$goal.txt")")
    printf '%8d files (written at %s files/s): files --json %s s, %s MiB; scan --no-carve %s s, %s MiB,' \
      "$goal" "$rate" "$(seconds "$work/time_files_$goal.txt")" "$(mib "$(peak_kib "$work/time_files_$goal.txt")")" \
      "$(seconds "$work/time_scan_$goal.txt")" "$(mib "$(peak_kib "$work/time_scan_$goal.txt")")"
    printf ' %d files recovered\n' "$recovered"
    if ((goal != many)); then mount_ntfs "$vol" "$work/mnt"; fi
  done
  read -r n1 f1 s1 <<<"${results[0]}"
  read -r n2 f2 s2 <<<"${results[1]}"
  met=0
  for what in "files --json:$f1:$f2" "scan --no-carve:$s1:$s2"; do
    IFS=: read -r name r1 r2 <<<"$what"
    # A straight line through the two runs: what each file costs, and what is there without them.
    line=$(awk -v n1="$n1" -v n2="$n2" -v r1="$r1" -v r2="$r2" -v t="$rss_target_mib" 'BEGIN {
      per = (r2 - r1) / (n2 - n1); at = (r2 + per * (1000000 - n2)) / 1024
      printf "%.0f bytes a file (%.0f bytes a file overall); a million files: %.0f MiB (target under %d MiB)|%d",
        per * 1024, r2 * 1024 / n2, at, t, (at < t) }')
    printf '%-16s %s MiB at %d files, %s\n' "$name" "$(mib "$r2")" "$n2" "${line%|*}"
    if [[ ${line##*|} == 1 ]]; then echo "met: $name under $rss_target_mib MiB for a million files"; else
      echo "MISSED: $name under $rss_target_mib MiB for a million files"; met=1; fi
  done
  ((status == 0)) || echo "MISSED: a run failed (see $work)"
  exit $((status | met))
fi

# --- the disk ---------------------------------------------------------------------------------------
disk=$work/disk.img
expected=$work/expected.tsv
if [[ -n $reuse && -f $disk && -f $expected ]]; then
  echo "Scanning the disk built before in $work"
else
  ntfs_start=2048
  ntfs_sectors=$((192 * 2048))
  fat_start=$((ntfs_start + ntfs_sectors))
  fat_sectors=$((96 * 2048))
  exfat_start=$((fat_start + fat_sectors))
  exfat_sectors=$((96 * 2048))
  : >"$expected"
  fill=(python3 "$root/bench/fs_volume_fill.py" --files "$root/testdata/files" --expected "$expected")

  echo "Making the NTFS volume ..."
  truncate -s $((ntfs_sectors * 512)) "$work/ntfs.img"
  mkntfs -F -Q -q -s 512 -c 4096 -p "$ntfs_start" -H 255 -S 63 -L Bench "$work/ntfs.img" >/dev/null 2>&1
  mount_ntfs "$work/ntfs.img" "$work/mnt_ntfs"
  "${fill[@]}" --fs ntfs --mount "$work/mnt_ntfs" --volume "Volume 1 (NTFS)" --seed 11
  unmount "$work/mnt_ntfs"
  fragmented=0
  while IFS=$'\t' read -r _ _ path _; do
    ntfsinfo -v -F "$path" "$work/ntfs.img" 2>/dev/null | grep -Eq 'fragments: ([2-9]|[1-9][0-9])' &&
      fragmented=$((fragmented + 1))
  done < <(grep -P '^Volume 1 \(NTFS\)\tlive\t/(Fragmented|Large files)/' "$expected")
  echo "  $fragmented of the files in /Fragmented and /Large files are fragmented"
  ntfsfix -n "$work/ntfs.img" >"$work/ntfsfix.txt" 2>&1 || echo "  ntfsfix -n complains: see $work/ntfsfix.txt"

  echo "Making the FAT32 volume ..."
  truncate -s $((fat_sectors * 512)) "$work/fat.img"
  mkfs.vfat -F 32 -s 2 -h "$fat_start" -n BENCHFAT "$work/fat.img" >/dev/null
  "${fill[@]}" --fs fat --image "$work/fat.img" --volume "Volume 2 (FAT)" --seed 22
  fsck.vfat -n "$work/fat.img" >"$work/fsck_vfat.txt" 2>&1 || echo "  fsck.vfat -n complains: see $work/fsck_vfat.txt"

  echo "Making the exFAT volume ..."
  truncate -s $((exfat_sectors * 512)) "$work/exfat.img"
  loop=$(losetup --find --show "$work/exfat.img")
  loops+=("$loop")
  mkfs.exfat -L BenchExfat "$loop" >/dev/null
  mkdir -p "$work/mnt_exfat"
  mount.exfat-fuse -d "$loop" "$work/mnt_exfat" >/dev/null 2>&1 &
  daemons+=($!)
  mounts+=("$work/mnt_exfat")
  for _ in $(seq 100); do mountpoint -q "$work/mnt_exfat" && break; sleep 0.1; done
  "${fill[@]}" --fs exfat --mount "$work/mnt_exfat" --device "$loop" --volume "Volume 3 (exFAT)" --seed 33
  unmount "$work/mnt_exfat"
  fsck.exfat -n "$loop" >"$work/fsck_exfat.txt" 2>&1 || echo "  fsck.exfat -n complains: see $work/fsck_exfat.txt"
  losetup -d "$loop"
  loops=()

  truncate -s $((400 * MiB)) "$disk"
  { echo 'label: dos'; printf 'start=%d, size=%d, type=%s\n' "$ntfs_start" "$ntfs_sectors" 7 "$fat_start" \
    "$fat_sectors" c "$exfat_start" "$exfat_sectors" 7; } | sfdisk -q "$disk"
  dd if="$work/ntfs.img" of="$disk" bs=1M seek=$((ntfs_start * 512)) oflag=seek_bytes conv=notrunc status=none
  dd if="$work/fat.img" of="$disk" bs=1M seek=$((fat_start * 512)) oflag=seek_bytes conv=notrunc status=none
  dd if="$work/exfat.img" of="$disk" bs=1M seek=$((exfat_start * 512)) oflag=seek_bytes conv=notrunc status=none
  rm -f "$work/ntfs.img" "$work/fat.img" "$work/exfat.img"
fi

# --- the scans ---------------------------------------------------------------------------------------
# Each scan runs $runs times, the kinds taking turns, and the fastest run counts: the machine is shared.
runs=${BENCH_RUNS:-3}
status=0
scan() {  # name, run, options...
  local name=$1 run=$2
  shift 2
  rm -rf "$work/out_$name"
  echo "Scanning ($name, run $run) ..."
  if ! timed "$work/time_${name}_$run.txt" "$cli" scan --json "$@" "$disk" "$work/out_$name" \
    >"$work/scan_$name.jsonl" 2>"$work/scan_$name.err"; then
    echo "MISSED: the scan ($name) failed:" && tail -n 5 "$work/scan_$name.err"
    status=1
  fi
}
for run in $(seq "$runs"); do
  scan no_fs "$run" --no-fs
  scan default "$run"
  scan fs_only "$run" --no-carve
done
fastest() { local f; for f in "$work/time_$1"_*.txt; do seconds "$f"; echo; done | sort -g | head -n 1; }
least_cpu() { local f; for f in "$work/time_$1"_*.txt; do cpu_seconds "$f"; echo; done | sort -g | head -n 1; }
most_kib() { local f; for f in "$work/time_$1"_*.txt; do peak_kib "$f"; done | sort -n | tail -n 1; }

count() { # manifest, foundBy
  [[ -f $1 ]] && { grep -c "\"foundBy\":\"$2\"" "$1" || true; } || echo 0
}
t_all=$(fastest default)
t_nofs=$(fastest no_fs)
echo
printf '%-34s %16s %16s\n' "" "scan" "scan --no-fs"
printf '%-34s %16s %16s\n' "files named by a file system" "$(count "$work/out_default/manifest.jsonl" "file system")" \
  "$(count "$work/out_no_fs/manifest.jsonl" "file system")"
printf '%-34s %16s %16s\n' "files carved" "$(count "$work/out_default/manifest.jsonl" carving)" \
  "$(count "$work/out_no_fs/manifest.jsonl" carving)"
printf '%-34s %16s %16s\n' "time, fastest of $runs (s)" "$t_all" "$t_nofs"
printf '%-34s %16s %16s\n' "CPU time, user + system (s)" "$(least_cpu default)" "$(least_cpu no_fs)"
printf '%-34s %16s %16s\n' "peak RSS (MiB)" "$(mib "$(most_kib default)")" "$(mib "$(most_kib no_fs)")"
# The overhead from CPU time: wall time on a shared machine swings by a third between equal runs.
share() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.1f", (a > 0 ? 100 * (a - b) / a : 0)}'; }
overhead=$(share "$(least_cpu default)" "$(least_cpu no_fs)")
printf 'file-system pass: %s %% of the whole scan'"'"'s CPU time (%s %% of its wall time), scan against scan' \
  "$overhead" "$(share "$t_all" "$t_nofs")"
printf ' --no-fs; on its own (scan --no-carve): %s s, %s s CPU, %s MiB\n\n' "$(fastest fs_only)" \
  "$(least_cpu fs_only)" "$(mib "$(most_kib fs_only)")"

check=0
python3 "$root/tools/check_named_recovery.py" "$expected" "$work/out_default" --disk "$disk" --require || check=$?
((check == 0)) || status=1
if awk -v o="$overhead" 'BEGIN {exit !(o < 10)}'; then
  echo "met: the file-system pass takes under 10 % of the whole scan ($overhead %)"
else
  echo "MISSED: the file-system pass takes under 10 % of the whole scan ($overhead %)"
  status=1
fi
peak=$(most_kib default)
if ((peak < rss_target_mib * 1024)); then
  echo "met: peak memory of the scan under $rss_target_mib MiB ($(mib "$peak") MiB)"
else
  echo "MISSED: peak memory of the scan under $rss_target_mib MiB ($(mib "$peak") MiB)"
  status=1
fi
[[ -z $keep ]] || echo "Kept in $work"
exit "$status"
