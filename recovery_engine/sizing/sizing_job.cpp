#include "sizing/sizing_job.h"

#include <algorithm>
#include <cstring>

#include "common/byte_fields.h"
#include "header_search.h"

namespace quarvelin {
namespace {

// Used as the maximum for rows that do not state one.
constexpr int64_t kDefaultMaxSize = 2'097'152'000;
// Bytes per read for the generic end search (rounded down to whole sectors).
constexpr int64_t kGenericReadBytes = 524'288;
// Bytes kept from one read of the generic search to the next, so that a marker split between two
// reads is still found whole.
constexpr size_t kTailKeep = 128;

}  // namespace

SizingJob::SizingJob(const std::atomic<bool>* cancel, Bytes scanBuffer, size_t headerOffset,
                     const FileSignature& row, RawDevice& device, uint64_t bufferStartSector,
                     int32_t sectorSize, SizingMemo* memo, const HeaderIndex* nextFiles)
    : cancel_(cancel),
      candidate_(scanBuffer.subspan(headerOffset)),
      row_(row),
      device_(device),
      sectorSize_(sectorSize),
      read_(scanBuffer, headerOffset, static_cast<int64_t>(bufferStartSector), sectorSize, device),
      maxSize_(row.maxSize > 0 ? row.maxSize : kDefaultMaxSize),
      nextFiles_(nextFiles) {
  const auto sectorBytes = static_cast<uint64_t>(sectorSize);
  if (bufferStartSector <= static_cast<uint64_t>(INT64_MAX) / sectorBytes) {
    if (const auto at = CheckedAdd(static_cast<int64_t>(bufferStartSector * sectorBytes),
                                   static_cast<int64_t>(headerOffset))) {
      start_ = *at;
      located_ = true;
      if (memo != nullptr && memo->deviceBytes > 0) memo_ = memo;
    }
  }
  // A start past any real device reads nothing rather than wrapping round to its first sectors.
  if (__builtin_add_overflow(bufferStartSector, (scanBuffer.size() + sectorBytes - 1) / sectorBytes,
                             &nextSector_)) {
    nextSector_ = UINT64_MAX;
  }
}

bool SizingJob::StartsAnotherFile(int64_t offset, Bytes bytes) const {
  return nextFiles_ != nullptr && offset > 0 && read_.StartsSector(offset) &&
         nextFiles_->AnyMatchAt(bytes, 0);
}

std::optional<int64_t> SizingJob::Examined(const MarkerFreeStretch& known) const {
  if (memo_ == nullptr || start_ < known.from || start_ >= known.to) return std::nullopt;
  return known.to - start_;
}
bool SizingJob::Endless(const MarkerFreeStretch& known) const {
  if (!Examined(known)) return false;
  return known.to >= memo_->deviceBytes || known.stop == SearchStop::kNextFile ||
         (known.stop == SearchStop::kFailedRead && start_ + Available() <= known.to);
}
void SizingJob::Remember(MarkerFreeStretch& known, int64_t end, SearchStop stop) const {
  if (memo_ == nullptr) return;
  const int64_t to = CheckedAdd(start_, end).value_or(INT64_MAX);
  if (Examined(known) || start_ == known.to) {
    if (to >= known.to) known.stop = stop;
    known.to = std::max(known.to, to);
  } else {
    known = {start_, to, stop};
  }
}

std::pair<Window, SectorStream> SizingJob::BeginSearch(std::optional<int64_t> examined,
                                                       size_t keep) const {
  const int64_t resume = examined ? *examined - static_cast<int64_t>(keep) : 0;
  if (resume <= 0) return {Window(candidate_), Stream()};
  if (resume < Available()) {
    return {Window(candidate_.subspan(static_cast<size_t>(resume)), resume), Stream()};
  }
  // Past the scan buffer: from the sector that holds the resume point.
  const auto sectorBytes = static_cast<uint64_t>(sectorSize_);
  const uint64_t sector =
      std::max(static_cast<uint64_t>(start_ + resume) / sectorBytes, nextSector_);
  return {Window(Bytes{}, static_cast<int64_t>(sector * sectorBytes) - start_),
          SectorStream(device_, sector, sectorSize_)};
}

int64_t SizingJob::WithLineEnd(int64_t end) {
  const Bytes next = read_.ReadLongest(end, 2);
  if (next.empty()) return end;
  if (next[0] == '\n') return end + 1;
  if (next[0] == '\r') return end + (next.size() > 1 && next[1] == '\n' ? 2 : 1);
  return end;
}

CarvedSize SizingJob::SearchFooter(FooterSearch mode, bool lineEnd) {
  using Mode = FooterSearch;
  const size_t headerLength = row_.header.size();
  const int64_t headerBytes = static_cast<int64_t>(headerLength);
  Window window(headerLength <= candidate_.size() ? candidate_.subspan(headerLength) : Bytes{});
  if (Cancelled()) return Estimated(maxSize_);

  SectorStream stream = Stream();
  const auto readSectors =
      static_cast<uint32_t>(std::max<int64_t>(1, kGenericReadBytes / sectorSize_));
  const Bytes footer(row_.footer);
  int64_t examined = 0;  // window offset of the first position not yet looked at
  int64_t depth = 1;     // the header opened the file
  bool escaped = false;  // an RTF backslash is waiting for the character it escapes
  // Whether a closing marker (JPEG's EOI, RTF's closing brace, escaped or not) was met at any
  // depth: where none was, a search from any later header ends the same way.
  bool closing = false;
  MarkerFreeStretch* known = memo_ != nullptr ? &memo_->endFree[row_.extension] : nullptr;
  if (known != nullptr && Endless(*known)) return Estimated(maxSize_);

  while (true) {
    const Bytes bytes = window.View();
    const int64_t base = window.Consumed();
    auto i = static_cast<size_t>(examined - base);
    if (mode == Mode::kNestedMarkers) {
      // A marker is FF and a byte from C0 to FE; the window's last byte waits for the next read.
      while (bytes.size() > 1 && i < bytes.size() - 1) {
        const void* hit = std::memchr(bytes.data() + i, 0xFF, bytes.size() - 1 - i);
        if (hit == nullptr) {
          i = bytes.size() - 1;
          break;
        }
        i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - bytes.data());
        const uint8_t code = bytes[i + 1];
        if (code == 0xD8) {
          ++depth;
        } else if (code == 0xD9) {
          closing = true;
          if (--depth < 1) return Measured(headerBytes + base + static_cast<int64_t>(i) + 2);
        }
        ++i;
      }
    } else if (mode == Mode::kBraces) {
      for (; i < bytes.size(); ++i) {
        const uint8_t c = bytes[i];
        closing = closing || c == '}';
        if (escaped) {
          escaped = false;
        } else if (c == '\\') {
          escaped = true;
        } else if (c == '{') {
          ++depth;
        } else if (c == '}' && --depth == 0) {
          return Measured(WithLineEnd(headerBytes + base + static_cast<int64_t>(i) + 1));
        }
      }
    } else if (const size_t at = Find(bytes, footer, 0); at != kNotFound) {
      const int64_t end = headerBytes + base + static_cast<int64_t>(at + footer.size());
      return Measured(lineEnd ? WithLineEnd(end) : end);
    }
    examined = base + static_cast<int64_t>(i);

    const int64_t searched = headerBytes + window.End();
    window.KeepLast(mode == Mode::kNestedMarkers ? kTailKeep + 1 : kTailKeep);
    if (!window.Append(stream, readSectors)) {
      if (known != nullptr && !closing) Remember(*known, searched, SearchStop::kFailedRead);
      return Estimated(maxSize_);
    }
    if (window.Consumed() >= maxSize_ || Cancelled()) return Estimated(maxSize_);
  }
}

}  // namespace quarvelin
