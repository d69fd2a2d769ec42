// Scans of disks holding ZIP-based documents and archives: each is written under the type its
// content names, and only when that type was asked for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_run.h"
#include "fixtures.h"

namespace quarvelin {
namespace {

using testing::CarvedFiles;
using testing::File;
using testing::Fixture;
using testing::TestDisk;
using Files = std::vector<File>;

class ZipScan : public testing::EngineTest {
 protected:
  ZipScan() {
    // Unaligned, in the order listed, among random bytes.
    size_t at = 512 * 3 + 77;
    for (const File& file : {docx_, xlsx_, odt_, zip_, apk_}) {
      disk_.Put(at, file);
      at += (file.size() + 4096) / 512 * 512 + 131;
    }
  }

  // The names the scan gave the files it wrote, folder and all.
  std::vector<std::string> Names(const std::vector<testing::Message>& messages) const {
    std::vector<std::string> names;
    for (const auto& text : TextsOf(messages, NativeMessageKind::FileFound)) {
      const std::string path = text.substr(0, text.find('|'));
      names.push_back(path.substr(out_.size() + 1));
    }
    return names;
  }

  const File docx_ = Fixture("pandoc_report.docx");
  const File xlsx_ = Fixture("openpyxl_recovery_table.xlsx");
  const File odt_ = Fixture("pandoc_report.odt");
  const File zip_ = Fixture("multi_file_with_folders.zip");
  const File apk_ = Fixture("zip_laid_out_app.apk");
  TestDisk disk_ = TestDisk::Random(512 * 1024, 7);
  std::string out_ = dir_.File("recovered");
};

TEST_F(ZipScan, EachPackageComesOutUnderItsOwnTypeAndOnlyWhenSelected) {
  const auto all = ScanDisk(
      disk_, out_, {"docx", "xlsx", "pptx", "odt", "ods", "odp", "epub", "zip", "jar", "apk"});
  EXPECT_EQ(CarvedFiles(all), (Files{docx_, xlsx_, odt_, zip_, apk_}));
  const std::vector<std::string> names = Names(all);
  ASSERT_EQ(names.size(), 5u);
  EXPECT_TRUE(names[0].starts_with("Documents/") && names[0].ends_with(".docx")) << names[0];
  EXPECT_TRUE(names[1].starts_with("Documents/") && names[1].ends_with(".xlsx")) << names[1];
  EXPECT_TRUE(names[2].starts_with("Documents/") && names[2].ends_with(".odt")) << names[2];
  EXPECT_TRUE(names[3].starts_with("Archives/") && names[3].ends_with(".zip")) << names[3];
  EXPECT_TRUE(names[4].starts_with("Archives/") && names[4].ends_with(".apk")) << names[4];

  // A workbook alone: the documents and archives around it are not written.
  EXPECT_EQ(CarvedFiles(ScanDisk(disk_, out_ + "/xlsx", {"xlsx"})), Files{xlsx_});
  // Archives asked for are plain archives: the packages' content names them otherwise.
  EXPECT_EQ(CarvedFiles(ScanDisk(disk_, out_ + "/zip", {"zip"})), Files{zip_});
  EXPECT_EQ(CarvedFiles(ScanDisk(disk_, out_ + "/odt", {"docx", "odt"})), (Files{docx_, odt_}));
}

}  // namespace
}  // namespace quarvelin
