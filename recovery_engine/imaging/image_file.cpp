#include "image_file.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quarvelin {

ImageFile::~ImageFile() {
  Close();
}

bool ImageFile::Fail() {
  error_ = errno != 0 ? std::strerror(errno) : "unknown error";
  return false;
}

bool ImageFile::Open(const std::string& path, const char* mode) {
  Close();
  errno = 0;
  file_ = std::fopen(path.c_str(), mode);
  if (file_ == nullptr) return Fail();
  std::setvbuf(file_, nullptr, _IONBF, 0);
  return true;
}

bool ImageFile::Create(const std::string& path) {
  return Open(path, "w+b");
}

bool ImageFile::OpenExisting(const std::string& path) {
  return Open(path, "r+b");
}

bool ImageFile::Seek(int64_t offset) {
#if defined(_WIN32)
  return _fseeki64(file_, offset, SEEK_SET) == 0 || Fail();
#else
  return fseeko(file_, static_cast<off_t>(offset), SEEK_SET) == 0 || Fail();
#endif
}

bool ImageFile::SetLength(int64_t bytes) {
  if (file_ == nullptr) return false;
  errno = 0;
#if defined(_WIN32)
  return _chsize_s(_fileno(file_), bytes) == 0 || Fail();
#else
  return ::ftruncate(fileno(file_), static_cast<off_t>(bytes)) == 0 || Fail();
#endif
}

int64_t ImageFile::Length() {
  if (file_ == nullptr) return -1;
#if defined(_WIN32)
  return _filelengthi64(_fileno(file_));
#else
  struct stat st {};
  return ::fstat(fileno(file_), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
#endif
}

bool ImageFile::IsRegularFile() {
  if (file_ == nullptr) return false;
#if defined(_WIN32)
  struct _stat64 st {};
  return _fstat64(_fileno(file_), &st) == 0 && (st.st_mode & _S_IFREG) != 0;
#else
  struct stat st {};
  return ::fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode);
#endif
}

bool ImageFile::WriteAt(int64_t offset, std::span<const uint8_t> bytes) {
  if (file_ == nullptr) return false;
  if (bytes.empty()) return true;
  errno = 0;
  if (!Seek(offset)) return false;
  return std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size() || Fail();
}

int64_t ImageFile::ReadAt(int64_t offset, std::span<uint8_t> bytes) {
  if (file_ == nullptr) return -1;
  errno = 0;
  if (!Seek(offset)) return -1;
  const size_t got = std::fread(bytes.data(), 1, bytes.size(), file_);
  if (got < bytes.size() && std::ferror(file_) != 0) {
    Fail();
    std::clearerr(file_);
    return -1;
  }
  return static_cast<int64_t>(got);
}

bool ImageFile::Flush() {
  if (file_ == nullptr) return false;
  errno = 0;
  if (std::fflush(file_) != 0) return Fail();
#if defined(_WIN32)
  return _commit(_fileno(file_)) == 0 || Fail();
#else
  // A device or pipe that cannot be flushed has nothing held back to flush.
  return ::fsync(fileno(file_)) == 0 || errno == EINVAL || errno == ENOTSUP || Fail();
#endif
}

bool ImageFile::Close() {
  if (file_ == nullptr) return true;
  errno = 0;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  return closed || Fail();
}

}  // namespace quarvelin
