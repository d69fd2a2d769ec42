#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <limits>

#include "raw_device.h"
#if defined(__linux__)
#include <linux/fs.h>
#endif

namespace quarvelin {
namespace {

class PosixDevice final : public RawDevice {
 public:
  explicit PosixDevice(int fd) : fd_(fd) {}
  ~PosixDevice() override { ::close(fd_); }
  PosixDevice(const PosixDevice&) = delete;
  PosixDevice& operator=(const PosixDevice&) = delete;

  int64_t QueryDeviceSize() override {
#if defined(BLKGETSIZE64)
    uint64_t bytes = 0;
    if (::ioctl(fd_, BLKGETSIZE64, &bytes) == 0 &&
        bytes <= uint64_t{std::numeric_limits<int64_t>::max()}) {
      return static_cast<int64_t>(bytes);
    }
#endif
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && st.st_size > 0) {
      return static_cast<int64_t>(st.st_size);
    }
    return 0;
  }

  int32_t QuerySectorSize() override {
#if defined(BLKSSZGET)
    int size = 0;
    if (::ioctl(fd_, BLKSSZGET, &size) == 0) {
      return SaneSectorSize(size);
    }
#endif
    return kDefaultSectorSize;
  }

  std::vector<uint8_t> ReadDeviceSectors(int64_t first, uint32_t count,
                                         int32_t bytesPerSector) override {
    const uint32_t bytes = ReadByteCount(count, bytesPerSector);
    if (first < 0 || bytes == 0 || first > std::numeric_limits<int64_t>::max() / bytesPerSector) {
      return {};
    }
    const off_t offset = static_cast<off_t>(first * bytesPerSector);
    std::vector<uint8_t> data(bytes);
    size_t done = 0;
    // pread may return less than asked for reasons other than the end (signals, some drivers):
    // keep reading until the request is met or the device ends.
    while (done < data.size()) {
      const ssize_t got =
          ::pread(fd_, data.data() + done, data.size() - done, offset + static_cast<off_t>(done));
      if (got < 0) {
        if (errno == EINTR) {
          continue;
        }
        return {};
      }
      if (got == 0) {
        break;
      }
      done += static_cast<size_t>(got);
    }
    data.resize(done);
    return data;
  }

 private:
  int fd_;
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
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return {nullptr, errno};
  }
  return {std::make_unique<PosixDevice>(fd), 0};
}

}  // namespace quarvelin
