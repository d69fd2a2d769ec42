#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "sizing/range_reader.h"

namespace quarvelin {

// The length of the Photoshop document (PSD, or PSB for large documents) that starts at candidate
// offset 0: its header, colour mode data, image resources and layer and mask information, then the
// composite image, raw or run-length coded. Nothing when the header is not a document's, when the
// image is ZIP-compressed (its length is stored nowhere), when the last byte cannot be read, or
// when cancelled.
std::optional<int64_t> WalkPsd(RangeReader& read, const std::atomic<bool>* cancel);

}  // namespace quarvelin
