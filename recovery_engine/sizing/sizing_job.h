#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "carved_size.h"
#include "formats/validation_result.h"
#include "sizing/range_reader.h"
#include "sizing/search_window.h"
#include "sizing/sizing_memo.h"

namespace quarvelin {

class HeaderIndex;

// How the generic end search reads the bytes after the header.
enum class FooterSearch {
  kFooter,         // the first of the row's footer bytes
  kNestedMarkers,  // JPEG: FF D8 opens and FF D9 closes, nested (an embedded thumbnail)
  kBraces,         // RTF: braces nest; a backslash escapes the next character
};

// Everything one sizing needs, handed to the format that sizes the candidate; lives for one call.
// It knows no format by name: the windows over the scan buffer, the sector stream, the memo of
// marker-free stretches and the generic end search are shared by every format.
class SizingJob {
 public:
  SizingJob(const std::atomic<bool>* cancel, Bytes scanBuffer, size_t headerOffset,
            const FileSignature& row, RawDevice& device, uint64_t bufferStartSector,
            int32_t sectorSize, SizingMemo* memo, const HeaderIndex* nextFiles);

  const std::atomic<bool>* Cancel() const { return cancel_; }
  bool Cancelled() const { return IsCancelled(cancel_); }
  const FileSignature& Row() const { return row_; }
  // The row's maximum, or a default for rows that state none.
  int64_t MaxSize() const { return maxSize_; }
  // The scan buffer from the header on, and how many bytes that is.
  Bytes Candidate() const { return candidate_; }
  int64_t Available() const { return static_cast<int64_t>(candidate_.size()); }
  RangeReader& Read() { return read_; }
  RawDevice& Device() const { return device_; }
  int32_t SectorSize() const { return sectorSize_; }
  // The memo, when the scan keeps one and the header's device offset is known.
  SizingMemo* Memo() const { return memo_; }
  int64_t Start() const { return start_; }  // the header's device offset
  bool Located() const { return located_; }
  const HeaderIndex* NextFiles() const { return nextFiles_; }

  // True when another selected file's header starts at candidate offset `offset` (a sector
  // start after the header), `bytes` being what lies there.
  bool StartsAnotherFile(int64_t offset, Bytes bytes) const;

  SectorStream Stream() const { return SectorStream(device_, nextSector_, sectorSize_); }
  // The window and stream of a search from the header. With `examined`, the search picks up
  // `keep` bytes before that offset: a marker cut by the earlier search's end is then seen whole.
  // Needs the header's device offset.
  std::pair<Window, SectorStream> BeginSearch(std::optional<int64_t> examined, size_t keep) const;

  // The part of the bytes from the header on that an earlier search has looked through for the
  // same marker: the stretch's end as a candidate offset, or nothing when no stretch covers the
  // header.
  std::optional<int64_t> Examined(const MarkerFreeStretch& known) const;
  // True when that stretch runs to where the device could be read no further (or to the next
  // file): a search from the header would meet nothing beyond it either. (A drive that fails there
  // does so for every search; asking it again for each candidate only wears it further.) Unless
  // the candidate's own chunk runs on past the failed read: its search would look through those
  // bytes.
  bool Endless(const MarkerFreeStretch& known) const;
  // Notes that the candidate's bytes up to offset `end` hold no marker, and why the search ended
  // there.
  void Remember(MarkerFreeStretch& known, int64_t end, SearchStop stop) const;
  static SearchStop StopOf(bool blocked) {
    return blocked ? SearchStop::kFailedRead : SearchStop::kReach;
  }

  // Text files end with a line end after their closing tag or brace: it belongs to the file.
  int64_t WithLineEnd(int64_t end);

  // Looks for the end of the file in the bytes after its header, reading on from the device, and
  // with `lineEnd` takes the line end after it too. An estimate of the row's maximum when nothing
  // is found.
  CarvedSize SearchFooter(FooterSearch mode, bool lineEnd = false);

  static CarvedSize Measured(int64_t size) { return {.size = size}; }
  static CarvedSize Estimated(int64_t size) { return {.size = size, .estimated = true}; }
  // A size the format's structure proves, of the type `extension` (empty: the row's own).
  static CarvedSize Proven(int64_t size, std::string_view extension = {}) {
    return {.size = size, .proven = size > 0, .extension = extension};
  }

 private:
  const std::atomic<bool>* cancel_;
  Bytes candidate_;
  const FileSignature& row_;
  RawDevice& device_;
  int32_t sectorSize_;
  RangeReader read_;
  int64_t maxSize_;
  uint64_t nextSector_ = 0;
  SizingMemo* memo_ = nullptr;
  const HeaderIndex* nextFiles_;
  int64_t start_ = 0;
  bool located_ = false;  // false when the header lies past any device; then there is no memo
};

}  // namespace quarvelin
