#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/md5.h"
#include "common/sha256.h"
#include "image_file.h"

namespace quarvelin {

// One checksum computed on a thread of its own from blocks handed over in order, so that a copy
// runs at the speed of the drive rather than of the hash.
class ChecksumLane {
 public:
  explicit ChecksumLane(std::function<void(std::span<const uint8_t>)> update);
  // Hashes what is queued, then stops.
  ~ChecksumLane();
  ChecksumLane(const ChecksumLane&) = delete;
  ChecksumLane& operator=(const ChecksumLane&) = delete;

  // Waits while the lane is this many blocks behind, so memory stays bounded.
  static constexpr size_t kMostQueued = 16;
  void Push(std::shared_ptr<const std::vector<uint8_t>> block);
  // Returns once every block pushed has been hashed.
  void Drain();

 private:
  void Work();

  std::function<void(std::span<const uint8_t>)> update_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<const std::vector<uint8_t>>> queue_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once everything it uses is there
};

// The SHA-256 and MD5 of an image, taken from the bytes as they are written while the copy runs
// in order from the start (a healthy source: all of it), and from the image file for the rest at
// the end.
class ImageChecksums {
 public:
  void Written(int64_t offset, std::span<const uint8_t> bytes);
  // False when the image cannot be read back or `cancel` is set.
  bool Finish(ImageFile& image, int64_t length, const std::atomic<bool>* cancel);

  const std::string& Sha256Hex() const { return sha256Hex_; }
  const std::string& Md5Hex() const { return md5Hex_; }

 private:
  Sha256 sha256_;
  Md5 md5_;
  int64_t hashedUntil_ = 0;
  std::string sha256Hex_;
  std::string md5Hex_;
  // After the hashes they feed, so they stop first.
  ChecksumLane sha256Lane_{[this](std::span<const uint8_t> bytes) { sha256_.Update(bytes); }};
  ChecksumLane md5Lane_{[this](std::span<const uint8_t> bytes) { md5_.Update(bytes); }};
};

}  // namespace quarvelin
