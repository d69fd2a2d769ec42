#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace flutter {

class ByteStreamReader {
 public:
  virtual ~ByteStreamReader() = default;
  // 0 past the end (with a diagnostic).
  virtual uint8_t ReadByte() = 0;
  // Copies nothing past the end (with a diagnostic) and leaves the position unchanged.
  virtual void ReadBytes(uint8_t* buffer, size_t length) = 0;
  // Skips to the next multiple of `alignment` from the start of the message.
  virtual void ReadAlignment(uint8_t alignment) = 0;
  // Bytes left: a size read from the message is never trusted beyond it.
  virtual size_t Remaining() const = 0;
};

class ByteStreamWriter {
 public:
  virtual ~ByteStreamWriter() = default;
  virtual void WriteByte(uint8_t byte) = 0;
  virtual void WriteBytes(const uint8_t* bytes, size_t length) = 0;
  // Zero bytes up to the next multiple of `alignment` from the start of the message.
  virtual void WriteAlignment(uint8_t alignment) = 0;
};

// Reads a borrowed byte range.
class ByteBufferStreamReader : public ByteStreamReader {
 public:
  ByteBufferStreamReader(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}

  uint8_t ReadByte() override;
  void ReadBytes(uint8_t* buffer, size_t length) override;
  void ReadAlignment(uint8_t alignment) override;
  size_t Remaining() const override { return size_ - location_; }

 private:
  const uint8_t* bytes_;
  size_t size_;
  size_t location_ = 0;
};

// Appends to a borrowed byte vector.
class ByteBufferStreamWriter : public ByteStreamWriter {
 public:
  explicit ByteBufferStreamWriter(std::vector<uint8_t>* buffer) : bytes_(buffer) {}

  void WriteByte(uint8_t byte) override { bytes_->push_back(byte); }
  void WriteBytes(const uint8_t* bytes, size_t length) override {
    bytes_->insert(bytes_->end(), bytes, bytes + length);
  }
  void WriteAlignment(uint8_t alignment) override {
    const size_t mod = bytes_->size() % alignment;
    if (mod != 0) bytes_->insert(bytes_->end(), alignment - mod, 0);
  }

 private:
  std::vector<uint8_t>* bytes_;
};

}  // namespace flutter
