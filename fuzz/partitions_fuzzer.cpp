// Finds the volumes of arbitrary bytes standing as a whole disk: partition tables, boot sectors and
// the probes, then the lost-volume search over the same bytes in chunks that cut sectors, for 512-
// and 4096-byte sectors; and decompresses the bytes as an NTFS compression unit. Nothing may crash
// or read outside what it was given, and every volume must lie inside the disk.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "filesystems/ntfs/lznt1.h"
#include "filesystems/volume.h"

namespace {

using namespace quarvelin;

void CheckVolume(const Volume& v, int64_t size) {
  if (v.firstByte < 0 || v.length <= 0 || v.firstByte >= size || v.length > size - v.firstByte ||
      v.origin.empty()) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> disk(data, size);
  const auto bytes = static_cast<int64_t>(size);
  MemoryBytes source(disk);
  const std::vector<Volume> volumes = FindVolumes(source, 4 << 20, nullptr);
  for (size_t i = 0; i < volumes.size(); ++i) {
    CheckVolume(volumes[i], bytes);
    if (i > 0 && volumes[i - 1].firstByte >= volumes[i].firstByte) std::abort();
  }

  // Chunks of an odd size, so that sectors straddle them.
  const size_t chunk = 4096 + size % 1021;
  for (const int32_t sectorSize : {512, 4096}) {
    LostVolumeSearch search(volumes, bytes, sectorSize);
    for (size_t at = 0; at < size; at += chunk) {
      const auto part = disk.subspan(at, std::min(chunk, size - at));
      for (const Volume& v : search.Look(part, static_cast<int64_t>(at))) CheckVolume(v, bytes);
    }
  }

  std::vector<uint8_t> out(65536);
  if (const auto produced = DecompressLznt1(disk, out); produced && *produced > out.size()) {
    std::abort();
  }
  return 0;
}
