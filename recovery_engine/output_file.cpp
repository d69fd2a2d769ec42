#include "output_file.h"

#include <cerrno>
#include <cstring>

namespace quarvelin {

OutputFile::~OutputFile() { Close(); }

void OutputFile::Fail(int errorNumber) {
  error_ = errorNumber != 0 ? std::strerror(errorNumber) : "unknown error";
}

bool OutputFile::Create(const std::string& path) {
  Close();
  written_ = 0;
  errno = 0;
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    Fail(errno);
    return false;
  }
  std::setvbuf(file_, nullptr, _IONBF, 0);
  return true;
}

bool OutputFile::Write(std::span<const uint8_t> bytes) {
  if (file_ == nullptr) {
    error_ = "file is not open";
    return false;
  }
  if (bytes.empty()) {
    return true;
  }
  errno = 0;
  const size_t put = std::fwrite(bytes.data(), 1, bytes.size(), file_);
  written_ += put;
  if (put != bytes.size()) {
    Fail(errno);
    return false;
  }
  return true;
}

bool OutputFile::Close() {
  if (file_ == nullptr) {
    return true;
  }
  errno = 0;
  const bool ok = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!ok) {
    Fail(errno);
  }
  return ok;
}

}  // namespace quarvelin
