#include "formats/text/text_walk.h"

#include <algorithm>

namespace quarvelin {
namespace {

bool InRange(uint8_t b, uint8_t low, uint8_t high) {
  return b >= low && b <= high;
}

// The length of the UTF-8 sequence `lead` starts, and the range its second byte must be in (which
// rules out overlong forms, surrogates and code points past U+10FFFF); 0 for a byte no text holds.
// C1 controls (U+0080 to U+009F) are control bytes as much as those below a space.
size_t SequenceLength(uint8_t lead, uint8_t& low, uint8_t& high) {
  low = 0x80;
  high = 0xBF;
  if (lead == 0xC2) {
    low = 0xA0;
    return 2;
  }
  if (InRange(lead, 0xC3, 0xDF)) return 2;
  if (lead == 0xE0) {
    low = 0xA0;
    return 3;
  }
  if (lead == 0xED) {
    high = 0x9F;
    return 3;
  }
  if (InRange(lead, 0xE1, 0xEF)) return 3;
  if (lead == 0xF0) {
    low = 0x90;
    return 4;
  }
  if (lead == 0xF4) {
    high = 0x8F;
    return 4;
  }
  if (InRange(lead, 0xF1, 0xF3)) return 4;
  return 0;
}

}  // namespace

size_t TextPrefix(Bytes bytes, bool* cut) {
  if (cut != nullptr) *cut = false;
  size_t i = 0;
  while (i < bytes.size()) {
    const uint8_t b = bytes[i];
    if (InRange(b, 0x20, 0x7E) || b == '\t' || b == '\n' || b == '\r') {
      ++i;
      continue;
    }
    uint8_t low = 0;
    uint8_t high = 0;
    const size_t length = SequenceLength(b, low, high);
    if (length == 0) break;
    if (bytes.size() - i < length) {
      // Whether the bytes there are text the bytes after `bytes` decide.
      const bool wellFormedSoFar =
          bytes.size() - i < 2 ||
          (InRange(bytes[i + 1], low, high) &&
           std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(i) + 2, bytes.end(),
                       [](uint8_t c) { return InRange(c, 0x80, 0xBF); }));
      if (cut != nullptr) *cut = wellFormedSoFar;
      break;
    }
    if (!InRange(bytes[i + 1], low, high)) break;
    bool continued = true;
    for (size_t k = 2; k < length; ++k) continued = continued && InRange(bytes[i + k], 0x80, 0xBF);
    if (!continued) break;
    i += length;
  }
  return i;
}

int64_t WalkTextEnd(RangeReader& read, const std::atomic<bool>* cancel, int64_t limit) {
  constexpr int32_t kWindow = 1 << 20;
  constexpr int32_t kLongestCharacter = 4;
  int64_t end = 0;
  int32_t need = 1;
  while (end < limit) {
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) break;
    const auto want = static_cast<int32_t>(std::min<int64_t>(kWindow, limit - end));
    const Bytes window = read.ReadWindow(end, want, std::min(need, want));
    if (window.empty()) break;  // the device ends, or cannot be read, here
    bool cut = false;
    const size_t text = TextPrefix(window, &cut);
    end += static_cast<int64_t>(text);
    if (text == window.size()) {
      need = 1;
      continue;
    }
    // A window that ends inside a character is read again from that character's start, with
    // room for the whole of it (the scan buffer may end inside it, the device go on).
    if (!cut || (text == 0 && need == kLongestCharacter)) break;
    need = text == 0 ? kLongestCharacter : 1;
  }
  return std::min(end, limit);
}

}  // namespace quarvelin
