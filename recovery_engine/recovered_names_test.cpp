#include "recovered_names.h"

#include <gtest/gtest.h>

#include "file_listing.h"
#include "manifest.h"
#include "sector_coverage.h"

namespace quarvelin {
namespace {

TEST(RecoveredNames, FileGoesToItsTypesFolderAndNamesSurviveEveryOutputFileSystem) {
  EXPECT_EQ(CategoryFolderOf("IMG_0001.JPG"), "Images");
  EXPECT_EQ(CategoryFolderOf("holiday.MOV"), "Videos");
  EXPECT_EQ(CategoryFolderOf("notes.txt"), "Documents");
  EXPECT_EQ(CategoryFolderOf("budget.xlsx"), "Documents");
  EXPECT_EQ(CategoryFolderOf("main.cpp"), "Code");
  EXPECT_EQ(CategoryFolderOf("backup.tar"), "Archives");
  EXPECT_EQ(CategoryFolderOf("Makefile"), kOtherFolder);
  EXPECT_EQ(CategoryFolderOf("data.xyz"), kOtherFolder);
  EXPECT_EQ(CategoryFolderOf(".profile"), kOtherFolder);

  EXPECT_EQ(SafeName("Фото отпуск"), "Фото отпуск");
  EXPECT_EQ(SafeName("a<b>c:d\"e|f?g*h\\i/j"), "a_b_c_d_e_f_g_h_i_j");
  EXPECT_EQ(SafeName(std::string("tab\there\x01", 10)), "tab_here__");  // NUL too
  EXPECT_EQ(SafeName("ends with dot. "), "ends with dot__");
  EXPECT_EQ(SafeName("CON"), "CON_");
  EXPECT_EQ(SafeName("nul.txt"), "nul_.txt");
  EXPECT_EQ(SafeName("com1.log"), "com1_.log");
  EXPECT_EQ(SafeName("console.txt"), "console.txt");
  EXPECT_EQ(SafeName(""), "_");
  EXPECT_EQ(SafeName(".."), "__");
}

TEST(RecoveredNames, SelectionByExtensionAndPathPattern) {
  EXPECT_TRUE(ExtensionSelected("a.txt", {}));
  EXPECT_TRUE(ExtensionSelected("A.JPEG", {"jpg"}));
  EXPECT_TRUE(ExtensionSelected("scan.TIF", {"png", "tiff"}));
  EXPECT_FALSE(ExtensionSelected("a.png", {"jpg"}));
  EXPECT_FALSE(ExtensionSelected("README", {"jpg"}));

  const std::string photo = "/Users/Ann/Pictures/2019/beach.JPG";
  EXPECT_TRUE(PathMatches("*.jpg", photo));
  EXPECT_TRUE(PathMatches("beach.*", photo));
  EXPECT_FALSE(PathMatches("*.png", photo));
  EXPECT_TRUE(PathMatches("/Users/Ann/Pictures/**", photo));
  EXPECT_TRUE(PathMatches("Users/*/Pictures/**/*.jpg", photo));
  EXPECT_TRUE(PathMatches("/Users/**/beach.jpg", photo));
  EXPECT_TRUE(PathMatches("/**/beach.jpg", photo));
  EXPECT_FALSE(PathMatches("/Users/*/beach.jpg", photo));  // '*' stays within one folder
  EXPECT_TRUE(PathMatches("/Users/Ann/Pictures/201?/*", photo));
  EXPECT_FALSE(PathMatches("/Users/Bob/**", photo));
}

TEST(SectorCoverage, MergesStretchesAndTellsWhereTheCarveMayGoOn) {
  SectorCoverage coverage;
  coverage.Add(100, 10);  // [100, 110)
  coverage.Add(120, 5);   // [120, 125)
  coverage.Add(110, 2);   // joins the first: [100, 112)
  coverage.Add(50, 0);
  EXPECT_EQ(coverage.Stretches(), 2u);
  EXPECT_EQ(coverage.CoveredUntil(99), 99);
  EXPECT_EQ(coverage.CoveredUntil(100), 112);
  EXPECT_EQ(coverage.CoveredUntil(111), 112);
  EXPECT_EQ(coverage.CoveredUntil(112), 112);
  EXPECT_EQ(coverage.NextCovered(0), 100);
  EXPECT_EQ(coverage.NextCovered(105), 105);
  EXPECT_EQ(coverage.NextCovered(112), 120);
  EXPECT_EQ(coverage.NextCovered(125), INT64_MAX);
  coverage.Add(90, 40);  // swallows both
  EXPECT_EQ(coverage.Stretches(), 1u);
  EXPECT_EQ(coverage.CoveredUntil(90), 130);
}

TEST(Manifest, OneJsonLinePerFileWithWhatIsKnownOfIt) {
  ManifestEntry named;
  named.file = "Images/Volume 1 (NTFS)/Photos/a \"b\".jpg";
  named.originalPath = "/Photos/a \"b\".jpg";
  named.state = "deleted";
  named.size = 6000;
  named.volume = "NTFS at sector 2048 (MBR partition 1)";
  named.foundBy = "file system";
  named.sectors = {{4096, 8}, {9000, 4}};
  named.sha256 = "ab";
  named.modified = 1700000000;
  EXPECT_EQ(Manifest::Line(named),
            "{\"file\":\"Images/Volume 1 (NTFS)/Photos/a \\\"b\\\".jpg\",\"originalPath\":"
            "\"/Photos/a \\\"b\\\".jpg\",\"state\":\"deleted\",\"size\":6000,\"volume\":\"NTFS at "
            "sector 2048 (MBR partition 1)\",\"foundBy\":\"file system\",\"sectors\":[[4096,8],"
            "[9000,4]],\"sha256\":\"ab\",\"modified\":1700000000}\n");
  ManifestEntry carved;
  carved.file = "Images/rec_0_0.jpg";
  carved.state = "unknown";
  carved.foundBy = "carving";
  carved.unreadable = {{512, 512}};
  EXPECT_EQ(Manifest::Line(carved),
            "{\"file\":\"Images/rec_0_0.jpg\",\"originalPath\":null,\"state\":\"unknown\","
            "\"size\":0,\"volume\":null,\"foundBy\":\"carving\",\"sectors\":[],\"sha256\":\"\","
            "\"unreadable\":[[512,512]]}\n");
}

TEST(IsoTime, CivilDatesAcrossLeapYearsAndBeforeTheEpoch) {
  EXPECT_EQ(IsoTime(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(IsoTime(951782400), "2000-02-29T00:00:00Z");
  EXPECT_EQ(IsoTime(1700000000), "2023-11-14T22:13:20Z");
  EXPECT_EQ(IsoTime(-1), "1969-12-31T23:59:59Z");
  EXPECT_EQ(IsoTime(-11644473600), "1601-01-01T00:00:00Z");
}

}  // namespace
}  // namespace quarvelin
