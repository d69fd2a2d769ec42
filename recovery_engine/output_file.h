#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace quarvelin {

// A file the engine writes (an image, a carved file). Unbuffered: the engine writes large blocks,
// and every failed write must be seen at once, with its reason, rather than at a later flush.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates or truncates `path` (passed unchanged to the C runtime's narrow file interface).
  bool Create(const std::string& path);
  // Creates `path` only when no file of that name exists yet: what is already there is never
  // opened, let alone overwritten.
  enum class NewFile { kCreated, kExists, kFailed };
  NewFile CreateNew(const std::string& path);
  bool Write(std::span<const uint8_t> bytes);
  // Closes the file; false when the last data could not be stored.
  bool Close();
  bool IsOpen() const { return file_ != nullptr; }
  // The reason of the last failure, as the C runtime words it.
  const std::string& LastError() const { return error_; }
  uint64_t BytesWritten() const { return written_; }

 private:
  void Fail(int errorNumber);
  bool Adopt(std::FILE* file, int errorNumber);

  std::FILE* file_ = nullptr;
  uint64_t written_ = 0;
  std::string error_;
};

}  // namespace quarvelin
