#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "carved_size.h"
#include "header_search.h"
#include "sizing/range_reader.h"

namespace quarvelin {

// The largest PDF the scan carves; no search for its end looks further.
inline constexpr int64_t kPdfLargest = 524'288'000;

// Where a PDF that begins at candidate offset 0 ends, as far as its bytes prove it.
struct PdfEnd {
  // The file's length: through the line end of the last "%%EOF" that no incremental update
  // follows. Empty when no such marker lies within reach.
  std::optional<int64_t> size;
  // The search looked at every offset in [resumeAt, searchedTo). When `size` is empty, no "%%EOF"
  // that could end a PDF starts there and no other file begins there, so a search from a later
  // header inside that stretch may resume at `searchedTo` and meet the same end.
  int64_t searchedTo = 0;
  SearchStop stop = SearchStop::kReach;
};

// Finds the end of the PDF whose "%PDF" header is at candidate offset 0. A "%%EOF" at the start of
// a line ends a revision; the file goes on when objects, a cross-reference section (or comment
// lines before them) follow it, and ends with the marker's line end otherwise. The search never
// looks at or past a sector start where a header of `nextFiles` (may be null), "%PDF" or "%!PS"
// matches, and ends at kPdfLargest. `resumeAt` skips bytes an earlier search found free of
// ending markers. Gives up, proving nothing, when `cancel` is set.
PdfEnd WalkPdfEnd(RangeReader& read, const std::atomic<bool>* cancel, const HeaderIndex* nextFiles,
                  int64_t resumeAt = 0);

}  // namespace quarvelin
