#!/usr/bin/env bash
# Imaging and carving a failing drive, ours beside GNU ddrescue, on the same drive: a FUSE file
# system (bench/failing_drive/failing_drive.c) serving an image whose listed bad sectors fail every
# read touching them with EIO after a delay, and logging every read request. From the logs:
#
#   a. a dead 8 MiB stretch (on a 1 MiB boundary, and 300 KiB past one): failed reads before every
#      readable sector is on the copy, failed and total reads, time; ddrescue -n, -n -N and a full
#      run, ours with and without scraping. Target: ours at most twice ddrescue -n's failed reads.
#   b. a degrading zone, one bad sector every 32 KiB over 2 MiB: readable sectors recovered (target
#      100 %), the most times any bad sector was read (target <= 2), total reads.
#   c. kill and resume: imaging killed (SIGKILL) at random moments and resumed each time, then
#      compared with an uninterrupted run; sectors read successfully more than once (target 0).
#   d. speed from a cached plain file (no FUSE) against dd bs=1M (target: ours >= 0.8 of dd's rate).
#   e. `scan` on the dead-stretch and degrading drives: failed reads, files carved, what it says
#      about unreadable areas and damaged files.
#   f. `scan IMAGE --map MAP` on the image and map of (b).
#
#   sudo bench/failing_drive.sh [--quick] [--only a,b,...] [--reuse DIR [--ours-only]] [--cli PATH]
#
# The source is 256 MiB of the sample files in testdata/files laid one after another with random
# filler; (d) images 1 GiB. --quick: a 64 MiB source, a 1 MiB dead stretch, 3 kills, 256 MiB for
# (d): minutes instead of about half an hour (a full run scrapes the 8 MiB stretch sector by
# sector, 16384 failed reads at 20 ms, for ddrescue and for us, on both stretches). --reuse DIR
# keeps everything in DIR and reuses the images and the built drive found there; --ours-only then
# takes ddrescue's rows of (a) and (b) from the logs of an earlier run there, of the same size, and
# leaves ddrescue out of (c). --cli PATH uses that quarvelin-cli instead of building
# build/native/bin/quarvelin-cli. DELAY_MS (default 20) is the time a failed read takes; SEED
# (default 1) picks the kill moments; SCAN_TIMEOUT (default 900) stops a scan in (e) after that
# many seconds (SIGINT: it keeps what it carved).
#
# Needs root (FUSE mounts). Exit status 0 when every target measured is met, 1 otherwise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
here=$root/bench/failing_drive
quick=""
only="a,b,c,d,e,f"
reuse=""
cli=""
ours_only=""
while (($#)); do
  case $1 in
    --quick) quick=1; shift ;;
    --only) only=$2; shift 2 ;;
    --reuse) reuse=$2; shift 2 ;;
    --cli) cli=$2; shift 2 ;;
    --ours-only) ours_only=1; shift ;;
    -h|--help) sed -n '2,31p' "$0"; exit 0 ;;
    *) echo "failing_drive.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
if (($(id -u) != 0)); then
  echo "failing_drive.sh: needs root (FUSE mounts)" >&2
  exit 2
fi

delay_ms=${DELAY_MS:-20}
scan_timeout=${SCAN_TIMEOUT:-900}
RANDOM=${SEED:-1}
mib=1048576
if [[ -n $quick ]]; then
  source_mib=64 stretch_mib=1 kills=3 speed_mib=256
else
  source_mib=256 stretch_mib=8 kills=10 speed_mib=1024
fi
source_bytes=$((source_mib * mib))
stretch_sectors=$((stretch_mib * 2048))
stretch_aligned=$((source_mib / 2 * 2048))        # sector on a 1 MiB boundary
stretch_offset=$((stretch_aligned + 600))          # 300 KiB into a 1 MiB step
zone_first=$((source_mib / 4 * 2048 + 17))         # one bad sector every 64 over 2 MiB

packages=(libfuse3-dev fuse3 gddrescue gcc pkg-config python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

built=""
if [[ -z $cli ]]; then
  built=1
  (cd "$root" && cmake --preset native >/dev/null &&
    cmake --build --preset native -j2 --target quarvelin-cli >/dev/null)
  cli=$root/build/native/bin/quarvelin-cli
fi
if [[ ! -x $cli ]]; then
  echo "failing_drive.sh: no quarvelin-cli at $cli" >&2
  exit 2
fi

if [[ -n $reuse ]]; then
  mkdir -p "$reuse"
  work=$(cd "$reuse" && pwd)
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/failing_drive.XXXXXX")
fi
mounts=()
daemons=()
running=""
cleanup() {
  local m p
  [[ -n $running ]] && kill -KILL "$running" 2>/dev/null || true
  for m in "${mounts[@]}"; do mountpoint -q "$m" && fusermount3 -u "$m" || true; done
  for p in "${daemons[@]}"; do wait "$p" 2>/dev/null || true; done
  [[ -z $reuse ]] && rm -rf "$work"
  return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM

log_stats() { python3 "$here/read_log.py" "$@"; }
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
faster() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(b == "" || a < b) }'; }  # faster TIME BEST

# The drive, built once.
drive=$work/failing_drive
if [[ ! -x $drive || $here/failing_drive.c -nt $drive ]]; then
  read -ra fuse_flags <<<"$(pkg-config --cflags --libs fuse3)"
  gcc -O2 -Wall -Wextra -o "$drive" "$here/failing_drive.c" "${fuse_flags[@]}"
fi

source_img=$work/source.img
if [[ ! -s $source_img || $(stat -c %s "$source_img") -ne $source_bytes ]]; then
  laid=$(log_stats make-source "$source_img" --size "$source_bytes" --files "$root/testdata/files")
  echo "$laid" >"$work/source.files"
fi
laid=$(cat "$work/source.files" 2>/dev/null || echo "?")

# mount_drive NAME "first count"... : serves source.img with those bad sectors at
# $work/mnt/NAME/disk, logging to $work/NAME.log. Sets `disk` and `bad` (the bad-sector list).
mount_drive() {
  local name=$1 mnt=$work/mnt/$1 i
  shift
  bad=$work/$name.bad
  printf '%s\n' "$@" >"$bad"
  fusermount3 -uz "$mnt" 2>/dev/null || true  # this drive's earlier mount, or a dead one
  mkdir -p "$mnt"
  "$drive" "$mnt" -f -s -o "image=$source_img,bad=$bad,delay=$delay_ms,log=$work/$name.log" &
  daemons+=($!)
  mounts+=("$mnt")
  for ((i = 0; i < 100; i++)); do
    mountpoint -q "$mnt" && break
    sleep 0.05
  done
  mountpoint -q "$mnt" || { echo "failing_drive.sh: $mnt did not mount" >&2; exit 1; }
  disk=$mnt/disk
}

supports() { "$cli" "$1" --help 2>&1 | grep -q -- "$2"; }
# Resuming: with --resume once the command has it; before that the engine already continues from
# the map it finds beside the image.
has_map="" resume_flag=""
if supports image --resume; then
  has_map=1 resume_flag=1
else
  rm -f "$work/probe.img"*
  "$cli" image "$root/testdata/sample_disk.img" "$work/probe.img" >/dev/null 2>&1 || true
  [[ -f $work/probe.img.map ]] && has_map=1
  rm -f "$work/probe.img"*
fi
if [[ -n $built ]]; then
  ours_version="$cli, built from $(git -C "$root" log -1 --format='%h %s' | cut -c1-60)"
else
  ours_version=$cli
fi

# timed LOGNAME COMMAND...: runs the command with a fresh log; sets `took` and `status`.
timed() {
  local log=$work/$1.log start
  shift
  : >"$log"
  start=$(now)
  status=0
  "$@" >"$work/last.out" 2>&1 || status=$?
  took=$(seconds "$start" "$(now)")
}

failed=0
verdict() {  # verdict OK? TEXT...
  if (($1)); then echo "  target met: ${*:2}"; else echo "  TARGET MISSED: ${*:2}"; failed=1; fi
}
pct() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b ? 100 * a / b : 0 }'; }
row_format='%-22s %10s %10s %10s %12s %8s %9s %6s\n'

# image_row NAME LABEL ddrescue|ours [options]: one imaging run on the mounted drive NAME; prints
# its row. Leaves the image, its map and the drive's log in $work/out.
image_row() {
  local name=$1 label=$2 kind=$3
  shift 3
  local stem=$work/out/$name-${label//[^A-Za-z0-9-]/_}
  local out=$stem.img before rec
  mkdir -p "$work/out"
  [[ $kind == ddrescue && -n $ours_only ]] || rm -f "$out" "$out".map* "$out".sha256 "$out".md5
  case $kind in
    ddrescue)
      if [[ -n $ours_only && -f $stem.log && -f $out ]]; then
        cp "$stem.log" "$work/$name.log"  # ddrescue's run of an earlier benchmark
        took=earlier status=-
      else
        timed "$name" ddrescue -q "$@" "$disk" "$out" "$out.map"
      fi
      ;;
    ours) timed "$name" "$cli" image "$@" "$disk" "$out" ;;
  esac
  read -r total fails _ most <<<"$(log_stats counts "$work/$name.log" --bad "$bad")"
  before=$(log_stats cover "$work/$name.log" --size "$source_bytes" --bad "$bad")
  read -r good readable <<<"$(log_stats recovered "$source_img" "$out" --bad "$bad")"
  rec=$(pct "$good" "$readable")
  printf "$row_format" "$label" "$before" "$fails" "$total" "$rec %" "$most" "$took" "$status"
  cp "$work/$name.log" "$stem.log"
  last_before=$before last_fails=$fails last_most=$most last_rec=$rec
}
image_header() {
  printf "$row_format" "" "fails to" "failed" "total" "readable" "most" "time" "exit"
  printf "$row_format" "" "readable" "reads" "reads" "recovered" "reads" "s" ""
}

echo "Failing drive: ${source_mib} MiB source ($laid sample files)," \
  "failed reads take ${delay_ms} ms"
echo "Ours: $ours_version${has_map:+ (keeps a map, resumes)}"
echo "Work: $work"

# --- a. dead stretch ---------------------------------------------------------------------------
if [[ ,$only, == *,a,* ]]; then
  for where in aligned offset; do
    if [[ $where == aligned ]]; then first=$stretch_aligned; else first=$stretch_offset; fi
    echo
    echo "a. dead ${stretch_mib} MiB stretch at sector $first ($where)"
    mount_drive "dead_$where" "$first $stretch_sectors"
    image_header
    image_row "dead_$where" "ddrescue -n" ddrescue -n
    dd_n=$last_fails
    image_row "dead_$where" "ddrescue -n -N" ddrescue -n -N
    image_row "dead_$where" "ddrescue (full)" ddrescue
    image_row "dead_$where" "ours" ours
    ours_before=$last_before
    if supports image --no-scrape; then
      image_row "dead_$where" "ours --no-scrape" ours --no-scrape
      ours_before=$last_before
    fi
    if [[ $ours_before == never ]]; then
      verdict 0 "ours left readable sectors unread ($where)"
    else
      verdict $((ours_before <= 2 * dd_n)) \
        "ours $ours_before failed reads before the readable part was copied," \
        "ddrescue -n $dd_n ($where)"
    fi
  done
fi

# --- b. degrading zone -------------------------------------------------------------------------
zone=()
for ((k = 0; k < 64; k++)); do zone+=("$((zone_first + k * 64)) 1"); done
if [[ ,$only, == *,b,* || ,$only, == *,f,* ]]; then
  echo
  echo "b. degrading zone: 64 bad sectors, one every 32 KiB from sector $zone_first"
  mount_drive degrade "${zone[@]}"
  image_header
  image_row degrade "ddrescue (full)" ddrescue
  image_row degrade "ours" ours
  verdict "$([[ $last_rec == 100.00 ]] && echo 1 || echo 0)" \
    "ours recovered $last_rec % of the readable sectors"
  verdict $((last_most <= 2)) "ours read a bad sector at most $last_most times"
fi

# --- c. kill and resume ------------------------------------------------------------------------
# start_imaging KIND OUT: one imaging run in the background, continuing from OUT's map when there
# is one (ddrescue always does); its pid in `running`.
start_imaging() {
  local resume=()
  case $1 in
    ours)
      [[ -n $resume_flag && -f $2.map ]] && resume=(--resume)
      "$cli" image "${resume[@]}" "$disk" "$2" >>"$work/resume.out" 2>&1 &
      ;;
    ddrescue) ddrescue -q "$disk" "$2" "$2.map" >>"$work/resume.out" 2>&1 & ;;
  esac
  running=$!
}
kill_resume_row() {  # kill_resume_row KIND
  local kind=$1 ref=$work/out/resume-$1-ref.img out=$work/out/resume-$1.img
  local landed=0 i wait_s start full_time ref_reads ref_reread reads reread same
  mkdir -p "$work/out"
  rm -f "$ref" "$ref".* "$out" "$out".*
  : >"$work/resume.log"
  start=$(now)
  start_imaging "$kind" "$ref"
  status=0
  wait "$running" || status=$?
  running=""
  full_time=$(seconds "$start" "$(now)")
  ref_reads=$(log_stats counts "$work/resume.log" | cut -d' ' -f1)
  ref_reread=$(log_stats reread "$work/resume.log")
  : >"$work/resume.log"
  for ((i = 0; i < kills; i++)); do
    # Spread over about one uninterrupted run: each wait up to twice a kills-th of its time.
    wait_s=$(awk -v t="$full_time" -v k="$kills" -v r="$RANDOM" \
      'BEGIN { printf "%.3f", 0.05 + (2 * t / k) * r / 32768 }')
    start_imaging "$kind" "$out"
    sleep "$wait_s"
    kill -KILL "$running" 2>/dev/null || true
    status=0
    wait "$running" 2>/dev/null || status=$?
    running=""
    ((status == 137)) && landed=$((landed + 1))
  done
  start_imaging "$kind" "$out"
  status=0
  wait "$running" || status=$?
  running=""
  reads=$(log_stats counts "$work/resume.log" | cut -d' ' -f1)
  reread=$(log_stats reread "$work/resume.log")
  if cmp -s "$ref" "$out"; then same=identical; else same=DIFFERENT; fi
  printf "$resume_format" "$kind" "$full_time" "$ref_reads" "$ref_reread" "$landed/$kills" \
    "$reads" "$reread" "$same" "$status"
  last_reread=$reread last_same=$same
}
resume_format='%-10s %8s %8s %8s %7s %8s %8s %10s %5s\n'
if [[ ,$only, == *,c,* ]]; then
  echo
  echo "c. kill and resume: SIGKILL at $kills random moments, resumed each time, then to the end"
  areas=("$((source_mib * 2048 / 10)) 64" "$((source_mib * 2048 * 4 / 10)) 1"
    "$((source_mib * 2048 * 7 / 10 + 5)) 512" "$((source_mib * 2048 * 9 / 10)) 16")
  mount_drive resume "${areas[@]}"
  printf "$resume_format" "" "whole" "reads" "reread" "kills" "reads" "reread" "image" "exit"
  printf "$resume_format" "" "run s" "" "sectors" "landed" "all runs" "sectors" "" ""
  [[ -n $ours_only ]] || kill_resume_row ddrescue
  if [[ -z $has_map ]]; then
    echo "ours: n/a, this quarvelin-cli has no image --resume"
  else
    kill_resume_row ours
    verdict "$([[ $last_same == identical && $status == 0 ]] && echo 1 || echo 0)" \
      "ours resumed: image $last_same to the uninterrupted one, exit $status"
    verdict $((last_reread == 0)) "ours read $last_reread sectors successfully more than once"
    [[ -f $work/out/resume-ours.img.map ]] && echo "  ddrescuelog -t of our final map:" &&
      ddrescuelog -t "$work/out/resume-ours.img.map" | sed '/^ *$/d; s/^/    /'
  fi
fi

# --- d. speed ----------------------------------------------------------------------------------
if [[ ,$only, == *,d,* ]]; then
  echo
  echo "d. speed: a ${speed_mib} MiB plain file, cached, imaged by ours and copied by dd bs=1M"
  big=$work/big.img
  if [[ ! -s $big || $(stat -c %s "$big") -ne $((speed_mib * mib)) ]]; then
    for ((i = 0; i < speed_mib / source_mib; i++)); do cat "$source_img"; done >"$big"
  fi
  cat "$big" >/dev/null
  best_dd="" best_ours=""
  # Three rounds, the fastest counting (a shared machine); each copy starts with no dirty pages
  # left by the one before.
  for round in 1 2 3; do
    order=(dd ours)
    ((round % 2)) || order=(ours dd)
    for who in "${order[@]}"; do
      rm -f "$work/big.copy" "$work/big.out" "$work/big.out".*
      sync
      if [[ $who == dd ]]; then
        timed speed dd if="$big" of="$work/big.copy" bs=1M
        faster "$took" "$best_dd" && best_dd=$took
      else
        timed speed "$cli" image "$big" "$work/big.out"
        faster "$took" "$best_ours" && best_ours=$took
      fi
    done
  done
  rm -f "$work/big.copy" "$work/big.out" "$work/big.out".*
  if supports image --no-checksums; then
    rm -f "$work/big.out" "$work/big.out".*
    sync
    timed speed "$cli" image --no-checksums "$big" "$work/big.out"
    rm -f "$work/big.out" "$work/big.out".*
    echo "  ours --no-checksums: ${took} s," \
      "ratio $(awk -v d="$best_dd" -v o="$took" 'BEGIN { printf "%.2f", (o > 0) ? d / o : 0 }')"
  fi
  # What checksums cost on their own: our image writes SHA-256 and MD5 files beside itself.
  sync
  start=$(now)
  sha256sum "$big" >/dev/null
  md5sum "$big" >/dev/null
  sums=$(seconds "$start" "$(now)")
  ratio=$(awk -v d="$best_dd" -v o="$best_ours" 'BEGIN { printf "%.2f", (o > 0) ? d / o : 0 }')
  echo "  dd ${best_dd} s, ours ${best_ours} s (fastest of three runs each):" \
    "ratio $ratio; sha256sum and md5sum of the file take $sums s"
  verdict "$(awk -v r="$ratio" 'BEGIN { print (r >= 0.8) ? 1 : 0 }')" "ours at $ratio of dd's rate"
fi

# --- e. carving from the failing drive ---------------------------------------------------------
scan_row() {  # scan_row NAME LABEL SOURCE [options]
  local name=$1 label=$2 src=$3 stem=$work/scan/$1-${2//[^A-Za-z0-9-]/_} carved damaged notes
  local outdir=$stem.out
  shift 3
  rm -rf "$outdir"
  mkdir -p "$work/scan"
  timed "$name" timeout -s INT -k 30 "$scan_timeout" "$cli" scan --json "$@" "$src" "$outdir"
  read -r total fails _ most <<<"$(log_stats counts "$work/$name.log" --bad "$bad")"
  carved=$(wc -l <"$outdir/manifest.jsonl" 2>/dev/null || echo 0)
  damaged=$(grep -c '"unreadable"\|"problem"' "$outdir/manifest.jsonl" 2>/dev/null || true)
  status_lines <"$work/last.out" >"$stem.status"
  notes=$(grep -ci "$said" "$stem.status" || true)
  printf "$scan_format" "$label" "$fails" "$total" "$most" "$carved" "${damaged:-0}" "$notes" \
    "$took" "$status"
  cp "$work/last.out" "$stem.messages"
}
# The engine's status lines, and those about unreadable areas and damaged files grouped, their
# numbers and paths left out.
said='unread\|damag\|read error\|cut short'
status_lines() { sed -n 's/^{"kind":"Status",.*"text":"\(.*\)"}$/\1/p'; }
what_it_said() {
  echo "  $1, what it said:"
  grep -i "$said" "$2" | sed 's/[0-9][0-9]*/N/g; s/: \/.*$/: PATH/' | sort | uniq -c | sort -rn |
    head -8 | sed 's/^/    /' || true
}
scan_format='%-26s %7s %7s %6s %6s %7s %7s %7s %5s\n'
scan_header() {
  printf "$scan_format" "" "failed" "total" "most" "files" "damaged" "status" "time" "exit"
  printf "$scan_format" "" "reads" "reads" "reads" "" "" "lines" "s" ""
}
if [[ ,$only, == *,e,* ]]; then
  echo
  echo "e. scan of the failing drives (files: manifest lines; status lines about unreadable areas"
  echo "   and damaged files; exit 124: stopped after ${scan_timeout} s)"
  scan_header
  bad=/dev/null
  rm -rf "$work/scan/healthy"
  timed healthy "$cli" scan "$source_img" "$work/scan/healthy"
  printf "$scan_format" "healthy image (no FUSE)" - - - \
    "$(wc -l <"$work/scan/healthy/manifest.jsonl")" - - "$took" "$status"
  rm -rf "$work/scan/healthy"
  mount_drive "dead_aligned" "$stretch_aligned $stretch_sectors"
  scan_row dead_aligned "dead stretch" "$disk"
  mount_drive degrade "${zone[@]}"
  scan_row degrade "degrading zone" "$disk"
  what_it_said "dead stretch" "$work/scan/dead_aligned-dead_stretch.status"
  what_it_said "degrading zone" "$work/scan/degrade-degrading_zone.status"
fi

# --- f. scan of an image with its map ----------------------------------------------------------
if [[ ,$only, == *,f,* ]]; then
  echo
  echo "f. scan IMAGE --map MAP on the image (b) made of the degrading zone"
  img=$work/out/degrade-ours.img
  if ! supports scan --map; then
    echo "  n/a: this quarvelin-cli has no scan --map"
  elif [[ ! -f $img.map ]]; then
    echo "  n/a: no map beside $img"
  else
    scan_header
    bad=/dev/null
    : >"$work/image.log"
    scan_row image "image, no map" "$img"
    scan_row image "image --map" "$img" --map "$img.map"
    what_it_said "without the map" "$work/scan/image-image__no_map.status"
    what_it_said "with the map" "$work/scan/image-image_--map.status"
  fi
fi

exit $failed
