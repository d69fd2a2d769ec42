// Volume handles, geometry and sector reads. Reads run on a worker of their own and are answered
// on the main thread, through the plugin's top-level window.
#include <algorithm>
#include <exception>
#include <limits>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include "common/aligned_buffer.h"
#include "common/byte_fields.h"
#include "disk_access_plugin.h"

namespace ul_venmark {
namespace {

using quarvelin::AlignedBuffer;
using quarvelin::ReadLe32;
using quarvelin::ReadLe64;

constexpr DWORD kGeometryEx = 0x700A0;
constexpr DWORD kGeometry = 0x70000;
constexpr DWORD kLengthInfo = 0x7405C;

// Reads handed to a worker and not yet answered. The completion message carries only an address;
// it is trusted only when it names one of these.
std::mutex inFlightMutex;
std::set<AsyncReadContext*> inFlight;

bool Control(HANDLE handle, DWORD code, uint8_t* out, DWORD outSize) {
  DWORD returned = 0;
  return DeviceIoControl(handle, code, nullptr, 0, out, outSize, &returned, nullptr) != 0;
}

OpenDriveEntry Lookup(HandleTable& table, int64_t id) {
  std::lock_guard lock(table.handlesMutex);
  const auto found = table.handles.find(id);
  if (found == table.handles.end()) throw std::runtime_error("Invalid handle");
  return found->second;
}

void Answer(AsyncReadContext& context) {
  if (!context.success) {
    context.result->Error(context.errorCode, context.errorMessage);
    return;
  }
  flutter::EncodableList bytes;
  bytes.reserve(context.data.size());
  for (uint8_t byte : context.data) bytes.emplace_back(static_cast<int32_t>(byte));
  context.result->Success(EncodableValue(std::move(bytes)));
}

std::vector<uint8_t> ReadFromTable(HandleTable& table, int64_t id, int64_t startSector,
                                   int64_t count) {
  const OpenDriveEntry entry = Lookup(table, id);
  if (startSector < 0 || count < 0) {
    throw std::runtime_error("Invalid sector range: start sector and count must not be negative");
  }
  const int64_t bytesPerSector = entry.bytesPerSector;
  if (count > kMaxReadBytes / bytesPerSector) {
    throw std::runtime_error("Read too large: at most 4 MiB can be read at once");
  }
  if (startSector > std::numeric_limits<int64_t>::max() / bytesPerSector) {
    throw std::runtime_error("Seek failed");
  }
  const int64_t offset = startSector * bytesPerSector;
  const auto length = static_cast<DWORD>(count * bytesPerSector);

  // Each read names its own offset, so reads in flight on one handle never share a file position.
  AlignedBuffer buffer(length, entry.bytesPerSector);
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
  position.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  DWORD read = 0;
  if (length != 0 && !ReadFile(entry.handle->get(), buffer.data(), length, &read, &position)) {
    // At the end of the device a positioned read reports end of file: nothing was delivered.
    if (GetLastError() != ERROR_HANDLE_EOF) throw std::runtime_error("Read failed");
    read = 0;
  }
  return std::vector<uint8_t>(buffer.data(), buffer.data() + std::min<DWORD>(read, length));
}

}  // namespace

int64_t DiskAccessPlugin::OpenDrive(const std::string& driveId, bool readOnly) {
  std::string path = "\\\\.\\";
  path += driveId.substr(0, 2);
  const DWORD access = readOnly ? GENERIC_READ : (GENERIC_READ | GENERIC_WRITE);
  DriveHandle device(CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_NO_BUFFERING | FILE_FLAG_RANDOM_ACCESS,
                                 nullptr));
  if (!device) throw std::runtime_error("Failed to open drive");

  uint32_t bytesPerSector = 512;
  uint8_t geometry[40] = {};
  // A device that reports 0 bytes per sector keeps the default: every read would be empty.
  if (Control(device.get(), kGeometryEx, geometry, sizeof geometry) &&
      ReadLe32(geometry, 20).value_or(0) != 0) {
    bytesPerSector = ReadLe32(geometry, 20).value_or(0);
  }

  auto shared = std::make_shared<DriveHandle>(std::move(device));
  std::lock_guard lock(table_->handlesMutex);
  const int64_t id = table_->nextHandleId++;
  table_->handles[id] = OpenDriveEntry{std::move(shared), bytesPerSector};
  return id;
}

std::vector<uint8_t> DiskAccessPlugin::ReadSectors(int64_t id, int64_t startSector, int64_t count) {
  return ReadFromTable(*table_, id, startSector, count);
}

EncodableMap DiskAccessPlugin::GetGeometry(int64_t id) {
  const OpenDriveEntry entry = Lookup(*table_, id);
  HANDLE handle = entry.handle->get();
  uint8_t geometry[40] = {};
  int64_t diskSize = 0;
  if (Control(handle, kGeometryEx, geometry, 40)) {
    diskSize = static_cast<int64_t>(ReadLe64(geometry, 24).value_or(0));
  } else if (!Control(handle, kGeometry, geometry, 24)) {
    throw std::runtime_error("GetGeometry failed");
  }
  const uint32_t bytesPerSector = ReadLe32(geometry, 20).value_or(0);
  if (bytesPerSector == 0) throw std::runtime_error("GetGeometry failed");
  uint8_t length[8] = {};
  const int64_t size = Control(handle, kLengthInfo, length, 8)
                           ? static_cast<int64_t>(ReadLe64(length, 0).value_or(0))
                           : diskSize;

  EncodableMap map;
  map[EncodableValue(std::string("totalSectors"))] =
      EncodableValue(static_cast<int64_t>(size / static_cast<int64_t>(bytesPerSector)));
  map[EncodableValue(std::string("bytesPerSector"))] =
      EncodableValue(static_cast<int64_t>(bytesPerSector));
  return map;
}

void DiskAccessPlugin::CloseDrive(int64_t id) {
  std::lock_guard lock(table_->handlesMutex);
  table_->handles.erase(id);  // the device closes once no read uses it any more
}

HWND DiskAccessPlugin::CompletionWindow() const {
  // The top-level window that holds the view sees the registrar's delegates; whichever window
  // happens to be active may not.
  if (view_ != nullptr) {
    if (HWND root = GetAncestor(view_->GetNativeWindow(), GA_ROOT)) return root;
  }
  return GetActiveWindow();
}

void DiskAccessPlugin::StartRead(int64_t id, int64_t startSector, int64_t count,
                                 std::unique_ptr<flutter::MethodResult<EncodableValue>> result) {
  auto context = std::make_unique<AsyncReadContext>();
  context->result = std::move(result);
  const HWND window = CompletionWindow();
  {
    std::lock_guard lock(inFlightMutex);
    inFlight.insert(context.get());
  }
  AsyncReadContext* raw = context.get();
  try {
    // The worker holds the table, not the plugin: at process exit it may outlive the plugin.
    std::thread([table = table_, window, id, startSector, count, raw] {
      try {
        raw->data = ReadFromTable(*table, id, startSector, count);
        raw->success = true;
      } catch (const std::exception& e) {
        raw->success = false;
        raw->errorCode = "READ_ERROR";
        raw->errorMessage = e.what();
      }
      if (PostMessageW(window, WM_DISK_IO_COMPLETE, 0, reinterpret_cast<LPARAM>(raw))) return;
      OutputDebugStringA("Failed to post WM_DISK_IO_COMPLETE");
      // No window will finish this read: answer it here (replies are safe from any thread), so
      // the user interface does not wait forever and nothing leaks.
      {
        std::lock_guard lock(inFlightMutex);
        inFlight.erase(raw);
      }
      const std::unique_ptr<AsyncReadContext> owned(raw);
      try {
        Answer(*owned);
      } catch (...) {
      }
    }).detach();
    context.release();  // the worker's now, then the message queue's
  } catch (const std::exception& e) {
    std::lock_guard lock(inFlightMutex);
    inFlight.erase(raw);
    context->result->Error("READ_ERROR", std::string("Failed to start read: ") + e.what());
  }
}

std::optional<LRESULT> DiskAccessPlugin::HandleWindowProc(HWND, UINT message, WPARAM,
                                                          LPARAM lparam) {
  if (message != WM_DISK_IO_COMPLETE) return std::nullopt;
  auto* raw = reinterpret_cast<AsyncReadContext*>(lparam);
  {
    std::lock_guard lock(inFlightMutex);
    if (inFlight.erase(raw) == 0) return std::nullopt;  // not one of ours
  }
  const std::unique_ptr<AsyncReadContext> context(raw);
  Answer(*context);
  return 0;
}

}  // namespace ul_venmark
