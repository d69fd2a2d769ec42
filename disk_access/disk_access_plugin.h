#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/win32_handle.h"
#include "encodable_value.h"
#include "event_sink.h"
#include "event_stream_handler.h"
#include "flutter_desktop.h"
#include "flutter_view.h"
#include "method_call.h"
#include "method_result.h"

namespace ul_venmark {

using flutter::EncodableMap;
using flutter::EncodableValue;

// Carries a finished sector read to the main thread; lParam is the AsyncReadContext.
inline constexpr UINT WM_DISK_IO_COMPLETE = WM_USER + 101;

// The largest read one "readSectors" call may ask for. Its answer is one list element per byte.
inline constexpr int64_t kMaxReadBytes = 4 * 1024 * 1024;

// An open volume device, closed when its last user lets go: a close while a read is in flight
// leaves the handle to the read until it is done.
using DriveHandle = quarvelin::Win32Handle;

struct OpenDriveEntry {
  std::shared_ptr<DriveHandle> handle;
  uint32_t bytesPerSector;
};

// The open drives. Shared with the read workers, which may outlive the plugin at process exit.
struct HandleTable {
  std::mutex handlesMutex;
  std::map<int64_t, OpenDriveEntry> handles;
  int64_t nextHandleId = 1;
};

// One "readSectors" call on its way from the worker back to the main thread.
struct AsyncReadContext {
  std::unique_ptr<flutter::MethodResult<EncodableValue>> result;
  std::vector<uint8_t> data;
  std::string errorCode;
  std::string errorMessage;
  bool success = false;
};

// The program's own plugin on "com.ulvenmark/disk_access" and "com.ulvenmark/drive_changes":
// drives, raw sector reads, geometry, disk health and drive-change events.
class DiskAccessPlugin {
 public:
  static void RegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar);
  // Sends a drive-change event ("arrival", "removal", "changed") to the listener, if any.
  static void EmitDriveChange(const std::string& type);

  // `view`, when there is one, is the view whose top-level window receives read completions.
  explicit DiskAccessPlugin(flutter::FlutterView* view);
  virtual ~DiskAccessPlugin();
  DiskAccessPlugin(const DiskAccessPlugin&) = delete;
  DiskAccessPlugin& operator=(const DiskAccessPlugin&) = delete;

  void HandleMethodCall(const flutter::MethodCall<EncodableValue>& call,
                        std::unique_ptr<flutter::MethodResult<EncodableValue>> result);

  std::vector<EncodableMap> EnumerateDrives();
  int64_t OpenDrive(const std::string& driveId, bool readOnly);
  // Runs on a read worker.
  std::vector<uint8_t> ReadSectors(int64_t id, int64_t startSector, int64_t count);
  EncodableMap GetGeometry(int64_t id);
  void CloseDrive(int64_t id);
  EncodableMap GetDiskHealth(const std::string& driveId);

  // Finishes reads: consumes WM_DISK_IO_COMPLETE, passes every other message on.
  std::optional<LRESULT> HandleWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  void SetEventSink(std::unique_ptr<flutter::EventSink<EncodableValue>> sink);
  void ClearEventSink();

 private:
  void StartRead(int64_t id, int64_t startSector, int64_t count,
                 std::unique_ptr<flutter::MethodResult<EncodableValue>> result);
  HWND CompletionWindow() const;

  std::shared_ptr<HandleTable> table_ = std::make_shared<HandleTable>();
  std::unique_ptr<flutter::EventSink<EncodableValue>> eventSink_;
  flutter::FlutterView* view_;
};

// Hands the drive-change stream's sink to the plugin while the user interface listens.
class DriveChangeStreamHandler : public flutter::StreamHandler<EncodableValue> {
 public:
  explicit DriveChangeStreamHandler(DiskAccessPlugin* plugin) : plugin_(plugin) {}

  std::unique_ptr<flutter::StreamHandlerError<EncodableValue>> OnListen(
      const EncodableValue* arguments,
      std::unique_ptr<flutter::EventSink<EncodableValue>>&& events) override;
  std::unique_ptr<flutter::StreamHandlerError<EncodableValue>> OnCancel(
      const EncodableValue* arguments) override;

 private:
  DiskAccessPlugin* plugin_;
};

}  // namespace ul_venmark
