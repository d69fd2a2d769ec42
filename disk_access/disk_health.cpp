#include "disk_health.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>
#include <vector>

#include "common/byte_fields.h"
#include "common/scope_guard.h"

namespace ul_venmark {
namespace {

using Buffer = std::vector<uint8_t>;
using quarvelin::ReadLe16;
using quarvelin::ReadLe32;
using quarvelin::ReadLe48;
using quarvelin::ReadLe64;
using quarvelin::WriteLe32;

// "\\.\": the device namespace.
constexpr char kDevicePrefix[] = "\\\\.\\";

// Buffer sizes of the requests, fixed by the platform's record layouts.
constexpr size_t kExtentsOutputSize = 32;  // the extent count and exactly one extent
constexpr size_t kPropertyQuerySize = 12;
constexpr size_t kDeviceDescriptorSize = 1024;
constexpr size_t kNvmeQuerySize = 48;  // property query header + protocol-specific data record
constexpr size_t kNvmeOutputSize = 560;
constexpr size_t kSmartVersionSize = 24;
constexpr size_t kSmartCommandSize = 33;
constexpr size_t kSmartOutputSize = 528;
constexpr size_t kPredictionSize = 516;

// Storage property query.
constexpr uint32_t kStorageDeviceProperty = 0;
constexpr uint32_t kStorageDeviceProtocolSpecificProperty = 50;
constexpr uint32_t kPropertyStandardQuery = 0;
constexpr size_t kBusTypeOffset = 28;  // in the device descriptor
constexpr uint32_t kBusTypeNvme = 17;

// Protocol-specific data record, as sent and as returned after the 8-byte descriptor header.
constexpr uint32_t kProtocolTypeNvme = 3;
constexpr uint32_t kNvmeDataTypeLogPage = 2;
constexpr uint32_t kNvmeLogHealthInformation = 2;
constexpr uint32_t kProtocolSpecificDataSize = 40;
constexpr uint32_t kNvmeLogPageSize = 512;
constexpr size_t kDescriptorHeaderSize = 8;
constexpr size_t kDescriptorDataOffset = 24;
constexpr size_t kDescriptorDataLength = 28;

// ATA SMART.
constexpr uint32_t kSmartDataSize = 512;
constexpr size_t kSmartDeviceMapOffset = 3;  // in the version record
constexpr size_t kSmartOutputHeaderSize = 16;
constexpr size_t kSmartFirstAttribute = 2;  // in the data block
constexpr size_t kSmartAttributeCount = 30;
constexpr size_t kSmartAttributeSize = 12;
constexpr size_t kSmartRawOffset = 5;  // in an attribute entry
constexpr uint8_t kAttrReallocated = 5;
constexpr uint8_t kAttrPowerOnHours = 9;
constexpr uint8_t kAttrAirflowTemperature = 190;
constexpr uint8_t kAttrTemperature = 194;
constexpr uint8_t kAttrPending = 197;
constexpr uint8_t kAttrUncorrectable = 198;

struct Reply {
  bool ok;
  uint32_t bytes;  // output bytes the device wrote
  uint32_t error;  // system error code of a failed request, 0 otherwise
};

// One control request into `out`, which the caller has zero-filled at its full size.
Reply Send(DeviceControl& device, DeviceHandle handle, uint32_t code, const Buffer& in,
           Buffer& out) {
  uint32_t returned = 0;
  const bool ok = device.Control(handle, code, in.empty() ? nullptr : in.data(), in.size(),
                                 out.data(), out.size(), &returned);
  return {ok, ok ? returned : 0, ok ? 0 : device.LastError()};
}

unsigned long Ul(uint32_t value) {
  return static_cast<unsigned long>(value);
}

void Set(flutter::EncodableMap& map, const char* key, flutter::EncodableValue value) {
  map[flutter::EncodableValue(std::string(key))] = std::move(value);
}

void SetText(flutter::EncodableMap& map, const char* key, std::string text) {
  Set(map, key, flutter::EncodableValue(std::move(text)));
}

void SetInt(flutter::EncodableMap& map, const char* key, int32_t value) {
  Set(map, key, flutter::EncodableValue(value));
}

bool IsNvme(DeviceControl& device, DeviceHandle disk) {
  Buffer query(kPropertyQuerySize, 0);
  WriteLe32(query, 0, kStorageDeviceProperty);
  WriteLe32(query, 4, kPropertyStandardQuery);
  Buffer descriptor(kDeviceDescriptorSize, 0);
  if (!Send(device, disk, kIoctlStorageQueryProperty, query, descriptor).ok) return false;
  const uint32_t busType = ReadLe32(descriptor, kBusTypeOffset).value_or(0);
  std::printf("DEBUG: BusType: %d\n", static_cast<int>(busType));
  return busType == kBusTypeNvme;
}

// The NVMe SMART / health information log page (log 02h) through the protocol-specific property.
bool ReadNvmeHealth(DeviceControl& device, DeviceHandle disk, flutter::EncodableMap& result) {
  std::printf("DEBUG: Attempting NVMe Health via STORAGE_QUERY_PROPERTY...\n");
  Buffer query(kNvmeQuerySize, 0);
  WriteLe32(query, 0, kStorageDeviceProtocolSpecificProperty);
  WriteLe32(query, 4, kPropertyStandardQuery);
  WriteLe32(query, 8, kProtocolTypeNvme);
  WriteLe32(query, 12, kNvmeDataTypeLogPage);
  WriteLe32(query, 16, kNvmeLogHealthInformation);
  WriteLe32(query, 20, 0);  // request sub-value
  WriteLe32(query, 24, kProtocolSpecificDataSize);
  WriteLe32(query, 28, kNvmeLogPageSize);
  // Bytes 32 to 47 (fixed return data, sub-values 2 to 4) stay 0.
  Buffer out(kNvmeOutputSize, 0);
  std::printf("DEBUG: NVMe Query - InputSize: %lu, OutputSize: %lu\n",
              static_cast<unsigned long>(query.size()), static_cast<unsigned long>(out.size()));

  const Reply reply = Send(device, disk, kIoctlStorageQueryProperty, query, out);
  if (!reply.ok) {
    std::printf("DEBUG: NVMe STORAGE_QUERY_PROPERTY Failed. Err: %lu\n", Ul(reply.error));
    return false;
  }
  const uint32_t dataOffset = ReadLe32(out, kDescriptorDataOffset).value_or(0);
  const uint32_t dataLength = ReadLe32(out, kDescriptorDataLength).value_or(0);
  std::printf("DEBUG: NVMe STORAGE_QUERY_PROPERTY Success! Bytes: %lu\n", Ul(reply.bytes));
  std::printf("DEBUG: Descriptor Version: %lu, Size: %lu, DataLength: %lu, DataOffset: %lu\n",
              Ul(ReadLe32(out, 0).value_or(0)), Ul(ReadLe32(out, 4).value_or(0)), Ul(dataLength),
              Ul(dataOffset));
  if (reply.bytes < kNvmeQuerySize || dataLength < kNvmeLogPageSize) {
    std::printf(
        "DEBUG: NVMe output data insufficient: %lu bytes, expected >= %zu, data length: %lu\n",
        Ul(reply.bytes), kNvmeQuerySize, Ul(dataLength));
    return false;
  }
  // The offset counts from the protocol-specific data record; the page must lie in what the
  // driver returned, or zeros would read as a cool, unworn drive.
  const uint64_t pageStart = kDescriptorHeaderSize + uint64_t{dataOffset};
  if (pageStart + kNvmeLogPageSize > std::min<uint64_t>(reply.bytes, out.size())) {
    std::printf("DEBUG: NVMe log page outside the output: offset %lu, output size: %lu\n",
                Ul(dataOffset), Ul(reply.bytes));
    return false;
  }
  const auto page = static_cast<size_t>(pageStart);

  const auto kelvin = static_cast<int32_t>(ReadLe16(out, page + 1).value_or(0));
  const int32_t temperature = std::min(kelvin >= 273 ? kelvin - 273 : 0, 100);
  const int32_t used = out[page + 5];
  const int32_t health = std::clamp(100 - used, 0, 100);
  const uint64_t hours = ReadLe64(out, page + 128).value_or(0);
  std::printf("DEBUG: NVMe Health - Temp: %d C, Used: %d%%, Hours: %llu\n", temperature, used,
              static_cast<unsigned long long>(hours));

  SetInt(result, "temperature", temperature);
  SetInt(result, "health", health);
  SetText(result, "life", health > 90 ? "Good" : (health > 50 ? "Fair" : "Critical"));
  SetText(result, "hours", std::to_string(hours));
  SetInt(result, "badSectors", 0);
  SetText(result, "source", "NVMe-Health");
  return true;
}

// SMART READ DATA through the legacy SMART interface.
bool ReadAtaSmart(DeviceControl& device, DeviceHandle disk, flutter::EncodableMap& result) {
  std::printf("DEBUG: Attempting ATA SMART...\n");
  Buffer version(kSmartVersionSize, 0);
  if (!Send(device, disk, kSmartGetVersion, {}, version).ok) return false;
  const uint8_t deviceMap = version[kSmartDeviceMapOffset];

  Buffer command(kSmartCommandSize, 0);
  WriteLe32(command, 0, kSmartDataSize);
  // The IDE registers: features (SMART READ DATA), sector count, sector number, cylinder low and
  // high, drive/head, command (SMART), reserved.
  const uint8_t registers[] = {
      0xD0, 1, 1, 0x4F, 0xC2, static_cast<uint8_t>((deviceMap & 0x10) | 0xA0), 0xB0, 0};
  std::copy(std::begin(registers), std::end(registers), command.begin() + 4);
  // Drive number, reserved fields and the one buffer byte stay 0.
  Buffer out(kSmartOutputSize, 0);
  if (!Send(device, disk, kSmartRcvDriveData, command, out).ok) return false;

  uint32_t reallocated = 0;
  uint32_t hours = 0;
  uint32_t pending = 0;
  uint32_t uncorrectable = 0;
  uint8_t temperature = 0;
  for (size_t i = 0; i < kSmartAttributeCount; ++i) {
    const size_t entry = kSmartOutputHeaderSize + kSmartFirstAttribute + i * kSmartAttributeSize;
    const uint8_t id = out[entry];
    if (id == 0) continue;
    const uint64_t raw = ReadLe48(out, entry + kSmartRawOffset).value_or(0);
    const auto low = static_cast<uint32_t>(raw);
    switch (id) {
      case kAttrReallocated:
        reallocated = low;
        break;
      case kAttrPowerOnHours:
        hours = low;
        break;
      case kAttrTemperature:
      case kAttrAirflowTemperature:
        temperature = static_cast<uint8_t>(raw);
        break;
      case kAttrPending:
        pending = low;
        break;
      case kAttrUncorrectable:
        uncorrectable = low;
        break;
      default:
        break;
    }
  }

  // Counts are judged as signed 32-bit values.
  int32_t health = static_cast<int32_t>(reallocated) > 0 ? 90 : 100;
  if (static_cast<int32_t>(pending) > 0) health -= 10;
  if (static_cast<int32_t>(uncorrectable) > 0) health -= 20;
  if (temperature > 60) health -= 10;

  SetInt(result, "temperature", temperature);
  SetInt(result, "health", health);
  SetText(result, "life", health > 80 ? "Good" : "Fair");
  SetText(result, "hours", std::to_string(static_cast<int32_t>(hours)));
  SetInt(result, "badSectors", static_cast<int32_t>(pending + reallocated));
  SetText(result, "source", "ATA-SMART");
  return true;
}

void ReadFailurePrediction(DeviceControl& device, DeviceHandle disk, bool nvme,
                           flutter::EncodableMap& result) {
  std::printf("DEBUG: Attempting Failure Prediction...\n");
  Buffer prediction(kPredictionSize, 0);
  const Reply reply = Send(device, disk, kIoctlStoragePredictFailure, {}, prediction);
  if (reply.ok) {
    const bool failing = ReadLe32(prediction, 0).value_or(0) != 0;
    SetInt(result, "health", failing ? 10 : 100);
    SetText(result, "life", failing ? "Failing" : "Good");
    SetText(result, "source", "Win-Predict");
    return;
  }
  std::printf("DEBUG: Predict Failure Failed: Err %lu\n", Ul(reply.error));
  SetInt(result, "health", 100);
  SetText(result, "life", nvme ? "NVMe Drive" : "Unknown");
  SetText(result, "source", "NoAdmin");
  SetText(result, "message", "Run as Administrator for detailed health info");
  std::printf(
      "DEBUG: All health queries failed. Admin rights required for SMART/NVMe health data.\n");
}

}  // namespace

std::string GetPhysicalDrivePath(const std::string& driveId, DeviceControl& device) {
  if (driveId.empty()) return "";
  if (driveId.starts_with(kDevicePrefix)) return driveId;

  std::string volume = driveId;
  if (volume.back() == '\\') volume.pop_back();
  const std::string volumePath = kDevicePrefix + volume;
  const std::optional<DeviceHandle> handle = device.Open(volumePath, 0);
  if (!handle) {
    std::printf("DEBUG: GetPhysicalDrivePath: Failed to open vol %s. Err: %lu\n",
                volumePath.c_str(), Ul(device.LastError()));
    return "";
  }

  Buffer extents(kExtentsOutputSize, 0);
  Reply reply{};
  {
    const quarvelin::ScopeExit close([&] { device.Close(*handle); });
    reply = Send(device, *handle, kIoctlVolumeGetVolumeDiskExtents, {}, extents);
  }
  if (!reply.ok || ReadLe32(extents, 0).value_or(0) == 0) {
    std::printf("DEBUG: GetPhysicalDrivePath: Failed extents query. Err: %lu\n", Ul(reply.error));
    return "";
  }
  return std::string(kDevicePrefix) + "PhysicalDrive" +
         std::to_string(ReadLe32(extents, 8).value_or(0));
}

flutter::EncodableMap GetDiskHealth(const std::string& driveId, DeviceControl& device) {
  std::printf("DEBUG: GetDiskHealth for %s\n", driveId.c_str());
  flutter::EncodableMap result;
  SetInt(result, "temperature", 0);
  SetInt(result, "health", 100);
  SetText(result, "life", "Unknown");
  SetText(result, "hours", "0");
  SetInt(result, "badSectors", 0);
  SetText(result, "source", "Native-Init");

  std::string path = GetPhysicalDrivePath(driveId, device);
  if (path.empty()) {
    if (driveId.find("PhysicalDrive") == std::string::npos) {
      SetText(result, "source", "PathResolutionFailed");
      return result;
    }
    path = driveId;
  }

  // The strongest access the caller's rights allow; SMART commands need read and write access,
  // while weaker handles still answer the property and prediction queries.
  constexpr uint32_t kAccessLevels[] = {kGenericRead | kGenericWrite, kGenericRead, 0};
  std::optional<DeviceHandle> handle;
  uint32_t access = 0;
  uint32_t error = 0;
  for (const uint32_t level : kAccessLevels) {
    handle = device.Open(path, level);
    if (handle) {
      access = level;
      break;
    }
    error = device.LastError();
  }
  if (!handle) {
    std::printf("DEBUG: Failed to open %s with any access level. Err: %lu\n", path.c_str(),
                Ul(error));
    SetText(result, "source", "AccessDenied: " + std::to_string(error));
    return result;
  }
  const DeviceHandle disk = *handle;
  const quarvelin::ScopeExit close([&] { device.Close(disk); });
  std::printf("DEBUG: Opened %s with access level: 0x%lx\n", path.c_str(), Ul(access));

  const bool nvme = IsNvme(device, disk);
  if (nvme && ReadNvmeHealth(device, disk, result)) return result;
  if (ReadAtaSmart(device, disk, result)) return result;
  ReadFailurePrediction(device, disk, nvme, result);
  return result;
}

}  // namespace ul_venmark
