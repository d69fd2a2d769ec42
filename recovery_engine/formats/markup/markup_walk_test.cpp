#include "formats/markup/markup_walk.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "candidate.h"
#include "fixtures.h"

namespace quarvelin {
namespace {

using testing::Concat;
using testing::File;
using testing::Placement;
using testing::Text;

const HeaderIndex& AllTypes() {
  static const HeaderIndex index(LoadSignatures({}));
  return index;
}

MarkupEnd Walk(const File& disk, Placement p = {.randomTrailing = true}) {
  testing::Candidate candidate(disk, p);
  RangeReader read = candidate.Reader();
  return WalkMarkupEnd(read, candidate.Cancel(), &AllTypes());
}

int64_t Size(const File& f) {
  return static_cast<int64_t>(f.size());
}

// `text` as UTF-16 with a byte-order mark (ASCII and Latin-1 letters only).
File Utf16(std::u16string_view text, bool little) {
  File bytes = little ? File{0xFF, 0xFE} : File{0xFE, 0xFF};
  for (const char16_t c : text) {
    const auto high = static_cast<uint8_t>(c >> 8), low = static_cast<uint8_t>(c & 0xFF);
    bytes.push_back(little ? low : high);
    bytes.push_back(little ? high : low);
  }
  return bytes;
}

void ExpectEnd(const MarkupEnd& r, int64_t size, MarkupKind kind, TextEncoding encoding) {
  EXPECT_EQ(r.size, size);
  EXPECT_FALSE(r.endedByBinary);
  EXPECT_EQ(r.kind, kind);
  EXPECT_EQ(r.encoding, encoding);
}

TEST(MarkupWalk, EndsAfterTheRootsClosingTagAndItsLineEnd) {
  using enum MarkupKind;
  // Fake closing tags in comments, scripts, CDATA, attribute values and the document type's
  // internal subset; HTML in capitals with unclosed paragraphs and void elements.
  const std::string html =
      "<!doctype HTML>\n<HTML><HEAD><META charset=utf-8><!-- </html> --></HEAD><BODY>"
      "<P>one<P>two<BR><IMG src=a.png alt='x>y'><SCRIPT>if (a </b) w('</html>');</SCRIPT>"
      "<style>p::after { content: \"</html>\" }</STYLE></BODY></HTML>";
  const std::string svg =
      "<?xml version=\"1.0\"?>\n<!-- </svg> -->\n<svg xmlns=\"http://www.w3.org/2000/svg\">"
      "<style><![CDATA[ .a > .b { content: '</svg>' } ]]></style><svg><g title=\"</svg>\"/></svg>"
      "<?pi </svg> ?></svg>";
  const std::string xml =
      "<!DOCTYPE r [ <!ENTITY e \"]>\"> <!-- ' ]> --> ]>\n<r><a/><r>x</r><b:c></b:c></r>";
  const std::pair<std::string, MarkupKind> cases[] = {
      {html, kHtml}, {svg, kSvg}, {xml, kXml}, {"<svg:svg a='1'/>", kSvg}};
  for (const auto& [text, kind] : cases) {
    for (const char* lineEnd : {"\n", "\r\n", "\r", ""}) {
      const File file = Text(text + lineEnd);
      ExpectEnd(Walk(Concat(file, "<p>more</p>\n")), Size(file), kind, TextEncoding::kUtf8);
      ExpectEnd(Walk(file, {.lead = 3, .chunkStart = 2, .bufferBytes = 100}), Size(file), kind,
                TextEncoding::kUtf8);
    }
  }
  // Byte-order marks: UTF-8, UTF-16 of both byte orders.
  const std::u16string doc =
      u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<doc>caf\u00E9</doc>\r\n";
  for (const bool little : {true, false}) {
    const File file = Utf16(doc, little);
    ExpectEnd(Walk(file), Size(file), kXml,
              little ? TextEncoding::kUtf16Le : TextEncoding::kUtf16Be);
    ExpectEnd(Walk(Concat(file, Utf16(u"<doc/>", little))), Size(file), kXml,
              little ? TextEncoding::kUtf16Le : TextEncoding::kUtf16Be);
  }
  const File bom = Concat(File{0xEF, 0xBB, 0xBF}, "<a>caf\xC3\xA9</a>\n");
  ExpectEnd(Walk(bom), Size(bom), kXml, TextEncoding::kUtf8);
  // Latin-1 text is text; its letters beyond ASCII are not UTF-8.
  const File latin1 = Text("<html><p>caf\xE9 cr\xE8me</p></html>\n");
  ExpectEnd(Walk(latin1), Size(latin1), kHtml, TextEncoding::kSingleByte);
}

TEST(MarkupWalk, TextThatRunsIntoOtherBytesEndsThere) {
  const std::string open = "<?xml version=\"1.0\"?>\n<log><entry>caf\xC3\xA9</entry>\n";
  const auto ended = [](const MarkupEnd& r, int64_t size) {
    EXPECT_EQ(r.size, size);
    EXPECT_TRUE(r.endedByBinary);
  };
  ended(Walk(Text(open), {}), Size(Text(open)));  // zeros after it
  ended(Walk(Concat(open, "\x01\x02"), {}), Size(Text(open)));
  ended(Walk(Concat(open, "\xC3(abc"), {}), Size(Text(open)));  // bad UTF-8 after good
  const File utf16 = Utf16(u"<log><entry>", true);
  ended(Walk(utf16, {}), Size(utf16));
  ended(Walk(Concat(utf16, File{0x00, 0xD8, 'a', 0}), {}), Size(utf16));  // lone surrogate
}

TEST(MarkupWalk, UnprovenWhenTheTextStopsShort) {
  // Another file begins on a sector start; the device ends; tags that do not nest; cancelled.
  const File open = Text("<svg><g>" + std::string(1000, ' '));
  const MarkupEnd next = Walk(Concat(open, std::string(16, ' '), "%PDF-1.4\n"));
  EXPECT_EQ(std::tuple(next.size, next.searchedTo, next.stop),
            std::tuple(std::optional<int64_t>(), int64_t{1024}, SearchStop::kNextFile));
  const MarkupEnd cut = Walk(Text("<a>caf\xC3"), {.sectorSize = 7, .trailing = 0});
  EXPECT_EQ(std::pair(cut.size, cut.stop),
            std::pair(std::optional<int64_t>(), SearchStop::kFailedRead));
  EXPECT_FALSE(Walk(Text("<a><b></a></b>\n")).size);
  // A comment that never closes: the walk ends at the largest size the scan carves.
  std::string deep = "<r><a><!--";
  deep.resize(static_cast<size_t>(kMarkupLargest) + 100, 'x');
  const MarkupEnd limit = Walk(Text(deep));
  EXPECT_EQ(std::tuple(limit.size, limit.searchedTo, limit.stop),
            std::tuple(std::optional<int64_t>(), kMarkupLargest, SearchStop::kReach));
  testing::Candidate cancelled(Text("<a></a>"), {.cancelled = true});
  RangeReader read = cancelled.Reader();
  EXPECT_FALSE(WalkMarkupEnd(read, cancelled.Cancel(), nullptr).size);
}

TEST(MarkupWalk, LongTextAcrossReads) {
  File xml = Text("<?xml version=\"1.0\"?>\n<rows>\n");
  while (xml.size() < 2'500'000)
    testing::Append(xml, "  <row v=\"\xE2\x82\xAC 1 > 0\"><!-- x --></row>\n");
  testing::Append(xml, "</rows>\n");
  for (const Placement& p : {Placement{.randomTrailing = true},
                             Placement{.lead = 11, .chunkStart = 1, .bufferBytes = 5000}}) {
    ExpectEnd(Walk(xml, p), Size(xml), MarkupKind::kXml, TextEncoding::kUtf8);
  }
}

TEST(MarkupWalk, RealFiles) {
  for (const char* extension : {"html", "svg", "xml"}) {
    for (const auto& path : testing::Fixtures(extension)) {
      const File file = testing::Fixture(path.filename().string());
      const MarkupEnd r = Walk(Concat(file, "<html></html>\n"), {.lead = 200});
      EXPECT_EQ(r.size, Size(file)) << path;
      EXPECT_FALSE(r.endedByBinary) << path;
      EXPECT_EQ(r.kind, std::string(extension) == "html"  ? MarkupKind::kHtml
                        : std::string(extension) == "svg" ? MarkupKind::kSvg
                                                          : MarkupKind::kXml)
          << path;
    }
  }
}

}  // namespace
}  // namespace quarvelin
