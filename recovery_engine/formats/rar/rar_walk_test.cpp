#include "formats/rar/rar_walk.h"

#include <gtest/gtest.h>

#include <string_view>

#include "candidate.h"
#include "formats/crc32.h"

namespace quarvelin {
namespace {

using testing::Append;
using testing::Candidate;
using testing::Concat;
using testing::File;
using testing::Le16;
using testing::Le32;
using testing::Placement;
using testing::Text;

const File kRar4Marker = Text(std::string_view("Rar!\x1A\x07\x00", 7));
const File kRar5Marker = Text(std::string_view("Rar!\x1A\x07\x01\x00", 8));

// A RAR 4 block: its header (the CRC over it from the type on), then `data`.
File Block4(uint8_t type, uint16_t flags, const File& fields, const File& data = {}) {
  const File rest =
      Concat(File{type}, Le16(flags), Le16(static_cast<uint16_t>(7 + fields.size())), fields);
  return Concat(Le16(static_cast<uint16_t>(Crc32(rest) & 0xFFFF)), rest, data);
}

File File4(const File& data, uint32_t high = 0, bool large = false) {
  File fields = Concat(Le32(static_cast<uint32_t>(data.size())), Le32(0), File{2}, Le32(0), Le32(0),
                       File{29, 0x30}, Le16(5), Le32(0x20));
  if (large) Append(fields, Le32(high), Le32(0));
  Append(fields, "a.txt");
  return Block4(0x74, static_cast<uint16_t>(0x8000 | (large ? 0x100 : 0)), fields, data);
}

File Rar4(uint16_t endFlags = 0x4000, const File& endFields = {}) {
  return Concat(kRar4Marker, Block4(0x73, 0, File(6, 0)), File4(testing::RandomBytes(3000, 1)),
                Block4(0x7A, 0x8000, Concat(Le32(4), File(25, 0), Text("CMT")), Text("note")),
                File4(Text("second")), Block4(0x7B, endFlags, endFields));
}

File Vint(uint64_t value) {
  File out;
  do {
    out.push_back(static_cast<uint8_t>((value & 0x7F) | (value > 0x7F ? 0x80 : 0)));
    value >>= 7;
  } while (value != 0);
  return out;
}

// A RAR 5 header around `body` (type, flags, sizes, fields): its CRC32 and size.
File Header5(const File& body) {
  const File sized = Concat(Vint(body.size()), body);
  return Concat(Le32(Crc32(sized)), sized);
}

// A RAR 5 block: type, flags, the data size when there is data, `fields`, then the data.
File Block5(uint64_t type, const File& fields, const File& data = {}) {
  return Concat(Header5(Concat(Vint(type), Vint(data.empty() ? 0 : 2),
                               data.empty() ? File{} : Vint(data.size()), fields)),
                data);
}

File Rar5(uint64_t endFlags = 0) {
  return Concat(kRar5Marker, Block5(1, Vint(0)),
                Block5(2, Text("file"), testing::RandomBytes(5000, 2)),
                Block5(3, Text("QO"), Text("quick open")), Block5(5, Vint(endFlags)));
}

std::optional<int64_t> Walk(const File& file, Placement p = {.randomTrailing = true}) {
  Candidate candidate(file, p);
  RangeReader reader = candidate.Reader();
  return WalkRar(reader, candidate.Cancel());
}

TEST(RarWalk, FollowsTheBlocksToTheEndOfArchive) {
  // A volume that is not the last of its set still ends with its end block; extra fields the end
  // block's flags announce are inside its header.
  for (const File& rar : {Rar4(), Rar4(0x4009, Concat(Le32(0), Le16(3))), Rar5(), Rar5(1)}) {
    for (const Placement p : {Placement{.lead = 10, .randomTrailing = true},
                              Placement{.lead = 700, .bufferBytes = 1000, .sectorSize = 4096},
                              Placement{.lead = 3, .bufferBytes = 600, .trailing = 0}}) {
      EXPECT_EQ(Walk(rar, p), std::ssize(rar));
    }
    // Another archive right after it is not swallowed.
    EXPECT_EQ(Walk(Concat(rar, Rar4(), Rar5())), std::ssize(rar));
  }
}

TEST(RarWalk, UnprovenWhenCutBadOrEncrypted) {
  for (const File& rar : {Rar4(), Rar5()}) {
    EXPECT_EQ(Walk(File(rar.begin(), rar.end() - 3), {.trailing = 0}), std::nullopt);
    EXPECT_EQ(Walk(File(rar.begin(), rar.end() - 3), {.trailing = 600}), std::nullopt);
    File bad = rar;
    bad[bad.size() - 2] ^= 0x40;  // the end block's header, under its CRC
    EXPECT_EQ(Walk(bad), std::nullopt);
    EXPECT_EQ(Walk(rar, {.cancelled = true}), std::nullopt);
  }
  // Headers encrypted after the archive header (RAR 4) or after the encryption header (RAR 5).
  EXPECT_EQ(Walk(Concat(kRar4Marker, Block4(0x73, 0x0080, File(6, 0)), File(64, 0x11))),
            std::nullopt);
  EXPECT_EQ(Walk(Concat(kRar5Marker, Block5(4, Concat(Vint(0), Vint(0), Vint(15), File(16, 1))),
                        File(64, 0x22))),
            std::nullopt);
}

TEST(RarWalk, HostileSizesDoNotOverflowOrStall) {
  // A data size past 2^63, past the disk, or a 4 GiB file's high size word.
  for (const File& size : {Concat(File(9, 0xFF), File{0x7F}), Vint(uint64_t{1} << 62)}) {
    EXPECT_EQ(
        Walk(Concat(kRar5Marker, Header5(Concat(Vint(2), Vint(2), size)), Block5(5, Vint(0)))),
        std::nullopt);
  }
  EXPECT_EQ(Walk(Concat(kRar4Marker, File4(Text("x"), 0xFFFFFFFF, true), Block4(0x7B, 0, {}))),
            std::nullopt);
  // A size vint that never ends, and a header size of zero.
  EXPECT_EQ(Walk(Concat(kRar5Marker, Le32(0), File(12, 0xFF))), std::nullopt);
  EXPECT_EQ(Walk(Concat(kRar5Marker, Le32(Crc32(File{0})), File{0})), std::nullopt);
  // A RAR 4 header shorter than its fixed fields.
  EXPECT_EQ(Walk(Concat(kRar4Marker, Block4(0x74, 0, {}), Block4(0x7B, 0, {}))), std::nullopt);
}

}  // namespace
}  // namespace quarvelin
