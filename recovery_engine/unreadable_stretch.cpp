#include "unreadable_stretch.h"

#include <algorithm>

namespace quarvelin {

int64_t LongUnreadableBytes(int64_t deviceBytes) {
  constexpr int64_t kLong = int64_t{1} << 30;
  return std::clamp<int64_t>(deviceBytes / 10, 1, kLong);
}

bool UnreadableStretch::Unreadable(int64_t first, int64_t bytes) {
  if (bytes <= 0) return false;
  // A run goes on only where it ended; elsewhere (a reader jumping back) a new one starts.
  if (length_ == 0 || first != first_ + length_) {
    first_ = first;
    length_ = 0;
  }
  const int64_t before = length_;
  length_ = bytes > INT64_MAX - length_ ? INT64_MAX : length_ + bytes;
  return before < threshold_ && length_ >= threshold_;
}

}  // namespace quarvelin
