#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "device/raw_device.h"
#include "quarvelin_native.h"

namespace quarvelin {

// A malloc'd copy of `text` for a foreign caller to release with NativeFree; null when it cannot be
// allocated.
char* HeapText(const std::string& text);

// Hands `text` to `callback` as a malloc'd copy the receiver owns; does nothing for a null callback
// and drops the message when the copy cannot be allocated.
void EmitTo(NativeMessageCallback callback, NativeMessageKind kind, const std::string& text);

// The state behind the exports: three flags shared with the one worker thread, the worker, and the
// callback of the most recent start. The exports use one process-wide instance; tests make their
// own, with an in-memory device opener.
class RecoveryEngine {
 public:
  explicit RecoveryEngine(DeviceOpener opener = OpenRawDevice);
  // Cancels and joins the worker (a paused worker wakes for the cancel).
  virtual ~RecoveryEngine();
  RecoveryEngine(const RecoveryEngine&) = delete;
  RecoveryEngine& operator=(const RecoveryEngine&) = delete;

  // The start exports' bodies: copy the arguments, refuse bad ones, start the worker.
  // options: `optionCount` "name=value" texts (see ApplyImageOption); none when the count is 0 or
  // less or the list null. A bad one refuses the imaging.
  void StartDiskImage(const char* sourcePath, const char* outputPath,
                      NativeMessageCallback callback, const char** options = nullptr,
                      int32_t optionCount = 0);
  // fileTypes: `fileTypeCount` extensions; all types when the count is 0 or less or the list null.
  // options: `optionCount` "name=value" texts (see ApplyScanOption); none when the count is 0 or
  // less or the list null. A bad one refuses the scan.
  void StartRecovery(const char* drivePath, const char* outputDir, const char** fileTypes,
                     int32_t fileTypeCount, NativeMessageCallback callback,
                     const char** options = nullptr, int32_t optionCount = 0);

  void Pause();
  void Resume();
  void Cancel();

  // Waits for the current worker to end. For callers that need the work done (tests, benchmarks);
  // must not be called from the worker itself.
  void WaitForWorker();

  // What a worker body uses.
  void Emit(NativeMessageKind kind, const std::string& text) const;
  bool HasCallback() const { return callback_.load() != nullptr; }
  bool CancelRequested() const { return cancel_.load(); }
  const std::atomic<bool>* CancelFlag() const { return &cancel_; }
  // Sleeps in 100 ms steps while paused; ends early on cancel. Returns false when cancelled.
  bool WaitWhilePaused() const;
  void ClearRunning() { running_.exchange(false); }
  bool IsRunning() const { return running_.load(); }
  OpenedDevice OpenDevice(const std::string& path) const { return opener_(path); }

 protected:
  // Starts the worker thread; a test overrides it to see how a failed thread creation is handled.
  virtual std::thread Launch(std::function<void()> body) { return std::thread(std::move(body)); }

 private:
  enum class WorkKind { Scan, Image };
  void StartWorker(std::function<void()> body, NativeMessageCallback callback, WorkKind kind);
  static void Refuse(NativeMessageCallback callback, WorkKind kind, const std::string& reason);

  DeviceOpener opener_;
  std::atomic<bool> running_{false};
  std::atomic<bool> paused_{false};
  std::atomic<bool> cancel_{false};
  std::atomic<NativeMessageCallback> callback_{nullptr};
  // Serialises starts (and the final join) so two threads never join or replace the worker at once.
  std::mutex startMutex_;
  std::thread worker_;
};

// The one engine behind the exports, created on first use and destroyed at process exit.
RecoveryEngine& ProcessEngine();

}  // namespace quarvelin
