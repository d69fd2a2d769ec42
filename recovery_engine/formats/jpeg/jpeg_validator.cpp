#include "formats/jpeg/jpeg_validator.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/byte_fields.h"

namespace quarvelin {
namespace {

constexpr int64_t kMarkerLimit = 524'288'000;     // no marker segment is looked for beyond this
constexpr int64_t kEntropyLimit = 1'073'741'824;  // nor scan data beyond this
constexpr int32_t kEntropyWindow = 65'536;
constexpr int32_t kMarkerWindow = 65'536;
constexpr int64_t kResyncReach = 1'023;  // how far past a lost sync a marker is looked for
constexpr int64_t kSmallFile = 2'000;
// Garbage can lose the sync every few bytes; past this many the rest are not worth a message each.
constexpr size_t kMaxSyncMessages = 100;

bool IsFrameHeader(uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool IsRestart(uint8_t marker) {
  return marker >= 0xD0 && marker <= 0xD7;
}

// What may follow FF without a length field: a fill byte, SOI, EOI or a restart marker.
bool IsStandalone(uint8_t marker) {
  return marker == 0xFF || marker == 0xD8 || marker == 0xD9 || IsRestart(marker);
}

class JpegWalk {
 public:
  enum class End { kNoEoi, kEoiMarker, kEoiInScanData };

  JpegWalk(RangeReader& read, const std::atomic<bool>* cancel, JpegValidationResult& result)
      : read_(read), window_(read, kMarkerWindow), cancel_(cancel), result_(result) {}

  End Run() {
    int64_t pos = 2;
    while (true) {
      if (IsCancelled(cancel_) || pos > kMarkerLimit) return End::kNoEoi;
      auto head = window_.At(pos, 4);
      if (head.empty()) head = window_.At(pos, 2);  // the data may end just after a 2-byte marker
      if (head.empty()) return End::kNoEoi;
      const uint8_t b0 = head[0];
      const uint8_t b1 = head[1];
      const auto length = ReadBe16(head, 2);
      // With only two bytes left, nothing that needs a length field can be handled.
      if (!length && !(b0 == 0xFF && IsStandalone(b1))) return End::kNoEoi;

      if (b0 != 0xFF) {
        if (syncMessages_ < kMaxSyncMessages) {
          ++syncMessages_;
          result_.Add("Marker sync lost at offset " + std::to_string(pos));
        }
        const auto synced = Resync(pos);
        if (!synced) return End::kNoEoi;
        pos = *synced;
        continue;
      }

      if (b1 == 0xFF) {
        const auto last = LastFillByte(pos);
        if (!last) return End::kNoEoi;
        pos = *last;
      } else if (b1 == 0xD8) {
        ++depth_;
        result_.hasEmbeddedJpeg = true;
        pos += 2;
      } else if (b1 == 0xD9) {
        pos += 2;
        if (depth_ < 1) {
          result_.size = pos;
          return End::kEoiMarker;
        }
        --depth_;
      } else if (IsRestart(b1)) {
        pos += 2;
      } else {
        const int64_t segmentLength = *length;
        if (IsFrameHeader(b1) && segmentLength >= 7) {
          if (const auto frame = window_.At(pos + 4, 5); !frame.empty()) {
            result_.height = *ReadBe16(frame, 1);
            result_.width = *ReadBe16(frame, 3);
          }
        }
        if (b1 == 0xE1) {
          if (const auto app1 = window_.At(pos + 4, 6);
              !app1.empty() && std::memcmp(app1.data(), "Exif", 4) == 0) {
            result_.hasExif = true;
          }
        } else if (b1 == 0xE2) {
          result_.hasIccProfile = true;
        }
        if (b1 == 0xDA) {
          sosSeen_ = true;
          const auto next = ScanEntropyData(CheckedAdd(pos, 2, segmentLength).value_or(INT64_MAX));
          if (!next) return End::kNoEoi;
          if (result_.size > 0) return End::kEoiInScanData;
          pos = *next;
          continue;
        }
        if (segmentLength < 2) {
          result_.Add("Invalid marker length at " + std::to_string(pos));
          return End::kNoEoi;
        }
        // A sum past the 64-bit range lies beyond any limit and ends the walk at the loop head.
        pos = CheckedAdd(pos, 2, segmentLength).value_or(INT64_MAX);
      }
    }
  }

  bool SosSeen() const { return sosSeen_; }
  int32_t Depth() const { return depth_; }

 private:
  // After a lost sync: the first position within reach holding FF and then neither 00 nor FF.
  std::optional<int64_t> Resync(int64_t pos) {
    const int64_t last = std::min(pos + kResyncReach, kMarkerLimit - 1);
    if (last <= pos) return std::nullopt;
    // Pairs starting at pos + 1 ... last need the bytes up to last + 1.
    const auto bytes = read_.ReadLongest(pos + 1, static_cast<int32_t>(last - pos + 1), 2);
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
      if (bytes[i] == 0xFF && bytes[i + 1] != 0x00 && bytes[i + 1] != 0xFF) {
        return pos + 1 + static_cast<int64_t>(i);
      }
    }
    return std::nullopt;
  }

  // Fill bytes are stepped over one at a time, which lands on the last FF before the next
  // non-FF byte. A run reaching past the marker limit ends the walk at the loop head.
  std::optional<int64_t> LastFillByte(int64_t pos) {
    int64_t at = pos + 2;  // pos and pos + 1 are FF
    while (at <= kMarkerLimit + 1) {
      if (IsCancelled(cancel_)) return std::nullopt;
      const auto bytes = window_.At(at, 1);
      if (bytes.empty()) return std::nullopt;
      const auto other =
          std::find_if(bytes.begin(), bytes.end(), [](uint8_t b) { return b != 0xFF; });
      if (other != bytes.end()) return at + (other - bytes.begin()) - 1;
      at += static_cast<int64_t>(bytes.size());
    }
    return at - 1;
  }

  // Searches entropy-coded data from `p` for the next marker. Returns where the main walk resumes,
  // or that position with `size` set when the closing EOI was found; nothing when the data ends.
  std::optional<int64_t> ScanEntropyData(int64_t p) {
    while (true) {
      if (IsCancelled(cancel_) || p > kEntropyLimit) return std::nullopt;
      const auto bytes = read_.ReadWindow(p, kEntropyWindow, 2);
      if (bytes.empty()) return std::nullopt;
      const uint8_t* data = bytes.data();
      const size_t n = bytes.size();
      for (size_t i = 0; i + 1 < n; ++i) {
        const void* ff = std::memchr(data + i, 0xFF, n - 1 - i);
        if (ff == nullptr) break;
        i = static_cast<size_t>(static_cast<const uint8_t*>(ff) - data);
        const uint8_t m = data[i + 1];
        // Stuffed zero bytes, restart markers and fill bytes belong to the scan data.
        if (m == 0x00 || m == 0xFF || IsRestart(m)) continue;
        const int64_t at = p + static_cast<int64_t>(i);
        if (m == 0xD9) {
          if (depth_ < 1) {
            result_.size = at + 2;
            return result_.size;
          }
          --depth_;
        } else if (m == 0xD8) {
          ++depth_;
          result_.hasEmbeddedJpeg = true;
        } else {
          return at;
        }
      }
      // The last byte is looked at again as the first of a pair.
      p += static_cast<int64_t>(n) - 1;
    }
  }

  RangeReader& read_;
  WalkWindow window_;  // for the marker walk's many small reads
  const std::atomic<bool>* cancel_;
  JpegValidationResult& result_;
  int32_t depth_ = 0;  // nested SOIs still open
  bool sosSeen_ = false;
  size_t syncMessages_ = 0;
};

}  // namespace

JpegValidationResult ValidateJpeg(RangeReader& read, const std::atomic<bool>* cancel) {
  JpegValidationResult result;
  const auto soi = read(0, 2);
  if (soi.size() < 2 || soi[0] != 0xFF || soi[1] != 0xD8) {
    result.Reject("Invalid SOI marker");
    return result;
  }

  JpegWalk walk(read, cancel, result);
  const JpegWalk::End end = walk.Run();
  if (end == JpegWalk::End::kNoEoi) {
    result.Add("EOI marker not found - file may be truncated", 30);
  }
  if (end != JpegWalk::End::kEoiInScanData && !walk.SosSeen()) {
    result.Add("No SOS marker found - no image data", 50);
  }
  if (result.width == 0 || result.height == 0) {
    result.Add("Could not determine image dimensions", 20);
  }
  if (walk.Depth() > 0) {
    result.Add("Unclosed embedded JPEG detected", 10);
  }
  if (result.size > 0 && result.size < kSmallFile) {
    result.Add("File unusually small", 15);
  }
  result.Finish();
  return result;
}

}  // namespace quarvelin
