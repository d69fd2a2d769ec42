#include "recovery_engine.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include "disk_image.h"
#include "scan.h"

namespace quarvelin {
namespace {

// The engine whose worker the current thread is, if any: a start from inside a callback must be
// refused rather than join its own thread.
thread_local const RecoveryEngine* tlWorkerOf = nullptr;

bool IsEmpty(const char* text) {
  return text == nullptr || *text == '\0';
}

}  // namespace

char* HeapText(const std::string& text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

void EmitTo(NativeMessageCallback callback, NativeMessageKind kind, const std::string& text) {
  if (callback == nullptr) return;
  if (char* copy = HeapText(text)) callback(static_cast<int32_t>(kind), copy);
}

RecoveryEngine::RecoveryEngine(DeviceOpener opener) : opener_(std::move(opener)) {}

RecoveryEngine::~RecoveryEngine() {
  cancel_.exchange(true);
  running_.exchange(false);
  std::lock_guard lock(startMutex_);
  if (worker_.joinable()) {
    if (tlWorkerOf == this) {
      // The process is exiting from inside a callback: the worker cannot wait for itself.
      worker_.detach();
    } else {
      worker_.join();
    }
  }
}

void RecoveryEngine::Emit(NativeMessageKind kind, const std::string& text) const {
  EmitTo(callback_.load(), kind, text);
}

bool RecoveryEngine::WaitWhilePaused() const {
  while (paused_.load() && !cancel_.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return !cancel_.load();
}

void RecoveryEngine::Pause() {
  paused_.exchange(true);
  Emit(NativeMessageKind::Status, "Scan Paused");
}

void RecoveryEngine::Resume() {
  paused_.exchange(false);
  Emit(NativeMessageKind::Status, "Scan Resumed");
}

void RecoveryEngine::Cancel() {
  cancel_.exchange(true);
  running_.exchange(false);
}

void RecoveryEngine::WaitForWorker() {
  std::lock_guard lock(startMutex_);
  if (worker_.joinable() && tlWorkerOf != this) {
    worker_.join();
  }
}

void RecoveryEngine::Refuse(NativeMessageCallback callback, WorkKind kind,
                            const std::string& reason) {
  EmitTo(callback, NativeMessageKind::Error, reason);
  if (kind == WorkKind::Scan) {
    EmitTo(callback, NativeMessageKind::Finished, "0");
  }
}

void RecoveryEngine::StartWorker(std::function<void()> body, NativeMessageCallback callback,
                                 WorkKind kind) {
  if (tlWorkerOf == this) {
    Refuse(callback, kind, "Cannot start new work from inside a message callback");
    return;
  }
  std::lock_guard lock(startMutex_);
  cancel_.exchange(true);
  running_.exchange(false);
  if (worker_.joinable()) {
    worker_.join();
  }
  running_.exchange(true);
  paused_.exchange(false);
  cancel_.exchange(false);
  callback_.store(callback);
  try {
    worker_ = Launch([this, body = std::move(body)] {
      tlWorkerOf = this;
      // Bodies report their own failures; this only keeps a stray exception from ending the
      // process.
      try {
        body();
      } catch (const std::exception& e) {
        running_.exchange(false);
        Emit(NativeMessageKind::Error, std::string("Internal error: ") + e.what());
      } catch (...) {
        running_.exchange(false);
        Emit(NativeMessageKind::Error, "Internal error");
      }
    });
  } catch (const std::exception& e) {
    running_.exchange(false);
    Refuse(callback, kind, std::string("Failed to start worker thread: ") + e.what());
  }
}

void RecoveryEngine::StartDiskImage(const char* sourcePath, const char* outputPath,
                                    NativeMessageCallback callback, const char** options,
                                    int32_t optionCount) {
  if (IsEmpty(sourcePath)) {
    Refuse(callback, WorkKind::Image, "No source drive given.");
    return;
  }
  if (IsEmpty(outputPath)) {
    Refuse(callback, WorkKind::Image, "No output file given.");
    return;
  }
  ImageOptions image;
  if (options != nullptr && optionCount > 0) {
    for (int32_t i = 0; i < optionCount; ++i) {
      if (options[i] == nullptr) continue;
      const std::string error = ApplyImageOption(image, options[i]);
      if (!error.empty()) {
        Refuse(callback, WorkKind::Image, error);
        return;
      }
    }
  }
  StartWorker([this, source = std::string(sourcePath), output = std::string(outputPath),
               image = std::move(image)] { RunDiskImage(*this, source, output, image); },
              callback, WorkKind::Image);
}

void RecoveryEngine::StartRecovery(const char* drivePath, const char* outputDir,
                                   const char** fileTypes, int32_t fileTypeCount,
                                   NativeMessageCallback callback, const char** options,
                                   int32_t optionCount) {
  if (IsEmpty(drivePath)) {
    Refuse(callback, WorkKind::Scan, "No drive given.");
    return;
  }
  if (IsEmpty(outputDir)) {
    Refuse(callback, WorkKind::Scan, "No output folder given.");
    return;
  }
  ScanOptions scan;
  if (fileTypes != nullptr && fileTypeCount > 0) {
    for (int32_t i = 0; i < fileTypeCount; ++i) {
      if (fileTypes[i] != nullptr) scan.fileTypes.emplace_back(fileTypes[i]);
    }
  }
  if (options != nullptr && optionCount > 0) {
    for (int32_t i = 0; i < optionCount; ++i) {
      if (options[i] == nullptr) continue;
      const std::string error = ApplyScanOption(scan, options[i]);
      if (!error.empty()) {
        Refuse(callback, WorkKind::Scan, error);
        return;
      }
    }
  }
  StartWorker([this, drive = std::string(drivePath), output = std::string(outputDir),
               scan = std::move(scan)] { RunScan(*this, drive, output, scan); },
              callback, WorkKind::Scan);
}

RecoveryEngine& ProcessEngine() {
  static RecoveryEngine engine;
  return engine;
}

}  // namespace quarvelin
