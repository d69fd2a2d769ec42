#if defined(__linux__)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "common/aligned_buffer.h"
#include "posix_device_direct.h"
#include "raw_device.h"
#include "temp_dir.h"

namespace quarvelin {
namespace {

using testing::RandomBytes;
using testing::TempDir;

size_t Page() {
  return static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

// A file or device whose pages the tests drop from the page cache and then look for: a read that
// went direct leaves them out, a buffered one brings them in.
class CacheProbe {
 public:
  CacheProbe(const std::string& path, size_t size)
      : fd_(::open(path.c_str(), O_RDONLY)), size_(size) {
    if (fd_ < 0) return;
    ::fsync(fd_);  // dirty pages stay cached
    void* map = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd_, 0);
    map_ = map == MAP_FAILED ? nullptr : map;
  }
  ~CacheProbe() {
    if (map_ != nullptr) ::munmap(map_, size_);
    if (fd_ >= 0) ::close(fd_);
  }
  CacheProbe(const CacheProbe&) = delete;
  CacheProbe& operator=(const CacheProbe&) = delete;

  // False when the pages cannot be dropped (or looked for) here.
  bool Drop(size_t from = 0, size_t to = SIZE_MAX) {
    return map_ != nullptr && ::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED) == 0 &&
           CachedPages(from, to) == 0;
  }
  size_t CachedPages(size_t from, size_t to) {
    std::vector<unsigned char> resident((size_ + Page() - 1) / Page());
    if (::mincore(map_, size_, resident.data()) != 0) return 0;
    size_t cached = 0;
    for (size_t page = from / Page(); page < resident.size() && page * Page() < to; ++page) {
      cached += resident[page] & 1u;
    }
    return cached;
  }

 private:
  int fd_;
  size_t size_;
  void* map_ = nullptr;
};

bool FileSystemTakesDirectReads(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECT);
  if (fd < 0) return false;
  AlignedBuffer buffer(Page(), static_cast<uint32_t>(Page()));
  const bool read = ::pread(fd, buffer.data(), buffer.size(), 0) >= 0;
  ::close(fd);
  return read;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t length) {
  return {bytes.begin() + static_cast<std::ptrdiff_t>(from),
          bytes.begin() + static_cast<std::ptrdiff_t>(std::min(from + length, bytes.size()))};
}

class DirectDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!FileSystemTakesDirectReads(path_)) GTEST_SKIP() << "no O_DIRECT under the temp folder";
    if (!probe_.Drop()) GTEST_SKIP() << "the page cache cannot be dropped here";
  }

  static std::string Written(const std::string& path, const std::vector<uint8_t>& bytes) {
    testing::WriteFile(path, bytes);
    return path;
  }

  TempDir dir_;
  std::vector<uint8_t> bytes_ = RandomBytes(300 * 512 + 100, 11);
  std::string path_ = Written(dir_.File("disk.img"), bytes_);
  CacheProbe probe_{path_, bytes_.size()};
};

TEST_F(DirectDevice, ReadsWholeSectorsPastThePageCache) {
  OpenedDevice opened = OpenRawDeviceDirect(path_, 512);
  ASSERT_TRUE(opened.device) << "error " << opened.error;
  RawDevice& device = *opened.device;

  EXPECT_EQ(device.ReadDeviceSectors(3, 5, 512), Slice(bytes_, 3 * 512, 5 * 512));
  // Longer than any read before it, then shorter again.
  EXPECT_EQ(device.ReadDeviceSectors(1, 280, 512), Slice(bytes_, 512, 280 * 512));
  EXPECT_EQ(device.ReadDeviceSectors(7, 1, 512), Slice(bytes_, 7 * 512, 512));
  // Crossing the end: just the bytes that exist, the partial last sector included.
  EXPECT_EQ(device.ReadDeviceSectors(290, 20, 512), Slice(bytes_, 290 * 512, 20 * 512));
  EXPECT_TRUE(device.ReadDeviceSectors(301, 1, 512).empty());
  // Where no device reaches (the kernel refuses such offsets): nothing, and reads stay direct.
  EXPECT_TRUE(device.ReadDeviceSectors(INT64_MAX / 512, 1, 512).empty());
  EXPECT_EQ(device.ReadDeviceSectors(20, 4, 512), Slice(bytes_, 20 * 512, 4 * 512));

  EXPECT_EQ(probe_.CachedPages(0, bytes_.size()), 0u);
}

TEST_F(DirectDevice, GoesBufferedForGoodOnlyWhenTheSystemRefusesDirectReads) {
  {
    // Reads in units smaller than the device's blocks cannot go direct; later ones still do.
    OpenedDevice opened = OpenRawDeviceDirect(path_, 4096);
    ASSERT_TRUE(opened.device);
    EXPECT_EQ(opened.device->ReadDeviceSectors(3, 5, 1), Slice(bytes_, 3, 5));
    ASSERT_TRUE(probe_.Drop());
    EXPECT_EQ(opened.device->ReadDeviceSectors(10, 2, 4096), Slice(bytes_, 40960, 8192));
    EXPECT_EQ(probe_.CachedPages(0, bytes_.size()), 0u);
  }
  // A device claiming byte-sized blocks: the kernel refuses an odd offset, so that read and every
  // one after it go through the cache.
  OpenedDevice opened = OpenRawDeviceDirect(path_, 1);
  ASSERT_TRUE(opened.device);
  EXPECT_EQ(opened.device->ReadDeviceSectors(7, 10, 1), Slice(bytes_, 7, 10));
  ASSERT_TRUE(probe_.Drop());
  EXPECT_EQ(opened.device->ReadDeviceSectors(20, 4, 512), Slice(bytes_, 20 * 512, 4 * 512));
  EXPECT_GT(probe_.CachedPages(20 * 512, 24 * 512), 0u);
}

TEST_F(DirectDevice, ImageFilesKeepThePageCache) {
  OpenedDevice opened = OpenRawDevice(path_);
  ASSERT_TRUE(opened.device);
  EXPECT_EQ(opened.device->ReadDeviceSectors(20, 4, 512), Slice(bytes_, 20 * 512, 4 * 512));
  EXPECT_GT(probe_.CachedPages(20 * 512, 24 * 512), 0u);
}

// A read-only loop device over a file, gone when the last descriptor of it closes (also when the
// test dies half-way).
class LoopDevice {
 public:
  LoopDevice(const std::string& backing, uint32_t blockSize) {
    const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    const int file = ::open(backing.c_str(), O_RDONLY | O_CLOEXEC);
    loop_config config{};
    config.fd = static_cast<uint32_t>(file);
    config.block_size = blockSize;
    config.info.lo_flags = LO_FLAGS_READ_ONLY | LO_FLAGS_AUTOCLEAR;
    // Another process may take the free device between asking and attaching.
    for (int attempt = 0; control >= 0 && file >= 0 && attempt < 10 && fd_ < 0; ++attempt) {
      const int number = ::ioctl(control, LOOP_CTL_GET_FREE);
      if (number < 0) break;
      const std::string path = "/dev/loop" + std::to_string(number);
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      if (::ioctl(fd, LOOP_CONFIGURE, &config) == 0) {
        fd_ = fd;
        path_ = path;
      } else {
        ::close(fd);
      }
    }
    if (file >= 0) ::close(file);
    if (control >= 0) ::close(control);
  }
  ~LoopDevice() {
    if (fd_ < 0) return;
    ::ioctl(fd_, LOOP_CLR_FD, 0);
    ::close(fd_);
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  // Empty when no loop device could be set up.
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

TEST(LoopDevice, ReadsABlockDeviceOf4096ByteSectorsDirectly) {
  if (::geteuid() != 0) GTEST_SKIP() << "loop devices need root";
  TempDir dir;
  const auto bytes = RandomBytes(2048 * 4096, 5);
  testing::WriteFile(dir.File("disk.img"), bytes);
  LoopDevice loop(dir.File("disk.img"), 4096);
  if (loop.path().empty()) GTEST_SKIP() << "no loop device could be set up";

  OpenedDevice opened = OpenRawDevice(loop.path());
  ASSERT_TRUE(opened.device) << "error " << opened.error;
  RawDevice& device = *opened.device;
  EXPECT_EQ(device.QuerySectorSize(), 4096);
  EXPECT_EQ(device.QueryDeviceSize(), static_cast<int64_t>(bytes.size()));

  // The middle of the device, away from what anything probing a new device reads.
  CacheProbe probe(loop.path(), bytes.size());
  ASSERT_TRUE(probe.Drop(1000 * 4096, 1010 * 4096));
  EXPECT_EQ(device.ReadDeviceSectors(1001, 3, 4096), Slice(bytes, 1001 * 4096, 3 * 4096));
  EXPECT_EQ(probe.CachedPages(1000 * 4096, 1010 * 4096), 0u);

  EXPECT_EQ(device.ReadDeviceSectors(2046, 8, 4096), Slice(bytes, 2046 * 4096, 8 * 4096));
  EXPECT_TRUE(device.ReadDeviceSectors(2048, 1, 4096).empty());
}

}  // namespace
}  // namespace quarvelin

#endif
