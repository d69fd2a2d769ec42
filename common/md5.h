#pragma once

// MD5 (RFC 1321) of a disk image, for the forensic tools and court procedures that still record
// it beside SHA-256. Not for anything that needs collision resistance. Streaming, like Sha256.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace quarvelin {

class Md5 {
 public:
  void Update(std::span<const uint8_t> bytes) {
    length_ += bytes.size();
    size_t at = 0;
    if (filled_ > 0) {
      while (filled_ < 64 && at < bytes.size()) block_[filled_++] = bytes[at++];
      if (filled_ < 64) return;
      Compress(block_.data());
      filled_ = 0;
    }
    for (; bytes.size() - at >= 64; at += 64) Compress(bytes.data() + at);
    while (at < bytes.size()) block_[filled_++] = bytes[at++];
  }

  std::string FinishHex() {
    const uint64_t bits = length_ * 8;
    const uint8_t one = 0x80;
    Update({&one, 1});
    const uint8_t zero = 0;
    while (filled_ != 56) Update({&zero, 1});
    std::array<uint8_t, 8> tail{};
    for (size_t i = 0; i < 8; ++i) tail[i] = static_cast<uint8_t>(bits >> (8 * i));
    Update(tail);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < 16; ++i) {
      const auto byte = static_cast<uint8_t>(state_[i / 4] >> (8 * (i % 4)));
      text += kHex[byte >> 4];
      text += kHex[byte & 15];
    }
    return text;
  }

 private:
  static constexpr uint32_t Rotate(uint32_t x, uint32_t n) { return (x << n) | (x >> (32 - n)); }

  void Compress(const uint8_t* block) {
    static constexpr std::array<uint32_t, 64> kSine = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
        0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
        0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
        0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
        0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
        0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
        0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
        0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
        0xeb86d391};
    static constexpr std::array<uint32_t, 16> kShift = {7, 12, 17, 22, 5, 9,  14, 20,
                                                        4, 11, 16, 23, 6, 10, 15, 21};
    std::array<uint32_t, 16> m{};
    for (size_t i = 0; i < 16; ++i) {
      m[i] = static_cast<uint32_t>(block[4 * i]) | static_cast<uint32_t>(block[4 * i + 1]) << 8 |
             static_cast<uint32_t>(block[4 * i + 2]) << 16 |
             static_cast<uint32_t>(block[4 * i + 3]) << 24;
    }
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    // One loop per round function, so each is a straight run the compiler can unroll.
    const auto step = [&](uint32_t f, size_t i, size_t g) {
      const uint32_t next = b + Rotate(a + f + kSine[i] + m[g], kShift[(i / 16) * 4 + i % 4]);
      a = d;
      d = c;
      c = b;
      b = next;
    };
    for (size_t i = 0; i < 16; ++i) step((b & c) | (~b & d), i, i);
    for (size_t i = 16; i < 32; ++i) step((d & b) | (~d & c), i, (5 * i + 1) % 16);
    for (size_t i = 32; i < 48; ++i) step(b ^ c ^ d, i, (3 * i + 5) % 16);
    for (size_t i = 48; i < 64; ++i) step(c ^ (b | ~d), i, (7 * i) % 16);
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
  }

  std::array<uint32_t, 4> state_ = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  std::array<uint8_t, 64> block_{};
  size_t filled_ = 0;
  uint64_t length_ = 0;
};

}  // namespace quarvelin
