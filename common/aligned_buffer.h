#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace quarvelin {

// Memory for an unbuffered device read: the address and the length are multiples of the sector
// size, as such reads demand on real devices. Zero-filled.
class AlignedBuffer {
 public:
  // `length` is rounded up to whole sectors; at least one sector is allocated.
  AlignedBuffer(size_t length, uint32_t bytesPerSector)
      : alignment_(Alignment(bytesPerSector)),
        size_(RoundUp(length == 0 ? 1 : length, bytesPerSector == 0 ? 512 : bytesPerSector)),
        data_(static_cast<uint8_t*>(::operator new(size_, std::align_val_t(alignment_)))) {
    for (size_t i = 0; i < size_; ++i) data_[i] = 0;
  }
  ~AlignedBuffer() { ::operator delete(data_, std::align_val_t(alignment_)); }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;

  uint8_t* data() { return data_; }
  size_t size() const { return size_; }

 private:
  // The smallest power of two that is at least the sector size (and at least 16).
  static size_t Alignment(uint32_t bytesPerSector) {
    size_t alignment = 16;
    while (alignment < bytesPerSector) alignment <<= 1;
    return alignment;
  }
  static size_t RoundUp(size_t length, size_t unit) { return (length + unit - 1) / unit * unit; }

  size_t alignment_;
  size_t size_;
  uint8_t* data_;
};

}  // namespace quarvelin
