// Stand-ins until the readers land.
#include "filesystems/fat/fat.h"
#include "filesystems/ntfs/ntfs.h"
#include "filesystems/volume.h"

namespace quarvelin {

FileSystemReport ReadFatFiles(ByteSource&, const FileSink&, CancelFlag) {
  return {"FAT", "", 0, "not yet"};
}
  return {"exFAT", "", 0, "not yet"};
}
FileSystemReport ReadNtfsFiles(ByteSource&, const FileSink&, CancelFlag) {
  return {"NTFS", "", 0, "not yet"};
}
std::optional<BootSector> RecognizeBootSector(std::span<const uint8_t>) {
  return std::nullopt;
}
std::vector<Volume> FindVolumes(ByteSource&, int64_t, CancelFlag) {
  return {};
}
LostVolumeSearch::LostVolumeSearch(std::vector<Volume> known, int64_t sourceBytes,
                                   int32_t sectorSize)
    : known_(std::move(known)), sourceBytes_(sourceBytes), sectorSize_(sectorSize) {}
std::vector<Volume> LostVolumeSearch::Look(std::span<const uint8_t>, int64_t) {
  return {};
}
const char* FileSystemName(FileSystemKind kind) {
  return kind == FileSystemKind::kNtfs ? "NTFS" : kind == FileSystemKind::kExfat ? "exFAT" : "FAT";
}

}  // namespace quarvelin
