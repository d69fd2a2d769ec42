#include "common/json_string.h"

#include <gtest/gtest.h>

#include <string>

namespace quarvelin {
namespace {

TEST(JsonString, EscapesWhatJsonRequiresAndReplacesBytesThatAreNotUtf8) {
  EXPECT_EQ(JsonString("C:\\rec \"1\""), "\"C:\\\\rec \\\"1\\\"\"");
  EXPECT_EQ(JsonString(""), "\"\"");
  const std::string text =
      std::string("a\x01\b\f\n\r\t\x1f\x7f", 9) + std::string(1, '\0') +
      "caf\xc3\xa9 \xf0\x9f\x92\xbe" +             // valid: kept
      "\xe9t\xe9 \xc0\xaf \xed\xa0\x80 \xe2\x82";  // Latin-1, overlong, surrogate, cut
  EXPECT_EQ(
      JsonString(text),
      "\"a\\u0001\\b\\f\\n\\r\\t\\u001f\x7f\\u0000"
      "caf\xc3\xa9 \xf0\x9f\x92\xbe"
      "\xef\xbf\xbdt\xef\xbf\xbd \xef\xbf\xbd\xef\xbf\xbd \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd "
      "\xef\xbf\xbd\xef\xbf\xbd\"");
}

}  // namespace
}  // namespace quarvelin
