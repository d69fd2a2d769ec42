#include "filesystems/ntfs/lznt1.h"

namespace quarvelin {

std::optional<size_t> DecompressLznt1(std::span<const uint8_t>, std::span<uint8_t>) {
  return std::nullopt;
}

}  // namespace quarvelin
