#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace quarvelin {

// What every validator reports; each format's record adds its own fields. Validators never fail:
// every problem becomes a finding, usually with a penalty.
struct ValidationResult {
  int64_t size = 0;          // offset just past the file's last byte; 0 = not determined
  int32_t confidence = 100;  // 0 to 100
  std::vector<std::string> issues;

  // Records a finding and subtracts its penalty (0 for findings that cost nothing).
  void Add(std::string message, int32_t penalty = 0) {
    issues.push_back(std::move(message));
    confidence -= penalty;
  }
  // A missing or wrong signature: nothing else about the candidate can be trusted.
  void Reject(std::string message) {
    issues.push_back(std::move(message));
    confidence = 0;
  }
  // Applied just before a validator returns.
  void Finish() {
    if (confidence < 0) confidence = 0;
  }
};

// Validators look at the engine's cancel flag at the head of each loop pass.
inline bool IsCancelled(const std::atomic<bool>* cancel) {
  return cancel != nullptr && cancel->load();
}

}  // namespace quarvelin
