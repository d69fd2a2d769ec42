#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "carved_size.h"
#include "header_search.h"
#include "sizing/range_reader.h"

namespace quarvelin {

// The largest HTML, SVG or XML file the scan carves; no search for its end looks further.
inline constexpr int64_t kMarkupLargest = 10'485'760;

// What the text turned out to be.
enum class MarkupKind : uint8_t {
  kXml,
  kHtml,  // an "html" root or an HTML document type
  kSvg,   // an "svg" (or "svg:svg") root
};

enum class TextEncoding : uint8_t {
  kUtf8,
  kUtf16Le,
  kUtf16Be,
  // Bytes that are not UTF-8 before any UTF-8 sequence of two or more bytes: a one-byte code page
  // such as Latin-1 or Windows-1252, where every byte from 0x80 up is a character.
  kSingleByte,
};

// Where a markup file that begins at candidate offset 0 ends, as far as its text proves it.
struct MarkupEnd {
  // The file's length: through the root element's closing tag (or its empty-element tag) and the
  // line end after it; or, with `endedByBinary`, up to the first bytes no text holds.
  std::optional<int64_t> size;
  // The text ran into zeros or other bytes that are no text before its root closed: the file
  // ended there, or was cut there, which the text cannot tell.
  bool endedByBinary = false;
  MarkupKind kind = MarkupKind::kXml;
  TextEncoding encoding = TextEncoding::kUtf8;
  // How far the walk read the text, and why it stopped there when `size` is empty.
  int64_t searchedTo = 0;
  SearchStop stop = SearchStop::kReach;
};

// Walks the markup that begins at candidate offset 0 (a byte-order mark, if any, included) to the
// end of its root element. UTF-8 and UTF-16 of either byte order, told by the byte-order mark or by
// a first "<" in 16-bit units. Comments, CDATA sections, processing instructions and document types
// are skipped whole, so a closing tag inside them does not count; HTML ends at its first "</html>"
// outside them and outside scripts and style sheets, names compared ignoring letter case. Never
// looks at or past a sector start where a header of `nextFiles` (may be null) matches, nor past
// kMarkupLargest. Gives up, proving nothing, when `cancel` is set.
MarkupEnd WalkMarkupEnd(RangeReader& read, const std::atomic<bool>* cancel,
                        const HeaderIndex* nextFiles);

}  // namespace quarvelin
