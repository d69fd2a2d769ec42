#include "header_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>

#include "bytes.h"

namespace quarvelin {
namespace {

// Every offset below `limit` where some header matches, the slow and obvious way.
std::vector<size_t> Naive(const std::vector<FileSignature>& sigs, std::span<const uint8_t> data,
                          size_t limit) {
  std::vector<size_t> found;
  for (size_t p = 0; p < limit; ++p) {
    for (const auto& s : sigs) {
      if (!s.header.empty() && p + s.header.size() <= data.size() &&
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
  EXPECT_FALSE(index.AnyMatchAt(local, 7));
  EXPECT_TRUE(index.AnyMatchAt(local, 0));
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

// Many more headers than the built-in types have, sharing first bytes, some matched in any case,
// some led by zero bytes: every one is found where it lies and nowhere else.
TEST(HeaderIndex, HundredsOfHeadersMatchExactlyWhereTheyLie) {
  std::mt19937 random(11);
  std::vector<FileSignature> sigs;
  const auto known = [&sigs](const FileSignature& s) {
    return std::any_of(sigs.begin(), sigs.end(), [&s](const FileSignature& t) {
      return t.header == s.header && t.ignoreCase == s.ignoreCase;
    });
  };
  while (sigs.size() < 300) {
    FileSignature s;
    s.extension = "t";
    s.extension += std::to_string(sigs.size());
    const size_t length = 2 + random() % 7;
    if (!sigs.empty() && random() % 3 == 0) {
      // The start of an earlier header, with a tail of its own.
      const auto& earlier = sigs[random() % sigs.size()].header;
      s.header.assign(earlier.begin(), earlier.begin() + 2);
    } else if (random() % 10 == 0) {
      s.header = {0, 0};
    }
    const size_t least = !s.header.empty() && s.header[0] == 0 ? 4 : 2;
    while (s.header.size() < std::max(length, least)) {
      s.header.push_back(static_cast<uint8_t>(random() % 4 == 0 ? 'a' + random() % 26 : random()));
    }
    s.ignoreCase = s.header[0] != 0 && random() % 5 == 0;
    if (!known(s)) sigs.push_back(s);
  }
  sigs.push_back(sigs[17]);  // a second row with the same header
  sigs.back().extension = "same";
  const HeaderIndex index(sigs);
  EXPECT_EQ(index.PatternCount(), 300u);

  auto data = testing::RandomBytes(1 << 18, 3);
  std::fill(data.begin() + 5000, data.begin() + 30000, 0);
  for (size_t at = 13, i = 0; at + 16 < data.size(); at += 101 + random() % 300, ++i) {
    testing::File header = sigs[i % sigs.size()].header;
    if (sigs[i % sigs.size()].ignoreCase) {
      for (auto& b : header) {
        if (b >= 'a' && b <= 'z' && random() % 2 == 0) b = static_cast<uint8_t>(b - ('a' - 'A'));
      }
    }
    testing::Overwrite(data, at, header);
  }
  std::vector<size_t> expected;
  std::vector<std::vector<size_t>> expectedRows;
  for (size_t p = 0; p < data.size(); ++p) {
    std::vector<size_t> rows;
    for (size_t r = 0; r < sigs.size(); ++r) {
      if (HeaderMatches(data, p, sigs[r].header, sigs[r].ignoreCase)) rows.push_back(r);
    }
    if (rows.empty()) continue;
    expected.push_back(p);
    expectedRows.push_back(rows);
  }
  ASSERT_GT(expected.size(), 1000u);
  EXPECT_EQ(Indexed(index, data, data.size()), expected);
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(index.RowsAt(data, expected[i]), expectedRows[i]) << "at " << expected[i];
  }
}

TEST(HeaderIndex, RefusesAHeaderItCannotSearchForAndLeavesOutRowsWithNone) {
  FileSignature oneByte;
  oneByte.extension = "x";
  oneByte.header = {'A'};
  EXPECT_THROW(HeaderIndex({oneByte}), std::invalid_argument);
  FileSignature none;  // a type found at sector starts by its format's own test
  FileSignature pdf;
  pdf.header = {'%', 'P', 'D', 'F'};
  const HeaderIndex index({none, pdf});
  EXPECT_EQ(index.PatternCount(), 1u);
  EXPECT_EQ(index.RowsAt(testing::Text("%PDF-1.4"), 0), (std::vector<size_t>{1}));
}

}  // namespace
}  // namespace quarvelin
