#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace quarvelin {

// The image a rescue writes: written at any offset, in whatever order the phases read the source,
// and read back for its checksums. Unbuffered, so every failed write is seen at once.
class ImageFile {
 public:
  ImageFile() = default;
  ~ImageFile();
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  // Creates `path`, or empties the file there.
  bool Create(const std::string& path);
  // Opens the existing `path` to go on writing it, keeping its bytes.
  bool OpenExisting(const std::string& path);
  // Makes the file `bytes` long. Bytes not yet written read as zeros; where the file system allows,
  // they take no space.
  bool SetLength(int64_t bytes);
  int64_t Length();
  // False for a device or a pipe, whose length is its own.
  bool IsRegularFile();
  bool WriteAt(int64_t offset, std::span<const uint8_t> bytes);
  // Reads up to `bytes.size()` bytes at `offset`; how many were read, or -1 on failure.
  int64_t ReadAt(int64_t offset, std::span<uint8_t> bytes);
  // Pushes what was written to the disk itself, so a power cut loses none of it.
  bool Flush();
  bool Close();
  const std::string& LastError() const { return error_; }

 private:
  bool Open(const std::string& path, const char* mode);
  bool Seek(int64_t offset);
  bool Fail();

  std::FILE* file_ = nullptr;
  std::string error_;
};

}  // namespace quarvelin
