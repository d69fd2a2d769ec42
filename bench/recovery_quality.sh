#!/usr/bin/env bash
# Recovery quality on a used drive: builds a 256 MiB disk (a 128 MiB FAT32 volume filled with copies of
# testdata/files, about half of them deleted, then a 128 MiB raw area of files between random and zeroed
# gaps), scans it with quarvelin-cli, and prints the scan time and what came back per extension.
#   bench/recovery_quality.sh [CLI]      (default: build/release/bin/quarvelin-cli)
# Exit status 0 when the target is met, 1 when it is not or the scan fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-$root/build/release/bin/quarvelin-cli}
# Formats whose size the engine measures from the file's own structure: these must come back exact.
exact=jpg,png,gif,bmp,ico,webp,avi,wav,mp4,mov,3gp,m4v,mkv,webm,flv,zip,docx,7z,mp3,wmv

work=$(mktemp -d "${TMPDIR:-/tmp}/recovery_quality.XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 "$root/tools/sample_disk.py" --out "$work/disk.img" --manifest "$work/disk.json" --seed 20240611 \
  --fat-mib 128 --fat32 --fat-fill 0.8 --raw-mib 128

start=$(date +%s%N)
status=0
"$cli" scan --json "$work/disk.img" "$work/out" >"$work/scan.jsonl" 2>"$work/scan.err" || status=$?
end=$(date +%s%N)
elapsed_ms=$(((end - start) / 1000000))
printf 'Scan took %d.%03d s (exit status %d, %s)\n' $((elapsed_ms / 1000)) $((elapsed_ms % 1000)) "$status" \
  "$(tail -n 1 "$work/scan.jsonl")"
if [ "$status" -ne 0 ]; then
  tail -n 5 "$work/scan.err" >&2
  echo "Target not met: the scan failed."
  exit 1
fi

check=0
python3 "$root/tools/check_recovery.py" "$work/out" "$work/disk.json" \
  --expect-exact "$exact" --expect-complete || check=$?
if [ "$check" -eq 0 ]; then
  echo "Target met: every file of $exact exact, every other complete, none lost."
else
  echo "Target not met: every file of $exact exact, every other complete, none lost."
fi
exit "$check"
