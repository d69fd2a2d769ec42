#pragma once

// Plain text: a run of UTF-8 (printable ASCII, tab, CR, LF and well-formed multi-byte sequences)
// that ends at the first byte no text holds. Past a file's end its last cluster is normally
// zero-filled, so the zeros end it there.

#include <atomic>
#include <cstdint>

#include "common/byte_fields.h"
#include "sizing/range_reader.h"

namespace quarvelin {

// Bytes a text file's first sector holds before the scan takes it for text.
inline constexpr size_t kTextLead = 512;

// How many bytes from the start of `bytes` are text. A multi-byte sequence cut by the end of
// `bytes` is left out; `cut`, when given, is set when that happened.
size_t TextPrefix(Bytes bytes, bool* cut = nullptr);

// The text's length from the candidate's first byte, at most `limit`: where the first byte no text
// holds lies, or where the device can be read no further.
int64_t WalkTextEnd(RangeReader& read, const std::atomic<bool>* cancel, int64_t limit);

}  // namespace quarvelin
