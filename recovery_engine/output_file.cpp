#include "output_file.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace quarvelin {
namespace {

// The C runtime on Windows knows no exclusive mode for fopen; both platforms have it for
// descriptors.
#if defined(_WIN32)
int OpenExclusive(const char* path) {
  return _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
std::FILE* StreamOf(int fd) {
  return _fdopen(fd, "wb");
}
void CloseDescriptor(int fd) {
  _close(fd);
}
#else
int OpenExclusive(const char* path) {
  return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}
std::FILE* StreamOf(int fd) {
  return fdopen(fd, "wb");
}
void CloseDescriptor(int fd) {
  close(fd);
}
#endif

}  // namespace

OutputFile::~OutputFile() {
  Close();
}

void OutputFile::Fail(int errorNumber) {
  error_ = errorNumber != 0 ? std::strerror(errorNumber) : "unknown error";
}

bool OutputFile::Adopt(std::FILE* file, int errorNumber) {
  file_ = file;
  if (file_ == nullptr) {
    Fail(errorNumber);
    return false;
  }
  std::setvbuf(file_, nullptr, _IONBF, 0);
  return true;
}

bool OutputFile::Create(const std::string& path) {
  Close();
  written_ = 0;
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  return Adopt(file, errno);
}

OutputFile::NewFile OutputFile::CreateNew(const std::string& path) {
  Close();
  written_ = 0;
  errno = 0;
  const int fd = OpenExclusive(path.c_str());
  if (fd < 0) {
    const int error = errno;
    Fail(error);
    return error == EEXIST ? NewFile::kExists : NewFile::kFailed;
  }
  std::FILE* file = StreamOf(fd);
  const int error = errno;
  if (file == nullptr) CloseDescriptor(fd);
  return Adopt(file, error) ? NewFile::kCreated : NewFile::kFailed;
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
