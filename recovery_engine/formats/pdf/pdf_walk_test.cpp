#include "formats/pdf/pdf_walk.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "candidate.h"
#include "fixtures.h"

namespace quarvelin {
namespace {

using testing::Concat;
using testing::File;
using testing::Placement;
using testing::Text;
constexpr size_t kMiB = 1 << 20;

const std::string kBody =
    "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Type /Catalog >>\nendobj\nxref\n0 2\n"
    "0000000000 65535 f \n0000000015 00000 n \ntrailer\n<< /Size 2 /Root 1 0 R >>\nstartxref\n"
    "51\n";
const std::string kUpdate =
    "2 0 obj\n(saved again)\nendobj\nxref\n2 1\n0000000150 00000 n \n"
    "trailer\n<< /Prev 51 >>\nstartxref\n170\n";
const std::string kPostScript = "%!PS-Adobe-3.0\n%%Pages: 1\nshowpage\n%%EOF\n";

const HeaderIndex& AllTypes() {
  static const HeaderIndex index(LoadSignatures({}));
  return index;
}

PdfEnd Walk(const File& disk, Placement p = {}, const HeaderIndex* next = &AllTypes(),
            int64_t resumeAt = 0) {
  testing::Candidate candidate(disk, p);
  RangeReader read = candidate.Reader();
  return WalkPdfEnd(read, candidate.Cancel(), next, resumeAt);
}

int64_t Size(const File& f) {
  return static_cast<int64_t>(f.size());
}

TEST(PdfWalk, EndsAtTheLineEndOfTheLastMarkerThatNoUpdateFollows) {
  const Placement placements[] = {
      {.lead = 300, .randomTrailing = true},
      {.lead = 300, .bufferBytes = 1000, .sectorSize = 4096, .randomTrailing = true},
      {.lead = 0}};
  for (const char* lineEnd : {"\n", "\r\n", "\r"}) {
    const std::string eof = std::string("%%EOF") + lineEnd;
    // Incremental updates, one after comment lines; a marker followed by the rest of the stream
    // that embeds it; markers inside a line are text.
    const File updated = Text(kBody + eof + kUpdate + eof + "%comment\n" + kUpdate + eof);
    const File embedded =
        Text(kBody + "3 0 obj\n<< /Length 9 >>\nstream\n%%EOF\nendstream\nendobj\n(a %%EOF)\n" +
             kUpdate + eof);
    for (const File& pdf : {Text(kBody + eof), updated, embedded}) {
      for (const Placement& p : placements) {
        const PdfEnd r = Walk(pdf, p);
        EXPECT_EQ(r.size, Size(pdf)) << lineEnd << p.lead;
        // What follows: PostScript, another PDF not on a sector start, zeros: all end the file.
        for (const std::string& after : {kPostScript, kBody, std::string(40, '\0')}) {
          EXPECT_EQ(Walk(Concat(pdf, after, eof), p).size, Size(pdf));
        }
      }
    }
  }
  // No line end, at the device's end or before zeros.
  const File bare = Text(kBody + "%%EOF");
  EXPECT_EQ(Walk(bare, {.sectorSize = static_cast<int32_t>(bare.size()), .trailing = 0}).size,
            Size(bare));
  EXPECT_EQ(Walk(bare).size, Size(bare));
}

TEST(PdfWalk, NeverSearchesPastAnotherFileOnASectorStart) {
  const File unfinished = Text(kBody);  // cut before its marker
  const File ps = Text(kPostScript + std::string(600, ' ') + "%%EOF\n");
  for (const File& next : {ps, Text(kBody + "%%EOF\n")}) {
    const PdfEnd r = Walk(Concat(testing::Padded(unfinished, 2048), next));
    EXPECT_FALSE(r.size);
    EXPECT_EQ(r.searchedTo, 2048);
    EXPECT_EQ(r.stop, SearchStop::kNextFile);
    // Without a list of types: PostScript and PDF are never part of a PDF.
    const PdfEnd own = Walk(Concat(testing::Padded(unfinished, 2048), next), {}, nullptr);
    EXPECT_EQ(std::pair(own.size, own.searchedTo), std::pair(r.size, r.searchedTo));
  }
  // A file that ends exactly where the next begins keeps its marker and line end.
  const File whole = testing::Padded(Text(kBody), 2041, ' ');
  EXPECT_EQ(Walk(Concat(whole, "\n%%EOF\n", ps)).size, 2048);
}

TEST(PdfWalk, UnprovenWithoutAnEndingMarker) {
  // Cut before any marker, and cut inside an update: the device ends, or a read fails.
  for (const File& pdf : {Text(kBody), Text(kBody + "%%EOF\n" + kUpdate)}) {
    const PdfEnd r = Walk(pdf, {.bufferBytes = 512, .trailing = 0});
    EXPECT_FALSE(r.size);
    EXPECT_EQ(r.stop, SearchStop::kFailedRead);
    EXPECT_GE(r.searchedTo, Size(pdf) - 7);
  }
  testing::Candidate cancelled(Text(kBody + "%%EOF\n"), {.cancelled = true});
  RangeReader read = cancelled.Reader();
  EXPECT_FALSE(WalkPdfEnd(read, cancelled.Cancel(), &AllTypes()).size);
}

TEST(PdfWalk, LongFilesAcrossReadsAndResumedSearches) {
  // Revisions crowded on both sides of the read seams, each marker continued by an update.
  File pdf = Text(kBody + "%%EOF\n");
  while (pdf.size() < 3 * kMiB) testing::Append(pdf, kUpdate, "%%EOF\n");
  for (const Placement& p : {Placement{.randomTrailing = true},
                             Placement{.lead = 77, .chunkStart = 5, .bufferBytes = 4096}}) {
    testing::Candidate candidate(pdf, p);
    RangeReader read = candidate.Reader();
    EXPECT_EQ(WalkPdfEnd(read, nullptr, &AllTypes()).size, Size(pdf));
    // Windows of the device, not a read per marker.
    EXPECT_LT(read.DeviceReads(), 20);
    // Resumed from where an earlier search found no ending marker.
    EXPECT_EQ(Walk(pdf, p, &AllTypes(), 2 * kMiB + 5).size, Size(pdf));
  }
}

TEST(PdfWalk, RealFiles) {
  for (const auto& path : testing::Fixtures("pdf")) {
    const File pdf = testing::Fixture(path.filename().string());
    for (const Placement& p : {Placement{.lead = 1000, .randomTrailing = true},
                               Placement{.lead = 1000, .bufferBytes = 2048}}) {
      EXPECT_EQ(Walk(Concat(pdf, kPostScript), p).size, Size(pdf)) << path;
    }
  }
}

}  // namespace
}  // namespace quarvelin
