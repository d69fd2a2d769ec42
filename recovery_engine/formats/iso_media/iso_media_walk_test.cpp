#include "iso_media_walk.h"

#include <gtest/gtest.h>

#include <array>

#include "candidate.h"
#include "fixtures.h"

namespace quarvelin {
namespace {

using testing::Be16;
using testing::Be32;
using testing::Be64;
using testing::Concat;
using testing::File;
using testing::Placement;

File Box(const std::string& type, const File& body) {
  return Concat(Be32(static_cast<uint32_t>(body.size() + 8)), type, body);
}
File Box(const std::string& type, size_t body) {
  return Box(type, File(body, 0));
}
File LargeBox(const std::string& type, uint64_t size, size_t body) {
  return Concat(Be32(1), type, Be64(size), File(body, 0));
}
File Ftyp(const std::string& major, const std::string& compatible = "isom") {
  return Concat(Be32(static_cast<uint32_t>(16 + compatible.size())), "ftyp", major, Be32(0x200),
                compatible);
}
// A movie box whose one track's chunks start at `first` and `last`, in a table of 32-bit or
// 64-bit offsets.
File Moov(uint64_t first, uint64_t last, bool wide = false) {
  const File entries = wide ? Concat(Be64(first), Be64(last)) : Concat(Be32(first), Be32(last));
  const File table = Box(wide ? "co64" : "stco", Concat(Be32(0), Be32(2), entries));
  return Box("moov",
             Concat(Box("mvhd", 100), Box("trak", Box("mdia", Box("minf", Box("stbl", table))))));
}

// A fragment index whose trailer repeats `size`.
File Mfra(uint32_t size, uint32_t trailerSays) {
  return Concat(Be32(size), "mfra", File(size - 24, 0), Be32(16), "mfro", Be32(0),
                Be32(trailerSays));
}

IsoMediaWalk Walk(const File& file, Placement placement = {}) {
  testing::Candidate candidate(file, placement);
  RangeReader reader = candidate.Reader();
  return WalkIsoMedia(reader, candidate.Cancel());
}

// Movies as cameras, phones, editors and screen recorders lay them out.
std::vector<File> WholeMovies() {
  return {
      Concat(Ftyp("isom", "isomiso2avc1mp41"), Box("free", 0), Box("mdat", 5000), Box("moov", 700)),
      Concat(Ftyp("mp42"), Box("moov", 700), Box("free", 0), Box("mdat", 5000)),
      Concat(Ftyp("qt  ", "qt  "), Box("wide", 0), LargeBox("mdat", 9016, 9000), Box("moov", 300)),
      Concat(Ftyp("iso5", "iso6mp41"), Box("moov", 700), Box("moof", 300), Box("mdat", 4000),
             Box("moof", 200), Box("mdat", 3000), Mfra(100, 100)),
      // A box of a type the walk does not know, before the media.
      Concat(Ftyp("3gp4", "3gp4"), Box("Abc1", 40), Box("moov", 700), Box("mdat", 20)),
  };
}

TEST(IsoMediaWalk, EndsExactlyAfterTheLastBoxWhateverFollows) {
  const File nextMovie = Concat(Ftyp("isom"), Box("moov", 100), Box("mdat", 100));
  for (const auto& movie : WholeMovies()) {
    for (const auto& after : {File{}, nextMovie, testing::RandomBytes(64, 5),
                              Concat(Be32(0x7F000000), "free"), Box("Ab12", 2'000'000)}) {
      for (const auto placement :
           {Placement{}, Placement{.lead = 300, .bufferBytes = 1024, .randomTrailing = true},
            Placement{.lead = 77, .sectorSize = 4096, .trailing = 0}}) {
        const auto r = Walk(Concat(movie, after), placement);
        EXPECT_EQ(r.end, static_cast<int64_t>(movie.size())) << ::testing::PrintToString(placement);
      }
    }
  }
}

TEST(IsoMediaWalk, ProvesNothingForAnIncompleteFile) {
  const File head = Concat(Ftyp("isom"), Box("moov", 700));
  // Cut off by the end of the device, or its index disagrees with its trailer.
  const File cut = Concat(head, Box("mdat", 5000));
  auto r = Walk(File(cut.begin(), cut.end() - 1000), {.bufferBytes = 512, .trailing = 0});
  EXPECT_FALSE(r.end);
  EXPECT_EQ(r.reached, static_cast<int64_t>(cut.size()));
  EXPECT_FALSE(Walk(Concat(head, Box("moof", 100), Box("mdat", 100), Box("moof", 100))).end);
  EXPECT_FALSE(Walk(Concat(head, Box("moof", 100), Box("mdat", 100), Mfra(100, 96))).end);
  // No movie box, or no media.
  EXPECT_FALSE(Walk(Concat(Ftyp("isom"), Box("mdat", 5000))).end);
  EXPECT_FALSE(Walk(head).end);
  // Media that runs "to the end of the file": where it starts is all that is known.
  r = Walk(Concat(head, Be32(0), "mdat", File(3000, 1)));
  EXPECT_FALSE(r.end);
  EXPECT_EQ(r.openEndedAt, 728);
  EXPECT_FALSE(Walk(WholeMovies()[0], {.cancelled = true}).end);
}

TEST(IsoMediaWalk, AFragmentedRecordingMayGoOnPastAnUnreadableSector) {
  const File recording =
      Concat(Ftyp("isom"), Box("moov", 100), Box("moof", 100), Box("mdat", 1024 - 244));
  testing::Candidate candidate(recording, {.bufferBytes = 512});
  RangeReader reader = candidate.Reader();
  EXPECT_EQ(WalkIsoMedia(reader, nullptr).end, 1024);
  candidate.Disk().Unreadable(1024, 512);
  EXPECT_FALSE(WalkIsoMedia(reader, nullptr).end);
}

TEST(IsoMediaWalk, TheMovieBoxMustDescribeThisFilesMedia) {
  // ftyp (20), mdat (8 + 1000), then the movie box: the media data lies at 28 to 1028.
  const File head = Concat(Ftyp("isom"), Box("mdat", 1000));
  for (const bool wide : {false, true}) {
    const File inside = Concat(head, Moov(28, 1027, wide));
    EXPECT_EQ(Walk(inside).end, static_cast<int64_t>(inside.size()));
    EXPECT_FALSE(Walk(Concat(head, Moov(20, 500, wide))).end);
    EXPECT_FALSE(Walk(Concat(head, Moov(28, 1028, wide))).end);
  }
}

TEST(IsoMediaWalk, HostileSizesEndTheWalkWithoutOverflow) {
  const File head = Concat(Ftyp("isom"), Box("moov", 700), Box("mdat", 100));
  for (const uint64_t size : {uint64_t{0}, uint64_t{15}, ~uint64_t{0}, uint64_t{INT64_MAX},
                              uint64_t{INT64_MAX} - 700, uint64_t{1} << 41}) {
    const auto r = Walk(Concat(head, LargeBox("free", size, 8)));
    EXPECT_EQ(r.end, static_cast<int64_t>(head.size())) << size;
  }
  for (const uint32_t size : {2u, 7u}) {
    EXPECT_EQ(Walk(Concat(head, Be32(size), "free", File(16, 0))).end,
              static_cast<int64_t>(head.size()));
  }
  // An ftyp of implausible size is not the start of a file.
  EXPECT_FALSE(Walk(Concat(Be32(12), "ftypisom", Box("moov", 8), Box("mdat", 8))).end);
  EXPECT_FALSE(Walk(Concat(Be32(0x10000), "ftypisom", File(0x10000, 0))).end);
}

TEST(IsoMediaWalk, NamesTheFileByItsBrands) {
  // Major brand, compatible brands, the name. The major brand decides when it is known.
  for (const auto& [major, compatible, extension] :
       std::vector<std::array<std::string, 3>>{{"qt  ", "", "mov"},
                                               {"3gp5", "isom", "3gp"},
                                               {"3g2a", "", "3gp"},
                                               {"M4VH", "mp42", "m4v"},
                                               {"isom", "M4V qt  ", "mp4"},
                                               {"XAVC", "XAVCqt  ", "mov"},
                                               {"abcd", "wxyz3gs6", "3gp"},
                                               {"abcd", "wxyz", "mp4"},
                                               // Still images and sequences, raws, songs.
                                               {"heic", "mif1heicmiaf", "heic"},
                                               {"mif1", "mif1heic", "heic"},
                                               {"mif1", "mif1miaf", "heic"},
                                               {"msf1", "isommsf1", "heic"},
                                               {"mif1", "mif1avifmiafMA1B", "avif"},
                                               {"avis", "avismsf1iso8", "avif"},
                                               {"abcd", "iso8mif1hevc", "heic"},
                                               {"crx ", "crx isom", "cr3"},
                                               {"M4A ", "M4A mp42isom", "m4a"},
                                               {"M4B ", "M4B mp42", "m4a"},
                                               {"M4P ", "", "m4a"}}) {
    const File body = Concat(major, Be32(0), compatible);
    EXPECT_EQ(IsoMediaExtension(IsoMediaKindOfBrands(body)), extension) << major << compatible;
  }
}

// A movie box whose tracks have these media handlers, their chunks all at `chunk`.
File MoovWithTracks(const std::vector<std::string>& handlers, uint32_t chunk) {
  File traks;
  for (const auto& handler : handlers) {
    const File hdlr = Box("hdlr", Concat(Be32(0), Be32(0), handler, File(13, 0)));
    const File stco = Box("stco", Concat(Be32(0), Be32(1), Be32(chunk)));
    traks = Concat(traks, Box("trak", Box("mdia", Concat(hdlr, Box("minf", Box("stbl", stco))))));
  }
  return Box("moov", Concat(Box("mvhd", 100), traks));
}

TEST(IsoMediaWalk, AnMp4OfSoundAloneIsASong) {
  // The chunks lie just after the mdat's header.
  const auto kind = [&](const std::vector<std::string>& handlers, const File& ftyp) {
    const auto chunk = static_cast<uint32_t>(ftyp.size() + 8);
    const File file = Concat(ftyp, Box("mdat", 500), MoovWithTracks(handlers, chunk));
    const auto r = Walk(file);
    EXPECT_EQ(r.end, static_cast<int64_t>(file.size()));
    return std::string(IsoMediaExtension(r.kind));
  };
  const File isom = Ftyp("isom");
  EXPECT_EQ(kind({"soun"}, isom), "m4a");
  EXPECT_EQ(kind({"vide", "soun"}, isom), "mp4");
  EXPECT_EQ(kind({"vide"}, isom), "mp4");
  // A brand that names the type keeps it.
  EXPECT_EQ(kind({"soun"}, Ftyp("qt  ", "qt  ")), "mov");
  EXPECT_EQ(kind({"soun"}, Ftyp("3gp4", "3gp4")), "3gp");
}

// An item location box (version 1) whose items' extents are (construction method, offset, length).
File Iloc(const std::vector<std::array<uint32_t, 3>>& extents) {
  File items;
  uint16_t id = 1;
  for (const auto& [method, offset, length] : extents) {
    items = Concat(items, Be16(id++), Be16(method), Be16(0), Be16(1), Be32(offset), Be32(length));
  }
  return Box("iloc", Concat(Be32(0x01000000), Be16(0x4400),
                            Be16(static_cast<uint16_t>(extents.size())), items));
}
File Meta(const File& iloc, const File& idat = {}) {
  const File hdlr = Box("hdlr", Concat(Be32(0), Be32(0), "pict", File(13, 0)));
  return Box("meta", Concat(Be32(0), hdlr, Box("pitm", 6), iloc, idat));
}

TEST(IsoMediaWalk, AStillImageEndsWithTheBoxHoldingItsLastItem) {
  const File ftyp = Ftyp("heic", "mif1heic");  // 24 bytes
  // meta is 8 + 4 + 33 + 14 + 48 = 107 bytes, so the mdat's data lies at 139 to 1139.
  const File meta = Meta(Iloc({{0, 139, 600}, {0, 739, 400}}));
  ASSERT_EQ(meta.size(), 107u);
  const File image = Concat(ftyp, meta, Box("mdat", 1000));
  for (const auto& after :
       {File{}, Box("free", 100), Box("mdat", 100), testing::RandomBytes(64, 3)}) {
    for (const auto placement :
         {Placement{}, Placement{.lead = 300, .bufferBytes = 1024, .randomTrailing = true}}) {
      const auto r = Walk(Concat(image, after), placement);
      EXPECT_EQ(r.end, static_cast<int64_t>(image.size()));
      EXPECT_EQ(IsoMediaExtension(r.kind), "heic");
    }
  }
  // Media first, the meta box last; or all items in the meta box's own data.
  const File metaLast = Concat(ftyp, Box("mdat", 1000), Meta(Iloc({{0, 32, 1000}})));
  EXPECT_EQ(Walk(metaLast).end, static_cast<int64_t>(metaLast.size()));
  const File inIdat = Concat(Ftyp("avif", "avifmif1"), Meta(Iloc({{1, 0, 40}}), Box("idat", 40)));
  EXPECT_EQ(Walk(inIdat).end, static_cast<int64_t>(inIdat.size()));
  const auto r = Walk(inIdat);
  EXPECT_EQ(IsoMediaExtension(r.kind), "avif");
}

TEST(IsoMediaWalk, AnImageWhoseItemsAreNotAllThereIsNotProven) {
  const File ftyp = Ftyp("mif1", "mif1heic");
  const File image = Concat(ftyp, Meta(Iloc({{0, 139, 600}, {0, 739, 400}})), Box("mdat", 1000));
  // Cut off by the device's end.
  auto r = Walk(File(image.begin(), image.end() - 300), {.bufferBytes = 512, .trailing = 0});
  EXPECT_FALSE(r.end);
  EXPECT_EQ(r.reached, static_cast<int64_t>(image.size()));
  // An extent past the last box, an item in an idat that is not there or too short, lengths of
  // "to the end of the file", and an iloc that is cut short.
  for (const File& meta :
       {Meta(Iloc({{0, 139, 600}, {0, 739, 401}})),
        Meta(Iloc({{0, 139, 1000}, {0, 0xFFFFFFF0, 32}})), Meta(Iloc({{0, 139, 1000}, {1, 0, 8}})),
        Meta(Iloc({{0, 139, 1000}, {1, 0, 41}}), Box("idat", 40)),
        Meta(Iloc({{0, 139, 1000}, {0, 139, 0}})),
        Meta(Box("iloc", Concat(Be32(0x01000000), Be16(0x4400), Be16(3), File(20, 0)))),
        Meta(Box("iloc", Concat(Be32(0x01000000), Be16(0x4000), Be16(0))))}) {
    const File file = Concat(ftyp, meta, Box("mdat", 1000));
    EXPECT_FALSE(Walk(file).end) << ::testing::PrintToString(meta);
  }
  // The image ends with the box that holds its last item: a box after it is not the image's.
  const File stray = Concat(ftyp, Meta(Iloc({{0, 123, 100}})), Box("mdat", 1000), Box("free", 10));
  EXPECT_EQ(Walk(stray).end, 1123);
}

TEST(IsoMediaWalk, SizesAndNamesRealFiles) {
  for (const std::string extension : {"mp4", "mov", "3gp", "m4v", "heic", "avif", "cr3", "m4a"}) {
    for (const auto& path : testing::Fixtures(extension)) {
      const File file = testing::Fixture(path.filename().string());
      const auto r = Walk(file, {.lead = 100, .bufferBytes = 4096, .randomTrailing = true});
      EXPECT_EQ(r.end, static_cast<int64_t>(file.size())) << path;
      EXPECT_EQ(IsoMediaExtension(r.kind), extension) << path;
    }
  }
}

}  // namespace
}  // namespace quarvelin
