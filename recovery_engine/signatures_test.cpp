#include "signatures.h"

#include <gtest/gtest.h>

namespace quarvelin {
namespace {

std::vector<size_t> RowsOf(const std::vector<FileSignature>& selected) {
  std::vector<size_t> rows;
  const auto& table = SignatureTable();
  for (const FileSignature& s : selected) {
    for (size_t i = 0; i < table.size(); ++i) {
      if (table[i].header == s.header && table[i].extension == s.extension &&
          table[i].maxSize == s.maxSize) {
        rows.push_back(i + 1);
        break;
      }
    }
  }
  return rows;
}

TEST(LoadSignatures, SelectsByExactExtensionInTableOrder) {
  EXPECT_EQ(LoadSignatures({}).size(), 42u);
  EXPECT_EQ(RowsOf(LoadSignatures({"jpg"})), (std::vector<size_t>{1, 2, 3, 4}));
  EXPECT_TRUE(LoadSignatures({"JPG"}).empty());
  EXPECT_EQ(RowsOf(LoadSignatures({"zip", "docx"})), (std::vector<size_t>{35, 36, 38}));
  EXPECT_EQ(RowsOf(LoadSignatures({"tif", "exe", "tif"})), (std::vector<size_t>{9, 10}));
}

TEST(SignatureTable, RowsThatSharedHeadersDependOn) {
  const auto& t = SignatureTable();
  ASSERT_EQ(t.size(), 42u);
  // Spot checks of values that are easy to get wrong.
  EXPECT_EQ(t[4].footer, (std::vector<uint8_t>{0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82}));
  EXPECT_EQ(t[14].maxSize, 16106127360);
  EXPECT_EQ(t[17].header, (std::vector<uint8_t>{0, 0, 0, 0x20, 'f', 't', 'y', 'p'}));
  EXPECT_EQ(t[36].header, (std::vector<uint8_t>{'{', '\\', 'r', 't', 'f', '1'}));
  EXPECT_EQ(t[38].header, (std::vector<uint8_t>{'R', 'a', 'r', '!', 0x1A, 0x07, 0x00}));
  EXPECT_EQ(t[28].minSize, 1024);
  EXPECT_EQ(t[0].minSize, 1000);
  for (const auto& row : t) {
    EXPECT_FALSE(row.header.empty());
    EXPECT_GE(row.category, 0);
    EXPECT_LT(row.category, 6);
  }
  EXPECT_STREQ(CategoryFolders[kCode], "Code");
}

}  // namespace
}  // namespace quarvelin
