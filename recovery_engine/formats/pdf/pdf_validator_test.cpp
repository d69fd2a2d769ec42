#include "formats/pdf/pdf_validator.h"

#include <gtest/gtest.h>

#include <string>

#include "candidate.h"

namespace quarvelin {
namespace {

using testing::Placement;
using Issues = std::vector<std::string>;
constexpr size_t kMiB = 1 << 20;

const std::string kPdf =
    "%PDF-1.4\n1 0 obj\n<< /Type /Catalog >>\nendobj\nxref\n0 2\n0000000000 65535 f \n"
    "0000000009 00000 n \ntrailer\n<< /Size 2 /Root 1 0 R >>\nstartxref\n45\n%%EOF\n";
// What an incremental save appends: a changed object, its cross-reference section, a new marker.
const std::string kUpdate =
    "2 0 obj\n(saved again)\nendobj\nxref\n2 1\n0000000150 00000 n \ntrailer\n<< /Prev 45 >>\n"
    "startxref\n170\n%%EOF\n";

// `text` padded before its final "%%EOF\n" to exactly `size` bytes.
std::string Padded(std::string text, size_t size) {
  text.insert(text.size() - 6, size - text.size(), ' ');
  return text;
}

PdfValidationResult Validate(const std::string& text,
                             Placement placement = {.trailing = 2 * kMiB}) {
  return testing::Validated(testing::Text(text), placement, ValidatePdf);
}

TEST(PdfValidator, SizesByTheLastMarker) {
  const auto single = Padded(kPdf, 300'000);  // marker at 299,994
  const auto updated = kPdf + kUpdate + kUpdate;
  for (const Placement p :
       {Placement{.lead = 300, .trailing = 2 * kMiB, .randomTrailing = true},
        Placement{.lead = 300, .bufferBytes = 1000, .sectorSize = 4096, .trailing = 2 * kMiB}}) {
    const auto r = Validate(single, p);
    EXPECT_EQ(std::pair(r.size, r.eofCount), std::pair(int64_t{300'004}, 1));
    EXPECT_EQ(std::pair(r.version, r.confidence), std::pair(std::string("1.4"), 100));
    EXPECT_TRUE(r.hasXref && r.hasEof && r.issues.empty());
    const auto u = Validate(updated, p);
    EXPECT_EQ(std::pair(u.size, u.eofCount), std::pair(std::ssize(updated) + 4, 3));
  }

  std::string seams = "%PDF-1.5\n" + std::string(2 * kMiB, ' ');
  seams.replace(kMiB - 20, 5, "%%EOF");     // wholly inside the first read's last bytes
  seams.replace(kMiB - 2, 4, "xref");       // across the first seam
  seams.replace(2 * kMiB - 2, 5, "%%EOF");  // across the second
  const auto r = Validate(seams);
  EXPECT_EQ(std::pair(r.size, r.eofCount), std::pair(static_cast<int64_t>(2 * kMiB + 8), 2));
  EXPECT_TRUE(r.hasXref);
}

TEST(PdfValidator, StopsWhereTheNextFileStartsOnASector) {
  // Each first file ends exactly on a sector boundary, where the next one begins.
  const auto first = Padded(kPdf, 1024), updated = Padded(kPdf + kUpdate + kUpdate, 2048);
  const auto second = Padded(kPdf, 5120);
  auto r = Validate(first + second);
  EXPECT_EQ(std::pair(r.size, r.eofCount), std::pair(int64_t{1024}, 1));
  r = Validate(updated + second);
  EXPECT_EQ(std::pair(r.size, r.eofCount), std::pair(int64_t{2048}, 3));
  EXPECT_EQ(Validate(second + first).size, 5120);

  // Off a sector boundary a header is only text inside this file.
  r = Validate(first + second, {.lead = 100, .trailing = 2 * kMiB});
  EXPECT_EQ(std::pair(r.size, r.eofCount), std::pair(int64_t{6148}, 2));
}

TEST(PdfValidator, ReportsDamagedOrForeignData) {
  EXPECT_EQ(Validate("", {.trailing = 0}).issues, Issues{"Cannot read header"});
  const auto foreign = Validate("%!PS-Adobe-3.0\n%%EOF\n");
  EXPECT_EQ(std::pair(foreign.size, foreign.confidence), std::pair(int64_t{0}, 0));
  EXPECT_EQ(foreign.issues, Issues{"Invalid PDF header"});

  EXPECT_EQ(Validate("%PDF-1.7\r\n" + kPdf).version, "1.7");
  EXPECT_EQ(Validate("%PDF-1.7abcdefg" + kPdf).version, "1.7ab");
  const auto bare = Validate("%PDF-\n" + kPdf);
  EXPECT_EQ(std::pair(bare.issues, bare.confidence),
            std::pair(Issues{"Cannot determine PDF version"}, 90));

  const Issues missing{"No %%EOF marker found", "No xref table found"};
  const auto plain = Validate("%PDF-1.4\n1 0 obj\n<< >>\nendobj\n");
  EXPECT_EQ(std::pair(plain.issues, plain.confidence), std::pair(missing, 40));
  EXPECT_EQ(Validate(kPdf, {.trailing = 2 * kMiB, .cancelled = true}).issues, missing);

  const auto text = kPdf + kUpdate + kUpdate;
  for (size_t cut = 5; cut < text.size(); cut += 7) {
    const auto r = Validate(text.substr(0, cut));
    EXPECT_LE(r.size, static_cast<int64_t>(cut) + 10);
    EXPECT_TRUE(r.confidence >= 0 && r.eofCount <= 3);
  }
}

}  // namespace
}  // namespace quarvelin
