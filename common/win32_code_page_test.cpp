#include "common/win32_code_page.h"

#include <gtest/gtest.h>

namespace quarvelin {
namespace {

constexpr UINT kWestern = 1252;

TEST(Win32CodePageTest, AnsiTextBecomesTheSameTextInUtf8) {
  // "Jürgen" from a Western code page, and Greek and Japanese where UTF-8 is the ANSI code page.
  EXPECT_EQ(AnsiToUtf8("J\xfcrgen", kWestern), "J\xc3\xbcrgen");
  EXPECT_EQ(AnsiToWide("J\xfcrgen", kWestern), std::wstring(L"J\u00fcrgen"));
  const char* const greekAndJapanese =
      "\xce\xa9\xce\xbc\xce\xad\xce\xb3\xce\xb1 \xe6\x97\xa5\xe6\x9c\xac";
  EXPECT_EQ(AnsiToUtf8(greekAndJapanese, CP_UTF8), greekAndJapanese);
  EXPECT_EQ(AnsiToWide(greekAndJapanese, CP_UTF8),
            std::wstring(L"\u03a9\u03bc\u03ad\u03b3\u03b1 \u65e5\u672c"));
  EXPECT_EQ(AnsiToUtf8("", CP_UTF8), "");

  // Malformed bytes under UTF-8 still give valid UTF-8, which is what channel texts must be.
  EXPECT_EQ(AnsiToUtf8("a\xff!", CP_UTF8), "a\xef\xbf\xbd!");
  // A code page Windows does not know: no conversion, the bytes are left as they are.
  EXPECT_EQ(AnsiToWide("x", 12345), std::nullopt);
  EXPECT_EQ(AnsiToUtf8("x\xfc", 12345), "x\xfc");
}

}  // namespace
}  // namespace quarvelin
