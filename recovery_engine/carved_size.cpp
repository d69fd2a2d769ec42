#include "carved_size.h"

#include "formats/format.h"
#include "sizing/sizing_job.h"

namespace quarvelin {

CarvedSize DetermineCarvedSize(const std::atomic<bool>* cancel, std::span<const uint8_t> scanBuffer,
                               uint64_t headerOffset, const FileSignature& signature,
                               RawDevice& device, uint64_t bufferStartSector, int32_t sectorSize,
                               SizingMemo* memo, const HeaderIndex* nextFiles) {
  // The header matched inside the buffer; anything else is a caller's slip, not a file.
  if (headerOffset >= scanBuffer.size() || signature.format == nullptr) return {};
  const int32_t sectorBytes = sectorSize > 0 ? sectorSize : kDefaultSectorSize;
  SizingJob job(cancel, scanBuffer, static_cast<size_t>(headerOffset), signature, device,
                bufferStartSector, sectorBytes, memo, nextFiles);
  return signature.format->size(job);
}

}  // namespace quarvelin
