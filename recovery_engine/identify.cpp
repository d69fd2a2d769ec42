#include "identify.h"

#include <algorithm>
#include <system_error>

#include "carved_size.h"
#include "device/raw_device.h"
#include "formats/registry.h"
#include "header_search.h"
#include "signatures.h"

namespace quarvelin {
namespace {

constexpr uint32_t kBufferSectors = 2048;
constexpr int32_t kSectorSize = 512;
// A file checked on its own is presented as if free space followed it on a disk: the validators
// that read large windows past the end of a file then see zeros there rather than nothing.
constexpr int64_t kTrailingFreeSpace = 4 * 1048576;

class PaddedFile final : public RawDevice {
 public:
  PaddedFile(RawDevice& file, int64_t fileSize) : file_(file), fileSize_(fileSize) {}

  int64_t QueryDeviceSize() override { return fileSize_ + kTrailingFreeSpace; }
  int32_t QuerySectorSize() override { return kSectorSize; }

  std::vector<uint8_t> ReadDeviceSectors(int64_t first, uint32_t count,
                                         int32_t bytesPerSector) override {
    const uint32_t bytes = ReadByteCount(count, bytesPerSector);
    if (first < 0 || bytes == 0 || first > INT64_MAX / bytesPerSector / 2) {
      return {};
    }
    const int64_t begin = first * bytesPerSector;
    std::vector<uint8_t> data;
    if (begin < fileSize_) {
      data = file_.ReadDeviceSectors(first, count, bytesPerSector);
      if (static_cast<int64_t>(data.size()) < std::min<int64_t>(bytes, fileSize_ - begin)) {
        return {};  // a real read failure, not the end of the file
      }
    }
    const int64_t end = std::min<int64_t>(begin + bytes, fileSize_ + kTrailingFreeSpace);
    if (end > begin) {
      data.resize(static_cast<size_t>(end - begin), 0);
    }
    return data;
  }

 private:
  RawDevice& file_;
  int64_t fileSize_;
};

// The first row in search order whose header `buffer` starts with decides which format looks at
// it, as in a scan; that format's sizing tells which of its types the content is. A file no header
// starts may still be one a scan finds at a sector start (XML without a declaration).
const FileSignature* RowFor(std::span<const uint8_t> buffer) {
  const auto& table = SignatureTable();
  auto row = std::find_if(table.begin(), table.end(), [&buffer](const FileSignature& r) {
    return HeaderMatches(buffer, 0, r.header, r.ignoreCase);
  });
  if (row == table.end()) {
    row = std::find_if(table.begin(), table.end(), [&buffer](const FileSignature& r) {
      return r.format->startsUnheaded != nullptr && r.extension == r.format->unheadedType &&
             r.format->startsUnheaded(buffer);
    });
  }
  return row == table.end() ? nullptr : &*row;
}

}  // namespace

std::optional<ContentSize> SizeFileContent(const std::string& path) {
  OpenedDevice opened = OpenRawDevice(path);
  if (!opened.device) return std::nullopt;
  const int64_t fileSize = opened.device->QueryDeviceSize();
  const std::vector<uint8_t> buffer =
      opened.device->ReadDeviceSectors(0, kBufferSectors, kSectorSize);
  const FileSignature* row = buffer.empty() ? nullptr : RowFor(buffer);
  if (row == nullptr) return std::nullopt;
  PaddedFile device(*opened.device, fileSize);
  const CarvedSize sized = DetermineCarvedSize(nullptr, buffer, 0, *row, device, 0, kSectorSize);
  return ContentSize{
      sized.size,
      std::string(sized.extension.empty() ? std::string_view(row->extension) : sized.extension)};
}

IdentifyOutcome IdentifyFile(const std::string& path) {
  OpenedDevice opened = OpenRawDevice(path);
  if (!opened.device) {
    return {std::nullopt, "cannot open: " + std::system_category().message(opened.error)};
  }
  const int64_t fileSize = opened.device->QueryDeviceSize();
  const std::vector<uint8_t> buffer =
      opened.device->ReadDeviceSectors(0, kBufferSectors, kSectorSize);
  if (buffer.empty()) {
    return {std::nullopt, fileSize > 0 ? "cannot read" : "empty file"};
  }
  const FileSignature* row = RowFor(buffer);
  if (row == nullptr) {
    return {std::nullopt, "no known file header"};
  }
  PaddedFile device(*opened.device, fileSize);
  const CarvedSize sized = DetermineCarvedSize(nullptr, buffer, 0, *row, device, 0, kSectorSize);
  const FileType* type = FindType(sized.extension.empty() ? row->extension : sized.extension);

  Identification id;
  id.fileSize = fileSize;
  id.format = type->name;
  id.extension = type->extension;
  if (row->format->report != nullptr) {
    RangeReader read(buffer, 0, 0, kSectorSize, device);
    FormatReport report = row->format->report(read, id.extension);
    id.validated = report.validated;
    id.size = report.size;
    id.confidence = report.confidence;
    id.accepted = report.accepted;
    id.fields = std::move(report.fields);
    id.issues = std::move(report.issues);
  }
  return {std::move(id), {}};
}

}  // namespace quarvelin
