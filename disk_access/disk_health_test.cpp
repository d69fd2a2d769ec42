#include "disk_health.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace ul_venmark {
namespace {

using Bytes = std::vector<uint8_t>;
using Key = std::pair<uint32_t, size_t>;  // control code, input size
using Opens = std::vector<std::pair<std::string, uint32_t>>;

const Key kExtents{kIoctlVolumeGetVolumeDiskExtents, 0}, kBusQuery{kIoctlStorageQueryProperty, 12},
    kNvmeQuery{kIoctlStorageQueryProperty, 48}, kVersion{kSmartGetVersion, 0},
    kSmart{kSmartRcvDriveData, 33}, kPredict{kIoctlStoragePredictFailure, 0};
constexpr uint32_t kReadWrite = kGenericRead | kGenericWrite;

Bytes Put(Bytes bytes, size_t offset, uint64_t value, size_t width = 4) {
  for (size_t i = 0; i < width; ++i) bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

Bytes Head(Bytes bytes, size_t size) {
  bytes.resize(size);
  return bytes;
}

struct Answer {
  bool ok;
  Bytes out;  // all of it is returned
  uint32_t error;
};
Answer Ok(Bytes out) {
  return {true, std::move(out), 0};
}
Answer Fails(uint32_t error) {
  return {false, {}, error};
}

// A device stack answering recorded buffers per request and recording what it is asked. Requests
// without a recorded answer fail with error 1.
class FakeDevice final : public DeviceControl {
 public:
  std::map<std::string, std::set<uint32_t>> openable;  // path -> access levels granted
  uint32_t openError = 2;
  std::map<Key, Answer> answers;
  Opens opens;
  std::vector<uint32_t> codes;
  std::map<Key, Bytes> inputs;

  ~FakeDevice() override { EXPECT_TRUE(live_.empty()) << "a handle was left open"; }

  std::optional<DeviceHandle> Open(const std::string& path, uint32_t access) override {
    opens.emplace_back(path, access);
    error_ = openError;
    if (openable.count(path) == 0 || openable[path].count(access) == 0) return std::nullopt;
    return *live_.insert(++last_).first;
  }
  bool Control(DeviceHandle handle, uint32_t code, const void* in, size_t inSize, void* out,
               size_t outSize, uint32_t* bytesReturned) override {
    EXPECT_EQ(live_.count(handle), 1u);
    codes.push_back(code);
    const auto* first = static_cast<const uint8_t*>(in);
    inputs[{code, inSize}] = Bytes(first, first + inSize);
    const auto found = answers.find({code, inSize});
    const Answer answer = found == answers.end() ? Fails(1) : found->second;
    error_ = answer.error;
    EXPECT_LE(answer.out.size(), outSize);
    std::copy_n(answer.out.begin(), std::min(answer.out.size(), outSize),
                static_cast<uint8_t*>(out));
    *bytesReturned = static_cast<uint32_t>(answer.out.size());
    return answer.ok;
  }
  uint32_t LastError() override { return error_; }
  void Close(DeviceHandle handle) override { EXPECT_EQ(live_.erase(handle), 1u); }

 private:
  std::set<DeviceHandle> live_;
  DeviceHandle last_ = 100;
  uint32_t error_ = 0;
};

// The protocol data descriptor with an NVMe health log page behind it, as the driver fills it.
Bytes NvmeLog(uint16_t kelvin, uint8_t used, uint64_t hours, uint32_t offset = 40,
              uint32_t length = 512) {
  Bytes out(560, 0);
  const uint32_t header[] = {48, 48, 3, 2, 2, 0, offset, length};
  for (size_t i = 0; i < 8; ++i) out = Put(out, 4 * i, header[i]);
  return Put(Put(Put(out, 48 + 1, kelvin, 2), 48 + 5, used, 1), 48 + 128, hours, 8);
}

// SMART data behind the 16-byte output header: 12-byte attribute entries from block offset 2.
Answer SmartData(const std::vector<std::pair<uint8_t, uint64_t>>& attributes) {
  Bytes out = Put(Bytes(528, 0), 0, 512);
  for (size_t i = 0; i < attributes.size(); ++i) {
    const size_t entry = 18 + 12 * i;
    // Id, flags, current and worst value, then the raw value.
    out = Put(out, entry, attributes[i].first | uint64_t{0x6464003200}, 5);
    out = Put(out, entry + 5, attributes[i].second, 6);
  }
  return Ok(out);
}
Answer SmartVersion(uint8_t deviceMap) {
  return Ok(Put(Bytes(24, 0), 3, deviceMap, 1));
}

// Volume C: on disk 1, which opens at any access level and has the given bus type.
FakeDevice VolumeOnDisk(uint32_t busType) {
  FakeDevice device;
  device.openable = {{"\\\\.\\C:", {0}}, {"\\\\.\\PhysicalDrive1", {kReadWrite, kGenericRead, 0}}};
  device.answers[kExtents] = Ok(Put(Put(Bytes(32, 0), 0, 1), 8, 1));
  device.answers[kBusQuery] = Ok(Put(Bytes(1024, 0), 28, busType));
  return device;
}

// "temperature health life hours badSectors source[ / message]"; a missing key or a value of
// another type throws.
struct Outcome {
  std::string map;
  std::string debug;
};
Outcome Health(const std::string& driveId, FakeDevice& device) {
  testing::internal::CaptureStdout();
  const flutter::EncodableMap map = GetDiskHealth(driveId, device);
  Outcome outcome{"", testing::internal::GetCapturedStdout()};
  auto text = [&map](const char* key) { return std::get<std::string>(map.at(key)); };
  auto number = [&map](const char* key) { return std::to_string(std::get<int32_t>(map.at(key))); };
  outcome.map = number("temperature") + " " + number("health") + " " + text("life") + " " +
                text("hours") + " " + number("badSectors") + " " + text("source");
  if (map.size() > 6) outcome.map += " / " + text("message");
  return outcome;
}

TEST(DiskHealth, SataDiskAnswersSmartData) {
  const struct {
    uint8_t deviceMap;
    std::vector<std::pair<uint8_t, uint64_t>> attributes;
    std::string expected;
  } cases[] = {
      {0x13, {{1, 0}, {5, 3}, {9, 1234}, {194, 0x003C0014002D}}, "45 90 Good 1234 3 ATA-SMART"},
      {1, {{5, 3}, {197, 2}, {194, 45}}, "45 80 Fair 0 5 ATA-SMART"},
      {1, {{198, 4}, {190, 61}, {9, 0xFFFF00000010}}, "61 70 Fair 16 0 ATA-SMART"},
      {1, {{5, 9}, {5, 1}, {197, 1}, {198, 1}, {194, 70}}, "70 50 Fair 0 2 ATA-SMART"},
  };
  for (const auto& c : cases) {
    FakeDevice device = VolumeOnDisk(11);
    device.answers[kVersion] = SmartVersion(c.deviceMap);
    device.answers[kSmart] = SmartData(c.attributes);
    EXPECT_EQ(Health("C:\\", device).map, c.expected);
    EXPECT_EQ(device.codes, (std::vector<uint32_t>{kExtents.first, kBusQuery.first, kVersion.first,
                                                   kSmart.first}));
    EXPECT_EQ(device.inputs[kBusQuery], Bytes(12, 0));
    // SMART READ DATA; drive/head takes only the ATA bit of the device map. The rest stays zero.
    Bytes command{0x00, 0x02, 0, 0, 0xD0, 0x01, 0x01, 0x4F, 0xC2, 0xB0, 0xB0};
    command[9] = (c.deviceMap & 0x10) != 0 ? 0xB0 : 0xA0;
    command.resize(33);
    EXPECT_EQ(device.inputs[kSmart], command) << c.expected;
  }
}

TEST(DiskHealth, NvmeHealthLog) {
  const std::vector<std::pair<Bytes, std::string>> cases{
      {NvmeLog(318, 5, 7), "45 95 Good 7 0 NVMe-Health"},
      {NvmeLog(300, 60, 7), "27 40 Critical 7 0 NVMe-Health"},
      {NvmeLog(0, 101, 0), "0 0 Critical 0 0 NVMe-Health"},
      {NvmeLog(400, 255, 7), "100 0 Critical 7 0 NVMe-Health"},
  };
  for (const auto& [log, expected] : cases) {
    FakeDevice device = VolumeOnDisk(17);
    device.answers[kNvmeQuery] = Ok(log);
    EXPECT_EQ(Health("C:\\", device).map, expected);
  }

  // A device path is used as it is.
  FakeDevice device = VolumeOnDisk(17);
  device.answers[kNvmeQuery] = Ok(NvmeLog(318, 12, 1099511627781));
  const Outcome run = Health("\\\\.\\PhysicalDrive1", device);
  EXPECT_EQ(run.map, "45 88 Fair 1099511627781 0 NVMe-Health");
  EXPECT_NE(run.debug.find("DEBUG: Opened \\\\.\\PhysicalDrive1 with access level: 0xc0000000\n"),
            std::string::npos);
  EXPECT_NE(run.debug.find("DEBUG: NVMe Health - Temp: 45 C, Used: 12%, Hours: 1099511627781\n"),
            std::string::npos);
  EXPECT_EQ(device.opens.size(), 1u);
  Bytes query(48, 0);
  const uint32_t fields[] = {50, 0, 3, 2, 2, 0, 40, 512};
  for (size_t i = 0; i < 8; ++i) query = Put(query, 4 * i, fields[i]);
  EXPECT_EQ(device.inputs[kNvmeQuery], query);
}

TEST(DiskHealth, EachFailingSourceFallsThroughToTheNext) {
  const std::vector<std::pair<Answer, std::string>> unusableNvme{
      {Fails(50), "STORAGE_QUERY_PROPERTY Failed. Err: 50"},
      {Ok(Head(NvmeLog(318, 12, 1), 40)),
       "insufficient: 40 bytes, expected >= 48, data length: 512"},
      {Ok(NvmeLog(318, 12, 1, 40, 511)),
       "insufficient: 560 bytes, expected >= 48, data length: 511"},
      {Ok(NvmeLog(318, 12, 1, 41)), "log page outside the output: offset 41, output size: 560"},
      {Ok(Head(NvmeLog(318, 12, 1), 100)), "outside the output: offset 40, output size: 100"},
      {Ok(NvmeLog(318, 12, 1, 0xFFFFFFF8u)), "outside the output: offset 4294967288"},
  };
  for (const auto& [nvme, why] : unusableNvme) {
    FakeDevice device = VolumeOnDisk(17);
    device.answers[kNvmeQuery] = nvme;
    device.answers[kVersion] = SmartVersion(1);
    device.answers[kSmart] = SmartData({{194, 30}});
    const Outcome run = Health("C:\\", device);
    EXPECT_EQ(run.map, "30 100 Good 0 0 ATA-SMART");
    EXPECT_NE(run.debug.find(why), std::string::npos) << run.debug;
  }
  // Without SMART version or SMART data, the failure prediction answers, flag clear or set.
  for (const bool version : {false, true}) {
    for (const uint32_t flag : {0u, 1u}) {
      FakeDevice device = VolumeOnDisk(11);
      if (version) device.answers[kVersion] = SmartVersion(1);
      device.answers[kPredict] = Ok(Put(Bytes(516, 0xEE), 0, flag));
      EXPECT_EQ(Health("C:\\", device).map,
                flag == 0 ? "0 100 Good 0 0 Win-Predict" : "0 10 Failing 0 0 Win-Predict");
    }
  }
  // Nothing answers.
  FakeDevice nvme = VolumeOnDisk(17);
  const Outcome run = Health("C:\\", nvme);
  EXPECT_EQ(run.map,
            "0 100 NVMe Drive 0 0 NoAdmin / Run as Administrator for detailed health info");
  EXPECT_NE(run.debug.find("DEBUG: Attempting Failure Prediction...\n"
                           "DEBUG: Predict Failure Failed: Err 1\n"
                           "DEBUG: All health queries failed. Admin rights required for "
                           "SMART/NVMe health data.\n"),
            std::string::npos);
  FakeDevice unknownBus = VolumeOnDisk(17);  // not taken for NVMe
  unknownBus.answers.erase(kBusQuery);
  EXPECT_EQ(Health("C:\\", unknownBus).map,
            "0 100 Unknown 0 0 NoAdmin / Run as Administrator for detailed health info");
}

TEST(DiskHealth, PathResolutionAndOpening) {
  FakeDevice device = VolumeOnDisk(11);
  device.openable["\\\\.\\D:"] = {0};
  testing::internal::CaptureStdout();
  device.answers[kExtents] = Ok(Put(Put(Bytes(32, 0), 0, 1), 8, 12));
  EXPECT_EQ(GetPhysicalDrivePath("D:", device), "\\\\.\\PhysicalDrive12");
  device.answers[kExtents] = Ok(Bytes(32, 0));
  EXPECT_EQ(GetPhysicalDrivePath("C:\\", device), "");
  device.answers[kExtents] = Fails(234);  // more than one extent
  EXPECT_EQ(GetPhysicalDrivePath("C:\\", device), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "DEBUG: GetPhysicalDrivePath: Failed extents query. Err: 0\n"
            "DEBUG: GetPhysicalDrivePath: Failed extents query. Err: 234\n");

  const Outcome unresolved = Health("Q:\\", device);
  EXPECT_EQ(unresolved.map, "0 100 Unknown 0 0 PathResolutionFailed");
  EXPECT_NE(unresolved.debug.find("Failed to open vol \\\\.\\Q:. Err: 2\n"), std::string::npos);
  // An id naming a physical drive in another spelling is tried as the disk path itself.
  device.openError = 5;
  const Outcome denied = Health("//./PhysicalDrive3", device);
  EXPECT_EQ(denied.map, "0 100 Unknown 0 0 AccessDenied: 5");
  EXPECT_NE(denied.debug.find("Failed to open //./PhysicalDrive3 with any access level. Err: 5\n"),
            std::string::npos);
  EXPECT_EQ(device.opens, (Opens{{"\\\\.\\D:", 0},
                                 {"\\\\.\\C:", 0},
                                 {"\\\\.\\C:", 0},
                                 {"\\\\.\\Q:", 0},
                                 {"\\\\.\\//./PhysicalDrive3", 0},
                                 {"//./PhysicalDrive3", kReadWrite},
                                 {"//./PhysicalDrive3", kGenericRead},
                                 {"//./PhysicalDrive3", 0}}));
  // Weaker access is enough for the queries.
  device.openable["\\\\.\\PhysicalDrive1"] = {0};
  device.answers[kExtents] = Ok(Put(Put(Bytes(32, 0), 0, 1), 8, 1));
  EXPECT_NE(Health("C:\\", device).debug.find("with access level: 0x0\n"), std::string::npos);
}

}  // namespace
}  // namespace ul_venmark
