#include "formats/mp3/mp3_validator.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "common/byte_fields.h"
#include "formats/mp3/mp3_walk.h"

namespace quarvelin {
namespace {

// No MP3 we recover is longer; past this the walk is reading something else.
constexpr int64_t kWalkLimit = 209'715'200;
// How far past the tag we look for the first frame when junk stands between them.
constexpr int64_t kResyncReach = 4'095;
// The walk reads the disk in windows of this size rather than one small read per frame.
constexpr int32_t kWindowBytes = 65'536;

bool IsFrameSync(uint8_t b0, uint8_t b1) {
  return b0 == 0xFF && (b1 & 0xE0) == 0xE0;
}

// Serves small reads out of one larger window of the candidate, so that walking thousands of frames
// beyond the scan buffer costs one device read per window instead of one per frame. A span lasts
// until the next call.
class WindowedReader {
 public:
  explicit WindowedReader(RangeReader& read) : read_(read), window_(read, kWindowBytes) {}

  WalkWindow& Window() { return window_; }

  // Exactly `length` bytes at `offset` (at most a window), or nothing, like the RangeReader.
  Bytes operator()(int64_t offset, int32_t length) {
    if (length <= 0) return {};
    const auto bytes = window_.At(offset, length);
    return bytes.empty() ? bytes : bytes.first(static_cast<size_t>(length));
  }

  // Up to `length` bytes at `offset`: fewer where the readable part of the disk ends (near the end
  // of the device or before a bad stretch, the part that can be read is still walked).
  Bytes UpTo(int64_t offset, int32_t length) {
    if (const auto bytes = (*this)(offset, length); !bytes.empty() || length <= 0) return bytes;
    return length <= kWindowBytes ? read_.ReadLongest(offset, length) : Bytes{};
  }

 private:
  RangeReader& read_;
  WalkWindow window_;
};

// The first offset in [from, from + count) where a frame sync starts, if any.
std::optional<int64_t> FindFrameSync(WindowedReader& read, int64_t from, int64_t count) {
  if (count <= 0) return std::nullopt;
  // Each position needs the byte after it too.
  const auto bytes = read.UpTo(from, static_cast<int32_t>(count + 1));
  if (bytes.size() < 2) return std::nullopt;
  const auto* const first = bytes.data();
  const auto* const last = first + bytes.size() - 1;  // one past the last position with a successor
  for (const auto* p = first; p < last;) {
    const auto* const ff =
        static_cast<const uint8_t*>(std::memchr(p, 0xFF, static_cast<size_t>(last - p)));
    if (ff == nullptr) break;
    if (IsFrameSync(ff[0], ff[1])) return from + (ff - first);
    p = ff + 1;
  }
  return std::nullopt;
}

// The scores follow from the frames counted and the tags met.
void Score(Mp3ValidationResult& result) {
  if (result.frameCount < 10) {
    result.Add("Very few valid frames (" + std::to_string(result.frameCount) + ")", 50);
  } else if (result.frameCount <= 99) {
    result.confidence -= 20;
  }
  if (!result.hasId3v2 && !result.hasId3v1) result.Add("No ID3 tags found", 10);
  result.Finish();
}

}  // namespace

Mp3ValidationResult ValidateMp3(RangeReader& rangeReader, const std::atomic<bool>* cancel) {
  Mp3ValidationResult result;
  // A stream whose end the walk proves is reported as walked, so that the validator and the sizer
  // agree on every whole file.
  if (const Mp3Walk walk = WalkMp3(rangeReader, cancel); walk.end && walk.first) {
    result.size = *walk.end;
    result.frameCount = walk.frames;
    result.sampleRate = walk.first->sampleRate;
    result.bitrate = walk.first->bitrateKbps;
    result.hasId3v2 = walk.id3v2Size > 0;
    result.id3v2Size = static_cast<uint64_t>(walk.id3v2Size);
    result.hasId3v1 = walk.tags.id3v1;
    result.isVbr = walk.isVbr;
    Score(result);
    return result;
  }

  WindowedReader read(rangeReader);
  int64_t tag = 0;
  if (const auto head = read(0, 10); !head.empty() && std::memcmp(head.data(), "ID3", 3) == 0) {
    // The tag size is sync-safe: seven bits per byte, most significant byte first.
    const uint32_t field = ReadBe32(head, 6).value_or(0);
    const uint32_t tagBody = ((field >> 3) & 0x0FE00000u) | ((field >> 2) & 0x001FC000u) |
                             ((field >> 1) & 0x00003F80u) | (field & 0x7Fu);
    tag = int64_t{tagBody} + 10;
    result.hasId3v2 = true;
    result.id3v2Size = static_cast<uint64_t>(tag);
  }

  int64_t pos = tag;
  int32_t frames = 0;
  int64_t audioEnd = 0;  // just past the last counted frame
  std::optional<MpegFrameHeader> first;

  while (!IsCancelled(cancel) && pos <= kWalkLimit) {
    const auto bytes = read(pos, 4);
    if (bytes.empty()) break;
    const auto header = DecodeMpegFrameHeader(bytes);

    if (!IsFrameSync(bytes[0], bytes[1]) || (frames > 0 && header && !header->SameStream(*first))) {
      if (frames > 0) {
        // The audio has ended; tags may close the file.
        Mp3TrailingTags tags;
        result.size = SkipTrailingTags(read.Window(), pos, tags);
        result.hasId3v1 = tags.id3v1;
        break;
      }
      // No frame yet: junk may stand between the tag and the audio.
      const auto sync = FindFrameSync(read, pos + 1, std::min(kResyncReach, kWalkLimit - 1 - pos));
      if (!sync) break;
      pos = *sync;
      continue;
    }
    if (!header) {
      const int version = (bytes[1] >> 3) & 3;
      const int layer = (bytes[1] >> 1) & 3;
      // Free format is valid, but its frame length cannot be known.
      if (version == 1 || layer == 0 || (bytes[2] >> 4) == 15 || ((bytes[2] >> 2) & 3) == 3) {
        result.Add("Invalid frame header at " + std::to_string(pos));
      }
      break;
    }

    if (frames == 0) {
      first = header;
      result.bitrate = header->bitrateKbps;
      result.sampleRate = header->sampleRate;
      const auto info = header->layer == 3 ? read(pos + XingOffset(*header), 4) : Bytes{};
      if (!info.empty() &&
          (std::memcmp(info.data(), "Xing", 4) == 0 || std::memcmp(info.data(), "Info", 4) == 0)) {
        result.isVbr = true;
      }
    }
    ++frames;
    pos += header->length;
    audioEnd = pos;
  }

  // The walk ended without meeting the end of the audio (a read failed, a header was bad, the limit
  // was reached): the file ends with the last whole frame counted.
  if (result.size == 0 && frames > 0) result.size = audioEnd;
  result.frameCount = frames;
  Score(result);
  return result;
}

}  // namespace quarvelin
