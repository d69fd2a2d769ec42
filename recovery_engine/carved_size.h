#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <unordered_map>

#include "device/raw_device.h"
#include "signatures.h"

namespace quarvelin {

// How long the file is that starts at a header match in the scan buffer.
struct CarvedSize {
  // Bytes from the header offset; 0 when no length was found (always a rejection: every signature
  // has a positive minimum). Compared with the minimum as a signed value.
  int64_t size = 0;
  // True when `size` is an estimate (a format's maximum, or a fixed allowance for data whose end
  // the format does not record) rather than an end measured by a validator, a structure walk or
  // a marker. The carver cuts an estimated file short where the next file's header begins.
  bool estimated = false;
  // True when a walk of the format's structure proved the file whole. The row's minimum size is a
  // floor for guesses only: a proven file is kept however short it is.
  bool proven = false;
};

// Why an end search stopped where it did.
enum class SearchStop : uint8_t {
  kReach,       // it had looked as far as it looks
  kFailedRead,  // the device ended at that point or failed to read there
  kNextFile,    // another file of the type begins there, and the search ends before it
};

// Device bytes [from, to) that an end search has looked through without meeting its marker.
struct MarkerFreeStretch {
  int64_t from = 0;
  int64_t to = 0;
  SearchStop stop = SearchStop::kReach;
};

// The ZIP end records met in a stretch that runs to where the device could be read no further.
// A search from any header inside the stretch would meet the same records, so its answer follows
// from them: the first record closing a central directory that ends at the header (the archive's
// own), or else the last record whose comment the stretch holds whole.
struct ZipEndRecordsMet {
  struct Record {
    int64_t at = 0;
    int64_t end = 0;
  };
  // The end of the first record for each device offset where a record's central directory would
  // place its archive's start.
  std::unordered_map<int64_t, int64_t> endByArchiveStart;
  Record lastFitting{-1, 0};  // the last record whose comment ends inside the stretch
};

// What the sizings of one scan have learned about the device. A stretch holding many headers of a
// type whose end marker does not follow (the local headers of an archive that lost its end, say)
// would otherwise have every one of them search the same bytes again, to the device's end or as
// far as the search reaches.
struct SizingMemo {
  // The device's length in bytes; while 0 nothing is remembered.
  int64_t deviceBytes = 0;
  // A stretch holding no ZIP end-of-central-directory record but those in `zipRecords` (which
  // only a stretch ending where the device could be read no further may hold), and one holding no
  // PDF "%%EOF" nor a PDF header on a sector start (where the search for "%%EOF" stops).
  MarkerFreeStretch zipEnd;
  ZipEndRecordsMet zipRecords;
  MarkerFreeStretch pdfEnd;
  // By type, a stretch running to where the device could be read no further that holds none of
  // the type's footer (JPEG: no EOI; RTF: no closing brace).
  std::map<std::string, MarkerFreeStretch> endFree;
};

// Sizes the candidate whose header matched at `headerOffset` in `scanBuffer` (a chunk read from
// `device` starting at `bufferStartSector`). Trusts the format's validator when its confidence is
// high enough, and otherwise walks the format's structure or searches for its end marker. Reads
// beyond the buffer go to the device. Looks at `cancel` during long walks and searches. `memo`,
// when given, is consulted and added to; one memo serves one scan of one device.
CarvedSize DetermineCarvedSize(const std::atomic<bool>* cancel, std::span<const uint8_t> scanBuffer,
                               uint64_t headerOffset, const FileSignature& signature,
                               RawDevice& device, uint64_t bufferStartSector, int32_t sectorSize,
                               SizingMemo* memo = nullptr);

}  // namespace quarvelin
