#pragma once

// A long run of a drive where nothing can be read says more than its sectors: the drive is likely
// failing as a whole, and every further read may hasten its end. Past a threshold the user is told
// at once, so they can stop and image the drive first.

#include <cstdint>

namespace quarvelin {

// Bytes with nothing readable in a row that make a stretch long: 1 GiB, or a tenth of the drive on
// a smaller one.
int64_t LongUnreadableBytes(int64_t deviceBytes);

// Follows the reads of a drive in order and tells when the current run with nothing readable first
// becomes long.
class UnreadableStretch {
 public:
  explicit UnreadableStretch(int64_t deviceBytes) : threshold_(LongUnreadableBytes(deviceBytes)) {}

  // `bytes` from byte `first` could not be read (or were skipped while nothing could). True once
  // per run: when it first reaches the threshold.
  bool Unreadable(int64_t first, int64_t bytes);
  // Something was read: the run ends.
  void Readable() { length_ = 0; }

  int64_t First() const { return first_; }
  int64_t Length() const { return length_; }

 private:
  int64_t threshold_;
  int64_t first_ = 0;
  int64_t length_ = 0;
};

}  // namespace quarvelin
