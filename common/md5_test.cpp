#include "md5.h"

#include <gtest/gtest.h>

#include <string_view>

namespace quarvelin {
namespace {

std::string Md5Of(std::string_view text, size_t piece) {
  Md5 md5;
  for (size_t at = 0; at < text.size(); at += piece) {
    const std::string_view part = text.substr(at, piece);
    md5.Update({reinterpret_cast<const uint8_t*>(part.data()), part.size()});
  }
  return md5.FinishHex();
}

TEST(Md5, GivesTheDigestsOfTheStandardWhateverThePieces) {
  const std::string million(1000000, 'a');
  const struct {
    std::string_view text;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      {million, "7707d6ae4e027c70eea2a935c2296f21"},
  };
  for (const auto& c : cases) {
    for (const size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{1000000}}) {
      EXPECT_EQ(Md5Of(c.text, piece), c.digest) << c.text.substr(0, 20) << " in " << piece;
    }
  }
}

}  // namespace
}  // namespace quarvelin
