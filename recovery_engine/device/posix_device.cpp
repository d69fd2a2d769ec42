#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <optional>
#include <utility>

#include "common/aligned_buffer.h"
#include "posix_device_direct.h"
#include "raw_device.h"
#if defined(__linux__)
#include <linux/fs.h>
#endif

namespace quarvelin {
namespace {

// Owns one open file descriptor.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { Close(); }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct ReadOutcome {
  size_t done = 0;
  int error = 0;  // errno of the failed call; 0 when the request was met or the device ended
};

// pread may return less than asked for reasons other than the end (signals, some drivers): keep
// reading until the request is met or the device ends. A direct read cannot go on from a position
// that is no multiple of `unit`, so a piece ending there ends the read.
ReadOutcome ReadFully(int fd, uint8_t* into, size_t length, off_t offset, size_t unit) {
  ReadOutcome outcome;
  while (outcome.done < length) {
    const ssize_t got = ::pread(fd, into + outcome.done, length - outcome.done,
                                offset + static_cast<off_t>(outcome.done));
    if (got < 0) {
      if (errno == EINTR) continue;
      outcome.error = errno;
      return outcome;
    }
    if (got == 0) break;
    outcome.done += static_cast<size_t>(got);
    if (outcome.done % unit != 0) break;
  }
  return outcome;
}

size_t PageSize() {
  const long size = ::sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<size_t>(size) : 4096;
}

class PosixDevice final : public RawDevice {
 public:
  // `direct`, when open, is the same device opened with O_DIRECT; its reads must start and end on
  // multiples of `directBlock` bytes.
  PosixDevice(Descriptor buffered, Descriptor direct, int32_t directBlock)
      : fd_(std::move(buffered)),
        direct_(std::move(direct)),
        directBlock_(static_cast<size_t>(directBlock)),
        alignment_(std::max(directBlock_, PageSize())) {}

  int64_t QueryDeviceSize() override {
#if defined(BLKGETSIZE64)
    uint64_t bytes = 0;
    if (::ioctl(fd_.get(), BLKGETSIZE64, &bytes) == 0 &&
        bytes <= uint64_t{std::numeric_limits<int64_t>::max()}) {
      return static_cast<int64_t>(bytes);
    }
#endif
    struct stat st {};
    if (::fstat(fd_.get(), &st) == 0 && st.st_size > 0) {
      return static_cast<int64_t>(st.st_size);
    }
    return 0;
  }

  int32_t QuerySectorSize() override {
#if defined(BLKSSZGET)
    int size = 0;
    if (::ioctl(fd_.get(), BLKSSZGET, &size) == 0) {
      return SaneSectorSize(size);
    }
#endif
    return kDefaultSectorSize;
  }

  // Not for concurrent use: direct reads share one buffer.
  std::vector<uint8_t> ReadDeviceSectors(int64_t first, uint32_t count,
                                         int32_t bytesPerSector) override {
    const uint32_t bytes = ReadByteCount(count, bytesPerSector);
    if (first < 0 || bytes == 0 || first > std::numeric_limits<int64_t>::max() / bytesPerSector) {
      return {};
    }
    const off_t offset = static_cast<off_t>(first * bytesPerSector);
    // No device reaches there; the kernel's EINVAL for it must not read as refused direct reads.
    if (offset > std::numeric_limits<off_t>::max() - static_cast<off_t>(bytes)) return {};
    // A caller reading in units smaller than the device's blocks gets a buffered read: direct
    // reads of such a range are refused, and that must not cost the direct path for good.
    if (direct_ && static_cast<size_t>(offset) % directBlock_ == 0 && bytes % directBlock_ == 0) {
      if (auto data = ReadDirect(offset, bytes)) return std::move(*data);
    }
    std::vector<uint8_t> data(bytes);
    const ReadOutcome read = ReadFully(fd_.get(), data.data(), data.size(), offset, 1);
    if (read.error != 0) return {};
    data.resize(read.done);
    return data;
  }

 private:
  // Nothing when the direct descriptor is refused (some file systems and drivers take O_DIRECT at
  // open and refuse its reads): it is dropped and every read goes buffered from then on. A read
  // error is the drive's answer and stays a failed read; through the page cache the same sectors
  // would only be tried again, slower.
  std::optional<std::vector<uint8_t>> ReadDirect(off_t offset, uint32_t bytes) {
    if (!buffer_ || buffer_->size() < bytes) {
      buffer_.reset();  // free the smaller one first
      buffer_.emplace(bytes, static_cast<uint32_t>(alignment_));
    }
    const ReadOutcome read = ReadFully(direct_.get(), buffer_->data(), bytes, offset, directBlock_);
    if (read.error == EINVAL) {
      direct_.Close();
      buffer_.reset();
      return std::nullopt;
    }
    if (read.error != 0) return std::vector<uint8_t>{};
    std::vector<uint8_t> data(buffer_->data(), buffer_->data() + read.done);
    if (read.done < bytes && read.done % directBlock_ != 0) {
      // A file whose length is no multiple of the block: whatever lies beyond comes buffered.
      data.resize(bytes);
      const ReadOutcome rest = ReadFully(fd_.get(), data.data() + read.done, bytes - read.done,
                                         offset + static_cast<off_t>(read.done), 1);
      if (rest.error != 0) return std::vector<uint8_t>{};
      data.resize(read.done + rest.done);
    }
    return data;
  }

  Descriptor fd_;
  Descriptor direct_;
  size_t directBlock_;
  size_t alignment_;
  std::optional<AlignedBuffer> buffer_;
};

// The whole disk a partition belongs to (sysfs links each partition below its disk); the device
// itself when it is no partition or sysfs cannot tell.
dev_t WholeDisk(dev_t device) {
  const std::string node =
      "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  if (::access((node + "/partition").c_str(), F_OK) != 0) return device;
  std::FILE* parent = std::fopen((node + "/../dev").c_str(), "r");
  if (parent == nullptr) return device;
  unsigned int diskMajor = 0;
  unsigned int diskMinor = 0;
  const bool read = std::fscanf(parent, "%u:%u", &diskMajor, &diskMinor) == 2;
  std::fclose(parent);
  return read ? makedev(diskMajor, diskMinor) : device;
}

enum class DirectReads { kBlockDevices, kAlways };

// `blockSize`: what direct reads' offsets and lengths must be multiples of; 0 asks the device.
OpenedDevice Open(const std::string& path, DirectReads direct, int32_t blockSize) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    return {nullptr, errno};
  }
  Descriptor directFd;
#if defined(O_DIRECT)
  struct stat st {};
  if (direct == DirectReads::kAlways || (::fstat(fd.get(), &st) == 0 && S_ISBLK(st.st_mode))) {
    // Refused by some file systems and drivers: then every read goes buffered.
    directFd = Descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT));
  }
#else
  (void)direct;
#endif
  if (blockSize <= 0) {
    int reported = 0;
#if defined(BLKSSZGET)
    if (::ioctl(fd.get(), BLKSSZGET, &reported) != 0) reported = 0;
#endif
    blockSize = SaneSectorSize(reported);
  }
  return {std::make_unique<PosixDevice>(std::move(fd), std::move(directFd), blockSize), 0};
}

}  // namespace

bool OutputIsOnDevice(const std::string& folder, const std::string& devicePath) {
  struct stat source {};
  if (::stat(devicePath.c_str(), &source) != 0 || !S_ISBLK(source.st_mode)) return false;
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(folder, error);
  if (error) return false;
  struct stat where {};
  while (::stat(path.c_str(), &where) != 0) {
    if (!path.has_relative_path()) return false;
    path = path.parent_path();
  }
  return where.st_dev == source.st_rdev || WholeDisk(where.st_dev) == source.st_rdev;
}

std::filesystem::path FileSystemPath(const std::string& path) {
  return path;
}

bool SameFile(const std::string& first, const std::string& second) {
  struct stat a {};
  struct stat b {};
  return ::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

OpenedDevice OpenRawDevice(const std::string& path) {
  // Through the page cache, a failing drive's bad sector costs a page or more and the kernel's
  // retries and read-ahead around it, so block devices are read directly, every read: a chunk-sized
  // read loses nothing by it, and the first one that meets a bad area fails in one try. Image
  // files keep the cache: it is what makes a second scan of them fast.
  return Open(path, DirectReads::kBlockDevices, 0);
}

OpenedDevice OpenRawDeviceDirect(const std::string& path, int32_t blockSize) {
  return Open(path, DirectReads::kAlways, blockSize);
}

}  // namespace quarvelin
