#include "image_checksums.h"

#include <algorithm>
#include <atomic>

namespace quarvelin {

ChecksumLane::ChecksumLane(std::function<void(std::span<const uint8_t>)> update)
    : update_(std::move(update)), thread_([this] { Work(); }) {}

ChecksumLane::~ChecksumLane() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void ChecksumLane::Push(std::shared_ptr<const std::vector<uint8_t>> block) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queue_.size() < kMostQueued; });
  queue_.push_back(std::move(block));
  lock.unlock();
  changed_.notify_all();
}

void ChecksumLane::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void ChecksumLane::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and nothing left
    const std::shared_ptr<const std::vector<uint8_t>> block = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    changed_.notify_all();
    update_(*block);
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

void ImageChecksums::Written(int64_t offset, std::span<const uint8_t> bytes) {
  if (offset != hashedUntil_ || bytes.empty()) return;
  auto block = std::make_shared<const std::vector<uint8_t>>(bytes.begin(), bytes.end());
  sha256Lane_.Push(block);
  md5Lane_.Push(std::move(block));
  hashedUntil_ += static_cast<int64_t>(bytes.size());
}

bool ImageChecksums::Finish(ImageFile& image, int64_t length, const std::atomic<bool>* cancel) {
  constexpr size_t kBlock = 1048576;
  while (hashedUntil_ < length) {
    if (cancel != nullptr && cancel->load()) return false;
    std::vector<uint8_t> block(static_cast<size_t>(
        std::min<int64_t>(static_cast<int64_t>(kBlock), length - hashedUntil_)));
    const int64_t got = image.ReadAt(hashedUntil_, block);
    if (got <= 0) return false;
    block.resize(static_cast<size_t>(got));
    Written(hashedUntil_, block);
  }
  sha256Lane_.Drain();
  md5Lane_.Drain();
  sha256Hex_ = sha256_.FinishHex();
  md5Hex_ = md5_.FinishHex();
  return true;
}

}  // namespace quarvelin
