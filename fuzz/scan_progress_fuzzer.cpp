// The progress file a scan leaves in its output folder, as whatever bytes a damaged disk or a
// hand edit leaves there. What is read must lie on the source it names, and write back as text
// that reads the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "scan_progress.h"

namespace {

using namespace quarvelin;

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string problem;
  const std::optional<ScanProgress> read =
      ParseScanProgress(std::string_view(reinterpret_cast<const char*>(data), size), problem);
  if (!read) {
    Check(!problem.empty());
    return 0;
  }
  Check(read->sectorSize > 0 && read->carvedUntil >= 0 && read->carveCounter >= 0);
  Check(read->carvedUntil <= SectorsCovering(read->sourceBytes, read->sectorSize));
  const std::string text = ScanProgressJson(*read);
  const std::optional<ScanProgress> again = ParseScanProgress(text, problem);
  Check(again && ScanProgressJson(*again) == text);
  return 0;
}
