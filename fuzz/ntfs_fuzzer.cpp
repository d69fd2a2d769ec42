// Reads arbitrary bytes as an NTFS volume and streams out every file the reader names. Nothing may
// crash, read outside the input, loop without end or grow without bound; what the reader reports
// must stay inside the volume.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "filesystems/file_content.h"
#include "filesystems/ntfs/ntfs.h"

using namespace quarvelin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryBytes volume(std::span<const uint8_t>(data, size));
  const int64_t volumeBytes = static_cast<int64_t>(size);
  ReadNtfsFiles(
      volume,
      [&](const FoundFile& file) {
        if (file.name.empty() || file.size < 0) std::abort();
        for (const Extent& e : file.extents) {
          if (e.length <= 0) std::abort();
          if (!e.sparse && (e.offset < 0 || e.offset > volumeBytes - e.length)) std::abort();
        }
        // Content of files small enough to stream quickly.
        if (file.size <= (4 << 20)) {
          ReadContent(
              volume, file, [](std::span<const uint8_t>) { return true; }, nullptr);
        }
      },
      nullptr);
  return 0;
}
