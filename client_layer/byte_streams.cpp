#include "byte_streams.h"

#include <algorithm>
#include <cstring>
#include <iostream>

namespace flutter {
namespace {

void ReportInvalidRead() {
  std::cerr << "Invalid read in StandardCodecByteStreamReader" << std::endl;
}

}  // namespace

uint8_t ByteBufferStreamReader::ReadByte() {
  if (location_ >= size_) {
    ReportInvalidRead();
    return 0;
  }
  return bytes_[location_++];
}

void ByteBufferStreamReader::ReadBytes(uint8_t* buffer, size_t length) {
  if (length > size_ - location_) {
    ReportInvalidRead();
    return;
  }
  if (length == 0) return;
  std::memcpy(buffer, bytes_ + location_, length);
  location_ += length;
}

void ByteBufferStreamReader::ReadAlignment(uint8_t alignment) {
  const size_t mod = location_ % alignment;
  if (mod != 0) location_ = std::min(size_, location_ + alignment - mod);
}

}  // namespace flutter
