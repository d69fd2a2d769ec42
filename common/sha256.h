#pragma once

// SHA-256 (FIPS 180-4) of what the engine writes, so a user can check a recovered file or an image
// against a copy made elsewhere. Streaming: feed the bytes in pieces as they are written.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define QUARVELIN_SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define QUARVELIN_SHA256_X86 0
#endif

namespace quarvelin {

class Sha256 {
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
    const size_t blocks = (bytes.size() - at) / 64;
    if (blocks > 0) {
      CompressBlocks(bytes.data() + at, blocks);
      at += blocks * 64;
    }
    while (at < bytes.size()) block_[filled_++] = bytes[at++];
  }

  std::array<uint8_t, 32> Finish() {
    const uint64_t bits = length_ * 8;
    const uint8_t one = 0x80;
    Update({&one, 1});
    const uint8_t zero = 0;
    while (filled_ != 56) Update({&zero, 1});
    std::array<uint8_t, 8> tail{};
    for (size_t i = 0; i < 8; ++i) tail[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    Update(tail);
    std::array<uint8_t, 32> digest{};
    for (size_t i = 0; i < 32; ++i)
      digest[i] = static_cast<uint8_t>(state_[i / 4] >> (24 - 8 * (i % 4)));
    return digest;
  }

  std::string FinishHex() {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (const uint8_t byte : Finish()) {
      text += kHex[byte >> 4];
      text += kHex[byte & 15];
    }
    return text;
  }

 private:
  static constexpr uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

  alignas(16) static constexpr std::array<uint32_t, 64> kRound = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
      0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
      0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
      0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
      0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
      0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
      0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
      0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
      0xc67178f2};

  void CompressBlocks(const uint8_t* data, size_t blocks) {
#if QUARVELIN_SHA256_X86
    // The processor's own SHA-256 rounds, where it has them, are several times faster: an image's
    // checksum then keeps up with the copy.
    static const bool accelerated = ProcessorHasShaRounds();
    if (accelerated) {
      CompressWithShaRounds(state_.data(), data, blocks);
      return;
    }
#endif
    for (size_t i = 0; i < blocks; ++i) Compress(data + 64 * i);
  }

#if QUARVELIN_SHA256_X86
  static bool ProcessorHasShaRounds() {
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    return ssse3 && sse41 && (ebx & (1u << 29)) != 0;
  }

  // The rounds as the SHA extensions compute them: four at a time, the state held as ABEF and CDGH.
  __attribute__((target("sha,sse4.1"))) static void CompressWithShaRounds(uint32_t* state,
                                                                          const uint8_t* data,
                                                                          size_t blocks) {
    // Big-endian words from the message bytes.
    const __m128i byteOrder = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    for (; blocks > 0; --blocks, data += 64) {
      const __m128i abefBefore = abef;
      const __m128i cdghBefore = cdgh;
      __m128i w[16];
      for (int i = 0; i < 16; ++i) {
        if (i < 4) {
          w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)),
                                  byteOrder);
        } else {
          const __m128i sum = _mm_add_epi32(_mm_sha256msg1_epu32(w[i - 4], w[i - 3]),
                                            _mm_alignr_epi8(w[i - 1], w[i - 2], 4));
          w[i] = _mm_sha256msg2_epu32(sum, w[i - 1]);
        }
        __m128i message = _mm_add_epi32(
            w[i], _mm_load_si128(reinterpret_cast<const __m128i*>(kRound.data() + 4 * i)));
        cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
        message = _mm_shuffle_epi32(message, 0x0E);
        abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
      }
      abef = _mm_add_epi32(abef, abefBefore);
      cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
  }
#endif

  void Compress(const uint8_t* block) {
    std::array<uint32_t, 64> w{};
    for (size_t i = 0; i < 16; ++i) {
      w[i] = static_cast<uint32_t>(block[4 * i]) << 24 |
             static_cast<uint32_t>(block[4 * i + 1]) << 16 |
             static_cast<uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
    }
    for (size_t i = 16; i < 64; ++i) {
      const uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    for (size_t i = 0; i < 64; ++i) {
      const uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) +
                          ((e & f) ^ (~e & g)) + kRound[i] + w[i];
      const uint32_t t2 =
          (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
    state_[5] += f;
    state_[6] += g;
    state_[7] += h;
  }

  std::array<uint32_t, 8> state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<uint8_t, 64> block_{};
  size_t filled_ = 0;
  uint64_t length_ = 0;
};

// The SHA-256 of `bytes` in lower-case hex.
inline std::string Sha256Hex(std::span<const uint8_t> bytes) {
  Sha256 hash;
  hash.Update(bytes);
  return hash.FinishHex();
}

}  // namespace quarvelin
