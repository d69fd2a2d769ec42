#!/usr/bin/env bash
# What a scan of every type costs, in instructions (callgrind: the same count run after run, whatever
# else the machine is doing), for this build's quarvelin-cli beside another one (the baseline, say a
# build of the commit before a change), over the same two 64 MiB disks: random bytes, and a raw area
# of the sample files of the types the scan carved before December 2026 between random gaps.
#   bench/scan_instructions.sh BASELINE-CLI [CLI]   (CLI default build/release/bin/quarvelin-cli)
# Prints one line per disk: both counts and the change in percent.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
baseline=${1:?usage: $0 BASELINE-CLI [CLI]}
cli=${2:-$root/build/release/bin/quarvelin-cli}
command -v valgrind >/dev/null || { echo "needs valgrind" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/scan_instructions.XXXXXX")
trap 'rm -rf "$work"' EXIT
old_types=jpg,png,gif,bmp,tif,webp,avi,wav,ico,svg,html,xml,psd,psb,mp4,mov,3gp,m4v,mkv,webm,wmv,flv,mp3,flac,ogg,pdf,docx,zip,rtf,rar,7z
python3 -c '
import random, sys
open(sys.argv[1], "wb").write(random.Random(9).randbytes(64 << 20))' "$work/random.img"
python3 "$root/tools/sample_disk.py" --out "$work/used.img" --manifest "$work/used.json" --seed 5 \
  --raw-mib 64 --types "$old_types" >/dev/null
instructions() { # cli image
  rm -rf "$work/out"
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1" scan --no-fs "$2" "$work/out" 2>&1 >/dev/null |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
for disk in random used; do
  before=$(instructions "$baseline" "$work/$disk.img")
  after=$(instructions "$cli" "$work/$disk.img")
  awk -v d="$disk" -v b="$before" -v a="$after" \
    'BEGIN { printf "%-7s baseline %12d  this build %12d  %+.1f %%\n", d, b, a, (a - b) * 100 / b }'
done
