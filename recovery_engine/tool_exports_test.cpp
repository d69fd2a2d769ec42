// The tools' exports as a C caller sees them: only the public headers, every text freed with
// NativeFree.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "quarvelin_tools.h"
#include "temp_dir.h"

namespace {

struct NativeText {
  void operator()(char* p) const { NativeFree(p); }
};

// Takes ownership of the export's text and returns a copy of it; "(null)" for a null result.
std::string Take(char* text) {
  const std::unique_ptr<char, NativeText> owned(text);
  return owned ? std::string(owned.get()) : "(null)";
}

std::string Sample(const std::string& name) {
  return std::string(QUARVELIN_TESTDATA_DIR) + "/files/" + name;
}

TEST(DescribeNativeFileTypes, ListsEachExtensionOnceWithItsFolderAndHeaders) {
  const std::string types = Take(DescribeNativeFileTypes());
  EXPECT_EQ(types.rfind("[{\"extension\":\"jpg\",\"name\":\"JPEG\",\"category\":\"Images\","
                        "\"headers\":[\"ffd8ffe0\",\"ffd8ffe1\",\"ffd8ffdb\",\"ffd8ffee\"],"
                        "\"headersIgnoringCase\":[],\"minSize\":1000,\"maxSize\":1073741824,"
                        "\"atSectorStarts\":false,\"onlyWhenSelected\":false},",
                        0),
            0u)
      << types;
  EXPECT_NE(
      types.find("{\"extension\":\"docx\",\"name\":\"DOCX\",\"category\":\"Documents\","
                 "\"headers\":[\"504b030414000600\",\"504b0304\"],\"headersIgnoringCase\":[],"),
      std::string::npos)
      << types;
  EXPECT_NE(types.find("\"headersIgnoringCase\":[\"3c68746d6c\","), std::string::npos) << types;
  EXPECT_EQ(types.find("\"mp4\""), types.rfind("\"mp4\""));
  // Text: no header, looked for at sector starts, and only when asked for.
  EXPECT_NE(types.find("{\"extension\":\"txt\",\"name\":\"TXT\",\"category\":\"Documents\","
                       "\"headers\":[],\"headersIgnoringCase\":[],"),
            std::string::npos)
      << types;
  EXPECT_NE(types.find("\"atSectorStarts\":true,\"onlyWhenSelected\":true}"), std::string::npos);
  EXPECT_EQ(types.substr(types.size() - 2), "}]");
}

TEST(IdentifyNativeFile, ReportsTheFormatAndItsCheckOrWhyNot) {
  const auto jpegSize = std::filesystem::file_size(Sample("harbour_jfif_app0.jpg"));
  const std::string jpeg = Take(IdentifyNativeFile(Sample("harbour_jfif_app0.jpg").c_str()));
  EXPECT_EQ(jpeg.rfind("{\"format\":\"JPEG\",\"extension\":\"jpg\",\"fileSize\":" +
                           std::to_string(jpegSize) +
                           ",\"validated\":true,\"size\":" + std::to_string(jpegSize) +
                           ",\"confidence\":100,\"accepted\":true,\"fields\":{\"width\":",
                       0),
            0u)
      << jpeg;
  EXPECT_NE(jpeg.find(",\"hasExif\":false,"), std::string::npos) << jpeg;
  EXPECT_EQ(jpeg.substr(jpeg.size() - 14), "},\"issues\":[]}") << jpeg;

  EXPECT_EQ(Take(IdentifyNativeFile(QUARVELIN_TESTDATA_DIR "/sample_disk.img")),
            "{\"error\":\"no known file header\"}");
  // Text has no header, but a file that is all text is one.
  EXPECT_NE(
      Take(IdentifyNativeFile(QUARVELIN_TESTDATA_DIR "/README.md")).find("\"extension\":\"txt\""),
      std::string::npos);
  EXPECT_EQ(Take(IdentifyNativeFile(Sample("missing.jpg").c_str()))
                .rfind("{\"error\":\"cannot open: ", 0),
            0u);
  EXPECT_EQ(Take(IdentifyNativeFile("")).rfind("{\"error\":\"cannot open: ", 0), 0u);
  EXPECT_EQ(Take(IdentifyNativeFile(nullptr)), "{\"error\":\"no file given\"}");
}

TEST(IdentifyNativeFile, WritesFieldsReadFromTheFileAsStrings) {
  // A brand of digits is still a brand: written bare, "0000" would not be JSON.
  quarvelin::testing::TempDir dir;
  const std::string path = dir.File("brand.mp4");
  std::ofstream(path, std::ios::binary) << std::string(
      "\0\0\0\x14"
      "ftyp0000\0\0\0\0isom",
      20);
  const std::string mp4 = Take(IdentifyNativeFile(path.c_str()));
  EXPECT_NE(mp4.find("\"fields\":{\"majorBrand\":\"0000\",\"hasFtyp\":true,"), std::string::npos)
      << mp4;
}

}  // namespace
