// Reads arbitrary bytes as an exFAT volume and copies out every file the reader names. Nothing may
// crash, read outside the input, loop or run away with memory, and what the reader hands out must
// keep its promises: a usable name, extents on the volume.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "filesystems/exfat/exfat.h"
#include "filesystems/file_content.h"

namespace {

using namespace quarvelin;

// Copying is what a scan does with each file; a few MiB per input keeps runs fast while still
// reaching every kind of extent.
constexpr int64_t kCopyBudget = 8 << 20;

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "exfat_fuzzer: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryBytes volume(std::span<const uint8_t>(data, size));
  int64_t copied = 0;
  const FileSystemReport report = ReadExfatFiles(
      volume,
      [&](const FoundFile& file) {
        if (file.name.empty() || file.name == "." || file.name == "..") Broken("unusable name");
        if (file.size < 0) Broken("negative size");
        for (const Extent& extent : file.extents) {
          if (extent.length < 0) Broken("negative extent");
          if (!extent.sparse &&
              (extent.offset < 0 || extent.offset > volume.Size() - extent.length)) {
            Broken("extent off the volume");
          }
        }
        if (copied >= kCopyBudget) return;
        copied += ReadContent(
                      volume, file, [](std::span<const uint8_t>) { return true; }, nullptr)
                      .written;
      },
      nullptr);
  if (!report.error.empty() && !report.label.empty()) Broken("label on a volume that was refused");
  return 0;
}
