#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "common/byte_fields.h"
#include "sizing/range_reader.h"

namespace quarvelin {

enum class MpegVersion : uint8_t { kMpeg1, kMpeg2, kMpeg25 };

// One MPEG audio frame header (ISO/IEC 11172-3 and 13818-3, with the unofficial MPEG 2.5).
struct MpegFrameHeader {
  MpegVersion version = MpegVersion::kMpeg1;
  int layer = 0;      // 1, 2 or 3
  int rateIndex = 0;  // 0 to 2; with the version, fixes the sample rate
  int32_t bitrateKbps = 0;
  int32_t sampleRate = 0;  // Hz
  bool mono = false;
  bool crc = false;    // a 16-bit CRC follows the header
  int64_t length = 0;  // the whole frame in bytes, header included

  // True when `other` continues the same stream: bit rate, padding and channel mode may change
  // from frame to frame, the rest may not.
  bool SameStream(const MpegFrameHeader& other) const {
    return version == other.version && layer == other.layer && rateIndex == other.rateIndex;
  }
};

// The frame whose header is the first four of `bytes`, or nothing when they are not one: no sync,
// a reserved version, layer, sample rate or emphasis, a bad bit rate, or free format (whose frame
// length the header does not give).
std::optional<MpegFrameHeader> DecodeMpegFrameHeader(Bytes bytes);

// Where a Xing, Info or LAME header stands in a Layer III frame: just after the side information.
int64_t XingOffset(const MpegFrameHeader& header);

// The tags a file may carry after its audio.
struct Mp3TrailingTags {
  bool id3v1 = false;
  bool id3v1Enhanced = false;  // "TAG+", just before the ID3v1 tag
  bool ape = false;
  bool lyrics3 = false;
};

// The tags that stand at `pos` (just after the last frame) in the orders taggers write them:
// Lyrics3 v2 and APE before ID3v1, which always comes last. Returns the offset past the last tag
// (`pos` when there is none) and notes which were met.
int64_t SkipTrailingTags(WalkWindow& window, int64_t pos, Mp3TrailingTags& tags);

// What a walk over an MP3 candidate found.
struct Mp3Walk {
  std::optional<int64_t> end;  // the file's length, when the walk proves where it ends
  // Past the last whole frame walked and the tags after it, proven or not; 0 when no frame was.
  int64_t walkedEnd = 0;
  int32_t frames = 0;                    // frames walked, any info frame included
  std::optional<MpegFrameHeader> first;  // the stream's first frame
  bool hasInfoCount = false;             // a Xing, Info or VBRI header gave the number of frames
  bool infoCountMatched = false;         // and the stream held exactly that many
  bool isVbr = false;                    // the first frame is a Xing, Info or VBRI frame
  int64_t id3v2Size = 0;                 // the leading ID3v2 tag with its header (and footer)
  Mp3TrailingTags tags;
};

// Walks the MPEG audio stream of an MP3 candidate (offset 0 = its first header byte, a frame or
// "ID3"): a leading ID3v2 tag, the frames of one stream, then the tags after the audio. The end is
// proven when the number of frames a Xing, Info or VBRI header announced was met, or when at least
// a few frames of one stream were walked and the bytes after them (and after any tags) could be
// read and are not another frame. Gives up when `cancel` is set.
Mp3Walk WalkMp3(RangeReader& read, const std::atomic<bool>* cancel);

}  // namespace quarvelin
