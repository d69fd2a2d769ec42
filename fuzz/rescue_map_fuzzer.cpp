// A rescue map as whatever bytes a crash, a hand edit or another tool leave in the file. What is
// read must describe every byte once, and write back as text that reads the same; marking blocks
// afterwards must keep it so.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "imaging/rescue_map.h"

namespace {

using namespace quarvelin;

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckWhole(const RescueMap& map) {
  int64_t at = 0;
  int64_t total = 0;
  for (const MapBlock& block : map.Blocks()) {
    Check(block.pos == at && block.size > 0);
    at = block.End();
  }
  Check(at == map.Size());
  for (const char status : {'?', '*', '/', '-', '+'}) {
    total += map.Bytes(static_cast<BlockStatus>(status));
  }
  Check(total == map.Size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  std::optional<RescueMap> map =
      RescueMap::Parse(std::string_view(reinterpret_cast<const char*>(data), size), error);
  if (!map) {
    Check(!error.empty());
    return 0;
  }
  CheckWhole(*map);
  const std::string text = map->Text({"fuzz"});
  const std::optional<RescueMap> again = RescueMap::Parse(text, error);
  Check(again && again->Text({"fuzz"}) == text);
  // Marks taken from the input's own bytes.
  static constexpr BlockStatus kStatuses[] = {BlockStatus::kNonTried, BlockStatus::kNonTrimmed,
                                              BlockStatus::kNonScraped, BlockStatus::kBadSector,
                                              BlockStatus::kFinished};
  for (size_t i = 0; i + 3 <= size && i < 96; i += 3) {
    const int64_t span = map->Size() + 1;
    map->Set(static_cast<int64_t>(data[i] * 7919 % static_cast<uint64_t>(span)),
             static_cast<int64_t>(data[i + 1] * 104729 % static_cast<uint64_t>(span)),
             kStatuses[data[i + 2] % 5]);
  }
  CheckWhole(*map);
  return 0;
}
