#include "file_listing.h"

#include <cstdio>

#include "common/json_string.h"
#include "file_system_pass.h"
#include "recovery_engine.h"

namespace quarvelin {
namespace {

using Kind = NativeMessageKind;

// How far the usual partition starts are probed when the caller does not ask for the whole source.
constexpr int64_t kQuickProbeBytes = int64_t{64} << 20;

std::string FileJson(int volume, const FoundFile& file) {
  std::string json =
      "{\"volume\":" + std::to_string(volume) + ",\"path\":" + JsonString(OriginalPath(file)) +
      ",\"size\":" + std::to_string(file.size) + ",\"state\":" + JsonString(StateText(file.state));
  if (file.created) json += ",\"created\":" + JsonString(IsoTime(*file.created));
  if (file.modified) json += ",\"modified\":" + JsonString(IsoTime(*file.modified));
  if (!file.problem.empty()) json += ",\"problem\":" + JsonString(file.problem);
  return json + "}";
}

std::string VolumeJson(int number, const Volume& volume, int32_t sectorSize,
                       const FileSystemReport& report, int64_t files) {
  std::string json =
      "{\"volume\":" + std::to_string(number) + ",\"fileSystem\":" +
      JsonString(report.kind.empty() ? FileSystemName(volume.kind) : report.kind) +
      ",\"firstSector\":" + std::to_string(volume.firstByte / sectorSize) +
      ",\"sectorSize\":" + std::to_string(sectorSize) +
      ",\"bytes\":" + std::to_string(volume.length) + ",\"origin\":" + JsonString(volume.origin) +
      ",\"label\":" + JsonString(report.label) + ",\"files\":" + std::to_string(files);
  if (!report.error.empty()) json += ",\"error\":" + JsonString(report.error);
  return json + "}";
}

}  // namespace

std::string IsoTime(int64_t unixSeconds) {
  // Days to a civil date, the proleptic Gregorian calendar's 400-year cycle.
  int64_t days = unixSeconds / 86400;
  int64_t seconds = unixSeconds % 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return text;
}

void ListFiles(const DeviceOpener& open, const std::string& sourcePath, int32_t flags,
               NativeMessageCallback callback) {
  int64_t listed = 0;
  const OpenedDevice opened = open(sourcePath);
  if (!opened.device) {
    EmitTo(callback, Kind::Error,
           "Failed to open drive (" + sourcePath +
               "). Error code: " + std::to_string(opened.error) + ". Run as Administrator?");
    EmitTo(callback, Kind::Finished, "0");
    return;
  }
  RawDevice& device = *opened.device;
  const int32_t sectorSize = SaneSectorSize(device.QuerySectorSize());
  const bool whole = (flags & kListSearchWhole) != 0;
  std::vector<Volume> volumes = SourceVolumes(device, whole ? 0 : kQuickProbeBytes, nullptr);
  // A disk whose partition table is gone: its volumes may lie anywhere.
  if (volumes.empty() && !whole) volumes = SourceVolumes(device, 0, nullptr);
  if (volumes.empty()) {
    EmitTo(callback, Kind::Error, "No FAT, exFAT or NTFS file system found on " + sourcePath);
  }
  int number = 0;
  for (const Volume& volume : volumes) {
    ++number;
    int64_t files = 0;
    const FileSystemReport report = ReadVolumeFiles(
        device, volume,
        [&](const FoundFile& file) {
          if ((flags & kListDeletedOnly) != 0 && file.state == FileState::kLive) return;
          ++files;
          EmitTo(callback, Kind::FileFound, FileJson(number, file));
        },
        nullptr);
    listed += files;
    EmitTo(callback, Kind::Status, VolumeJson(number, volume, sectorSize, report, files));
  }
  EmitTo(callback, Kind::Finished, std::to_string(listed));
}

}  // namespace quarvelin
