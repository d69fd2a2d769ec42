// The FAT reader over arbitrary bytes as a volume, and the content of every file it names read
// back. Each file it hands over must have a usable name and extents inside the volume, covering
// its size unless it says what is missing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "filesystems/fat/fat.h"
#include "filesystems/file_content.h"

namespace {

using namespace quarvelin;

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryBytes volume(std::span(data, size));
  // Damaged sizes may make many files claim the whole volume: read back a bounded amount.
  int64_t budget = int64_t{64} << 20;
  const FileSystemReport report = ReadFatFiles(
      volume,
      [&](const FoundFile& file) {
        Check(!file.name.empty() && file.name != "." && file.name != "..");
        Check(file.name.find('/') == std::string::npos);
        int64_t covered = 0;
        for (const Extent& extent : file.extents) {
          Check(extent.offset >= 0 && extent.length > 0);
          Check(extent.offset + extent.length <= volume.Size());
          covered += extent.length;
        }
        Check(covered >= file.size || !file.problem.empty());
        if (budget <= 0) return;
        ReadContent(
            volume, file,
            [&](std::span<const uint8_t> bytes) {
              budget -= std::ssize(bytes);
              return budget > 0;
            },
            nullptr);
      },
      nullptr);
  Check(report.error.empty() || report.kind.empty());
  return 0;
}
