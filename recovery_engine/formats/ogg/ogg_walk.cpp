#include "formats/ogg/ogg_walk.h"

#include <algorithm>
#include <array>
#include <vector>

#include "common/byte_fields.h"
#include "formats/validation_result.h"

namespace quarvelin {
namespace {

// A page is at most 27 + 255 + 255 × 255 bytes: a window holds several whole.
constexpr int32_t kWindowBytes = 262'144;
constexpr int32_t kPageHeaderBytes = 27;
// Longer than any Ogg file we recover; past this the walk proves nothing.
constexpr int64_t kMaxLength = int64_t{16} << 30;
// More logical streams at once than any real file multiplexes: the pages are something else.
constexpr size_t kMaxStreams = 256;

constexpr uint8_t kContinued = 0x01;
constexpr uint8_t kBeginsStream = 0x02;
constexpr uint8_t kEndsStream = 0x04;

// Eight tables: entry b of table k is the CRC of byte b followed by k zero bytes, so eight bytes
// are folded in per step.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr CrcTables MakeCrcTables() {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i << 24;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x8000'0000u) ? (r << 1) ^ 0x04C1'1DB7u : r << 1;
    t[0][i] = r;
  }
  for (size_t k = 1; k < t.size(); ++k) {
    for (size_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
  }
  return t;
}
constexpr auto kCrc = MakeCrcTables();

struct Page {
  uint8_t flags = 0;
  uint32_t serial = 0;
  uint32_t sequence = 0;
  int32_t length = 0;
};

// The page at `pos` when its capture pattern, version and checksum are right.
std::optional<Page> ReadPage(WalkWindow& window, int64_t pos) {
  auto bytes = window.At(pos, kPageHeaderBytes);
  if (bytes.empty() || bytes[0] != 'O' || bytes[1] != 'g' || bytes[2] != 'g' || bytes[3] != 'S' ||
      bytes[4] != 0) {
    return std::nullopt;
  }
  const int32_t segments = bytes[26];
  bytes = window.At(pos, kPageHeaderBytes + segments);
  if (bytes.empty()) return std::nullopt;
  int32_t body = 0;
  for (int32_t i = 0; i < segments; ++i) body += bytes[static_cast<size_t>(kPageHeaderBytes + i)];

  Page page;
  page.length = kPageHeaderBytes + segments + body;
  bytes = window.At(pos, page.length);
  if (bytes.empty()) return std::nullopt;
  bytes = bytes.first(static_cast<size_t>(page.length));
  constexpr std::array<uint8_t, 4> kZeroedCrc{};
  uint32_t crc = OggCrc32(bytes.first(22));
  crc = OggCrc32(kZeroedCrc, crc);
  crc = OggCrc32(bytes.subspan(26), crc);
  if (crc != ReadLe32(bytes, 22)) return std::nullopt;

  page.flags = bytes[5];
  page.serial = *ReadLe32(bytes, 14);
  page.sequence = *ReadLe32(bytes, 18);
  return page;
}

struct LogicalStream {
  uint32_t serial = 0;
  uint32_t nextSequence = 0;
  bool ended = false;
};

}  // namespace

uint32_t OggCrc32(std::span<const uint8_t> bytes, uint32_t crc) {
  const uint8_t* b = bytes.data();
  size_t n = bytes.size();
  for (; n >= 8; n -= 8, b += 8) {
    const uint32_t x =
        crc ^ ((uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3]);
    crc = kCrc[7][x >> 24] ^ kCrc[6][(x >> 16) & 0xFF] ^ kCrc[5][(x >> 8) & 0xFF] ^
          kCrc[4][x & 0xFF] ^ kCrc[3][b[4]] ^ kCrc[2][b[5]] ^ kCrc[1][b[6]] ^ kCrc[0][b[7]];
  }
  for (; n > 0; --n, ++b) crc = (crc << 8) ^ kCrc[0][((crc >> 24) ^ *b) & 0xFF];
  return crc;
}

OggWalk WalkOgg(RangeReader& read, const std::atomic<bool>* cancel) {
  OggWalk walk;
  WalkWindow window(read, kWindowBytes);
  // The logical streams of the current link. A chained file ends every stream of one link before
  // the first page of the next, so only one link's streams are ever open.
  std::vector<LogicalStream> link;
  bool linkHasData = false;  // a page other than a first page has been seen in this link
  int64_t pos = 0;
  for (;;) {
    if (IsCancelled(cancel)) return {};
    if (pos > kMaxLength) return walk;
    const auto page = ReadPage(window, pos);
    const bool linkEnded =
        !link.empty() && std::all_of(link.begin(), link.end(), [](auto& s) { return s.ended; });
    if (linkEnded) {
      walk.lastLinkEnd = pos;
      // Only the first page of a new link continues the file; anything else is the next file, the
      // disk's slack or other data.
      if (!page || !(page->flags & kBeginsStream)) {
        walk.end = pos;
        return walk;
      }
      link.clear();
      linkHasData = false;
    }
    if (!page) return walk;

    auto stream = std::find_if(link.begin(), link.end(),
                               [&](const LogicalStream& s) { return s.serial == page->serial; });
    if (page->flags & kBeginsStream) {
      // Every first page of a link comes before its other pages, each with a serial of its own.
      if (stream != link.end() || linkHasData || link.size() >= kMaxStreams ||
          (page->flags & kContinued)) {
        return walk;
      }
      link.push_back({page->serial, page->sequence, false});
      stream = link.end() - 1;
    } else if (stream == link.end() || stream->ended || page->sequence != stream->nextSequence) {
      // A page of no open stream, or one out of sequence: the file was cut or is fragmented here.
      return walk;
    }
    if (!(page->flags & kBeginsStream)) linkHasData = true;
    stream->nextSequence = page->sequence + 1;
    if (page->flags & kEndsStream) stream->ended = true;
    pos += page->length;
    walk.lastGoodPage = pos;
  }
}

}  // namespace quarvelin
