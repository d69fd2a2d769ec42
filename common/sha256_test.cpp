#include "common/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quarvelin {
namespace {

std::span<const uint8_t> Of(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(Sha256, MatchesTheStandardsVectorsHoweverTheBytesArriveInPieces) {
  EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex(Of("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(Sha256Hex(Of(twoBlocks)),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  const std::string million(1000000, 'a');
  for (const size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{4096}}) {
    Sha256 hash;
    for (size_t at = 0; at < million.size(); at += piece) {
      hash.Update(Of(million.substr(at, piece)));
    }
    EXPECT_EQ(hash.FinishHex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0")
        << piece;
  }
}

}  // namespace
}  // namespace quarvelin
