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

// Every row's category names an output folder.
TEST(SignatureTable, EveryCategoryHasAFolder) {
  for (const auto& row : SignatureTable()) {
    EXPECT_FALSE(row.header.empty());
    EXPECT_GE(row.category, 0);
    EXPECT_LT(row.category, static_cast<int>(std::size(CategoryFolders)));
  }
}

}  // namespace
}  // namespace quarvelin
