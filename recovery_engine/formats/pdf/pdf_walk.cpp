#include "formats/pdf/pdf_walk.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/byte_fields.h"
#include "formats/stored_file_stops.h"
#include "formats/validation_result.h"

namespace quarvelin {
namespace {

constexpr int32_t kWindowBytes = 1 << 20;
constexpr std::string_view kMarker = "%%EOF";
// Bytes from a marker's start that must be at hand to judge it: the marker and a CR LF.
constexpr int64_t kMarkerSpan = 7;
// How far past a marker's line end we look for the update that continues the file: blank and
// comment lines before it are short, so anything longer is not a PDF update.
constexpr int32_t kFollowBytes = 16'384;
// Enough for the longest opening of an update: "xref", or two numbers and "obj".
constexpr size_t kTokenBytes = 64;

bool IsLineEnd(uint8_t c) {
  return c == '\r' || c == '\n';
}

// PDF white space, less NUL: zeros after a marker are unused disk space, not part of the file.
bool IsBlank(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

bool IsDigit(uint8_t c) {
  return c >= '0' && c <= '9';
}

bool HasAt(Bytes bytes, size_t at, std::string_view text) {
  return at <= bytes.size() && bytes.size() - at >= text.size() &&
         std::memcmp(bytes.data() + at, text.data(), text.size()) == 0;
}

// The first `needle` starting in [from, before) whose bytes all lie in `hay`.
std::optional<size_t> Find(Bytes hay, std::string_view needle, size_t from, size_t before) {
  if (hay.size() < needle.size()) return std::nullopt;
  const size_t lastStart = std::min(before, hay.size() - needle.size() + 1);
  while (from < lastStart) {
    const void* hit = std::memchr(hay.data() + from, needle[0], lastStart - from);
    if (hit == nullptr) return std::nullopt;
    const auto at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - hay.data());
    if (std::memcmp(hay.data() + at, needle.data(), needle.size()) == 0) return at;
    from = at + 1;
  }
  return std::nullopt;
}

// Digits, blanks, digits, blanks, "obj": the start of an indirect object.
bool ObjectAt(Bytes bytes, size_t i) {
  for (int number = 0; number < 2; ++number) {
    const size_t digits = i;
    while (i < bytes.size() && IsDigit(bytes[i]) && i - digits < 10) ++i;
    if (i == digits) return false;
    const size_t blanks = i;
    while (i < bytes.size() && IsBlank(bytes[i])) ++i;
    if (i == blanks) return false;
  }
  return HasAt(bytes, i, "obj");
}

// A PDF or a PostScript file beginning on a sector start is another file, whichever types the
// scan looks for: PostScript ends with the same marker, and a search that ran into it would end
// there.
const HeaderIndex& PdfAndPostScript() {
  static const HeaderIndex index({
      FileSignature{"PDF", "pdf", kDocuments, {'%', 'P', 'D', 'F'}, {}, kPdfLargest, 0},
      FileSignature{"PS", "ps", kDocuments, {'%', '!', 'P', 'S'}, {}, kPdfLargest, 0},
  });
  return index;
}

class PdfWalker {
 public:
  PdfWalker(RangeReader& read, const HeaderIndex* nextFiles)
      : read_(read), stops_(read, nextFiles), ownStops_(read, &PdfAndPostScript()) {}

  PdfEnd Run(const std::atomic<bool>* cancel, int64_t resumeAt);

 private:
  // Reads the window that holds offset `base` on; false when nothing can be read there.
  bool Load(int64_t base);
  // True when what follows a marker whose line end stops at `end` continues the file.
  bool UpdateFollows(int64_t end, bool atLineStart);
  Bytes WindowFrom(int64_t offset) const {
    return window_.subspan(static_cast<size_t>(offset - base_));
  }
  int64_t WindowEnd() const { return base_ + static_cast<int64_t>(window_.size()); }

  // The first offset in [from, to) of `bytes` (at `base`) where another file begins.
  std::optional<int64_t> OtherFile(Bytes bytes, int64_t base, int64_t from, int64_t to) const {
    const auto listed = stops_.First(bytes, base, from, to);
    const auto own = ownStops_.First(bytes, base, from, listed.value_or(to));
    return own ? own : listed;
  }
  // Bytes after a sector start that must be at hand to judge it.
  int64_t Reach() const { return std::max(stops_.Reach(), ownStops_.Reach()); }

  RangeReader& read_;
  StoredFileStops stops_;
  StoredFileStops ownStops_;
  Bytes window_;
  std::vector<uint8_t> held_;  // the window's bytes once the reader has been asked for others
  // Bytes read past the window's end for the markers near it.
  std::vector<uint8_t> ahead_;
  int64_t aheadBase_ = INT64_MAX;
  bool aheadFinal_ = false;  // nothing can be read past them
  int64_t base_ = 0;
  bool final_ = false;  // nothing can be read past the window
};

bool PdfWalker::Load(int64_t base) {
  const auto need = static_cast<int32_t>(std::max(kMarkerSpan, Reach()) + 2);
  Bytes got = read_.ReadWindow(base, kWindowBytes, need);
  if (!got.empty()) {
    // A short window from the scan buffer says nothing of the device; one from the device ends
    // where it can be read no further.
    final_ = !read_.InBuffer(got) && got.size() < static_cast<size_t>(kWindowBytes);
  } else {
    got = read_.ReadLongest(base, need, 1);
    if (got.empty()) return false;
    final_ = true;
  }
  window_ = got;
  base_ = base;
  return true;
}

bool PdfWalker::UpdateFollows(int64_t end, bool atLineStart) {
  Bytes after = {};
  bool last = final_;
  if (final_ || WindowEnd() - end >= kFollowBytes) {
    after =
        WindowFrom(std::min(end, WindowEnd()))
            .first(static_cast<size_t>(std::clamp<int64_t>(WindowEnd() - end, 0, kFollowBytes)));
  } else {
    // Markers crowded at the window's end share one read of the bytes after it.
    const auto aheadEnd = [&] { return aheadBase_ + static_cast<int64_t>(ahead_.size()); };
    if (end < aheadBase_ || (aheadEnd() - end < kFollowBytes && !aheadFinal_)) {
      // The reader's next answer replaces the bytes the window may be looking at.
      if (!read_.InBuffer(window_) && window_.data() != held_.data()) {
        held_.assign(window_.begin(), window_.end());
        window_ = held_;
      }
      const Bytes got = read_.ReadLongest(end, 2 * kFollowBytes, 1);
      ahead_.assign(got.begin(), got.end());
      aheadBase_ = end;
      aheadFinal_ = got.size() < static_cast<size_t>(2 * kFollowBytes);
    }
    const int64_t held = std::clamp<int64_t>(aheadEnd() - end, 0, kFollowBytes);
    const int64_t skip = std::min<int64_t>(end - aheadBase_, std::ssize(ahead_));
    after = Bytes(ahead_).subspan(static_cast<size_t>(skip), static_cast<size_t>(held));
    last = aheadFinal_ && aheadEnd() - end <= kFollowBytes;
  }
  // What follows the marker, and how many of those bytes it took to tell.
  bool follows = false;
  size_t looked = 0;
  for (size_t i = 0;;) {
    while (i < after.size() && IsBlank(after[i])) ++i;
    if (i >= after.size()) break;
    if (after[i] != '%') {
      // Objects, a cross-reference table (a stream is an object), or the rest of the stream that
      // held an embedded file's marker.
      const Bytes token = after.first(std::min(after.size(), i + kTokenBytes));
      follows = ObjectAt(token, i) || HasAt(token, i, "xref") || HasAt(token, i, "endstream");
      looked = token.size();
      break;
    }
    const bool lineStart = i > 0 ? IsLineEnd(after[i - 1]) : atLineStart;
    if (lineStart && HasAt(after, i, kMarker)) {  // the next revision's end
      follows = true;
      looked = i + kMarker.size();
      break;
    }
    if (HasAt(after, i, "%!") || HasAt(after, i, "%PDF-")) break;  // PostScript or a PDF
    while (i < after.size() && !IsLineEnd(after[i])) ++i;          // a comment line
  }
  // Bytes of another file, beginning on a sector start, are no update of this one.
  const int64_t judged = last ? end + static_cast<int64_t>(after.size())
                              : end + static_cast<int64_t>(after.size()) - Reach();
  return follows &&
         !OtherFile(after, end, end, std::min(end + static_cast<int64_t>(looked), judged));
}

PdfEnd PdfWalker::Run(const std::atomic<bool>* cancel, int64_t resumeAt) {
  const int64_t start = std::clamp<int64_t>(resumeAt, 0, kPdfLargest);
  PdfEnd result{std::nullopt, start, SearchStop::kReach};
  // A marker starts a line, so it never starts at the header's first byte.
  int64_t from = std::max<int64_t>(start, 1);
  while (from < kPdfLargest) {
    if (IsCancelled(cancel)) return {std::nullopt, start, SearchStop::kReach};
    // The window begins a byte early: whether a marker starts a line is told by the byte before.
    if (!Load(from - 1)) {
      result.searchedTo = from;
      result.stop = SearchStop::kFailedRead;
      return result;
    }
    const int64_t judgedTo =
        std::min(final_ ? WindowEnd() : WindowEnd() - std::max(kMarkerSpan, Reach()), kPdfLargest);
    const auto other = OtherFile(window_, base_, from, judgedTo);
    const int64_t searchTo = other.value_or(judgedTo);

    // Bytes past this may not be taken into the file: another file's or the device's.
    const int64_t hardEnd = other ? *other : final_ ? WindowEnd() : INT64_MAX;
    const auto before = static_cast<size_t>(searchTo - base_);
    for (auto at = Find(window_, kMarker, static_cast<size_t>(from - base_), before); at;
         at = Find(window_, kMarker, *at + 1, before)) {
      if (!IsLineEnd(window_[*at - 1])) continue;  // inside a line: text, not a revision's end
      const int64_t marker = base_ + static_cast<int64_t>(*at);
      int64_t end = marker + static_cast<int64_t>(kMarker.size());
      if (end > hardEnd) break;
      const Bytes lineEnd = WindowFrom(end).first(
          static_cast<size_t>(std::min<int64_t>(2, std::min(WindowEnd(), hardEnd) - end)));
      if (!lineEnd.empty() && lineEnd[0] == '\r') {
        end += lineEnd.size() > 1 && lineEnd[1] == '\n' ? 2 : 1;
      } else if (!lineEnd.empty() && lineEnd[0] == '\n') {
        end += 1;
      }
      if (end < hardEnd && UpdateFollows(end, end > marker + 5)) continue;
      result.size = end;
      result.searchedTo = marker;
      return result;
    }

    if (other) {
      result.searchedTo = *other;
      result.stop = SearchStop::kNextFile;
      return result;
    }
    if (final_) {
      result.searchedTo = judgedTo;
      result.stop = judgedTo >= kPdfLargest ? SearchStop::kReach : SearchStop::kFailedRead;
      return result;
    }
    from = judgedTo;
  }
  result.searchedTo = kPdfLargest;
  return result;
}

}  // namespace

PdfEnd WalkPdfEnd(RangeReader& read, const std::atomic<bool>* cancel, const HeaderIndex* nextFiles,
                  int64_t resumeAt) {
  return PdfWalker(read, nextFiles).Run(cancel, resumeAt);
}

}  // namespace quarvelin
