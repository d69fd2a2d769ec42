#include "formats/mp3/mp3_walk.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "formats/validation_result.h"

namespace quarvelin {
namespace {

// The walk reads the disk in windows of this size rather than one small read per frame.
constexpr int32_t kWindowBytes = 1'048'576;
// Longer audio than this is not an MP3 we recover; the walk stops there unproven.
constexpr int64_t kAudioLimit = 209'715'200;
// Some taggers leave zeros between the ID3v2 tag and the first frame.
constexpr int64_t kPaddingReach = 65'536;
// Without a frame count in the first frame, this many frames of one stream ending cleanly prove
// the file. Each frame after the first repeats 13 fixed header bits and lands where the one before
// says: garbage fails within a frame or two.
constexpr int32_t kProvingFrames = 4;
// Tags after the audio: APE items with pictures run to a few MiB; Lyrics3 v2 sizes have six digits.
constexpr int64_t kApeLimit = 16'777'216;
constexpr int64_t kApeItemLimit = 4'096;
constexpr int64_t kLyricsLimit = 999'999;
constexpr int kTagLimit = 8;

// Bit rates in kbit/s by bit rate index 1 to 14, per version and layer.
constexpr std::array<std::array<int32_t, 15>, 5> kBitratesKbps = {{
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 layer I
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 layer II
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 layer III
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2/2.5 layer I
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2/2.5 II, III
}};
constexpr std::array<std::array<int32_t, 3>, 3> kSampleRates = {{
    {44'100, 48'000, 32'000},  // MPEG-1
    {22'050, 24'000, 16'000},  // MPEG-2
    {11'025, 12'000, 8'000},   // MPEG-2.5
}};

bool Starts(Bytes bytes, std::string_view text) {
  return bytes.size() >= text.size() && std::memcmp(bytes.data(), text.data(), text.size()) == 0;
}

// An APEv2 (or v1) tag: a 32-byte header or footer "APETAGEX", whose size field counts the items
// and the footer but not the header.
std::optional<int64_t> ApeTagWithHeader(WalkWindow& window, int64_t pos) {
  const Bytes header = window.At(pos, 32);
  if (header.empty()) return std::nullopt;
  const int64_t size = *ReadLe32(header, 12);
  if (size < 32 || size > kApeLimit) return std::nullopt;
  const int64_t footerAt = pos + size;  // the header's 32 bytes, then size - 32 of items
  const Bytes footer = window.At(footerAt, 32);
  if (!Starts(footer, "APETAGEX") || *ReadLe32(footer, 12) != size) return std::nullopt;
  return footerAt + 32;
}

// An APE tag written without its header starts with its first item: value size, flags, a key of
// printable ASCII ended by a zero byte, the value. The footer after the last item confirms it.
std::optional<int64_t> ApeTagWithoutHeader(WalkWindow& window, int64_t pos) {
  int64_t at = pos;
  for (int64_t items = 0; items <= kApeItemLimit; ++items) {
    const Bytes head = window.At(at, 32);
    if (head.empty()) return std::nullopt;
    if (Starts(head, "APETAGEX")) {
      const bool fits = *ReadLe32(head, 12) == at + 32 - pos && *ReadLe32(head, 16) == items;
      return items > 0 && fits ? std::optional<int64_t>(at + 32) : std::nullopt;
    }
    const int64_t valueSize = *ReadLe32(head, 0);
    // Keys are 2 to 255 characters; the 24 bytes after the fields hold its start.
    size_t key = 8;
    while (key < head.size() && key < 8 + 256 && head[key] >= 0x20 && head[key] <= 0x7E) ++key;
    if (key == head.size() || head[key] != 0 || key - 8 < 2 || key - 8 > 255) return std::nullopt;
    const auto next = CheckedAdd(at, static_cast<int64_t>(key) + 1, valueSize);
    if (!next || *next - pos > kApeLimit) return std::nullopt;
    at = *next;
  }
  return std::nullopt;
}

// Lyrics3 v2: "LYRICSBEGIN", fields, then the six-digit size of everything before it and
// "LYRICS200".
std::optional<int64_t> Lyrics3Tag(WalkWindow& window, int64_t pos) {
  static constexpr std::string_view kEnd = "LYRICS200";
  int64_t from = pos + 11;
  while (from - pos <= kLyricsLimit + static_cast<int64_t>(kEnd.size())) {
    const Bytes bytes = window.At(from, static_cast<int32_t>(kEnd.size()));
    if (bytes.empty()) return std::nullopt;
    const auto hit = std::search(bytes.begin(), bytes.end(), kEnd.begin(), kEnd.end());
    if (hit == bytes.end()) {
      from += static_cast<int64_t>(bytes.size() - kEnd.size() + 1);
      continue;
    }
    const int64_t at = from + (hit - bytes.begin());
    const Bytes digits = window.At(at - 6, 6);
    int64_t size = 0;
    bool numeric = digits.size() >= 6;
    for (size_t i = 0; numeric && i < 6; ++i) {
      numeric = digits[i] >= '0' && digits[i] <= '9';
      size = size * 10 + (digits[i] - '0');
    }
    if (numeric && size == at - 6 - pos) return at + static_cast<int64_t>(kEnd.size());
    from = at + 1;
  }
  return std::nullopt;
}

// The leading ID3v2 tag's length with header and footer; 0 when there is none, nothing when "ID3"
// stands there but cannot begin a tag (version bytes FF, size bytes with their top bit set).
std::optional<int64_t> Id3v2Length(Bytes head) {
  if (!Starts(head, "ID3")) return 0;
  if (head.size() < 10 || head[3] == 0xFF || head[4] == 0xFF ||
      std::any_of(head.begin() + 6, head.begin() + 10, [](uint8_t b) { return b >= 0x80; })) {
    return std::nullopt;
  }
  int64_t body = 0;
  for (size_t i = 6; i < 10; ++i) body = (body << 7) | head[i];
  const bool footer = head[3] >= 4 && (head[5] & 0x10) != 0;
  return body + (footer ? 20 : 10);
}

// The first offset from `pos` that is not a zero byte, within the padding reach.
std::optional<int64_t> SkipZeros(WalkWindow& window, int64_t pos) {
  for (int64_t at = pos; at - pos <= kPaddingReach;) {
    const Bytes bytes = window.At(at, 1);
    if (bytes.empty()) return std::nullopt;
    const auto nonZero = std::find_if(bytes.begin(), bytes.end(), [](uint8_t b) { return b != 0; });
    at += nonZero - bytes.begin();
    if (nonZero != bytes.end()) return at - pos <= kPaddingReach ? std::optional(at) : std::nullopt;
  }
  return std::nullopt;
}

// The number of frames an info header in the first frame announces: Xing or Info (LAME writes Info
// for constant bit rates) after the side information, or VBRI 32 bytes after the header. The info
// frame itself is not counted.
std::optional<int64_t> AnnouncedFrames(WalkWindow& window, int64_t pos,
                                       const MpegFrameHeader& first, bool& infoFrame) {
  if (first.layer != 3) return std::nullopt;
  const int64_t xingAt = XingOffset(first);
  if (xingAt + 16 <= first.length) {
    const Bytes xing = window.At(pos + xingAt, 16);
    if (Starts(xing, "Xing") || Starts(xing, "Info")) {
      infoFrame = true;
      if ((*ReadBe32(xing, 4) & 1) == 0) return std::nullopt;
      return *ReadBe32(xing, 8);
    }
  }
  if (36 + 18 <= first.length) {
    const Bytes vbri = window.At(pos + 36, 18);
    if (Starts(vbri, "VBRI")) {
      infoFrame = true;
      return *ReadBe32(vbri, 14);
    }
  }
  return std::nullopt;
}

// True when the Layer III frame at `pos` carries a Xing, Info or VBRI header.
bool IsInfoFrame(WalkWindow& window, int64_t pos, const MpegFrameHeader& header) {
  if (header.layer != 3 || XingOffset(header) + 4 > header.length) return false;
  const Bytes xing = window.At(pos + XingOffset(header), 4);
  if (Starts(xing, "Xing") || Starts(xing, "Info")) return true;
  return header.length >= 40 && Starts(window.At(pos + 36, 4), "VBRI");
}

}  // namespace

std::optional<MpegFrameHeader> DecodeMpegFrameHeader(Bytes bytes) {
  if (bytes.size() < 4 || bytes[0] != 0xFF || (bytes[1] & 0xE0) != 0xE0) return std::nullopt;
  const int versionBits = (bytes[1] >> 3) & 3;
  const int layerBits = (bytes[1] >> 1) & 3;
  const int bitrateIndex = bytes[2] >> 4;
  const int rateIndex = (bytes[2] >> 2) & 3;
  if (versionBits == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 ||
      rateIndex == 3 || (bytes[3] & 3) == 2) {
    return std::nullopt;
  }
  MpegFrameHeader h;
  h.version = versionBits == 3   ? MpegVersion::kMpeg1
              : versionBits == 2 ? MpegVersion::kMpeg2
                                 : MpegVersion::kMpeg25;
  h.layer = 4 - layerBits;
  h.rateIndex = rateIndex;
  h.mono = (bytes[3] >> 6) == 3;
  h.crc = (bytes[1] & 1) == 0;
  const bool mpeg1 = h.version == MpegVersion::kMpeg1;
  const size_t table = mpeg1 ? static_cast<size_t>(h.layer - 1) : (h.layer == 1 ? 3 : 4);
  h.bitrateKbps = kBitratesKbps[table][static_cast<size_t>(bitrateIndex)];
  h.sampleRate = kSampleRates[static_cast<size_t>(h.version)][static_cast<size_t>(rateIndex)];
  const int64_t bitsPerSecond = int64_t{h.bitrateKbps} * 1000;
  const int64_t padding = (bytes[2] >> 1) & 1;
  if (h.layer == 1) {
    h.length = (12 * bitsPerSecond / h.sampleRate + padding) * 4;
  } else {
    // Layer III frames of MPEG-2 and 2.5 hold half as many samples.
    const int64_t factor = h.layer == 3 && !mpeg1 ? 72 : 144;
    h.length = factor * bitsPerSecond / h.sampleRate + padding;
  }
  return h;
}

int64_t XingOffset(const MpegFrameHeader& header) {
  if (header.version == MpegVersion::kMpeg1) return header.mono ? 4 + 17 : 4 + 32;
  return header.mono ? 4 + 9 : 4 + 17;
}

int64_t SkipTrailingTags(WalkWindow& window, int64_t pos, Mp3TrailingTags& tags) {
  for (int i = 0; i < kTagLimit; ++i) {
    const Bytes head = window.At(pos, 3);
    if (head.empty()) break;
    if (Starts(head, "TAG")) {
      const Bytes tag = window.At(pos, 128);
      if (tag.empty()) break;
      if (Starts(tag, "TAG+") && Starts(window.At(pos + 227, 3), "TAG")) {
        tags.id3v1Enhanced = true;
        pos += 227;
        continue;
      }
      tags.id3v1 = true;
      return pos + 128;  // always the last tag
    }
    std::optional<int64_t> end;
    bool* met = &tags.ape;
    if (Starts(window.At(pos, 8), "APETAGEX")) {
      end = ApeTagWithHeader(window, pos);
    } else if (Starts(window.At(pos, 11), "LYRICSBEGIN")) {
      end = Lyrics3Tag(window, pos);
      met = &tags.lyrics3;
    } else {
      end = ApeTagWithoutHeader(window, pos);
    }
    if (!end) break;
    *met = true;
    pos = *end;
  }
  return pos;
}

Mp3Walk WalkMp3(RangeReader& read, const std::atomic<bool>* cancel) {
  WalkWindow window(read, kWindowBytes);
  Mp3Walk walk;
  const auto tag = Id3v2Length(window.At(0, 10));
  if (!tag) return walk;
  walk.id3v2Size = *tag;
  const auto start = *tag > 0 ? SkipZeros(window, *tag) : std::optional<int64_t>(0);
  if (!start) return walk;
  walk.first = DecodeMpegFrameHeader(window.At(*start, 4));
  if (!walk.first) return walk;
  const MpegFrameHeader first = *walk.first;
  // Garbage rarely passes a second header. It is looked at with a small read, so that a candidate
  // near the scan buffer's end costs no large window from the device.
  const auto second = DecodeMpegFrameHeader(read(*start + first.length, 4));
  if (!second || !second->SameStream(first)) return walk;

  bool infoFrame = false;
  const auto announced = AnnouncedFrames(window, *start, first, infoFrame);
  walk.isVbr = infoFrame;
  // A count of 0 says nothing; one beyond what the audio limit holds is not a count.
  // The frames the stream holds, the info frame included; 0 when no count was given.
  const int64_t target =
      announced && *announced > 0 && *announced < kAudioLimit / 24 ? *announced + 1 : 0;
  walk.hasInfoCount = target > 0;

  int64_t pos = *start;
  int64_t lastLength = 0;
  bool cleanEnd = false;  // the bytes after the last frame were read and are not a frame
  while (target == 0 || walk.frames < target) {
    if (IsCancelled(cancel)) return Mp3Walk{};
    const auto header = DecodeMpegFrameHeader(window.At(pos, 4));
    // An info frame only ever starts a stream: one further on starts the next file.
    if (!header || !header->SameStream(first) ||
        (walk.frames > 0 && IsInfoFrame(window, pos, *header))) {
      cleanEnd = !window.At(pos, 4).empty();
      break;
    }
    if (pos + header->length - *start > kAudioLimit) break;
    pos += header->length;
    lastLength = header->length;
    ++walk.frames;
  }
  // A last frame whose bytes cannot all be read is cut short: not part of what was walked.
  if (walk.frames > 0 && !cleanEnd && window.At(pos - 1, 1).empty()) {
    pos -= lastLength;
    --walk.frames;
  }
  if (walk.frames == 0) return walk;

  if (target > 0) {
    // Some encoders count the info frame itself.
    walk.infoCountMatched = walk.frames == target || (cleanEnd && walk.frames == target - 1);
  }
  walk.walkedEnd = SkipTrailingTags(window, pos, walk.tags);
  if (walk.infoCountMatched || (target == 0 && cleanEnd && walk.frames >= kProvingFrames)) {
    walk.end = walk.walkedEnd;
  }
  return walk;
}

}  // namespace quarvelin
