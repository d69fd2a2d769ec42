#include "disk_access_plugin.h"

#include <exception>
#include <stdexcept>
#include <utility>
#include <variant>

#include "disk_health.h"
#include "event_channel.h"
#include "method_channel.h"
#include "plugin_registrar.h"
#include "standard_codec.h"
#include "win32_device_control.h"

namespace ul_venmark {
namespace {

DiskAccessPlugin* currentInstance = nullptr;

// What registrations create, kept for the rest of the process. Members are destroyed in reverse:
// the registrar wrappers first, the plugins (which close every open drive) last.
struct ProcessLists {
  std::vector<std::unique_ptr<DiskAccessPlugin>> plugins;
  std::vector<std::unique_ptr<flutter::MethodChannel<EncodableValue>>> methodChannels;
  std::vector<std::unique_ptr<flutter::EventChannel<EncodableValue>>> eventChannels;
  std::vector<std::unique_ptr<flutter::PluginRegistrarWindows>> registrars;
};

ProcessLists& Lists() {
  static ProcessLists lists;
  return lists;
}

// Argument readers. A wrong type is std::bad_variant_access, whose text the caller answers.
template <typename T>
const T& As(const EncodableValue& value) {
  if (const T* typed = std::get_if<T>(&value)) return *typed;
  throw std::bad_variant_access();
}

// The user interface's codec sends small integers as 32 bits and large ones as 64.
int64_t AsInteger(const EncodableValue& value) {
  if (const auto* small = std::get_if<int32_t>(&value)) return *small;
  return As<int64_t>(value);
}

const EncodableValue* Find(const EncodableMap& map, const char* key) {
  const auto found = map.find(EncodableValue(std::string(key)));
  return found == map.end() ? nullptr : &found->second;
}

const EncodableMap* ArgumentMap(const flutter::MethodCall<EncodableValue>& call) {
  return call.arguments() != nullptr ? std::get_if<EncodableMap>(call.arguments()) : nullptr;
}

}  // namespace

void DiskAccessPlugin::RegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar) {
  auto wrapper = std::make_unique<flutter::PluginRegistrarWindows>(registrar);
  const flutter::StandardMethodCodec* codec = &flutter::StandardMethodCodec::GetInstance();
  auto methodChannel = std::make_unique<flutter::MethodChannel<EncodableValue>>(
      wrapper->messenger(), "com.ulvenmark/disk_access", codec);
  auto plugin = std::make_unique<DiskAccessPlugin>(wrapper->GetView());
  DiskAccessPlugin* raw = plugin.get();
  currentInstance = raw;
  methodChannel->SetMethodCallHandler(
      [raw](const flutter::MethodCall<EncodableValue>& call,
            std::unique_ptr<flutter::MethodResult<EncodableValue>> result) {
        raw->HandleMethodCall(call, std::move(result));
      });
  auto eventChannel = std::make_unique<flutter::EventChannel<EncodableValue>>(
      wrapper->messenger(), "com.ulvenmark/drive_changes", codec);
  eventChannel->SetStreamHandler(std::make_unique<DriveChangeStreamHandler>(raw));
  wrapper->RegisterTopLevelWindowProcDelegate(
      [raw](HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
        return raw->HandleWindowProc(window, message, wparam, lparam);
      });

  ProcessLists& lists = Lists();
  lists.plugins.push_back(std::move(plugin));
  lists.methodChannels.push_back(std::move(methodChannel));
  lists.eventChannels.push_back(std::move(eventChannel));
  lists.registrars.push_back(std::move(wrapper));
}

DiskAccessPlugin::DiskAccessPlugin(flutter::FlutterView* view) : view_(view) {}

DiskAccessPlugin::~DiskAccessPlugin() {
  {
    // Reads still in flight keep their own reference to the device until they finish.
    std::lock_guard lock(table_->handlesMutex);
    table_->handles.clear();
  }
  if (currentInstance == this) currentInstance = nullptr;
  eventSink_.reset();
}

void DiskAccessPlugin::HandleMethodCall(
    const flutter::MethodCall<EncodableValue>& call,
    std::unique_ptr<flutter::MethodResult<EncodableValue>> result) {
  try {
    const std::string& method = call.method_name();
    if (method == "enumerateDrives") {
      flutter::EncodableList drives;
      for (EncodableMap& drive : EnumerateDrives()) drives.emplace_back(std::move(drive));
      result->Success(EncodableValue(std::move(drives)));
    } else if (method == "openDrive") {
      const EncodableMap* args = ArgumentMap(call);
      if (args == nullptr) return result->Error("INVALID_ARGS", "Args must be map");
      const EncodableValue* driveId = Find(*args, "driveId");
      const EncodableValue* readOnly = Find(*args, "readOnly");
      if (driveId == nullptr || readOnly == nullptr) {
        return result->Error("INVALID_ARGS", "Missing arguments");
      }
      const std::string& drive = As<std::string>(*driveId);
      const bool readOnlyAccess = As<bool>(*readOnly);
      result->Success(EncodableValue(OpenDrive(drive, readOnlyAccess)));
    } else if (method == "readSectors") {
      const EncodableMap* args = ArgumentMap(call);
      if (args == nullptr) return result->Error("INVALID_ARGS", "Args must be map");
      const EncodableValue* handle = Find(*args, "handle");
      const EncodableValue* startSector = Find(*args, "startSector");
      const EncodableValue* count = Find(*args, "count");
      if (handle == nullptr || startSector == nullptr || count == nullptr) {
        return result->Error("INVALID_ARGS", "Missing arguments");
      }
      // All three are read before the read takes the result, so a wrong type is still answered
      // here: the order in which a call's arguments are evaluated is not fixed.
      const int64_t id = AsInteger(*handle);
      const int64_t start = AsInteger(*startSector);
      const int64_t sectors = AsInteger(*count);
      StartRead(id, start, sectors, std::move(result));
    } else if (method == "getDriveGeometry" || method == "closeDrive") {
      const EncodableMap* args = ArgumentMap(call);
      if (args == nullptr) return result->Error("INVALID_ARGS", "Args must be map");
      const EncodableValue* handle = Find(*args, "handle");
      if (handle == nullptr) return result->Error("INVALID_ARGS", "Missing arguments");
      const int64_t id = AsInteger(*handle);
      if (method == "closeDrive") {
        CloseDrive(id);
        return result->Success();
      }
      try {
        result->Success(EncodableValue(GetGeometry(id)));
      } catch (const std::exception& e) {
        result->Error("GEO_ERROR", e.what());
      }
    } else if (method == "hasElevatedPrivileges") {
      result->Success(EncodableValue(true));
    } else if (method == "requestElevatedPrivileges") {
      result->Success(EncodableValue(false));
    } else if (method == "getDiskHealth") {
      const EncodableMap* args = ArgumentMap(call);
      if (args == nullptr) return result->Error("INVALID_ARGS", "Args must be map");
      const EncodableValue* driveId = Find(*args, "driveId");
      if (driveId == nullptr) return result->Error("INVALID_ARGS", "Missing driveId");
      const std::string id = As<std::string>(*driveId);
      result->Success(EncodableValue(GetDiskHealth(id)));
    } else {
      result->NotImplemented();
    }
  } catch (const std::exception& e) {
    // Once a read has taken the result, the read answers it.
    if (result) result->Error("EXCEPTION", e.what());
  }
}

void DiskAccessPlugin::SetEventSink(std::unique_ptr<flutter::EventSink<EncodableValue>> sink) {
  eventSink_ = std::move(sink);
}

void DiskAccessPlugin::ClearEventSink() {
  eventSink_.reset();
}

void DiskAccessPlugin::EmitDriveChange(const std::string& type) {
  if (currentInstance == nullptr || !currentInstance->eventSink_) return;
  EncodableMap event;
  event[EncodableValue(std::string("type"))] = EncodableValue(type);
  event[EncodableValue(std::string("timestamp"))] =
      EncodableValue(static_cast<int64_t>(GetTickCount64()));
  currentInstance->eventSink_->Success(EncodableValue(std::move(event)));
}

std::unique_ptr<flutter::StreamHandlerError<EncodableValue>> DriveChangeStreamHandler::OnListen(
    const EncodableValue*, std::unique_ptr<flutter::EventSink<EncodableValue>>&& events) {
  plugin_->SetEventSink(std::move(events));
  return nullptr;
}

std::unique_ptr<flutter::StreamHandlerError<EncodableValue>> DriveChangeStreamHandler::OnCancel(
    const EncodableValue*) {
  plugin_->ClearEventSink();
  return nullptr;
}

}  // namespace ul_venmark

namespace ul_venmark {

EncodableMap DiskAccessPlugin::GetDiskHealth(const std::string& driveId) {
  Win32DeviceControl device;
  return ul_venmark::GetDiskHealth(driveId, device);
}

}  // namespace ul_venmark
