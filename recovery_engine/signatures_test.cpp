#include "signatures.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

#include "formats/format.h"
#include "header_search.h"

namespace quarvelin {
namespace {

std::set<std::string> ExtensionsOf(const std::vector<FileSignature>& rows) {
  std::set<std::string> extensions;
  for (const FileSignature& row : rows) extensions.insert(row.extension);
  return extensions;
}

// The types the UI offers and a selection names, each in its folder, and those the engine adds
// beyond them.
TEST(SignatureTable, HoldsEveryTypeTheUiOffersInItsFolder) {
  std::set<std::string> offered = {"jpg", "png", "gif", "bmp", "tif",  "webp", "ico", "svg",
                                   "psd", "mp4", "mov", "3gp", "m4v",  "avi",  "mkv", "webm",
                                   "wmv", "flv", "mp3", "wav", "flac", "ogg",  "pdf", "docx",
                                   "rtf", "zip", "rar", "7z",  "html", "xml",  "psb", "txt"};
  offered.insert({"dng", "cr2", "nef", "arw", "orf", "rw2"});
  offered.insert({"xlsx", "pptx", "odt", "ods", "odp", "epub", "jar", "apk"});
  offered.insert({"doc", "xls", "ppt", "msg"});
  offered.insert({"gz", "tar", "iso"});
  offered.insert({"heic", "avif", "cr3", "m4a", "jxl"});
  offered.insert({"sqlite", "db", "pst", "aif", "aac"});
  EXPECT_EQ(ExtensionsOf(SignatureTable()), offered);
  for (const auto& row : SignatureTable()) {
    ASSERT_NE(row.format, nullptr) << row.extension;
    // No header only for a type its format finds at sector starts.
    if (row.extension != row.format->unheadedType) {
      EXPECT_GE(row.header.size(), 2u) << row.extension;
    }
    ASSERT_GE(row.category, 0);
    ASSERT_LT(row.category, static_cast<int>(std::size(CategoryFolders)));
  }
  EXPECT_STREQ(CategoryFolders[static_cast<size_t>(LoadSignatures({"zip"})[0].category)],
               "Archives");
  EXPECT_STREQ(CategoryFolders[static_cast<size_t>(LoadSignatures({"docx"})[0].category)],
               "Documents");
}

// Every distinct header of the table is searched for.
TEST(SignatureTable, EveryDistinctHeaderIsSearchedFor) {
  std::set<std::pair<std::vector<uint8_t>, bool>> distinct;
  for (const auto& row : SignatureTable()) {
    if (!row.header.empty()) distinct.insert({row.header, row.ignoreCase});
  }
  EXPECT_GT(distinct.size(), 64u);
  EXPECT_EQ(HeaderIndex(SignatureTable()).PatternCount(), distinct.size());
}

TEST(LoadSignatures, SelectsEveryHeaderOfTheNamedExtensionsInTableOrder) {
  // Every type but those carved only when chosen (plain text).
  const auto every = LoadSignatures({});
  EXPECT_EQ(ExtensionsOf(every).count("txt"), 0u);
  EXPECT_EQ(every.size() + LoadSignatures({"txt"}).size(), SignatureTable().size());
  const auto jpg = LoadSignatures({"jpg"});
  ASSERT_EQ(jpg.size(), 4u);
  for (size_t i = 0; i < jpg.size(); ++i) EXPECT_EQ(jpg[i].header, SignatureTable()[i].header);
  EXPECT_TRUE(LoadSignatures({"JPG"}).empty());
  EXPECT_EQ(ExtensionsOf(LoadSignatures({"zip", "docx"})), (std::set<std::string>{"docx", "zip"}));
  EXPECT_EQ(LoadSignatures({"tif", "exe", "tif"}).size(), LoadSignatures({"tif"}).size());
}

}  // namespace
}  // namespace quarvelin
