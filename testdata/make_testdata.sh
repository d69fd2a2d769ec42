#!/usr/bin/env bash
# Regenerates testdata/files/: small real files of every kind a scan carves, written by real encoders,
# for the validator and scan tests. Content comes from the tools' own generators (ImageMagick
# patterns, ffmpeg lavfi sources, sox synth, pandoc from text written here); nothing is downloaded.
# Runs on Debian as root or through sudo, and installs only the packages that are missing.
#
#   testdata/make_testdata.sh           regenerate and check
#   testdata/make_testdata.sh --check   only check the files that are there
#
# Every file is then checked against what a scan needs to see: its leading bytes must be one of the
# headers the scanner knows for its extension, and it must be at least as long as the scanner's
# minimum for that extension.
set -euo pipefail
cd "$(dirname "$0")"
here=$PWD
out=$PWD/files

# --- what a scan expects of each extension: accepted leading bytes (hex) and the minimum size ----
declare -A headers=(
  [jpg]="ffd8ffe0 ffd8ffe1 ffd8ffdb ffd8ffee"
  [png]="89504e470d0a1a0a"
  [gif]="474946383961 474946383761"
  [bmp]="424d"
  [tif]="49492a00 4d4d002a"
  [webp]="52494646"
  [ico]="00000100"
  [svg]="3c737667"
  [psd]="38425053"
  [mp4]="0000001466747970 0000001866747970 0000001c66747970 0000002066747970"
  [mov]="0000001466747970 0000002066747970"
  [3gp]="0000001466747970 0000001866747970"
  [m4v]="0000001866747970"
  [avi]="52494646"
  [mkv]="1a45dfa3"
  [webm]="1a45dfa3"
  [wmv]="3026b2758e66cf11"
  [flv]="464c5601"
  [mp3]="fffb 494433"
  [wav]="52494646"
  [flac]="664c6143"
  [ogg]="4f676753"
  [pdf]="25504446"
  [docx]="504b030414000600 504b0304"
  [rtf]="7b5c72746631"
  [zip]="504b0304"
  [rar]="526172211a0700"
  [7z]="377abcaf271c"
  [html]="3c68746d6c"
  [xml]="3c3f786d6c"
)
declare -A min_size=(
  [jpg]=1000 [png]=100 [gif]=50 [bmp]=54 [tif]=100 [webp]=100 [ico]=20 [svg]=50 [psd]=1000
  [mp4]=10000 [mov]=10000 [3gp]=10000 [m4v]=10000 [avi]=10000 [mkv]=1000 [webm]=1000 [wmv]=5000
  [flv]=5000 [mp3]=1024 [wav]=44 [flac]=1000 [ogg]=1000 [pdf]=100 [docx]=500 [rtf]=50 [zip]=100
  [rar]=100 [7z]=100 [html]=50 [xml]=50
)
# RAR archives can only be written by the non-free rar program, so there are none.
unmade=(rar)

check() {
  local failed=0 total=0 f name ext size lead ok h
  printf '%9s  %-34s  %s\n' bytes 'first bytes' file
  for f in "$out"/*; do
    name=${f##*/}
    ext=${name##*.}
    size=$(stat -c %s "$f")
    total=$((total + size))
    lead=$(head -c 16 "$f" | od -An -v -tx1 | tr -d ' \n')
    printf '%9d  %-34s  %s\n' "$size" "${lead:0:32}" "$name"
    if [[ -z ${headers[$ext]+set} ]]; then
      echo "  FAIL: no scanner row for extension .$ext" >&2; failed=1; continue
    fi
    ok=0
    for h in ${headers[$ext]}; do [[ $lead == "$h"* ]] && ok=1; done
    ((ok)) || { echo "  FAIL: $name does not begin with a .$ext header (${headers[$ext]})" >&2; failed=1; }
    ((size >= min_size[$ext])) ||
      { echo "  FAIL: $name is $size bytes, below the .$ext minimum ${min_size[$ext]}" >&2; failed=1; }
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

if [[ ${1:-} == --check ]]; then check; exit; fi

# --- tools ----------------------------------------------------------------------------------------
packages=(imagemagick ffmpeg lame flac vorbis-tools sox pandoc ghostscript qpdf zip unzip p7zip-full
  libimage-exiftool-perl libjpeg-turbo-progs fonts-dejavu-core coreutils perl)
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
# trailer points back (/Prev) at the previous one, and its own %%EOF.
qpdf --deterministic-id --object-streams=disable gs.pdf base.pdf
perl -e '
  use strict; my ($in, $out, $page, $pagedict) = @ARGV;
  open my $fh, "<:raw", $in or die; local $/; my $d = <$fh>; close $fh;
  my ($prev) = $d =~ /startxref\s+(\d+)\s+%%EOF\s*$/ or die "no startxref\n";
  my ($trailer) = $d =~ /trailer\s*(<<.*?>>)\s*startxref\s+\d+\s+%%EOF\s*$/s or die "no trailer\n";
  my ($size) = $trailer =~ m{/Size (\d+)} or die;
  my ($root) = $trailer =~ m{/Root (\d+ 0 R)} or die;
  my ($id) = $trailer =~ m{/ID \[<(\w+)>} or die;
  my $update = sub {
    my ($objects, $extra) = @_;
    $d .= "\n" unless $d =~ /\n$/;
    my %at;
    for my $o (@$objects) { $at{$o->[0]} = length $d; $d .= "$o->[0] 0 obj\n$o->[1]\nendobj\n"; }
    my $xref = length $d;
    $d .= "xref\n0 1\n0000000000 65535 f \n";
    $d .= sprintf("%d 1\n%010d 00000 n \n", $_, $at{$_}) for sort { $a <=> $b } keys %at;
    for (keys %at) { $size = $_ + 1 if $_ + 1 > $size }
    $d .= "trailer\n<< /Size $size /Root $root $extra /Prev $prev /ID [<$id> <$id>] >>\n";
    $d .= "startxref\n$xref\n%%EOF\n";
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
  base.pdf "$out/incremental_updates_three_eof.pdf" \
  "$(qpdf --show-pages base.pdf | sed -n 's/^page 1: \([0-9]*\) 0 R$/\1/p')" \
  "$(qpdf --show-object="$(qpdf --show-pages base.pdf | sed -n 's/^page 1: \([0-9]*\) 0 R$/\1/p')" base.pdf)"
qpdf --check "$out/incremental_updates_three_eof.pdf" >/dev/null

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

cd "$here"
find "$out" -type f -exec chmod 644 {} +
rm -rf "$final"
cp -r "$out" "$final"
out=$final
check
