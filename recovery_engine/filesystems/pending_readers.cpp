// Stand-ins until the readers land.
#include "filesystems/exfat/exfat.h"
#include "filesystems/fat/fat.h"
#include "filesystems/ntfs/ntfs.h"

namespace quarvelin {

FileSystemReport ReadFatFiles(ByteSource&, const FileSink&, CancelFlag) {
  return {"FAT", "", 0, "not yet"};
}
FileSystemReport ReadExfatFiles(ByteSource&, const FileSink&, CancelFlag) {
  return {"exFAT", "", 0, "not yet"};
}
FileSystemReport ReadNtfsFiles(ByteSource&, const FileSink&, CancelFlag) {
  return {"NTFS", "", 0, "not yet"};
}

}  // namespace quarvelin
