#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "filesystems/byte_source.h"
#include "filesystems/found_file.h"

namespace quarvelin {

struct ContentResult {
  int64_t written = 0;  // bytes handed to the writer: `size`, unless the content ran short
  // Stretches of the file (byte offset, length) that could not be read and were written as zeros.
  std::vector<std::pair<int64_t, int64_t>> unreadable;
  // Compression units that could not be decompressed (written as stored zeros), as file offsets.
  std::vector<int64_t> undecodable;
  bool writerFailed = false;  // the writer refused: nothing more was handed to it
  bool cancelled = false;
};

// Hands the content of `file` on `volume` to `write` in order, in pieces of at most a few MiB:
// the resident bytes, or the extents (sparse ones as zeros, NTFS compression units decompressed)
// up to the file's size. An unreadable sector costs the file only that sector's bytes (zeros,
// listed in the result). Stops when `write` returns false or `cancel` is set.
ContentResult ReadContent(ByteSource& volume, const FoundFile& file,
                          const std::function<bool(std::span<const uint8_t>)>& write,
                          CancelFlag cancel);

}  // namespace quarvelin
