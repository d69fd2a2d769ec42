// Markup: SVG, HTML and XML, text that ends with the root element's closing tag. The root names
// the type: an XML file whose root is "svg" is an SVG.

#include <algorithm>

#include "formats/markup/markup_walk.h"
#include "formats/registry.h"
#include "header_search.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

std::string_view ExtensionOf(MarkupKind kind) {
  switch (kind) {
    case MarkupKind::kSvg:
      return "svg";
    case MarkupKind::kHtml:
      return "html";
    case MarkupKind::kXml:
      break;
  }
  return "xml";
}

// An element's start tag: "<", a letter, then text up to the tag's end. Checked on a few bytes
// only; the walk decides.
bool StartsWithElement(Bytes bytes) {
  constexpr size_t kLook = 16;
  if (bytes.size() < kLook || bytes[0] != '<') return false;
  const auto letter = [](uint8_t b) { return (b | 0x20) >= 'a' && (b | 0x20) <= 'z'; };
  if (!letter(bytes[1])) return false;
  return std::all_of(bytes.begin() + 2, bytes.begin() + kLook,
                     [](uint8_t b) { return b >= 0x20 || b == '\t' || b == '\n' || b == '\r'; });
}

CarvedSize Size(SizingJob& job) {
  const MarkupEnd end = WalkMarkupEnd(job.Read(), job.Cancel(), job.NextFiles());
  const std::string_view extension = ExtensionOf(end.kind);
  // Text met at a sector start without a header: only a root element that closes makes it a file,
  // and not a short one.
  if (!HeaderMatches(job.Candidate(), 0, job.Row().header, job.Row().ignoreCase)) {
    if (!end.size || end.endedByBinary || end.kind == MarkupKind::kHtml) return {};
    return {.size = *end.size, .extension = extension};
  }
  if (!end.size) {
    // Tags that do not nest, or HTML that never closes: text up to the next file, at most the
    // type's maximum.
    return {.size = job.MaxSize(), .estimated = true, .extension = extension};
  }
  // Text that runs into bytes no text holds ended there or was cut there: kept only when it is not
  // too short to be a file.
  if (end.endedByBinary) return {.size = *end.size, .extension = extension};
  return SizingJob::Proven(*end.size, extension);
}

std::vector<uint8_t> Bom(std::string_view text) {
  std::vector<uint8_t> bytes = HeaderBytes({0xEF, 0xBB, 0xBF});
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

}  // namespace

const FileFormat& MarkupFormat() {
  static const FileFormat format{
      "Markup",
      {{"SVG", "svg", kImages, 50, 10 * MiB},
       {"HTML", "html", kCode, 50, 10 * MiB},
       {"XML", "xml", kCode, 50, 10 * MiB}},
      {{HeaderText("<svg"), {"svg"}, HeaderText("</svg>")},
       {HeaderText("<html"), {"html"}, HeaderText("</html>"), true},
       {HeaderText("<!doctype html"), {"html"}, HeaderText("</html>"), true},
       {Bom("<html"), {"html"}, HeaderText("</html>"), true},
       {Bom("<!doctype html"), {"html"}, HeaderText("</html>"), true},
       // A declaration starts XML of any root, SVG included, in UTF-8 (with or without a
       // byte-order mark) or UTF-16 of either byte order.
       {HeaderText("<?xml"), {"svg", "xml"}, {}},
       {Bom("<?xml"), {"svg", "xml"}, {}},
       {HeaderBytes({0xFF, 0xFE, '<', 0, '?', 0, 'x', 0}), {"svg", "xml"}, {}},
       {HeaderBytes({0xFE, 0xFF, 0, '<', 0, '?', 0, 'x'}), {"svg", "xml"}, {}}},
      Size,
      nullptr,
      "xml",
      StartsWithElement};
  return format;
}

}  // namespace quarvelin
