#include "identify.h"

#include <algorithm>
#include <system_error>

#include "device/raw_device.h"
#include "signatures.h"
#include "validators/acceptance.h"

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

std::string Flag(bool value) {
  return value ? "true" : "false";
}
std::string Number(int64_t value) {
  return std::to_string(value);
}

template <typename Result>
void Take(Identification& id, const Result& r) {
  id.validated = true;
  id.size = r.size;
  id.confidence = r.confidence;
  id.accepted = Accepted(r);
  id.issues = r.issues;
}

void RunValidator(Identification& id, RangeReader& read) {
  const std::string& ext = id.extension;
  if (ext == "jpg") {
    const auto r = ValidateJpeg(read, nullptr);
    Take(id, r);
    id.fields = {{"width", Number(r.width)},
                 {"height", Number(r.height)},
                 {"hasExif", Flag(r.hasExif)},
                 {"hasIccProfile", Flag(r.hasIccProfile)},
                 {"hasEmbeddedJpeg", Flag(r.hasEmbeddedJpeg)}};
  } else if (ext == "png") {
    const auto r = ValidatePng(read, nullptr, true);
    Take(id, r);
    id.fields = {{"width", Number(r.width)},
                 {"height", Number(r.height)},
                 {"bitDepth", Number(r.bitDepth)},
                 {"colorType", Number(r.colorType)},
                 {"hasIdat", Flag(r.hasIdat)},
                 {"hasIend", Flag(r.hasIend)},
                 {"crcErrorCount", Number(r.crcErrorCount)}};
  } else if (ext == "gif") {
    const auto r = ValidateGif(read, nullptr);
    Take(id, r);
    id.fields = {{"width", Number(r.width)},
                 {"height", Number(r.height)},
                 {"frameCount", Number(r.frameCount)},
                 {"hasTrailer", Flag(r.hasTrailer)}};
  } else if (ext == "bmp") {
    const auto r = ValidateBmp(read, nullptr);
    Take(id, r);
    id.fields = {{"width", Number(r.width)},
                 {"height", Number(r.height)},
                 {"bitsPerPixel", Number(r.bitsPerPixel)}};
  } else if (ext == "mp4" || ext == "mov" || ext == "3gp" || ext == "m4v") {
    const auto r = ValidateMp4(read, nullptr);
    Take(id, r);
    id.fields = {{"majorBrand", r.majorBrand},     {"hasFtyp", Flag(r.hasFtyp)},
                 {"hasMoov", Flag(r.hasMoov)},     {"hasMdat", Flag(r.hasMdat)},
                 {"moovSize", Number(r.moovSize)}, {"mdatSize", std::to_string(r.mdatSize)}};
  } else if (ext == "mp3") {
    const auto r = ValidateMp3(read, nullptr);
    Take(id, r);
    id.fields = {{"frameCount", Number(r.frameCount)},
                 {"sampleRate", Number(r.sampleRate)},
                 {"bitrate", Number(r.bitrate)},
                 {"hasId3v2", Flag(r.hasId3v2)},
                 {"id3v2Size", std::to_string(r.id3v2Size)},
                 {"hasId3v1", Flag(r.hasId3v1)},
                 {"isVbr", Flag(r.isVbr)}};
  } else if (ext == "pdf") {
    const auto r = ValidatePdf(read, nullptr);
    Take(id, r);
    id.fields = {{"version", r.version},
                 {"hasXref", Flag(r.hasXref)},
                 {"hasEof", Flag(r.hasEof)},
                 {"eofCount", Number(r.eofCount)}};
  } else if (ext == "docx" || ext == "zip") {
    const auto r = ValidateZip(read, nullptr);
    Take(id, r);
    id.fields = {{"entryCount", Number(r.entryCount)},
                 {"hasEndOfCentralDirectory", Flag(r.hasEndOfCentralDirectory)},
                 {"centralDirectoryVerified", Flag(r.centralDirectoryVerified)}};
  }
}

}  // namespace

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

  // The first row in search order whose header the file starts with decides, as in a scan; the
  // other rows sharing that header are named too ("MP4/MOV/3GP/M4V").
  Identification id;
  id.fileSize = fileSize;
  for (const FileSignature& row : SignatureTable()) {
    if (buffer.size() < row.header.size() ||
        !std::equal(row.header.begin(), row.header.end(), buffer.begin())) {
      continue;
    }
    if (id.format.empty()) {
      id.format = row.name;
      id.extension = row.extension;
    } else if (("/" + id.format + "/").find("/" + row.name + "/") == std::string::npos) {
      id.format += "/" + row.name;
    }
  }
  if (id.format.empty()) {
    return {std::nullopt, "no known file header"};
  }

  PaddedFile device(*opened.device, fileSize);
  RangeReader read(buffer, 0, 0, kSectorSize, device);
  RunValidator(id, read);
  return {std::move(id), {}};
}

}  // namespace quarvelin
