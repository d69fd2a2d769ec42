#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "sizing/range_reader.h"

namespace quarvelin {

// The DocType of the EBML header at candidate offset 0: "webm" or "matroska"; nothing for other
// documents or when the header cannot be read.
std::optional<std::string> MatroskaDocType(RangeReader& read);

// The exact length of a Matroska or WebM file: the EBML header plus its Segment. A Segment whose
// size is written is taken as it stands when its last byte lies on the device. One of unknown size
// (a live recording) ends after its last top-level element, found by stepping over them. Nothing
// when the end is not proven or when cancelled.
std::optional<int64_t> WalkMatroska(RangeReader& read, const std::atomic<bool>* cancel);

}  // namespace quarvelin
