#include "formats/flac/flac_walk.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "common/byte_fields.h"
#include "formats/validation_result.h"

namespace quarvelin {
namespace {

// Frames are searched through windows of this size rather than one read per frame.
constexpr int32_t kWindowBytes = 1 << 20;
// Longer than any FLAC file we recover; past this the walk proves nothing.
constexpr int64_t kMaxLength = int64_t{16} << 30;
constexpr int32_t kMaxMetadataBlocks = 65'536;
constexpr int32_t kStreamInfoBytes = 34;
// A frame header: sync and codes (4), coded number (up to 7), block size (up to 2), sample rate
// (up to 2), CRC-8.
constexpr int32_t kMaxHeaderBytes = 16;
constexpr int32_t kMinHeaderBytes = 6;
// The largest real frame (65,535 samples of 8 channels of 32-bit verbatim audio) is about 2 MiB.
constexpr int64_t kMaxFrameBytes = 4 << 20;

constexpr std::array<uint8_t, 256> MakeCrc8Table() {
  std::array<uint8_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x80) ? (r << 1) ^ 0x07 : r << 1;
    table[i] = static_cast<uint8_t>(r);
  }
  return table;
}
constexpr auto kCrc8Table = MakeCrc8Table();

// Eight tables: entry b of table k is the CRC-16 of byte b followed by k zero bytes, so eight bytes
// are folded in per step.
using Crc16Tables = std::array<std::array<uint16_t, 256>, 8>;
constexpr Crc16Tables MakeCrc16Tables() {
  Crc16Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i << 8;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x8000) ? (r << 1) ^ 0x8005 : r << 1;
    t[0][i] = static_cast<uint16_t>(r);
  }
  for (size_t k = 1; k < t.size(); ++k) {
    for (size_t i = 0; i < 256; ++i) {
      t[k][i] = static_cast<uint16_t>((t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 8]);
    }
  }
  return t;
}
constexpr auto kCrc16 = MakeCrc16Tables();

inline uint16_t Crc16Step(uint16_t crc, uint8_t b) {
  return static_cast<uint16_t>((crc << 8) ^ kCrc16[0][((crc >> 8) ^ b) & 0xFF]);
}

struct StreamInfo {
  uint32_t maxBlockSize = 0;
  uint32_t maxFrameSize = 0;  // 0: not known
  uint32_t sampleRate = 0;
  uint32_t channels = 0;
  uint32_t bitsPerSample = 0;
  uint64_t totalSamples = 0;  // 0: not known
};

std::optional<StreamInfo> ParseStreamInfo(Bytes b) {
  const auto packed = ReadBe64(b, 10);
  if (!packed) return std::nullopt;
  StreamInfo info;
  info.maxBlockSize = *ReadBe16(b, 2);
  info.maxFrameSize = *ReadBe24(b, 7);
  info.sampleRate = static_cast<uint32_t>(*packed >> 44);
  info.channels = static_cast<uint32_t>((*packed >> 41) & 0x7) + 1;
  info.bitsPerSample = static_cast<uint32_t>((*packed >> 36) & 0x1F) + 1;
  info.totalSamples = *packed & 0xF'FFFF'FFFFull;
  if (info.bitsPerSample < 4) return std::nullopt;
  return info;
}

struct FrameHeader {
  int32_t length = 0;  // bytes, with the CRC-8
  uint32_t blockSize = 0;
  bool variableBlocks = false;
  uint64_t number = 0;  // frame number, or first sample number with variable blocks
  uint32_t channelCode = 0;
  uint32_t channels = 0;
  uint32_t bitsPerSample = 0;
};

constexpr std::array<uint32_t, 12> kSampleRates = {
    0, 88'200, 176'400, 192'000, 8'000, 16'000, 22'050, 24'000, 32'000, 44'100, 48'000, 96'000};
constexpr std::array<uint32_t, 8> kSampleSizes = {0, 8, 12, 0, 16, 20, 24, 32};

// The frame header at the start of `b` when it parses, its CRC-8 is right and it agrees with the
// stream's STREAMINFO.
std::optional<FrameHeader> ParseFrameHeader(Bytes b, const StreamInfo& info) {
  if (b.size() < static_cast<size_t>(kMinHeaderBytes) || b[0] != 0xFF || (b[1] & 0xFE) != 0xF8) {
    return std::nullopt;
  }
  FrameHeader h;
  h.variableBlocks = (b[1] & 1) != 0;
  const uint32_t blockCode = b[2] >> 4;
  const uint32_t rateCode = b[2] & 0xF;
  h.channelCode = b[3] >> 4;
  const uint32_t sizeCode = (b[3] >> 1) & 0x7;
  if (blockCode == 0 || rateCode == 15 || h.channelCode > 10 || sizeCode == 3 || (b[3] & 1)) {
    return std::nullopt;
  }

  // The frame or sample number, coded like UTF-8 with up to 7 bytes.
  size_t at = 4;
  const uint8_t lead = b[at];
  size_t extra = 0;
  uint64_t number = 0;
  if (lead < 0x80) {
    number = lead;
  } else if (lead == 0xFE) {
    extra = 6;
  } else if (lead >= 0xC0 && lead != 0xFF) {
    extra = static_cast<size_t>(std::countl_one(lead)) - 1;
    number = lead & (0x3F >> extra);
  } else {
    return std::nullopt;
  }
  if (!h.variableBlocks && extra > 5) return std::nullopt;  // frame numbers have 31 bits
  if (b.size() < at + 1 + extra) return std::nullopt;
  for (size_t k = 1; k <= extra; ++k) {
    if ((b[at + k] & 0xC0) != 0x80) return std::nullopt;
    number = (number << 6) | (b[at + k] & 0x3F);
  }
  h.number = number;
  at += 1 + extra;

  if (blockCode == 1) {
    h.blockSize = 192;
  } else if (blockCode <= 5) {
    h.blockSize = 576u << (blockCode - 2);
  } else if (blockCode == 6) {
    if (b.size() < at + 1) return std::nullopt;
    h.blockSize = b[at] + 1u;
    at += 1;
  } else if (blockCode == 7) {
    if (b.size() < at + 2) return std::nullopt;
    h.blockSize = *ReadBe16(b, at) + 1u;
    at += 2;
  } else {
    h.blockSize = 256u << (blockCode - 8);
  }

  uint32_t rate = rateCode < kSampleRates.size() ? kSampleRates[rateCode] : 0;
  if (rateCode == 12) {
    if (b.size() < at + 1) return std::nullopt;
    rate = b[at] * 1000u;
    at += 1;
  } else if (rateCode == 13 || rateCode == 14) {
    if (b.size() < at + 2) return std::nullopt;
    rate = *ReadBe16(b, at) * (rateCode == 14 ? 10u : 1u);
    at += 2;
  }

  if (b.size() < at + 1 || FlacCrc8(b.first(at)) != b[at]) return std::nullopt;
  h.length = static_cast<int32_t>(at + 1);

  h.channels = h.channelCode <= 7 ? h.channelCode + 1 : 2;
  h.bitsPerSample = sizeCode == 0 ? info.bitsPerSample : kSampleSizes[sizeCode];
  if (h.channels != info.channels || h.bitsPerSample != info.bitsPerSample ||
      (rateCode != 0 && info.sampleRate != 0 && rate != info.sampleRate) ||
      (info.maxBlockSize != 0 && h.blockSize > info.maxBlockSize)) {
    return std::nullopt;
  }
  return h;
}

// Reads a frame's bits, most significant first, never past its bytes.
class BitReader {
 public:
  BitReader(Bytes bytes, size_t startByte) : bytes_(bytes), pos_(startByte * 8) {}

  std::optional<uint32_t> Read(uint32_t count) {
    if (count > 32 || !Has(count)) return std::nullopt;
    uint64_t value = 0;
    for (uint32_t i = 0; i < count; ++i, ++pos_) {
      value = (value << 1) | ((bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1u);
    }
    return static_cast<uint32_t>(value);
  }
  bool Skip(uint64_t count) {
    if (!Has(count)) return false;
    pos_ += count;
    return true;
  }
  // The number of 0 bits before the next 1 bit.
  std::optional<uint64_t> Unary() {
    const uint64_t start = pos_;
    while (pos_ < bytes_.size() * 8) {
      if (pos_ % 8 == 0 && bytes_[pos_ / 8] == 0) {
        pos_ += 8;
        continue;
      }
      if ((bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1u) return pos_++ - start;
      ++pos_;
    }
    return std::nullopt;
  }
  // The byte after the current one, once the bits are padded to a whole byte.
  size_t AlignedByte() const { return (pos_ + 7) / 8; }

 private:
  bool Has(uint64_t count) const { return count <= bytes_.size() * 8 - pos_; }
  Bytes bytes_;
  uint64_t pos_;
};

bool SkipResidual(BitReader& bits, uint32_t blockSize, uint32_t predictorOrder) {
  const auto method = bits.Read(2);
  const auto partitionOrder = bits.Read(4);
  if (!method || *method > 1 || !partitionOrder) return false;
  const uint32_t paramBits = *method == 0 ? 4 : 5;
  const uint32_t escape = (1u << paramBits) - 1;
  const uint32_t partitions = 1u << *partitionOrder;
  if (blockSize % partitions != 0 || blockSize / partitions < predictorOrder) return false;
  for (uint32_t p = 0; p < partitions; ++p) {
    const uint32_t samples = blockSize / partitions - (p == 0 ? predictorOrder : 0);
    const auto param = bits.Read(paramBits);
    if (!param) return false;
    if (*param == escape) {
      const auto rawBits = bits.Read(5);
      if (!rawBits || !bits.Skip(uint64_t{samples} * *rawBits)) return false;
      continue;
    }
    for (uint32_t s = 0; s < samples; ++s) {
      if (!bits.Unary() || !bits.Skip(*param)) return false;
    }
  }
  return true;
}

// Where the frame in `frame` ends, found by walking its subframes, when its CRC-16 confirms it.
std::optional<int64_t> ParseFrameLength(Bytes frame, const FrameHeader& h) {
  BitReader bits(frame, static_cast<size_t>(h.length));
  for (uint32_t channel = 0; channel < h.channels; ++channel) {
    // The side channel of a stereo pair carries one bit more.
    const bool side = (h.channelCode == 8 && channel == 1) ||
                      (h.channelCode == 9 && channel == 0) || (h.channelCode == 10 && channel == 1);
    uint32_t sampleBits = h.bitsPerSample + (side ? 1 : 0);
    const auto head = bits.Read(8);
    if (!head || (*head & 0x80)) return std::nullopt;
    if (*head & 1) {
      const auto wasted = bits.Unary();
      if (!wasted || *wasted + 1 >= sampleBits) return std::nullopt;
      sampleBits -= static_cast<uint32_t>(*wasted) + 1;
    }
    const uint32_t type = (*head >> 1) & 0x3F;
    if (type == 0) {  // constant
      if (!bits.Skip(sampleBits)) return std::nullopt;
    } else if (type == 1) {  // verbatim
      if (!bits.Skip(uint64_t{h.blockSize} * sampleBits)) return std::nullopt;
    } else if (type >= 8 && type <= 12) {  // fixed predictor
      const uint32_t order = type - 8;
      if (order > h.blockSize || !bits.Skip(uint64_t{order} * sampleBits) ||
          !SkipResidual(bits, h.blockSize, order)) {
        return std::nullopt;
      }
    } else if (type >= 32) {  // linear predictor
      const uint32_t order = type - 31;
      if (order > h.blockSize || !bits.Skip(uint64_t{order} * sampleBits)) return std::nullopt;
      const auto precision = bits.Read(4);
      if (!precision || *precision == 15 || !bits.Skip(5) ||
          !bits.Skip(uint64_t{order} * (*precision + 1)) ||
          !SkipResidual(bits, h.blockSize, order)) {
        return std::nullopt;
      }
    } else {
      return std::nullopt;
    }
  }
  const size_t end = bits.AlignedByte() + 2;
  if (end > frame.size() || FlacCrc16(frame.first(end)) != 0) return std::nullopt;
  return static_cast<int64_t>(end);
}

class FrameWalker {
 public:
  FrameWalker(RangeReader& read, const StreamInfo& info, const std::atomic<bool>* cancel)
      : read_(read), window_(read, kWindowBytes), info_(info), cancel_(cancel) {}

  std::optional<FrameHeader> HeaderAt(int64_t pos) {
    auto bytes = window_.At(pos, kMaxHeaderBytes);
    if (bytes.empty()) bytes = window_.At(pos, kMinHeaderBytes);
    return ParseFrameHeader(bytes, info_);
  }

  // Bytes a frame may take: STREAMINFO's largest frame when it gives one, else what verbatim
  // audio of the frame's size could take (a side channel's 33 bits rounded up) with room for its
  // headers.
  int64_t FrameBound(const FrameHeader& h) const {
    if (info_.maxFrameSize != 0) return std::min<int64_t>(kMaxFrameBytes, info_.maxFrameSize);
    return std::min<int64_t>(kMaxFrameBytes, int64_t{h.blockSize} * h.channels * 5 + 1024);
  }

  // The end of the frame at `pos`: the first offset where the CRC-16 of the bytes from `pos`
  // checks and a header follows that continues the stream (`next` receives it).
  std::optional<int64_t> SearchEnd(int64_t pos, const FrameHeader& h, uint64_t expectedNumber,
                                   FrameHeader& next) {
    const int64_t limit = pos + FrameBound(h);
    // The shortest frame: its header, one subframe byte per channel, the CRC-16.
    const int64_t earliest = pos + h.length + h.channels + 2;
    uint16_t crc = 0;  // of the bytes from `pos` to `p`
    int64_t p = pos;
    while (p <= limit) {
      if (IsCancelled(cancel_)) return std::nullopt;
      const auto bytes = window_.At(p, 1);
      if (bytes.empty()) return std::nullopt;
      // Only where a header's first byte (0xFF) stands can the frame end; the bytes up to the next
      // one are checksummed in one go.
      const auto count = static_cast<size_t>(std::min<int64_t>(std::ssize(bytes), limit + 1 - p));
      const auto* const ff = static_cast<const uint8_t*>(std::memchr(bytes.data(), 0xFF, count));
      const auto run = ff != nullptr ? static_cast<size_t>(ff - bytes.data()) : count;
      crc = FlacCrc16(bytes.first(run), crc);
      p += static_cast<int64_t>(run);
      if (ff == nullptr) continue;
      if (crc == 0 && p >= earliest) {
        // The header check may move the window; the scan goes on from `p` either way.
        if (const auto found = HeaderAt(p);
            found && found->number == expectedNumber && found->variableBlocks == h.variableBlocks) {
          next = *found;
          return p;
        }
      }
      crc = Crc16Step(crc, 0xFF);
      ++p;
    }
    return std::nullopt;
  }

  // The end of the frame at `pos` found by parsing its subframes, confirmed by its CRC-16.
  std::optional<int64_t> ParsedEnd(int64_t pos, const FrameHeader& h) {
    const auto bytes = read_.ReadLongest(pos, static_cast<int32_t>(FrameBound(h)), h.length + 3);
    if (bytes.empty()) return std::nullopt;
    const auto length = ParseFrameLength(bytes, h);
    if (!length) return std::nullopt;
    return pos + *length;
  }

  // `end` with the ID3v2 and ID3v1 tags that follow it.
  int64_t WithTags(int64_t end) {
    if (const auto b = window_.At(end, 10); !b.empty() && b[0] == 'I' && b[1] == 'D' &&
                                            b[2] == '3' && b[3] >= 2 && b[3] <= 4 && b[4] != 0xFF &&
                                            (b[6] | b[7] | b[8] | b[9]) < 0x80) {
      const int64_t size = (int64_t{b[6]} << 21) | (b[7] << 14) | (b[8] << 7) | b[9];
      const int64_t tag = 10 + size + ((b[3] == 4 && (b[5] & 0x10)) ? 10 : 0);
      // Only a tag that is there whole belongs to the file.
      if (!read_(end + tag - 1, 1).empty()) end += tag;
    }
    if (const auto b = window_.At(end, 128);
        !b.empty() && b[0] == 'T' && b[1] == 'A' && b[2] == 'G') {
      end += 128;
    }
    return end;
  }

 private:
  RangeReader& read_;
  WalkWindow window_;
  const StreamInfo& info_;
  const std::atomic<bool>* cancel_;
};

}  // namespace

uint8_t FlacCrc8(std::span<const uint8_t> bytes, uint8_t crc) {
  for (const uint8_t b : bytes) crc = kCrc8Table[crc ^ b];
  return crc;
}

uint16_t FlacCrc16(std::span<const uint8_t> bytes, uint16_t crc) {
  const uint8_t* b = bytes.data();
  size_t n = bytes.size();
  for (; n >= 8; n -= 8, b += 8) {
    const uint32_t x = crc ^ ((uint32_t{b[0]} << 8) | b[1]);
    crc = static_cast<uint16_t>(kCrc16[7][x >> 8] ^ kCrc16[6][x & 0xFF] ^ kCrc16[5][b[2]] ^
                                kCrc16[4][b[3]] ^ kCrc16[3][b[4]] ^ kCrc16[2][b[5]] ^
                                kCrc16[1][b[6]] ^ kCrc16[0][b[7]]);
  }
  for (; n > 0; --n, ++b) crc = Crc16Step(crc, *b);
  return crc;
}

FlacWalk WalkFlac(RangeReader& read, const std::atomic<bool>* cancel) {
  FlacWalk walk;
  StreamInfo info;
  int64_t pos = 4;
  {
    const auto magic = read(0, 4);
    if (magic.empty() || magic[0] != 'f' || magic[1] != 'L' || magic[2] != 'a' || magic[3] != 'C') {
      return walk;
    }
    // Metadata blocks: STREAMINFO first, then any others up to the one flagged last.
    WalkWindow window(read, 65'536);
    for (int32_t block = 0;; ++block) {
      if (IsCancelled(cancel)) return {};
      if (block >= kMaxMetadataBlocks || pos > kMaxLength) return walk;
      const auto head = window.At(pos, 4);
      if (head.empty()) return walk;
      const bool last = (head[0] & 0x80) != 0;
      const uint32_t type = head[0] & 0x7F;
      const int64_t length = *ReadBe24(head, 1);
      if (type == 127 || (block == 0) != (type == 0)) return walk;
      if (block == 0) {
        const auto body = window.At(pos + 4, kStreamInfoBytes);
        if (length != kStreamInfoBytes || body.empty()) return walk;
        const auto parsed = ParseStreamInfo(body.first(kStreamInfoBytes));
        if (!parsed) return walk;
        info = *parsed;
      }
      pos += 4 + length;
      if (last) break;
    }
  }
  walk.lastGoodFrame = pos;

  FrameWalker frames(read, info, cancel);
  auto header = frames.HeaderAt(pos);
  if (!header || header->number != 0) return walk;
  uint64_t samples = 0;
  uint64_t frameIndex = 0;
  for (;;) {
    if (IsCancelled(cancel)) return {};
    if (pos > kMaxLength) return walk;
    const FrameHeader& h = *header;
    if (info.totalSamples != 0 && samples + h.blockSize >= info.totalSamples) {
      // The last frame: nothing after it to confirm its end by, so its subframes tell where it
      // ends.
      if (samples + h.blockSize != info.totalSamples) return walk;
      const auto end = frames.ParsedEnd(pos, h);
      if (!end) return walk;
      walk.lastGoodFrame = *end;
      walk.reachedTotal = true;
      walk.end = frames.WithTags(*end);
      return walk;
    }
    const uint64_t expected = h.variableBlocks ? samples + h.blockSize : frameIndex + 1;
    FrameHeader next;
    if (const auto end = frames.SearchEnd(pos, h, expected, next)) {
      samples += h.blockSize;
      ++frameIndex;
      pos = *end;
      walk.lastGoodFrame = pos;
      header = next;
      continue;
    }
    if (IsCancelled(cancel)) return {};
    // With the total known, a frame short of it that nothing follows is a cut or fragmented file.
    if (info.totalSamples != 0) return walk;
    const auto end = frames.ParsedEnd(pos, h);
    if (!end) return walk;
    walk.lastGoodFrame = *end;
    walk.end = frames.WithTags(*end);
    return walk;
  }
}

}  // namespace quarvelin
