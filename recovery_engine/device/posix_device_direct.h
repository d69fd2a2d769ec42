#pragma once

#include <cstdint>
#include <string>

#include "raw_device.h"

namespace quarvelin {

// For tests: opens any file as OpenRawDevice opens a block device, with a second descriptor for
// direct reads whose offsets and lengths must be multiples of `blockSize` (> 0). When the file
// system refuses O_DIRECT, every read goes buffered.
OpenedDevice OpenRawDeviceDirect(const std::string& path, int32_t blockSize);

}  // namespace quarvelin
