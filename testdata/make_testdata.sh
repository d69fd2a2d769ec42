#!/usr/bin/env bash
# Regenerates testdata/files/: small real files of every kind a scan carves, written by real encoders,
# for the validator and scan tests. Content comes from the tools' own generators (ImageMagick
# patterns, ffmpeg lavfi sources, sox synth, pandoc from text written here); nothing is downloaded.
# Runs on Debian as root or through sudo, and installs only the packages that are missing.
#
#   testdata/make_testdata.sh [--cli PATH]           regenerate and check
#   testdata/make_testdata.sh --check [--cli PATH]   only check the files that are there
#
# Every file is then checked against the scanner's type table, read from `quarvelin-cli types --json`
# (PATH, or $QUARVELIN_CLI, default build/native/bin/quarvelin-cli): its leading bytes must be one of
# the headers the scanner knows, preferably one of its own extension's. Sizes are not checked: a
# whole file smaller than a type's usual minimum is still carved, and the tiny files test exactly that.
set -euo pipefail
cli=${QUARVELIN_CLI:-$(dirname "$0")/../build/native/bin/quarvelin-cli}
only_check=0
while (($#)); do
  case $1 in
    --check) only_check=1 ;;
    --cli) cli=${2:?--cli needs a path}; shift ;;
    --cli=*) cli=${1#--cli=} ;;
    *) echo "usage: $0 [--check] [--cli PATH]" >&2; exit 2 ;;
  esac
  shift
done
cli=$(realpath -m "$cli")
cd "$(dirname "$0")"
here=$PWD
out=$PWD/files

# RAR archives can only be written by the non-free rar program, so there are none.
unmade=(rar)
# Files made on purpose without anything a scanner can key on (an XML document without a declaration
# starts with whatever its root element is): the check names them instead of failing.
headerless=(canonical_no_declaration.xml
  # A tar archive starts with its first member's name, an ISO image with its system area, and plain
  # text has no header at all: a scan looks for them at sector starts.
  gnu_long_name_member.tar posix_pax_headers.tar plain_ustar.tar joliet_rock_ridge_volume.iso
  plain_iso9660_level1.iso
  bsd_license_ascii.txt artistic_license_crlf.txt pandoc_report_utf8_accents.txt)

# Prints one line per extension of the scanner's table: "ext|hex hex...|hex hex..." with the headers
# matched byte for byte, then those matched whatever the letter case (in lower case).
scanner_table() {
  local listing
  [[ -x $cli ]] || { echo "  FAIL: no quarvelin-cli at $cli (build it, or give --cli PATH)" >&2; return 1; }
  listing=$("$cli" types --json) || { echo "  FAIL: $cli types --json gave no type table" >&2; return 1; }
  python3 -c '
import json, sys
for t in json.load(sys.stdin):
    print("%s|%s|%s" % (t["extension"], " ".join(t.get("headers", [])),
                        " ".join(t.get("headersIgnoringCase", []))))' <<<"$listing"
}

check() {
  local failed=0 total=0 f name ext size lead lower h e table own found
  declare -A headers=() folded=()
  table=$(scanner_table) || return 1
  while IFS='|' read -r ext h e; do
    headers[$ext]=$h
    folded[$ext]=$e
  done <<<"$table"
  printf '%9s  %-34s  %s\n' bytes 'first bytes' file
  for f in "$out"/*; do
    name=${f##*/}
    ext=${name##*.}
    size=$(stat -c %s "$f")
    total=$((total + size))
    lead=$(head -c 32 "$f" | od -An -v -tx1 | tr -d ' \n')
    lower=$(head -c 32 "$f" | LC_ALL=C tr '[:upper:]' '[:lower:]' | od -An -v -tx1 | tr -d ' \n')
    printf '%9d  %-34s  %s\n' "$size" "${lead:0:32}" "$name"
    if [[ -z ${headers[$ext]+set} ]]; then
      echo "  FAIL: no scanner row for extension .$ext" >&2; failed=1; continue
    fi
    # The type whose header the file starts with; its own extension first, since several share one.
    found=
    for own in "$ext" "${!headers[@]}"; do
      for h in ${headers[$own]}; do [[ $lead == "$h"* ]] && found=$own; done
      for h in ${folded[$own]}; do [[ $lower == "$h"* ]] && found=$own; done
      [[ -n $found ]] && break
    done
    if [[ -z $found ]]; then
      if [[ " ${headerless[*]} " == *" $name "* ]]; then
        echo "  note: $name begins with no header the scanner knows (made so on purpose)"
      else
        echo "  FAIL: $name begins with no header the scanner knows" >&2; failed=1
      fi
    elif [[ $found != "$ext" ]]; then
      echo "  note: $name begins with a .$found header; its content has to tell it is .$ext"
    fi
    grep -q "^| \`$name\` |" README.md || { echo "  FAIL: $name is not described in README.md" >&2; failed=1; }
  done
  for ext in "${!headers[@]}"; do
    [[ " ${unmade[*]} " == *" $ext "* ]] && continue
    local count
    count=$(find "$out" -maxdepth 1 -name "*.$ext" | wc -l)
    ((count >= 2)) || { echo "  FAIL: only $count .$ext file(s)" >&2; failed=1; }
  done
  # shellcheck disable=SC2016 # the backquotes are README markup
  while read -r name; do
    [[ -e $out/$name ]] || { echo "  FAIL: README.md describes $name, which is missing" >&2; failed=1; }
  done < <(sed -n 's/^| `\([^`]*\)` |.*/\1/p' README.md)
  echo "$(find "$out" -maxdepth 1 -type f | wc -l) files, $total bytes"
  ((total < 3 * 1024 * 1024)) || { echo "  FAIL: the set should stay under 3 MiB" >&2; failed=1; }
  return $failed
}

if ((only_check)); then check; exit; fi
# The check needs the scanner's table; better to know before the set is rebuilt.
scanner_table >/dev/null

# --- tools ----------------------------------------------------------------------------------------
packages=(imagemagick ffmpeg lame flac vorbis-tools sox pandoc ghostscript qpdf zip unzip p7zip-full
  libimage-exiftool-perl libjpeg-turbo-progs fonts-dejavu-core coreutils perl python3 libxml2-utils
  libmagickcore-6.q16-6-extra python3-openpyxl gnumeric libreoffice-writer libreoffice-calc
  libreoffice-impress openjdk-17-jdk-headless gzip tar xorriso sqlite3 base-files dos2unix
  libheif-examples libjxl-tools)
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

# --- a reproducible setting: fixed clock for the tools that stamp dates, one thread, C locale -----
export SOURCE_DATE_EPOCH=1700000000 TZ=UTC LC_ALL=C
export MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1
stamp='2023-11-14 22:13:20 UTC'
umask 022
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Built aside and swapped in whole, so a failed run leaves the previous set in place.
final=$out
out=$work/files
mkdir -p "$out"

im() { convert "$@"; }
# PNG writers stamp date chunks unless told not to.
pngopts=(-strip -define 'png:exclude-chunks=date,time')
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
bitexact=(-fflags +bitexact -flags +bitexact -map_metadata -1 -threads 1)
vsrc() { echo "testsrc=size=${1}:rate=${2}:duration=${3}"; }
asrc() { echo "sine=frequency=${1}:sample_rate=${2}:duration=${3}"; }

# Rewrites an ISO media file's ftyp box with another brand list of at most the same length and
# gives the bytes saved to the free box that follows it, so no sample offset moves. ffmpeg always
# lists three or four compatible brands; cameras and phones often write fewer.
trim_ftyp() { # in out major brand...
  perl -e '
    use strict; my ($in, $out, $major, @brands) = @ARGV;
    open my $fh, "<:raw", $in or die; local $/; my $d = <$fh>; close $fh;
    my $fs = unpack "N", substr($d, 0, 4);
    die "no ftyp\n" unless substr($d, 4, 4) eq "ftyp";
    my ($free, $type) = unpack "N a4", substr($d, $fs, 8);
    die "no free box after ftyp\n" unless $type eq "free";
    my $ftyp = "ftyp" . $major . substr($d, 12, 4) . join("", @brands);
    $ftyp = pack("N", 4 + length $ftyp) . $ftyp;
    my $slack = $fs - length $ftyp;
    die "brand list too long\n" if $slack < 0;
    my $newfree = $free + $slack;
    open $fh, ">:raw", $out or die;
    print $fh $ftyp, pack("N a4", $newfree, "free"), "\0" x ($newfree - 8), substr($d, $fs + $free);
    close $fh;' "$@"
}

# ==================================================================================================
# Images
# ==================================================================================================
cd "$work"
im -seed 11 -size 240x180 plasma:orange-navy -blur 0x2 -depth 8 -font DejaVu-Sans -pointsize 22 \
  -fill white -annotate +14+166 'Harbour, June 2019' "${pngopts[@]}" photo.png
im -seed 5 -size 96x72 plasma:green-skyblue -blur 0x3 -depth 8 "${pngopts[@]}" small.png
im -size 64x48 xc:white -fill '#c03020' -draw 'roundrectangle 4,4 59,43 8,8' -fill white \
  -font DejaVu-Sans-Bold -pointsize 20 -annotate +10+32 'Q1' "${pngopts[@]}" badge.png

# --- JPEG -----------------------------------------------------------------------------------------
im photo.png -quality 85 -strip "$out/harbour_jfif_app0.jpg"
im photo.png -interlace Plane -quality 80 -strip "$out/progressive_multi_scan.jpg"
im photo.png -colorspace CMYK -quality 80 -strip "$out/cmyk_adobe_app14_first.jpg"
im photo.png -quality 80 -strip -profile /usr/share/color/icc/ghostscript/default_rgb.icc \
  "$out/icc_profile_app2.jpg"
im photo.png -resize 96x72 -colorspace Gray -quality 80 -strip "$out/tiny_gray_under_2000_bytes.jpg"
# A camera shot: Exif APP1 with a thumbnail (itself a whole JPEG, SOI to EOI) inside the segment.
im photo.png -resize 80x60 -quality 70 -strip thumb.jpg
exif=(-q -overwrite_original -Make=Quarvelin -Model='Test Camera 2' -Orientation#=1
  -DateTimeOriginal='2019:06:15 12:30:00' -ExposureTime=1/250 -FNumber=5.6 -ISO=100
  '-ThumbnailImage<=thumb.jpg')
cp "$out/harbour_jfif_app0.jpg" "$out/jfif_then_exif_thumbnail.jpg"
exiftool "${exif[@]}" "$out/jfif_then_exif_thumbnail.jpg"
# As cameras write it: no JFIF segment, so Exif APP1 comes straight after SOI.
cp "$out/harbour_jfif_app0.jpg" "$out/camera_exif_app1_first_thumbnail.jpg"
exiftool "${exif[@]}" -JFIF:all= "$out/camera_exif_app1_first_thumbnail.jpg"
# No application segment at all: the quantisation table follows SOI.
cp "$out/harbour_jfif_app0.jpg" "$out/bare_dqt_after_soi.jpg"
exiftool -q -overwrite_original -all= "$out/bare_dqt_after_soi.jpg"
# Restart markers every row of MCUs, which the entropy-coded data carries as FF D0..FF D7.
im photo.png -depth 8 photo.ppm
cjpeg -quality 75 -restart 1 -outfile "$out/restart_markers_every_row.jpg" photo.ppm

# --- PNG ------------------------------------------------------------------------------------------
im -size 120x80 gradient:'#ff8000'-'#0040ff' \( -size 120x80 gradient:white-black -rotate 90 -resize 120x80! \) \
  -alpha off -compose CopyOpacity -composite "${pngopts[@]}" -define png:color-type=6 \
  "$out/rgba_gradient_alpha.png"
im photo.png -resize 120x90 -colors 16 "${pngopts[@]}" PNG8:"$out/indexed_16_colours_plte.png"
im -size 100x60 gradient:black-white -colorspace Gray -depth 16 -define 'png:exclude-chunks=date,time' \
  -set comment 'grey ramp' -define png:bit-depth=16 -define png:color-type=0 "$out/gray_16bit_text_chunk.png"
im photo.png -resize 120x90 -interlace PNG "${pngopts[@]}" "$out/adam7_interlaced.png"
# Noise does not compress, and ffmpeg's writer emits an IDAT chunk per 4 KiB of deflated data.
ff -f lavfi -i 'color=c=gray:size=96x96,noise=alls=80:allf=u:all_seed=7' -frames:v 1 "${bitexact[@]}" \
  "$out/noise_several_idat_chunks.png"
ff -f lavfi -i "$(vsrc 64x48 5 1)" -plays 0 -f apng "${bitexact[@]}" "$out/animated_apng_chunks.png"

# --- GIF ------------------------------------------------------------------------------------------
frames=()
for i in 0 1 2 3 4 5 6 7; do
  x=$((8 + i * 6)); y=$((10 + (i % 4) * 6))
  im -size 64x48 xc:skyblue -fill orange -draw "circle $x,$y $((x + 6)),$y" -fill darkgreen \
    -draw 'rectangle 0,40 63,47' "frame$i.png"
  frames+=("frame$i.png")
done
im -delay 10 -loop 0 "${frames[@]}" -layers Optimize "$out/animated_bouncing_ball.gif"
im small.png -resize 64x48 -colors 32 GIF87:"$out/gif87a_still.gif"
im badge.png -transparent white -set comment 'made for the carving tests' "$out/transparent_with_comment.gif"
# One palette per frame: each image descriptor carries a local colour table.
ff -f lavfi -i "$(vsrc 48x32 5 1)" \
  -filter_complex 'split[a][b];[a]palettegen=stats_mode=single[p];[b][p]paletteuse=new=1' \
  -loop 0 "${bitexact[@]}" "$out/local_colour_tables_per_frame.gif"

# --- BMP ------------------------------------------------------------------------------------------
im small.png -resize 64x48 -type TrueColor BMP3:"$out/bottom_up_24bit.bmp"
# Same pixels stored top-down: negative height, first row first.
perl -e '
  use strict; my ($in, $out) = @ARGV;
  open my $fh, "<:raw", $in or die; local $/; my $d = <$fh>; close $fh;
  my ($off) = unpack "V", substr($d, 10, 4);
  my ($w, $h) = unpack "l< l<", substr($d, 18, 8);
  my ($bpp) = unpack "v", substr($d, 28, 2);
  die "expected a bottom-up file\n" unless $h > 0;
  my $row = int(($bpp * $w + 31) / 32) * 4;
  my @rows = map { substr($d, $off + $_ * $row, $row) } 0 .. $h - 1;
  substr($d, 22, 4) = pack "l<", -$h;
  substr($d, $off, $row * $h) = join "", reverse @rows;
  open $fh, ">:raw", $out or die; print $fh $d; close $fh;' \
  "$out/bottom_up_24bit.bmp" "$out/top_down_24bit_negative_height.bmp"
im photo.png -resize 80x60 -type Palette -colors 200 -compress None BMP3:"$out/palette_8bit.bmp"
im badge.png -alpha set -channel A -evaluate set 70% +channel "$out/alpha_32bit_v5_header.bmp"
im small.png -resize 48x36 BMP2:"$out/os2_core_12_byte_header.bmp"
im small.png -resize 64x48 -monochrome BMP3:"$out/monochrome_1bit.bmp"
# Run-length coded: much smaller than width x height, as paint programs save flat drawings.
im -size 96x64 xc:white -fill navy -draw 'rectangle 10,10 60,40' -fill gold -draw 'circle 70,40 80,40' \
  -type Palette -colors 8 -compress RLE BMP3:"$out/rle8_compressed_flat_drawing.bmp"

# --- TIFF, WebP, ICO, PSD ----------------------------------------------------------------------------
im photo.png -resize 120x90 -compress LZW -endian LSB -strip "$out/intel_little_endian_lzw.tif"
im small.png -resize 64x48 -compress None -endian MSB -strip "$out/motorola_big_endian.tif"
im \( photo.png -resize 96x72 \) \( small.png -resize 48x36 \) -compress Zip -strip "$out/two_pages_deflate.tif"
im photo.png -resize 120x90 -quality 70 -strip "$out/lossy_vp8.webp"
im badge.png -define webp:lossless=true -strip "$out/lossless_vp8l.webp"
ff -f lavfi -i "$(vsrc 64x48 5 1)" -c:v libwebp_anim -loop 0 "${bitexact[@]}" "$out/animated_vp8x_anim.webp"
im badge.png -define icon:auto-resize=48,32,16 "$out/three_sizes_bmp_entries.ico"
# Icons of 256 pixels are kept as PNG inside the ICO.
im badge.png -filter point -resize 256x256! -depth 8 -define icon:auto-resize=256,32 "$out/png_entry_256px.ico"
im photo.png -resize 96x72 -depth 8 -strip "$out/flat_rgb.psd"
im \( -size 80x60 gradient:red-blue \) \( -size 40x30 xc:yellow -set label sun \) \
  \( -size 30x20 xc:green -set label field \) -depth 8 "$out/two_layers.psd"
# Large Document Format: the PSD layout with version 2 and 64-bit lengths where PSD has 32-bit ones.
im photo.png -resize 96x72 -depth 8 -strip PSB:"$out/flat_rgb_large_document.psb"
im \( -size 80x60 gradient:red-blue \) \( -size 40x30 xc:yellow -set label sun \) -depth 8 \
  PSB:"$out/two_layers_large_document.psb"
# BigTIFF: 49 49 2B 00, then 64-bit IFD offsets.
im photo.png -resize 120x90 -compress LZW -strip TIFF64:"$out/bigtiff_64bit_offsets.tif"

# --- Tiny images: spacers, favicons and thumbnails far below the sizes photos have ---------------
im photo.png -resize 48x36 -quality 50 -sampling-factor 2x2 -strip "$out/tiny_thumbnail_about_600_bytes.jpg"
im -size 1x1 xc:'#c03020' "${pngopts[@]}" "$out/tiny_1x1_pixel.png"
im -size 1x1 xc:white -transparent white "$out/tiny_1x1_transparent_spacer.gif"
im -size 2x2 xc:navy -type TrueColor BMP3:"$out/tiny_2x2_24bit.bmp"
im -size 16x16 xc:'#1d3557' -fill '#e63946' -draw 'circle 8,8 8,3' "$out/tiny_16px_favicon.ico"
im -size 1x1 xc:'#c03020' -define webp:lossless=true -strip "$out/tiny_1x1_lossless.webp"
im -size 4x4 xc:gold -compress None -strip "$out/tiny_4x4_uncompressed.tif"
im -size 4x4 xc:teal -depth 8 -strip "$out/tiny_4x4.psd"

# --- SVG: drawings are written by hand or by web tools; these two are as a web page inlines them --
cat >"$out/shapes_and_text.svg" <<'EOF'
<svg xmlns="http://www.w3.org/2000/svg" width="120" height="80" viewBox="0 0 120 80">
  <title>Recovery badge</title>
  <rect x="2" y="2" width="116" height="76" rx="10" fill="#1d3557"/>
  <circle cx="30" cy="40" r="18" fill="#e63946"/>
  <path d="M55 55 L70 25 L85 55 Z" fill="#f1faee" stroke="#a8dadc" stroke-width="2"/>
  <text x="60" y="72" font-family="sans-serif" font-size="9" fill="#f1faee">restored</text>
</svg>
EOF
{
  printf '<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" '
  printf 'width="96" height="72">\n  <image width="96" height="72" xlink:href="data:image/png;base64,'
  base64 -w 0 small.png
  printf '"/>\n  <rect width="96" height="72" fill="none" stroke="black"/>\n</svg>\n'
} >"$out/embedded_png_image.svg"
# Most drawing programs write an XML declaration first, so these start with "<?xml", not "<svg".
printf 'viewbox 0 0 60 40\nfill red\ncircle 20,20 30,20\nfill blue\nrectangle 35,5 55,35\n' >drawing.mvg
# ImageMagick 6 writes the file but exits 1 after it; the file is checked instead.
im MVG:drawing.mvg "$out/imagemagick_xml_declaration.svg" || true
grep -q '</svg>' "$out/imagemagick_xml_declaration.svg"
cat >"$out/inkscape_style_declaration_comment.svg" <<'EOF'
<?xml version="1.0" encoding="UTF-8" standalone="no"?>
<!-- Created with Inkscape (http://www.inkscape.org/) -->

<svg
   width="120mm"
   height="80mm"
   viewBox="0 0 120 80"
   version="1.1"
   id="svg5"
   xmlns:inkscape="http://www.inkscape.org/namespaces/inkscape"
   xmlns:sodipodi="http://sodipodi.sourceforge.net/DTD/sodipodi-0.dtd"
   xmlns="http://www.w3.org/2000/svg"
   xmlns:svg="http://www.w3.org/2000/svg">
  <sodipodi:namedview
     id="namedview7"
     pagecolor="#ffffff"
     inkscape:document-units="mm" />
  <defs
     id="defs2" />
  <g
     inkscape:label="Layer 1"
     inkscape:groupmode="layer"
     id="layer1">
    <rect
       style="fill:#1d3557;stroke:none"
       id="rect1"
       width="116"
       height="76"
       x="2"
       y="2"
       ry="10" />
    <circle
       style="fill:#e63946"
       id="path1"
       cx="30"
       cy="40"
       r="18" />
  </g>
</svg>
EOF

# ==================================================================================================
# Video
# ==================================================================================================
v=(-f lavfi -i "$(vsrc 96x64 10 2)")
a=(-f lavfi -i "$(asrc 440 44100 2)")
x264=(-c:v libx264 -preset veryfast -pix_fmt yuv420p)

# --- MP4 ------------------------------------------------------------------------------------------
ff "${v[@]}" "${a[@]}" "${x264[@]}" -c:a aac -b:a 32k "${bitexact[@]}" "$out/h264_aac_moov_last.mp4"
ff "${v[@]}" "${a[@]}" "${x264[@]}" -c:a aac -b:a 32k -movflags +faststart "${bitexact[@]}" \
  "$out/h264_aac_faststart_moov_first.mp4"
ff "${v[@]}" -c:v mpeg4 -q:v 3 "${bitexact[@]}" "$out/mpeg4_part2_ftyp_28_bytes.mp4"
ff "${v[@]}" "${a[@]}" -c:v mpeg4 -q:v 3 -c:a aac -b:a 32k -movflags +frag_keyframe+empty_moov \
  -g 5 "${bitexact[@]}" "$out/fragmented_moof_boxes.mp4"
ff "${v[@]}" -c:v mpeg4 -q:v 3 "${bitexact[@]}" plain.mp4
trim_ftyp plain.mp4 "$out/mp42_ftyp_24_bytes.mp4" mp42 mp42 isom
trim_ftyp plain.mp4 "$out/isom_ftyp_20_bytes.mp4" isom isom
# As browsers and DASH packagers fragment: each moof carries its own base offset.
ff "${v[@]}" "${a[@]}" "${x264[@]}" -c:a aac -b:a 32k -g 5 \
  -movflags +frag_keyframe+empty_moov+default_base_moof "${bitexact[@]}" "$out/h264_fragments_default_base_moof.mp4"

# --- MOV, 3GP, M4V ----------------------------------------------------------------------------------
ff "${v[@]}" "${a[@]}" -c:v mpeg4 -q:v 3 -c:a pcm_s16le -ar 8000 -ac 1 "${bitexact[@]}" \
  "$out/quicktime_mpeg4_pcm_moov_last.mov"
ff "${v[@]}" "${a[@]}" "${x264[@]}" -c:a aac -b:a 32k -movflags +faststart "${bitexact[@]}" \
  "$out/quicktime_h264_aac_faststart.mov"
ff -f lavfi -i "$(vsrc 128x96 10 2)" -f lavfi -i "$(asrc 880 16000 2)" -c:v h263 -q:v 8 \
  -c:a aac -b:a 16k -ar 16000 -ac 1 -f 3gp "${bitexact[@]}" phone.3gp
trim_ftyp phone.3gp "$out/phone_h263_aac_ftyp_24_bytes.3gp" 3gp4 3gp4 isom
ff "${v[@]}" -c:v mpeg4 -q:v 3 -f 3gp "${bitexact[@]}" phone2.3gp
trim_ftyp phone2.3gp "$out/phone_mpeg4_ftyp_20_bytes.3gp" 3gp5 3gp5
ff "${v[@]}" "${a[@]}" "${x264[@]}" -c:a aac -b:a 32k -f ipod "${bitexact[@]}" itunes.m4v
trim_ftyp itunes.m4v "$out/itunes_h264_aac.m4v" 'M4V ' 'M4V ' mp42
ff "${v[@]}" -c:v mpeg4 -q:v 3 -f ipod "${bitexact[@]}" itunes2.m4v
trim_ftyp itunes2.m4v "$out/itunes_mpeg4_video_only.m4v" 'M4V ' 'M4V ' isom

# --- Tiny clips: a few frames, a few KB, well under the sizes videos usually have ---------------------
t=(-f lavfi -i "$(vsrc 32x24 5 0.4)")
ff "${t[@]}" -c:v mpeg4 -q:v 10 "${bitexact[@]}" "$out/tiny_two_frames.mp4"
ff "${t[@]}" -c:v mpeg4 -q:v 10 -f mov "${bitexact[@]}" "$out/tiny_quicktime_few_kb.mov"
ff -f lavfi -i "$(vsrc 128x96 5 0.4)" -c:v h263 -q:v 20 -f 3gp "${bitexact[@]}" tiny.3gp
trim_ftyp tiny.3gp "$out/tiny_phone_clip.3gp" 3gp4 3gp4 isom
ff "${t[@]}" -f lavfi -i "$(asrc 440 22050 0.4)" -c:v mpeg4 -q:v 10 -c:a aac -b:a 16k -f ipod \
  "${bitexact[@]}" tiny.m4v
trim_ftyp tiny.m4v "$out/tiny_itunes_clip.m4v" 'M4V ' 'M4V ' mp42
ff -f lavfi -i "$(vsrc 32x24 5 0.2)" -c:v mjpeg -q:v 20 "${bitexact[@]}" "$out/tiny_mjpeg_clip.avi"
ff -f lavfi -i "$(vsrc 16x16 5 0.2)" -c:v mpeg4 -q:v 20 "${bitexact[@]}" "$out/tiny_one_frame.mkv"
ff -f lavfi -i "$(vsrc 16x16 5 0.2)" -c:v libvpx -b:v 20k "${bitexact[@]}" "$out/tiny_one_frame.webm"
ff -f lavfi -i "$(vsrc 16x16 5 0.2)" -c:v flv1 -q:v 20 "${bitexact[@]}" "$out/tiny_one_frame.flv"

# --- AVI, Matroska, WebM, ASF, FLV ------------------------------------------------------------------
ff "${v[@]}" "${a[@]}" -c:v mpeg4 -vtag XVID -q:v 3 -c:a libmp3lame -b:a 64k "${bitexact[@]}" \
  "$out/xvid_mp3_riff.avi"
ff -f lavfi -i "$(vsrc 64x48 5 2)" -f lavfi -i "$(asrc 440 8000 2)" -c:v mjpeg -q:v 10 \
  -c:a pcm_u8 -ac 1 "${bitexact[@]}" "$out/mjpeg_pcm_camera.avi"
printf '1\n00:00:00,000 --> 00:00:01,000\nFirst second\n\n2\n00:00:01,000 --> 00:00:02,000\nSecond second\n' \
  >subs.srt
ff "${v[@]}" "${a[@]}" "${x264[@]}" -c:a aac -b:a 32k "${bitexact[@]}" "$out/h264_aac.mkv"
ff "${v[@]}" "${a[@]}" -i subs.srt -map 0 -map 1 -map 2 -c:v mpeg4 -q:v 3 -c:a libvorbis -q:a 0 \
  -c:s srt "${bitexact[@]}" "$out/mpeg4_vorbis_subtitles.mkv"
ff "${v[@]}" "${a[@]}" -c:v libvpx -b:v 100k -deadline good -cpu-used 4 -c:a libvorbis -q:a 0 \
  "${bitexact[@]}" "$out/vp8_vorbis.webm"
ff "${v[@]}" "${a[@]}" -c:v libvpx-vp9 -b:v 100k -deadline good -cpu-used 5 -row-mt 0 -c:a libopus \
  -b:a 24k -ar 48000 "${bitexact[@]}" "$out/vp9_opus.webm"
ff "${v[@]}" "${a[@]}" -c:v wmv2 -q:v 8 -c:a wmav2 -b:a 32k "${bitexact[@]}" "$out/wmv8_wma2.wmv"
ff "${v[@]}" "${a[@]}" -c:v wmv1 -q:v 8 -c:a wmav1 -b:a 32k "${bitexact[@]}" "$out/wmv7_wma1.wmv"
ff "${v[@]}" "${a[@]}" -c:v flv1 -q:v 8 -c:a libmp3lame -b:a 32k -ar 22050 "${bitexact[@]}" \
  "$out/sorenson_mp3.flv"
ff "${v[@]}" "${a[@]}" "${x264[@]}" -c:a aac -b:a 32k "${bitexact[@]}" "$out/h264_aac.flv"

# ==================================================================================================
# Audio
# ==================================================================================================
sox -R -D -n -r 44100 -c 2 -b 16 tone.wav synth 3 sine 440 sine 660 fade 0.1 3 0.3 gain -6
sox -R -D -n -r 44100 -c 1 -b 16 voice.wav synth 2 sine 300-900 gain -8

# --- MP3 ------------------------------------------------------------------------------------------
# -t: no Info frame, and no tag, so the file starts straight with an FF FB frame header.
lame --quiet -t -b 64 --resample 44.1 tone.wav "$out/cbr_64k_no_tag_starts_fffb.mp3"
lame --quiet -V 6 tone.wav "$out/vbr_v6_xing_header.mp3"
lame --quiet -b 96 --resample 44.1 --tt 'Test tone' --ta Quarvelin --tl 'Carving tests' --ty 2019 --tn 3 \
  --add-id3v2 tone.wav "$out/id3v2_and_id3v1_tags.mp3"
# Cover art in the tag: a whole JPEG inside the MP3's ID3v2 tag.
im photo.png -resize 64x48 -quality 70 -strip cover.jpg
lame --quiet -b 128 --resample 48 --id3v2-only --tt 'With cover' --ti cover.jpg voice.wav \
  "$out/id3v2_cover_art_48khz.mp3"
# Mono: the Xing header sits 21 bytes into the frame, not 36 as in stereo.
lame --quiet -m m -V 5 --resample 32 voice.wav "$out/mono_vbr_32khz.mp3"
# MPEG-2 (22.05, 24, 16 kHz) and MPEG-2.5 (8, 11.025 kHz) layer III, as voice recorders, phones and
# podcasts at low rates write them: FF F3 and FF E3 frame headers, 576 samples a frame.
lame --quiet -b 32 --resample 22.05 voice.wav "$out/mpeg2_22khz_cbr_info_frame.mp3"
lame --quiet -b 40 --resample 24 --tt 'Voice memo' --ta Quarvelin --add-id3v2 voice.wav "$out/mpeg2_24khz_id3v2.mp3"
lame --quiet -m m -V 7 --resample 16 voice.wav "$out/mpeg2_16khz_mono_vbr.mp3"
lame --quiet -m m -b 16 --resample 8 voice.wav "$out/mpeg25_8khz_mono.mp3"
lame --quiet -m m -t -b 24 --resample 11.025 voice.wav "$out/mpeg25_11khz_no_info_frame.mp3"
# A second of speech-like sound (band-limited noise at the pace of syllables), no tag at all.
sox -R -D -n -r 44100 -c 1 -b 16 speech.wav synth 1 pinknoise sinc 300-3000 tremolo 4 90 gain -3
lame --quiet -m m -b 32 speech.wav "$out/speech_one_second_32k_no_tag.mp3"

# --- WAV, FLAC, Ogg ---------------------------------------------------------------------------------
sox -R -D -n -r 8000 -c 1 -b 16 "$out/pcm16_mono_8khz.wav" synth 1 sine 440 gain -6
sox -R -D -n -r 11025 -c 1 -b 8 -e unsigned-integer "$out/pcm8_unsigned_11khz.wav" synth 1 square 220 gain -10
# Three channels of 24-bit samples make sox write the WAVE_FORMAT_EXTENSIBLE header.
sox -R -D -n -r 8000 -c 3 -b 24 "$out/pcm24_three_channels_extensible.wav" synth 0.4 sine 300 sine 400 sine 500 gain -6
ff -i voice.wav -c:a adpcm_ms -ar 22050 -metadata title='Voice memo' -fflags +bitexact -flags +bitexact \
  "$out/ms_adpcm_with_info_list.wav"
sox -R -D tone.wav tone22.wav rate 22050 trim 0 1.5
flac --silent -f -o "$out/tone_16bit_seektable_padding.flac" tone22.wav
sox -R -D -n -r 48000 -c 1 -b 24 -e signed-integer -t raw hires.raw synth 0.25 sine 1000 gain -12
flac --silent -f --force-raw-format --endian=little --sign=signed --channels=1 --bps=24 \
  --sample-rate=48000 --no-padding --no-seektable -T TITLE='High resolution' -T ARTIST=Quarvelin \
  -o "$out/hires_24bit_tags_no_padding.flac" hires.raw
oggenc --quiet -s 20190615 -q 0 -t 'Test tone' -o "$out/vorbis_oggenc.ogg" tone.wav
ff -i voice.wav -c:a libopus -b:a 16k "${bitexact[@]}" "$out/opus_voice.ogg"
sox -R -D voice.wav voice16.wav rate 16000 trim 0 1
flac --silent -f --ogg --serial-number=4242 -o "$out/flac_in_ogg.ogg" voice16.wav
# Cover art inside the FLAC: a PICTURE block holding a whole JPEG.
cp "$out/tone_16bit_seektable_padding.flac" "$out/embedded_cover_picture.flac"
metaflac --import-picture-from='3|image/jpeg|Cover||cover.jpg' "$out/embedded_cover_picture.flac"
# Two logical streams interleaved page by page: Theora video and Vorbis audio.
ff "${v[@]}" "${a[@]}" -c:v libtheora -q:v 4 -c:a libvorbis -q:a 0 -f ogg "${bitexact[@]}" \
  "$out/theora_vorbis_multiplexed.ogg"
# Chained: one stream after another, each from its own beginning-of-stream page to its end.
oggenc --quiet -s 101 -q 0 -t 'Part one' -o part1.ogg voice.wav
oggenc --quiet -s 202 -q 0 -t 'Part two' -o part2.ogg tone22.wav
cat part1.ogg part2.ogg >"$out/chained_two_vorbis_streams.ogg"

# --- Tiny audio ------------------------------------------------------------------------------------
sox -R -D -n -r 8000 -c 1 -b 8 -e unsigned-integer "$out/tiny_beep_16_samples.wav" synth 0.002 sine 1000
sox -R -D -n -r 8000 -c 1 -b 16 tiny.wav synth 0.02 sine 1000 gain -6
flac --silent -f --no-padding --no-seektable -o "$out/tiny_20ms_no_padding.flac" tiny.wav
ff -i tiny.wav -c:a libopus -b:a 8k "${bitexact[@]}" "$out/tiny_opus_click.ogg"

# ==================================================================================================
# Documents
# ==================================================================================================
cat >report.md <<'EOF'
---
title: Recovery report
author: Quarvelin test data
date: 2019-06-15
---

# Summary

The drive *E:* was scanned sector by sector. **412** pictures, 37 videos and 9 documents were found
and written to the output folder.

| Kind      | Found | Intact |
|-----------|------:|-------:|
| Pictures  |   412 |    398 |
| Videos    |    37 |     35 |
| Documents |     9 |      9 |

## Notes

1. Image the failing drive first, then recover from the copy.
2. Files that were overwritten cannot come back.

> Accents and symbols survive: café, naïve, Ærø, 50 €, 10 µs.
EOF
pandoc report.md -s -o "$out/pandoc_report.docx"
# The same document packed the way Microsoft Word packs it: [Content_Types].xml first and the
# general-purpose flags 06 00 that Word writes for its deflated parts.
mkdir docx && (cd docx && unzip -q "$out/pandoc_report.docx")
(cd docx && find . -type f -printf '%P\n' | LC_ALL=C sort | grep -vx '\[Content_Types\].xml' >../parts.txt &&
  find . -exec touch -h -d "$stamp" {} + &&
  { echo '[Content_Types].xml'; cat ../parts.txt; } | zip -X -D -q -9 ../word.docx -@)
perl -e '
  use strict; my ($in, $out) = @ARGV;
  open my $fh, "<:raw", $in or die; local $/; my $d = <$fh>; close $fh;
  my $e = rindex $d, "PK\x05\x06"; die "no end record\n" if $e < 0;
  my ($n, $cd) = unpack "v x4 V", substr($d, $e + 10, 10);
  for (1 .. $n) {
    die "bad central entry\n" unless substr($d, $cd, 4) eq "PK\x01\x02";
    my ($method) = unpack "v", substr($d, $cd + 10, 2);
    my ($nl, $xl, $cl) = unpack "v v v", substr($d, $cd + 28, 6);
    my ($local) = unpack "V", substr($d, $cd + 42, 4);
    if ($method == 8) {
      for my $at ($cd + 8, $local + 6) {
        my ($f) = unpack "v", substr($d, $at, 2);
        substr($d, $at, 2) = pack "v", ($f & ~6) | 6;
      }
    }
    $cd += 46 + $nl + $xl + $cl;
  }
  open $fh, ">:raw", $out or die; print $fh $d; close $fh;' word.docx "$out/word_style_header_flags.docx"
pandoc report.md -s -t rtf -o "$out/pandoc_report.rtf"
printf 'Dear customer,\n\nyour photos from **2019** are back: 412 of 415.\n\nKind regards\n' |
  pandoc -s -t rtf --metadata title='Letter' -o "$out/pandoc_short_letter.rtf"

# --- PDF ------------------------------------------------------------------------------------------
cat >pages.ps <<'EOF'
%!PS
/Helvetica-Bold findfont 20 scalefont setfont
72 720 moveto (Recovery report) show
/Helvetica findfont 12 scalefont setfont
72 690 moveto (412 pictures, 37 videos and 9 documents were found on drive E:.) show
0.2 0.4 0.8 setrgbcolor 72 500 200 120 rectfill
showpage
/Helvetica findfont 12 scalefont setfont
72 720 moveto (Page two: image the failing drive first, then recover from the copy.) show
0.8 0.2 0.2 setrgbcolor 300 400 60 0 360 arc fill
showpage
EOF
# Ghostscript puts a time-based /ID in the trailer; qpdf derives it from the content instead.
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o gs.pdf pages.ps
qpdf --deterministic-id gs.pdf "$out/ghostscript_two_pages.pdf"
qpdf --deterministic-id --object-streams=generate gs.pdf "$out/object_streams_xref_stream.pdf"
qpdf --deterministic-id --linearize gs.pdf "$out/linearized_fast_web_view.pdf"
# Incremental updates, as viewers save edits: each appends new objects, an xref section whose
# trailer points back (/Prev) at the previous one, and its own %%EOF. The line end is the writer's:
# LF, or CR LF as Windows programs write it (then the base file's lines are turned to CR LF too,
# before the offsets are taken, and xref entries end "f\r\n" to stay 20 bytes long).
qpdf --deterministic-id --object-streams=disable gs.pdf base.pdf
incremental() { # in out eol
  perl -e '
  use strict; my ($in, $out, $eol, $page, $pagedict) = @ARGV;
  $eol = $eol eq "crlf" ? "\r\n" : "\n";
  open my $fh, "<:raw", $in or die; local $/; my $d = <$fh>; close $fh;
  if ($eol eq "\r\n") {
    # Rewrite the base in CR LF: stream data is binary and keeps its bytes, so only files whose
    # streams are all followed by an "endstream" line are turned; the xref table is rebuilt.
    die "base has object streams\n" if $d =~ m{/ObjStm};
    my @parts = split /(stream\r?\n.*?endstream)/s, $d;
    for (my $i = 0; $i < @parts; $i += 2) { $parts[$i] =~ s/\r?\n/\r\n/g; }
    for (my $i = 1; $i < @parts; $i += 2) {
      $parts[$i] =~ s/^stream\r?\n/stream\r\n/; $parts[$i] =~ s/\r?\nendstream$/\r\nendstream/;
    }
    $d = join "", @parts;
    my %at; while ($d =~ /(?:^|(?<=\n))(\d+) 0 obj/g) { my ($n, $at) = ($1, $-[0]); $at{$n} = $at; }
    my ($n) = $d =~ m{/Size (\d+)} or die;
    my $xref = "xref\r\n0 $n\r\n0000000000 65535 f\r\n";
    $xref .= sprintf("%010d 00000 n\r\n", $at{$_} // die "object $_ missing\n") for 1 .. $n - 1;
    $d =~ s/xref\r\n.*?(?=trailer)/$xref/s or die "no xref table\n";
    my $start = index $d, "xref\r\n0 $n";
    $d =~ s/startxref\r\n\d+/startxref\r\n$start/ or die;
  }
  my ($prev) = $d =~ /startxref\s+(\d+)\s+%%EOF\s*$/ or die "no startxref\n";
  my ($trailer) = $d =~ /trailer\s*(<<.*?>>)\s*startxref\s+\d+\s+%%EOF\s*$/s or die "no trailer\n";
  my ($size) = $trailer =~ m{/Size (\d+)} or die;
  my ($root) = $trailer =~ m{/Root (\d+ 0 R)} or die;
  my ($id) = $trailer =~ m{/ID \[<(\w+)>} or die;
  my $entry_end = $eol eq "\n" ? " \n" : "\r\n";
  my $update = sub {
    my ($objects, $extra) = @_;
    $d .= $eol unless $d =~ /\n$/;
    my %at;
    for my $o (@$objects) { $at{$o->[0]} = length $d; $d .= "$o->[0] 0 obj$eol$o->[1]${eol}endobj$eol"; }
    my $xref = length $d;
    $d .= "xref${eol}0 1${eol}0000000000 65535 f$entry_end";
    $d .= sprintf("%d 1$eol%010d 00000 n$entry_end", $_, $at{$_}) for sort { $a <=> $b } keys %at;
    for (keys %at) { $size = $_ + 1 if $_ + 1 > $size }
    $d .= "trailer$eol<< /Size $size /Root $root $extra /Prev $prev /ID [<$id> <$id>] >>$eol";
    $d .= "startxref$eol$xref$eol%%EOF$eol";
    $prev = $xref;
  };
  my $info = $size;
  $update->([[ $info, "<< /Title (Recovery report) /Author (Quarvelin test data) /ModDate (D:20190615123000Z) >>" ]],
    "/Info $info 0 R");
  my $note = $size;
  $pagedict =~ s/>>\s*$/ \/Annots [ $note 0 R ] >>/ or die "odd page dictionary\n";
  $update->([[ $note, "<< /Type /Annot /Subtype /Text /Rect [ 72 600 92 620 ] /Contents (Checked twice) /Open false >>" ],
    [ $page, $pagedict ]], "/Info $info 0 R");
  open $fh, ">:raw", $out or die; print $fh $d; close $fh;' \
    "$1" "$2" "$3" \
    "$(qpdf --show-pages base.pdf | sed -n 's/^page 1: \([0-9]*\) 0 R$/\1/p')" \
    "$(qpdf --show-object="$(qpdf --show-pages base.pdf | sed -n 's/^page 1: \([0-9]*\) 0 R$/\1/p')" base.pdf)"
  qpdf --check "$2" >/dev/null
}
incremental base.pdf "$out/incremental_updates_three_eof.pdf" lf
incremental base.pdf "$out/incremental_crlf_line_ends.pdf" crlf
# The smallest sensible PDF: one page with one line, its objects packed into one object stream.
printf '%%!PS\n/Helvetica findfont 10 scalefont setfont 72 720 moveto (ok) show showpage\n' >tiny.ps
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dCompatibilityLevel=1.5 -o tiny_gs.pdf tiny.ps
qpdf --deterministic-id --object-streams=generate --compress-streams=y tiny_gs.pdf "$out/tiny_one_line_page.pdf"

# ==================================================================================================
# Archives
# ==================================================================================================
mkdir -p arc/photos arc/docs
printf 'Recovered with Quarvelin. Keep this note with the copied files.\n' >arc/readme.txt
cp "$out/harbour_jfif_app0.jpg" arc/photos/harbour.jpg
cp "$out/indexed_16_colours_plte.png" arc/photos/indexed.png
cp report.md arc/docs/report.md
seq -f 'Row %g: sector checked' 1 300 >arc/docs/log.txt
find arc -type f -exec chmod 644 {} + && find arc -type d -exec chmod 755 {} +
find arc -exec touch -h -d "$stamp" {} +
list=(readme.txt docs/log.txt docs/report.md photos/harbour.jpg photos/indexed.png)
(cd arc && zip -X -D -q ../single.zip readme.txt)
mv single.zip "$out/single_small_text.zip"
(cd arc && zip -X -q "$out/multi_file_with_folders.zip" docs/ photos/ "${list[@]}")
(cd arc && printf 'Backup of drive E: made before the recovery.\n' |
  zip -X -D -q -z "$out/archive_comment.zip" "${list[@]}")
# Written to a pipe, zip cannot seek back, so sizes and CRCs follow each entry in data descriptors.
(cd arc && zip -X -D -q - docs/log.txt docs/report.md | cat >"$out/streamed_data_descriptors.zip")
(cd arc && 7z a -bso0 -bsp0 -tzip -mx=7 -mmt=1 "$out/made_by_7zip.zip" "${list[@]}")
(cd arc && 7z a -bso0 -bsp0 -t7z -mx=7 -mmt=1 -mtc=off -mta=off "$out/lzma2_solid_folders.7z" "${list[@]}")
(cd arc && 7z a -bso0 -bsp0 -t7z -mx=0 -mtc=off -mta=off "$out/stored_uncompressed.7z" readme.txt docs/log.txt)
(cd arc && 7z a -bso0 -bsp0 -t7z -m0=PPMd -mx=9 -mhc=off -mtc=off -mta=off \
  "$out/ppmd_plain_headers.7z" docs/report.md docs/log.txt)
# ZIP64: zip -fz writes 64-bit sizes (extra field 0x0001, a Zip64 end record and locator) even for
# small files. (Written to a pipe with -fz, zip 3.0 leaves a directory offset of 0xFFFFFFFF without
# a Zip64 record, which unzip itself rejects: no such file here.)
(cd arc && zip -X -D -q -fz "$out/zip64_forced_records.zip" "${list[@]}")
# Tiny archives: one short note each.
printf 'ok\n' >arc/ok.txt && chmod 644 arc/ok.txt && touch -h -d "$stamp" arc/ok.txt
(cd arc && zip -X -D -q "$out/tiny_one_note.zip" ok.txt)
(cd arc && 7z a -bso0 -bsp0 -t7z -mx=0 -mtc=off -mta=off "$out/tiny_one_note.7z" ok.txt)

# ==================================================================================================
# Web and text
# ==================================================================================================
# Pages as a browser cache keeps them without a doctype line: the markup starts at <html.
cat >page.html5 <<'EOF'
<html lang="en">
<head>
<meta charset="utf-8">
<title>$title$</title>
<style>body { font-family: sans-serif; max-width: 40em; } td { padding: 0 1em; }</style>
</head>
<body>
$body$
</body>
</html>
EOF
pandoc report.md -s --template=page.html5 -o "$out/pandoc_report_page.html"
printf '# Gallery\n\nThe badge of the recovered set:\n\n![badge](badge.png)\n\nAnd a photo:\n\n![photo](small.png)\n' |
  pandoc -s --self-contained --template=page.html5 --metadata title=Gallery -o "$out/self_contained_images.html"
pandoc report.md -s -t docbook5 -o "$out/pandoc_docbook_article.xml"
unzip -p "$out/pandoc_report.docx" word/document.xml >"$out/word_document_part.xml"
(cd "$out" && ffprobe -v error -of xml -show_format -show_streams h264_aac.mkv) >"$out/ffprobe_stream_report.xml"
# Pages as sites serve them: a doctype line first, with lower-case tags (pandoc's own HTML5 template)
# or with upper-case tags as older editors wrote them; and an upper-case page without a doctype.
pandoc report.md -s -t html5 -o "$out/doctype_html5_lowercase_tags.html"
cat >"$out/doctype_uppercase_tags.html" <<'EOF'
<!DOCTYPE html>
<HTML LANG="en">
<HEAD>
<META CHARSET="utf-8">
<TITLE>Recovered photos</TITLE>
</HEAD>
<BODY BGCOLOR="#FFFFFF">
<H1>Recovered photos</H1>
<P>412 pictures, 37 videos and 9 documents came back from drive E:.</P>
<TABLE BORDER="1">
<TR><TH>Kind</TH><TH>Found</TH></TR>
<TR><TD>Pictures</TD><TD>412</TD></TR>
<TR><TD>Videos</TD><TD>37</TD></TR>
</TABLE>
</BODY>
</HTML>
EOF
cat >"$out/uppercase_no_doctype.html" <<'EOF'
<HTML>
<HEAD>
<TITLE>Backup index</TITLE>
</HEAD>
<BODY>
<CENTER><FONT FACE="Arial" SIZE="4">Backup of drive E:</FONT></CENTER>
<HR>
<UL>
<LI><A HREF="photos/">Photos</A>
<LI><A HREF="docs/">Documents</A>
</UL>
</BODY>
</HTML>
EOF
printf '<html><body>Moved.</body></html>\n' >"$out/tiny_moved_page.html"
# XML without a declaration: canonical XML drops it, so the file starts at the root element.
xmllint --c14n "$out/pandoc_docbook_article.xml" >"$out/canonical_no_declaration.xml"
# A UTF-8 byte-order mark before the declaration, as .NET and Visual Studio write their files.
{
  printf '\xef\xbb\xbf<?xml version="1.0" encoding="utf-8"?>\n<configuration>\n  <appSettings>\n'
  printf '    <add key="OutputFolder" value="D:\\Recovered" />\n    <add key="ImageFirst" value="true" />\n'
  printf '  </appSettings>\n</configuration>\n'
} >"$out/utf8_bom_app_config.xml"
# UTF-16 with a byte-order mark, as Windows tools export XML, in both byte orders (iconv).
sed 's/encoding="[Uu][Tt][Ff]-8"/encoding="UTF-16"/' "$out/pandoc_docbook_article.xml" >article16.xml
{ printf '\xef\xbb\xbf'; cat article16.xml; } | iconv -f UTF-8 -t UTF-16LE >"$out/utf16le_bom_docbook.xml"
{ printf '\xef\xbb\xbf'; cat article16.xml; } | iconv -f UTF-8 -t UTF-16BE >"$out/utf16be_bom_docbook.xml"
echo '<recovered/>' | xmllint - >"$out/tiny_empty_element.xml"

# --- Camera RAW: DNG, CR2, NEF, ARW, ORF, RW2 -------------------------------------------------------
# No tool here writes RAW files: make_raw_fixtures.py lays them out from the published structure,
# with previews and thumbnails by ImageMagick and raw samples taken from the same picture.
cd "$work"
mkdir -p raw
im photo.png -resize 160x120 -quality 60 -strip raw/preview.jpg
im photo.png -resize 64x48 -quality 60 -strip raw/thumb.jpg
im photo.png -resize 32x24 -depth 8 rgb:raw/thumb.rgb
im photo.png -resize '64x48!' -depth 16 -endian MSB rgb:raw/mosaic.rgb
python3 "$here/make_raw_fixtures.py" raw "$out"
# ==================================================================================================
# Packages stored as ZIP archives: told apart by the names they hold and the media type they store
# ==================================================================================================
# Workbooks from openpyxl (Debian's python3, which has the package): zipfile stamps members with the
# local clock, so the clock is fixed for it.
/usr/bin/python3 - "$out" <<'EOF'
import sys, time
fixed = time.gmtime(1700000000)
time.localtime = lambda *a: fixed
import datetime, openpyxl
out = sys.argv[1]
def book():
    wb = openpyxl.Workbook()
    wb.properties.created = wb.properties.modified = datetime.datetime(2023, 11, 14, 22, 13, 20)
    return wb
wb = book()
ws = wb.active
ws.title = "Found"
ws.append(["Kind", "Found", "Intact", "Share"])
for r, row in enumerate((["Pictures", 412, 398], ["Videos", 37, 35], ["Documents", 9, 9]), 2):
    ws.append(row + ["=C%d/B%d" % (r, r)])
wb.save(out + "/openpyxl_recovery_table.xlsx")
wb = book()
wb.active.title = "Drives"
wb.active.append(["Drive", "Sectors"])
wb.active.append(["E:", 976773168])
log = wb.create_sheet("Log")
for i in range(1, 41):
    log.append(["Row %d" % i, "sector checked"])
wb.save(out + "/openpyxl_two_sheets.xlsx")
EOF
# LibreOffice writes OpenDocument with "mimetype" first and stored, as the format asks. A profile
# of its own keeps the user's settings out.
lo() { soffice -env:UserInstallation="file://$work/lo-profile" --headless --convert-to "$@" >/dev/null 2>&1; }
printf 'Kind,Found,Intact\nPictures,412,398\nVideos,37,35\nDocuments,9,9\n' >found.csv
lo ods found.csv && mv found.ods "$out/libreoffice_from_csv.ods"
printf 'Drive,Sectors,Read\nE:,976773168,yes\nF:,1953525168,no\n' >drives.csv
lo xlsx drives.csv && lo ods drives.xlsx && mv drives.ods "$out/libreoffice_from_xlsx.ods"
printf '# Recovery\n\nImage the failing drive first.\n\n# Results\n\n- 412 pictures\n- 37 videos\n' >slides.md
pandoc slides.md -o "$out/pandoc_two_slides.pptx"
lo odp "$out/pandoc_two_slides.pptx" && mv pandoc_two_slides.odp "$out/libreoffice_from_pptx.odp"
lo pptx "$out/libreoffice_from_pptx.odp" && mv libreoffice_from_pptx.pptx "$out/libreoffice_saved.pptx"
printf '# Backup of drive E:\n\nMade before the recovery.\n' >backup.md
pandoc backup.md -o backup.pptx && lo odp backup.pptx && mv backup.odp "$out/libreoffice_one_slide.odp"
pandoc report.md -s -o "$out/pandoc_report.odt"
printf 'Recovery notes\n\nImage the failing drive first, then recover from the copy.\n' >notes.txt
lo odt:writer8 notes.txt && mv notes.odt "$out/libreoffice_from_text.odt"
pandoc report.md -s -t epub3 -o "$out/pandoc_report_epub3.epub"
pandoc report.md -s -t epub2 -o "$out/pandoc_report_epub2.epub"
# A tiny program packed by the JDK's jar tool, and its sources stored uncompressed.
mkdir -p java/src/org/example
printf 'package org.example;\npublic class Hello {\n  public static void main(String[] a) {\n    System.out.println("Recovered");\n  }\n}\n' >java/src/org/example/Hello.java
javac -d java/classes java/src/org/example/Hello.java
jar --create --date=2023-11-14T22:13:20Z --file "$out/jdk_main_class.jar" --main-class org.example.Hello -C java/classes .
jar --create --date=2023-11-14T22:13:20Z --no-compress --file "$out/jdk_stored_sources.jar" -C java/src .
# No Android build tools here: two APKs laid out as the published format has them, packed with zip.
# The names decide the type; the binary XML, dex and resource table hold their headers and filler.
mkdir -p apk/META-INF apk/res/layout
{ printf '\x03\x00\x08\x00\x00\x02\x00\x00'; head -c 504 /dev/zero; } >apk/AndroidManifest.xml
{ printf 'dex\n035\x00'; head -c 1016 /dev/zero; } >apk/classes.dex
{ printf '\x02\x00\x0c\x00\x00\x04\x00\x00'; head -c 1016 /dev/zero; } >apk/resources.arsc
{ printf '\x03\x00\x08\x00\x00\x01\x00\x00'; head -c 248 /dev/zero; } >apk/res/layout/main.xml
printf 'Manifest-Version: 1.0\r\nCreated-By: 1.0 (Android)\r\n\r\n' >apk/META-INF/MANIFEST.MF
printf 'Signature-Version: 1.0\r\nCreated-By: 1.0 (Android)\r\n\r\n' >apk/META-INF/CERT.SF
head -c 700 /dev/zero >apk/META-INF/CERT.RSA
find apk -exec touch -h -d "$stamp" {} +
# The resource table stays stored, as aligned APKs keep it; a split APK has resources and no code.
(cd apk && zip -X -D -q -n .arsc "$out/zip_laid_out_app.apk" AndroidManifest.xml classes.dex \
  resources.arsc res/layout/main.xml META-INF/MANIFEST.MF META-INF/CERT.SF META-INF/CERT.RSA)
(cd apk && zip -X -D -q -n .arsc "$out/zip_laid_out_split.apk" AndroidManifest.xml resources.arsc)
# ==================================================================================================
# Office 97-2003 documents and Outlook messages (compound files)
# ==================================================================================================
# LibreOffice keeps its profile in $HOME: a throwaway one, so runs do not depend on the user's.
soffice_() { HOME=$work/lo-home soffice --headless "$@" >/dev/null 2>&1; }
mkdir -p office && cd office
cat >letter.md <<'EOF'
# Recovered letter

Dear Ms Okafor,

The drive you sent on 3 June held **412 pictures**, 37 videos and 9 documents. The table lists what
came back whole.

| Kind      | Found | Whole |
|-----------|------:|------:|
| Pictures  |   412 |   409 |
| Videos    |    37 |    35 |
| Documents |     9 |     9 |

Kind regards,
the recovery desk
EOF
pandoc letter.md -o letter.odt
printf 'Kind,Found,Whole\nPictures,412,409\nVideos,37,35\nDocuments,9,9\n' >table.csv
cat >slides.fodp <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
  xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0"
  xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
  xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0"
  office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.presentation">
 <office:body>
  <office:presentation>
   <draw:page draw:name="page1">
    <draw:frame svg:x="2cm" svg:y="2cm" svg:width="20cm" svg:height="3cm">
     <draw:text-box><text:p>Recovery report</text:p></draw:text-box>
    </draw:frame>
    <draw:frame svg:x="2cm" svg:y="6cm" svg:width="20cm" svg:height="8cm">
     <draw:text-box><text:p>412 pictures and 37 videos came back whole.</text:p></draw:text-box>
    </draw:frame>
   </draw:page>
   <draw:page draw:name="page2">
    <draw:frame svg:x="2cm" svg:y="2cm" svg:width="20cm" svg:height="3cm">
     <draw:text-box><text:p>Next steps: copy the files to a new drive.</text:p></draw:text-box>
    </draw:frame>
   </draw:page>
  </office:presentation>
 </office:body>
</office:document>
EOF
soffice_ --convert-to doc letter.odt
soffice_ --convert-to xls table.csv
soffice_ --convert-to ppt slides.fodp
cp letter.doc "$out/libreoffice_word97_letter.doc"
cp table.xls "$out/libreoffice_excel97_table.xls"
ssconvert table.csv "$out/gnumeric_excel97_table.xls" 2>/dev/null
# (AbiWord's "doc" export writes RTF, so it gives no Word file.) LibreOffice's PowerPoint export
# stores a 440 KB preview bitmap in SummaryInformation: the presentation's own streams are put in
# a new container without it. No tool here writes 4096-byte sectors or Outlook messages.
python3 "$here/make_cfb.py" repack slides.ppt "$out/libreoffice_slides_no_preview.ppt" --drop SummaryInformation
printf '# Backup of drive E:\n\nMade before the recovery.\n' >backup_slide.md
pandoc backup_slide.md -o backup_slide.pptx
soffice_ --convert-to ppt backup_slide.pptx
python3 "$here/make_cfb.py" repack backup_slide.ppt "$out/libreoffice_one_slide_no_preview.ppt" \
  --drop SummaryInformation
python3 "$here/make_cfb.py" repack letter.doc "$out/word97_letter_4k_sectors.doc" --v4
python3 "$here/make_cfb.py" msg "$out/outlook_plain_mail.msg"
python3 "$here/make_cfb.py" msg "$out/outlook_mail_4k_sectors.msg" --v4
cd "$work"
# ==================================================================================================
# gzip, tar and ISO 9660
# ==================================================================================================
# gzip -n leaves out the name and time; without it the header carries the name (FNAME) and the
# member's time stamp. Tiny input gives a fixed-Huffman block, text dynamic blocks, and data that
# does not compress stored blocks (deterministic bytes from a hash chain stand in for random ones).
printf 'ok\n' | gzip -9n >"$out/tiny_fixed_huffman_block.gz"
gzip -9n <arc/docs/log.txt >"$out/text_dynamic_huffman.gz"
python3 -c '
import hashlib, sys
h = b"quarvelin"; out = bytearray()
while len(out) < 9000:
    h = hashlib.sha256(h).digest(); out += h
sys.stdout.buffer.write(out[:9000])' >noise.bin
gzip -1n <noise.bin >"$out/incompressible_stored_blocks.gz"
cp arc/photos/indexed.png indexed.png && touch -h -d "$stamp" indexed.png
gzip -9 -c indexed.png >"$out/binary_with_name_field.gz"
# Two members back to back, as `cat a.gz b.gz` makes them: one file to gunzip.
cat "$out/text_dynamic_huffman.gz" "$out/binary_with_name_field.gz" >"$out/two_members_concatenated.gz"

# tar: no header at offset 0 (the first member's name is there). GNU's default format (magic
# "ustar  "), with a name longer than 100 bytes stored in a GNU long-name member; POSIX pax with
# extended headers (the long path goes into a "path" record); plain ustar. Each is padded with zeros to tar's 10240-byte record.
tarred=arc/docs/a_rather_long_folder_name_for_the_recovered_documents/with_a_subfolder_that_makes_the_path_long
mkdir -p "$tarred" && cp arc/readme.txt "$tarred/note_kept_with_the_copy.txt"
find arc -exec touch -h -d "$stamp" {} +
taropts=(--mtime=@1700000000 --owner=0 --group=0 --numeric-owner --sort=name)
(cd arc && tar -cf "$out/gnu_long_name_member.tar" "${taropts[@]}" readme.txt docs/log.txt docs/a_rather_long_folder_name_for_the_recovered_documents)
(cd arc && tar -cf "$out/posix_pax_headers.tar" --format=posix \
  --pax-option=delete=atime,delete=ctime "${taropts[@]}" readme.txt docs/a_rather_long_folder_name_for_the_recovered_documents)
(cd arc && tar -cf "$out/plain_ustar.tar" --format=ustar "${taropts[@]}" ok.txt readme.txt)

# ISO 9660 with Joliet and Rock Ridge, without the 300 KiB of padding mkisofs adds by default
# (xorriso takes its time stamps and volume serial from SOURCE_DATE_EPOCH).
xorriso -as mkisofs -quiet -no-pad -J -R -V QUARVELIN_TEST -o "$out/joliet_rock_ridge_volume.iso" \
  arc/readme.txt arc/ok.txt
# Plain ISO 9660: no Joliet or Rock Ridge descriptors.
xorriso -as mkisofs -quiet -no-pad -V PLAIN_ISO9660 -o "$out/plain_iso9660_level1.iso" arc/readme.txt
# --- SQLite, PST, AIFF, AAC ---------------------------------------------------------------------
# Nothing in a database says .db or .sqlite: both names get a rollback-journal file and a WAL one.
sqlite3 "$out/contacts_page_1024.sqlite" <<'EOF'
PRAGMA page_size=1024;
CREATE TABLE contact(id INTEGER PRIMARY KEY, name TEXT NOT NULL, phone TEXT);
CREATE INDEX contact_name ON contact(name);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<120)
INSERT INTO contact(name, phone) SELECT 'Contact ' || i, printf('+44 20 7946 %04d', i) FROM n;
EOF
sqlite3 "$out/photos_page_512_auto_vacuum_wal.sqlite" >/dev/null <<'EOF'
PRAGMA page_size=512;
PRAGMA auto_vacuum=FULL;
PRAGMA journal_mode=WAL;
CREATE TABLE photo(id INTEGER PRIMARY KEY, path TEXT, taken TEXT, bytes INTEGER);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<80)
INSERT INTO photo(path, taken, bytes)
  SELECT 'DCIM/100CANON/IMG_' || (4000+i) || '.CR2', '2019-06-' || (10+i%20), 20000000+i*1237 FROM n;
DELETE FROM photo WHERE id % 3 = 0;
PRAGMA wal_checkpoint(TRUNCATE);
EOF
sqlite3 "$out/settings_wal_checkpointed.db" >/dev/null <<'EOF'
PRAGMA journal_mode=WAL;
CREATE TABLE setting(key TEXT PRIMARY KEY, value TEXT) WITHOUT ROWID;
INSERT INTO setting VALUES('output','D:\Recovered'),('images_first','1'),('theme','dark');
CREATE TABLE recent(path TEXT, opened INTEGER);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<60)
INSERT INTO recent SELECT 'E:/photos/IMG_' || (1000+i) || '.JPG', 1700000000 + i FROM n;
PRAGMA wal_checkpoint(TRUNCATE);
EOF
sqlite3 "$out/tiny_one_table.db" "CREATE TABLE note(body TEXT); INSERT INTO note VALUES('Backup done');"
# No tool here writes Outlook files: a script builds them from the published structure.
python3 "$here/make_pst.py" "$out"
ff -f lavfi -i "$(asrc 440 8000 0.5)" -c:a pcm_s16be -f aiff "${bitexact[@]}" "$out/pcm16_mono_8khz.aif"
ff -f lavfi -i "$(asrc 440 8000 0.5)" -c:a pcm_alaw -f aiff "${bitexact[@]}" "$out/alaw_aifc_fver.aif"
sox -R -D -n -r 8000 -c 1 -b 16 --comment 'Take 2' -t aiff "$out/sox_comment_chunk_first.aif" \
  synth 0.3 sine 300 gain -6
# 801 one-byte samples: sox leaves the pad byte after the odd sound data out of the FORM size.
sox -R -D -n -r 8000 -c 1 -b 8 -t aifc "$out/sox_aifc_odd_form_size.aif" synth 0.100125 sine 300 gain -6
ff -f lavfi -i "$(asrc 440 8000 1.5)" -c:a aac -b:a 24k -f adts "${bitexact[@]}" \
  "$out/mpeg4_adts_mono_8khz.aac"
ff -f lavfi -i "$(asrc 440 44100 1)" -ac 2 -c:a aac -b:a 32k -f adts -write_mpeg2 1 "${bitexact[@]}" \
  "$out/mpeg2_adts_stereo_44khz.aac"
# ==================================================================================================
# Plain text
# ==================================================================================================
# Plain ASCII with LF line ends: a license text as Debian ships it (base-files).
cp /usr/share/common-licenses/BSD "$out/bsd_license_ascii.txt"
# CR LF line ends, as Windows editors save text (unix2dos).
unix2dos -q -n /usr/share/common-licenses/Artistic "$out/artistic_license_crlf.txt"
# UTF-8 with accents and symbols, no byte-order mark: pandoc's plain-text rendering of the report.
pandoc report.md -s -t plain --columns=72 -o "$out/pandoc_report_utf8_accents.txt"
# ==================================================================================================
# ISO media images, raws and songs; JPEG XL containers
# ==================================================================================================
cd "$work"
# HEIC from a camera JPEG with Exif (libheif stores the Exif block as an item of its own), and one
# with a thumbnail item whose major brand is the generic HEIF one, as generic HEIF writers put it.
im photo.png -quality 80 -strip heif_source.jpg
exiftool -q -overwrite_original -Make=Canon -Model='Canon EOS R6' \
  -DateTimeOriginal='2023:11:14 22:13:20' heif_source.jpg
heif-enc -q 40 -o "$out/libheif_photo_exif_item.heic" heif_source.jpg
heif-enc -q 40 -t 32 -o thumb.heic small.png
{ head -c 8 thumb.heic; printf 'mif1'; tail -c +13 thumb.heic; } >"$out/heif_mif1_major_with_thumbnail.heic"
# AVIF through libheif's AV1 encoder (aom): a photo, and a small image with a thumbnail item.
heif-enc -A -q 50 -o "$out/libheif_aom_photo.avif" photo.png
heif-enc -A -q 40 -t 32 -o "$out/libheif_aom_with_thumbnail.avif" small.png
# Songs: the iPod muxer's M4A brand with the movie box last and first, and plain MP4 brands on a
# file that holds sound alone.
ff -f lavfi -i "$(asrc 440 22050 1.5)" -c:a aac -b:a 32k "${bitexact[@]}" "$out/aac_ipod_brand_moov_last.m4a"
ff -f lavfi -i "$(asrc 660 22050 1)" -c:a aac -b:a 32k -movflags +faststart "${bitexact[@]}" \
  "$out/aac_ipod_brand_faststart.m4a"
ff -f lavfi -i "$(asrc 550 16000 1)" -c:a aac -b:a 24k -f mp4 "${bitexact[@]}" "$out/aac_only_isom_brands.m4a"
# Canon CR3: no tool outside Canon's writes one; make_cr3.py lays one out as Canon's cameras do.
im photo.png -quality 70 -strip cr3_preview.jpg
im photo.png -resize 160x120 -quality 60 -strip cr3_thumb.jpg
python3 "$here/make_cr3.py" cr3_preview.jpg cr3_thumb.jpg "$out/canon_layout_jpeg_raw_ctmd_tracks.cr3" 4
python3 "$here/make_cr3.py" cr3_thumb.jpg cr3_thumb.jpg "$out/canon_layout_two_tracks.cr3" 2
# JPEG XL in its container: one codestream box; and a recompressed JPEG, whose reconstruction data
# and Brotli-compressed Exif sit between codestream parts.
cjxl small.png -q 60 --container=1 "$out/cjxl_container_codestream_box.jxl" >/dev/null 2>&1
cjxl heif_source.jpg --container=1 "$out/cjxl_jpeg_recompressed_parts_exif.jxl" >/dev/null 2>&1

cd "$here"
find "$out" -type f -exec chmod 644 {} +
rm -rf "$final"
cp -r "$out" "$final"
out=$final
check
