#include "formats/aac/aac_walk.h"

#include "common/byte_fields.h"
#include "formats/validation_result.h"

namespace quarvelin {
namespace {

constexpr int32_t kWindow = 64 * 1024;
constexpr int32_t kHeader = 7;
constexpr int64_t kCancelStride = 4'096;
// About 25 hours of 48 kHz audio: far beyond any file, it only bounds the walk.
constexpr int64_t kMaxFrames = int64_t{1} << 22;

// The frame length the header at `h` gives, or 0 when `h` starts no ADTS header: the 12-bit
// sync, layer 0, a known sampling rate, and a length that covers the header (and its CRC).
int32_t FrameLength(Bytes h) {
  if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0) return 0;
  if (((h[2] >> 2) & 0x0F) > 12) return 0;
  const int32_t length = ((h[3] & 0x03) << 11) | (h[4] << 3) | (h[5] >> 5);
  const int32_t headerBytes = (h[1] & 0x01) != 0 ? kHeader : kHeader + 2;
  return length >= headerBytes ? length : 0;
}

// The fixed part of the header, which every frame of one stream repeats: version, protection,
// profile, sampling rate, private bit, channels, original and home bits.
bool SameStream(Bytes a, Bytes b) {
  return a[1] == b[1] && a[2] == b[2] && (a[3] & 0xF0) == (b[3] & 0xF0);
}

}  // namespace

AacWalk WalkAac(RangeReader& read, const std::atomic<bool>* cancel) {
  WalkWindow window(read, kWindow);
  const auto head = window.At(0, kHeader);
  if (head.empty() || FrameLength(head) == 0) return {};
  const uint8_t first[kHeader] = {head[0], head[1], head[2], head[3], head[4], head[5], head[6]};
  const Bytes stream(first, kHeader);

  AacWalk walk;
  int64_t pos = 0;
  for (int64_t frame = 0; frame < kMaxFrames; ++frame) {
    if (frame % kCancelStride == 0 && IsCancelled(cancel)) return {};
    const auto h = window.At(pos, kHeader);
    const int32_t length = h.empty() ? 0 : FrameLength(h);
    if (length == 0 || !SameStream(h, stream)) {
      walk.clean = true;
      break;
    }
    // The frame's last byte, to know it is all there.
    if (window.At(pos + length - 1, 1).empty()) break;
    pos += length;
    walk.frames = frame + 1;
  }
  if (walk.frames < kMinAacFrames) return {};
  walk.end = pos;
  return walk;
}

}  // namespace quarvelin
