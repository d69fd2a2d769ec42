#!/usr/bin/env bash
# Recovery quality on a used drive: builds a 256 MiB disk (a 128 MiB FAT32 volume filled with copies of
# testdata/files, about half of them deleted, then a 128 MiB raw area of files between random and zeroed
# gaps), adds large files made here (several-MB TIFF, PSD, PSB, Ogg, FLAC and fragmented MP4, and a
# PDF with a PostScript file right after it), scans it with quarvelin-cli, and prints per type how many
# files came back exact, complete or not at all, under a wrong extension, and the false outputs.
#   bench/recovery_quality.sh [CLI]   (or QUARVELIN_CLI; default build/release/bin/quarvelin-cli,
#                                      built here when missing)
# Exit status 0 when every target is met, 1 when one is not or the scan fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-${QUARVELIN_CLI:-$root/build/release/bin/quarvelin-cli}}
# The goals: share of all files exact, least share exact of any one type, share at least complete,
# and false outputs as a share of the files on the disk (under).
targets=(--target-exact 95 --target-type-exact 90 --target-complete 100 --target-false 5)

packages=(imagemagick ffmpeg flac vorbis-tools sox ghostscript dosfstools mtools python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=()
  (($(id -u) == 0)) || sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [[ ! -x $cli && -z ${1:-} && -z ${QUARVELIN_CLI:-} ]]; then
  "$root/tools/install-deps.sh" native
  cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build/release" --target quarvelin-cli -j 2 >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/recovery_quality.XXXXXX")
trap 'rm -rf "$work"' EXIT

# --- large files, made afresh each run with fixed seeds -------------------------------------------
extra=$work/extra
mkdir -p "$extra/pdf_then_postscript"
export SOURCE_DATE_EPOCH=1700000000 TZ=UTC LC_ALL=C MAGICK_THREAD_LIMIT=1
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
bitexact=(-fflags +bitexact -flags +bitexact -map_metadata -1 -threads 1)
echo "Making the large files ..."
convert -seed 3 -size 1600x1200 plasma:fractal -blur 0x1 -depth 8 "$work/big.png"
convert "$work/big.png" -compress LZW -strip "$extra/large_lzw.tif"
convert "$work/big.png" -resize 1200x900 -compress None -strip "$extra/large_uncompressed.tif"
convert "$work/big.png" -resize 1400x1050 -compress RLE -strip "$extra/large_rle.psd"
convert "$work/big.png" -resize 1400x1050 -compress RLE -strip PSB:"$extra/large_rle.psb"
sox -R -D -n -r 44100 -c 2 -b 16 "$work/mix.wav" synth 150 pinknoise sine 220-880 gain -12 tremolo 3 40
oggenc --quiet -s 4711 -q 4 -o "$extra/large_vorbis.ogg" "$work/mix.wav"
sox -R -D "$work/mix.wav" "$work/mix30.wav" trim 0 30
flac --silent -f -o "$extra/large_noise_mix.flac" "$work/mix30.wav"
ff -f lavfi -i "testsrc=size=640x360:rate=25:duration=15,noise=alls=12:allf=t+u:all_seed=5" \
  -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=15" -c:v libx264 -preset veryfast \
  -pix_fmt yuv420p -b:v 2M -g 25 -c:a aac -b:a 64k -movflags +frag_keyframe+empty_moov \
  "${bitexact[@]}" "$extra/large_fragmented.mp4"
# A printed report: the PDF, then the PostScript made from it (which also ends "%%EOF") right after.
{
  echo '%!PS'
  for page in $(seq 1 12); do
    echo "/Helvetica-Bold findfont 18 scalefont setfont 72 720 moveto (Recovery report, page $page) show"
    echo "/Helvetica findfont 10 scalefont setfont"
    for line in $(seq 1 40); do
      echo "72 $((700 - line * 15)) moveto (Sector run $page.$line: checked, copied and verified.) show"
    done
    echo 'showpage'
  done
} >"$work/report.ps"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o "$extra/pdf_then_postscript/a_report.pdf" "$work/report.ps"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=ps2write -o "$extra/pdf_then_postscript/b_report_printout.ps" \
  "$extra/pdf_then_postscript/a_report.pdf"
find "$extra" -type f -printf "  %10s  %P\n" | sort -k2

python3 "$root/tools/sample_disk.py" --out "$work/disk.img" --manifest "$work/disk.json" --seed 20240611 \
  --fat-mib 128 --fat32 --fat-fill 0.8 --raw-mib 128 --extra "$extra"

start=$(date +%s%N)
status=0
"$cli" scan --json "$work/disk.img" "$work/out" >"$work/scan.jsonl" 2>"$work/scan.err" || status=$?
end=$(date +%s%N)
elapsed_ms=$(((end - start) / 1000000))
printf 'Scan took %d.%03d s (exit status %d, %s)\n' $((elapsed_ms / 1000)) $((elapsed_ms % 1000)) "$status" \
  "$(tail -n 1 "$work/scan.jsonl")"
if [ "$status" -ne 0 ]; then
  tail -n 5 "$work/scan.err" >&2
  echo "Targets not met: the scan failed."
  exit 1
fi

check=0
python3 "$root/tools/check_recovery.py" "$work/out" "$work/disk.json" --cli "$cli" "${targets[@]}" || check=$?
if [ "$check" -eq 0 ]; then
  echo "Targets met."
else
  echo "Targets not met."
fi
exit "$check"
