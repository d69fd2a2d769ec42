#include "formats/pst/pst_walk.h"

#include <gtest/gtest.h>

#include <string>

#include "candidate.h"
#include "fixtures.h"

namespace quarvelin {
namespace {

using testing::File;
using testing::Le32;
using testing::Le64;
using testing::Placement;

constexpr Placement kMidSector{.lead = 300, .randomTrailing = true};

std::optional<int64_t> Walk(const File& file, Placement placement = kMidSector) {
  return testing::Validated(
      file, placement, [](RangeReader& read, const std::atomic<bool>*) { return WalkPst(read); });
}

bool Unicode(const File& f) {
  return f[10] >= 23;
}

// Writes the header CRCs for the header's present contents.
File Sealed(File f) {
  testing::Overwrite(f, 4, Le32(PstCrc(std::span(f).subspan(8, 471))));
  if (Unicode(f)) testing::Overwrite(f, 524, Le32(PstCrc(std::span(f).subspan(8, 516))));
  return f;
}

File WithEof(File f, uint64_t eof) {
  testing::Overwrite(f, Unicode(f) ? 184 : 168, Unicode(f) ? Le64(eof) : Le32(uint32_t(eof)));
  return Sealed(f);
}

const std::string kFiles[] = {"unicode_minimal_header_root.pst", "ansi_minimal_header_root.pst"};

TEST(PstWalk, HeaderCrcsGuardTheLength) {
  for (const std::string& name : kFiles) {
    const File f = testing::Fixture(name);
    ASSERT_EQ(Walk(f), static_cast<int64_t>(f.size())) << name;
    // A length changed without the CRC.
    File changed = f;
    changed[Unicode(f) ? 184 : 168] ^= 0x02;
    EXPECT_EQ(Walk(changed), std::nullopt) << name;
    // With the CRCs rewritten the changed length is believed, where it can be read.
    EXPECT_EQ(Walk(WithEof(f, f.size() + 4096), {.lead = 0, .trailing = 8192}),
              static_cast<int64_t>(f.size()) + 4096)
        << name;
  }
  // Bytes only the Unicode header's full CRC covers.
  File tail = testing::Fixture(kFiles[0]);
  tail[516] ^= 0x01;
  EXPECT_EQ(Walk(tail), std::nullopt);
}

TEST(PstWalk, SealedHeadersWithImpossibleContentAreRejected) {
  for (const std::string& name : kFiles) {
    const File f = testing::Fixture(name);
    const bool unicode = Unicode(f);
    // Too short to hold the first allocation map, larger than the layout allows, past the device.
    for (const uint64_t eof :
         {uint64_t{0}, uint64_t{0x4400}, uint64_t{200} << 30, uint64_t{f.size()} + 1'000'000}) {
      if (!unicode && eof > UINT32_MAX) continue;
      EXPECT_EQ(Walk(WithEof(f, eof), {.lead = 0, .trailing = 0}), std::nullopt) << name << eof;
    }
    // Offline folders ("SO"), unknown versions, no sentinel, an unknown encryption.
    const size_t sentinel = unicode ? 512 : 460;
    const std::pair<size_t, File> changes[] = {{9, File{'O'}},
                                               {10, File{13}},
                                               {10, File{24}},
                                               {sentinel, File{0}},
                                               {sentinel + 1, File{3}}};
    for (const auto& [at, bytes] : changes) {
      File changed = f;
      testing::Overwrite(changed, at, bytes);
      EXPECT_EQ(Walk(Sealed(changed)), std::nullopt) << name << at;
    }
  }
}

}  // namespace
}  // namespace quarvelin
