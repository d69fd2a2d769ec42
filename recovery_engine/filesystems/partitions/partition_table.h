#pragma once

// The partitions a disk's own tables list: MBR (with the logical drives of its extended
// partition) and GPT.

#include <cstdint>
#include <string>
#include <vector>

#include "filesystems/byte_source.h"
#include "filesystems/found_file.h"

namespace quarvelin {

struct Partition {
  int64_t firstByte = 0;
  int64_t length = 0;  // as the table gives it; may run past the source
  std::string origin;  // "MBR partition 1", "extended partition 5", "GPT partition 2"
};

struct PartitionTable {
  bool found = false;        // a sound MBR or GPT was read (it may list nothing)
  int32_t sectorSize = 512;  // the sector size its addresses are in
  std::vector<Partition> partitions;
};

// Reads the MBR in sector 0 and, where it says so (a protective entry) or where sector 0 holds no
// table, the GPT at sector 1, for 512- and 4096-byte sectors. A damaged GPT header or entry array
// gives way to the backup at the disk's last sector.
PartitionTable ReadPartitionTable(ByteSource& source, CancelFlag cancel);

}  // namespace quarvelin
