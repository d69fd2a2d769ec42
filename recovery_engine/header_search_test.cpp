#include "header_search.h"

#include <gtest/gtest.h>

#include <cstring>

#include "bytes.h"

namespace quarvelin {
namespace {

// Every offset below `limit` where some header matches, the slow and obvious way.
std::vector<size_t> Naive(const std::vector<FileSignature>& sigs, std::span<const uint8_t> data,
                          size_t limit) {
  std::vector<size_t> found;
  for (size_t p = 0; p < limit; ++p) {
    for (const auto& s : sigs) {
      if (p + s.header.size() <= data.size() &&
          std::memcmp(data.data() + p, s.header.data(), s.header.size()) == 0) {
        found.push_back(p);
        break;
      }
    }
  }
  return found;
}

std::vector<size_t> Indexed(const HeaderIndex& index, std::span<const uint8_t> data, size_t limit) {
  std::vector<size_t> found;
  for (auto at = index.FindNext(data, 0, limit); at; at = index.FindNext(data, *at + 1, limit)) {
    found.push_back(*at);
  }
  return found;
}

TEST(HeaderIndex, FindsWhatAnExhaustiveSearchFinds) {
  const auto sigs = LoadSignatures({});
  const HeaderIndex index(sigs);
  // Random bytes, long zero runs (free space) and every header planted at odd places, including
  // headers that start just before the limit and end after it.
  auto data = testing::RandomBytes(1 << 20, 5);
  std::fill(data.begin() + 1000, data.begin() + 300000, 0);
  size_t at = 7;
  for (const auto& s : sigs) {
    testing::Overwrite(data, at, s.header);
    at += 4093;
  }
  for (size_t zeroRun = 1000; zeroRun < 200000; zeroRun += 9973) {
    const auto& s = sigs[zeroRun % sigs.size()];
    testing::Overwrite(data, zeroRun, s.header);
  }
  const size_t limit = data.size() - 3;
  testing::Overwrite(data, data.size() - 5, testing::Text("%PDF"));  // across it
  EXPECT_EQ(Indexed(index, data, limit), Naive(sigs, data, limit));
  EXPECT_EQ(Indexed(index, data, limit).back(), data.size() - 5);
}

TEST(HeaderIndex, ReportsEveryMatchAtAnOffsetInSearchOrder) {
  const auto sigs = LoadSignatures({"docx", "zip", "jpg"});
  const HeaderIndex index(sigs);
  const std::vector<uint8_t> local = {0x50, 0x4B, 0x03, 0x04, 0x14, 0x00, 0x06, 0x00};
  std::vector<size_t> zipRows;  // both DOCX rows and the ZIP row; no JPEG row
  for (size_t i = 0; i < sigs.size(); ++i) {
    if (sigs[i].extension != "jpg") zipRows.push_back(i);
  }
  ASSERT_EQ(zipRows.size(), 3u);
  EXPECT_EQ(index.RowsAt(local, 0), zipRows);
  EXPECT_EQ(index.RowsAt(std::span(local).first(4), 0),
            (std::vector<size_t>{zipRows[1], zipRows[2]}));
  EXPECT_EQ(index.MatchesAt(local, 7), 0u);
  EXPECT_FALSE(index.FindNext(std::vector<uint8_t>(4096, 0), 0, 4096));
}

TEST(HeaderIndex, HeadersMarkedSoMatchInAnyLetterCase) {
  FileSignature html;
  html.header = {'<', 'h', 't', 'm', 'l'};
  html.ignoreCase = true;
  FileSignature svg;
  svg.header = {'<', 's', 'v', 'g'};
  const HeaderIndex index({html, svg});
  std::vector<uint8_t> data(4096, 'x');
  testing::Overwrite(data, 100, testing::Text("<HtMl"));
  testing::Overwrite(data, 300, testing::Text("<SVG"));  // exact case only
  testing::Overwrite(data, 500, testing::Text("<svg"));
  EXPECT_EQ(index.FindNext(data, 0, data.size()), 100u);
  EXPECT_EQ(index.FindNext(data, 101, data.size()), 500u);
  EXPECT_EQ(index.RowsAt(data, 100), (std::vector<size_t>{0}));
}

}  // namespace
}  // namespace quarvelin
