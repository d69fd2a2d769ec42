#include "iso_media_walk.h"

#include <algorithm>
#include <array>
#include <vector>

#include "formats/validation_result.h"

namespace quarvelin {
namespace {

// No recording we recover is larger; a box that reaches past this is not part of a file.
constexpr int64_t kLargestFile = int64_t{1} << 40;
// A long screen recording cut into one-second fragments has some tens of thousands of boxes.
constexpr int64_t kMostBoxes = 4'000'000;
// Box headers are read in windows this large: runs of small fragment boxes share one read.
constexpr int32_t kWindowBytes = 65'536;
// The ftyp box holds the brands and nothing else: a few dozen bytes in practice.
constexpr int64_t kLargestFtyp = 4'096;
constexpr int64_t kSmallestFtyp = 16;
constexpr int64_t kHeaderBytes = 8;
constexpr int64_t kLargeHeaderBytes = 16;
// The movie fragment random access offset box: size, type, version and flags, mfra's size.
constexpr int64_t kMfroBytes = 16;
// Once the movie and its media are whole, a box of a type we do not know is more likely stray
// bytes after the file than part of it; only a small one is taken.
constexpr int64_t kLargestTrailingUnknownBox = 1 << 20;

// The movie box is read whole to check where its chunks lie; a longer one is not checked.
constexpr int64_t kLargestCheckedMoov = 4 << 20;
// Media boxes remembered for that check; a file with more (fragmented: its chunks are described
// in the fragments) is not checked.
constexpr size_t kMostRememberedMdats = 4'096;
// The sample tables sit four boxes down: moov, trak, mdia, minf, stbl.
constexpr int kTableDepth = 4;
// A HEIF image's meta box is read whole for its item locations: item properties and an Exif block
// in its idat take some tens of KB.
constexpr int64_t kLargestCheckedMeta = 4 << 20;

// Types seen at the top level of MP4, QuickTime and 3GPP files.
constexpr std::array<std::string_view, 19> kTopLevelTypes = {
    "ftyp", "styp", "moov", "mdat", "free", "skip", "wide", "pnot", "uuid", "meta",
    "pdin", "moof", "mfra", "sidx", "ssix", "emsg", "prft", "junk", "PICT"};

std::string_view TypeOf(Bytes header) {
  return {reinterpret_cast<const char*>(header.data() + 4), 4};
}

bool Known(std::string_view type) {
  return std::find(kTopLevelTypes.begin(), kTopLevelTypes.end(), type) != kTopLevelTypes.end();
}

bool Printable(std::string_view type) {
  return std::all_of(type.begin(), type.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

template <size_t N>
bool OneOf(std::string_view brand, const std::array<std::string_view, N>& brands) {
  return std::find(brands.begin(), brands.end(), brand) != brands.end();
}

// HEIF brands: still images and image sequences coded with AV1, with HEVC, and in any codec.
constexpr std::array<std::string_view, 2> kAv1ImageBrands = {"avif", "avis"};
constexpr std::array<std::string_view, 8> kHevcImageBrands = {"heic", "heix", "hevc", "hevx",
                                                              "heim", "heis", "hevm", "hevs"};
constexpr std::array<std::string_view, 2> kGenericImageBrands = {"mif1", "msf1"};
// Brands of image sequences, whose frames a movie box describes.
constexpr std::array<std::string_view, 6> kSequenceBrands = {"msf1", "avis", "hevc",
                                                             "hevx", "hevm", "hevs"};

std::optional<IsoMediaKind> KindOfBrand(std::string_view brand) {
  if (OneOf(brand, kAv1ImageBrands)) return IsoMediaKind::kAvif;
  if (OneOf(brand, kHevcImageBrands)) return IsoMediaKind::kHeic;
  if (brand == "crx ") return IsoMediaKind::kCr3;
  if (brand == "M4A " || brand == "M4B " || brand == "M4P ") return IsoMediaKind::kM4a;
  if (brand == "qt  ") return IsoMediaKind::kMov;
  if (brand == "M4V " || brand == "M4VH" || brand == "M4VP") return IsoMediaKind::kM4v;
  for (const std::string_view prefix : {"3gp", "3g2", "3ge", "3gg", "3gr", "3gs"}) {
    if (brand.starts_with(prefix)) return IsoMediaKind::k3gp;
  }
  static constexpr std::array<std::string_view, 20> kMp4Brands = {
      "isom", "iso2", "iso3", "iso4", "iso5", "iso6", "iso7", "iso8", "iso9", "mp41",
      "mp42", "mp71", "avc1", "dash", "msnv", "mmp4", "cmfc", "f4v ", "MSNV", "NDAS"};
  if (std::find(kMp4Brands.begin(), kMp4Brands.end(), brand) != kMp4Brands.end()) {
    return IsoMediaKind::kMp4;
  }
  return std::nullopt;
}

// The mfra box ends with an mfro box that repeats mfra's size, so that a player can find the index
// from the file's end: a match shows this is where the file ends.
bool MfraAgrees(RangeReader& read, int64_t mfraAt, int64_t mfraSize) {
  if (mfraSize < kHeaderBytes + kMfroBytes) return false;
  const Bytes mfro = read(mfraAt + mfraSize - kMfroBytes, static_cast<int32_t>(kMfroBytes));
  if (mfro.empty()) return false;
  return ReadBe32(mfro, 0) == kMfroBytes && TypeOf(mfro) == "mfro" &&
         ReadBe32(mfro, 12) == static_cast<uint64_t>(mfraSize);
}

// The sound and video tracks a movie box holds, by their media handlers (trak, mdia, hdlr).
struct Tracks {
  bool sound = false;
  bool other = false;  // video, or anything else that is not sound
};

void AddTracks(Bytes boxes, Tracks& tracks, int depth) {
  for (size_t at = 0; boxes.size() - at >= 8;) {
    const uint64_t size = *ReadBe32(boxes, at);
    const std::string_view type = TypeOf(boxes.subspan(at));
    if (size < 8 || size > boxes.size() - at) return;
    const Bytes body = boxes.subspan(at + 8, static_cast<size_t>(size - 8));
    at += static_cast<size_t>(size);
    if ((type == "trak" || type == "mdia") && depth > 0) {
      AddTracks(body, tracks, depth - 1);
    } else if (type == "hdlr" && body.size() >= 12) {
      // Version and flags, a predefined word, then the handler type.
      const std::string_view handler(reinterpret_cast<const char*>(body.data() + 8), 4);
      if (handler == "soun") {
        tracks.sound = true;
      } else if (handler == "vide" || handler == "pict" || handler == "auxv") {
        tracks.other = true;
      }
    }
  }
}

// Where a HEIF file's items lie, from its meta box: the item location box (iloc) gives each item's
// extents, as offsets in the file or in the meta box's own item data box (idat).
struct Items {
  bool valid = false;
  int64_t end = 0;  // the end of the last extent in the file; 0 when every item is in idat
};

// The n-byte (0, 4 or 8) unsigned field at `at`, advancing `at`.
std::optional<uint64_t> SizedField(Bytes bytes, size_t& at, unsigned n) {
  std::optional<uint64_t> value;
  if (n == 0) {
    value = 0;
  } else if (n == 4) {
    value = ReadBe32(bytes, at);
  } else if (n == 8) {
    value = ReadBe64(bytes, at);
  }
  at += n;
  return value;
}

Items ItemLocations(Bytes iloc, std::optional<int64_t> idatSize) {
  Items items;
  const auto versionFlags = ReadBe32(iloc, 0);
  const auto sizes = ReadBe16(iloc, 4);
  if (!versionFlags || !sizes) return items;
  const unsigned version = *versionFlags >> 24;
  if (version > 2) return items;
  const unsigned offsetSize = *sizes >> 12;
  const unsigned lengthSize = (*sizes >> 8) & 0xF;
  const unsigned baseSize = (*sizes >> 4) & 0xF;
  const unsigned indexSize = version == 0 ? 0 : *sizes & 0xF;
  for (const unsigned n : {offsetSize, lengthSize, baseSize, indexSize}) {
    if (n != 0 && n != 4 && n != 8) return items;
  }
  // Extents without lengths run "to the end of the file", which a raw disk does not tell.
  if (lengthSize == 0) return items;
  size_t at = 6;
  std::optional<uint64_t> count;
  if (version < 2) {
    count = ReadBe16(iloc, at);
    at += 2;
  } else {
    count = ReadBe32(iloc, at);
    at += 4;
  }
  if (!count) return items;
  // Every item takes at least its id, reference index and extent count: the box bounds the loop.
  for (uint64_t item = 0; item < *count; ++item) {
    at += version < 2 ? 2 : 4;  // item id
    unsigned method = 0;
    if (version > 0) {
      const auto field = ReadBe16(iloc, at);
      if (!field) return items;
      method = *field & 0xF;
      at += 2;
    }
    const auto reference = ReadBe16(iloc, at);
    at += 2;
    const auto base = SizedField(iloc, at, baseSize);
    const auto extents = ReadBe16(iloc, at);
    at += 2;
    if (!reference || !base || !extents) return items;
    for (unsigned e = 0; e < *extents; ++e) {
      at += indexSize;
      const auto offset = SizedField(iloc, at, offsetSize);
      const auto length = SizedField(iloc, at, lengthSize);
      if (!offset || !length) return items;
      // Data in another file, or built from other items, takes no room here.
      if (*reference != 0 || method == 2) continue;
      // A length of 0 means "to the end of the file" here too.
      constexpr auto kLargest = static_cast<uint64_t>(kLargestFile);
      if (*base > kLargest || *offset > kLargest || *length > kLargest || *length == 0) {
        return items;
      }
      const int64_t end = static_cast<int64_t>(*base + *offset + *length);
      if (end > kLargestFile) return items;
      if (method == 1) {
        if (!idatSize || end > *idatSize) return items;
      } else if (method == 0) {
        items.end = std::max(items.end, end);
      } else {
        return items;
      }
    }
  }
  items.valid = true;
  return items;
}

// The items of a top-level meta box (a full box: version and flags, then its boxes); nothing when
// it has no item location box (metadata of another kind).
std::optional<Items> MetaItems(Bytes meta) {
  if (meta.size() < 4) return std::nullopt;
  const Bytes boxes = meta.subspan(4);
  std::optional<Bytes> iloc;
  std::optional<int64_t> idatSize;
  for (size_t at = 0; boxes.size() - at >= 8;) {
    const uint64_t size = *ReadBe32(boxes, at);
    const std::string_view type = TypeOf(boxes.subspan(at));
    if (size < 8 || size > boxes.size() - at) break;
    const Bytes body = boxes.subspan(at + 8, static_cast<size_t>(size - 8));
    at += static_cast<size_t>(size);
    if (type == "iloc") {
      if (iloc) return Items{};
      iloc = body;
    } else if (type == "idat") {
      idatSize = static_cast<int64_t>(body.size());
    }
  }
  if (!iloc) return std::nullopt;
  return ItemLocations(*iloc, idatSize);
}

struct Span {
  int64_t from;  // the media data, after the mdat's header
  int64_t to;
};

bool InsideMedia(uint64_t offset, const std::vector<Span>& media) {
  return std::any_of(media.begin(), media.end(), [offset](const Span& data) {
    return offset >= static_cast<uint64_t>(data.from) && offset < static_cast<uint64_t>(data.to);
  });
}

// False when a chunk offset table (stco, co64) among `boxes` or their sample-table ancestors has
// a first or last entry outside the file's media data: the movie box then belongs to another file,
// or the walk left this one. Boxes that cannot be parsed end their list without a verdict.
bool ChunksInsideMedia(Bytes boxes, const std::vector<Span>& media, int depth) {
  for (size_t at = 0; boxes.size() - at >= 8;) {
    const uint64_t size = *ReadBe32(boxes, at);
    const std::string_view type = TypeOf(boxes.subspan(at));
    if (size < 8 || size > boxes.size() - at) return true;
    const Bytes body = boxes.subspan(at + 8, static_cast<size_t>(size - 8));
    at += static_cast<size_t>(size);
    if (type == "trak" || type == "mdia" || type == "minf" || type == "stbl") {
      if (depth > 0 && !ChunksInsideMedia(body, media, depth - 1)) return false;
      continue;
    }
    const size_t entryBytes = type == "stco" ? 4 : type == "co64" ? 8 : 0;
    const auto count = ReadBe32(body, 4);
    if (entryBytes == 0 || !count || *count == 0) continue;
    if (*count > (body.size() - 8) / entryBytes) return false;
    const auto entry = [&](size_t index) {
      const size_t entryAt = 8 + index * entryBytes;
      return entryBytes == 4 ? uint64_t{*ReadBe32(body, entryAt)} : *ReadBe64(body, entryAt);
    };
    if (!InsideMedia(entry(0), media) || !InsideMedia(entry(*count - 1), media)) return false;
  }
  return true;
}

}  // namespace

std::string_view IsoMediaExtension(IsoMediaKind kind) {
  switch (kind) {
    case IsoMediaKind::kMov:
      return "mov";
    case IsoMediaKind::k3gp:
      return "3gp";
    case IsoMediaKind::kM4v:
      return "m4v";
    case IsoMediaKind::kHeic:
      return "heic";
    case IsoMediaKind::kAvif:
      return "avif";
    case IsoMediaKind::kCr3:
      return "cr3";
    case IsoMediaKind::kM4a:
      return "m4a";
    case IsoMediaKind::kMp4:
      break;
  }
  return "mp4";
}

namespace {

// The brands of an ftyp box's body: the major one first, then the compatible ones (the minor
// version between them is skipped).
std::vector<std::string_view> Brands(Bytes ftypBody) {
  std::vector<std::string_view> brands;
  for (size_t at = 0; at + 4 <= ftypBody.size(); at += at == 0 ? 8 : 4) {
    brands.emplace_back(reinterpret_cast<const char*>(ftypBody.data() + at), 4);
  }
  return brands;
}

bool AnyOf(const std::vector<std::string_view>& brands, auto&& test) {
  return std::any_of(brands.begin(), brands.end(), test);
}

}  // namespace

IsoMediaKind IsoMediaKindOfBrands(Bytes ftypBody) {
  const std::vector<std::string_view> brands = Brands(ftypBody);
  if (brands.empty()) return IsoMediaKind::kMp4;
  if (const auto kind = KindOfBrand(brands[0])) return *kind;
  const std::vector<std::string_view> compatible(brands.begin() + 1, brands.end());
  if (OneOf(brands[0], kGenericImageBrands)) {
    const bool av1 = AnyOf(compatible, [](auto b) { return OneOf(b, kAv1ImageBrands); });
    return av1 ? IsoMediaKind::kAvif : IsoMediaKind::kHeic;
  }
  if (AnyOf(compatible, [](auto b) { return OneOf(b, kAv1ImageBrands); })) {
    return IsoMediaKind::kAvif;
  }
  if (AnyOf(compatible, [](auto b) { return OneOf(b, kHevcImageBrands); })) {
    return IsoMediaKind::kHeic;
  }
  for (const std::string_view brand : compatible) {
    if (const auto kind = KindOfBrand(brand)) return *kind;
  }
  if (AnyOf(brands, [](auto b) { return OneOf(b, kGenericImageBrands); })) {
    return IsoMediaKind::kHeic;
  }
  return IsoMediaKind::kMp4;
}

IsoMediaWalk WalkIsoMedia(RangeReader& read, const std::atomic<bool>* cancel) {
  IsoMediaWalk result;
  WalkWindow window(read, kWindowBytes);

  const Bytes first = window.At(0, static_cast<int32_t>(kHeaderBytes));
  if (first.empty() || TypeOf(first) != "ftyp") return result;
  const int64_t ftypSize = *ReadBe32(first, 0);
  if (ftypSize < kSmallestFtyp || ftypSize > kLargestFtyp) return result;
  const Bytes ftyp = window.At(0, static_cast<int32_t>(ftypSize));
  if (ftyp.empty()) return result;
  const Bytes brands = ftyp.subspan(8, static_cast<size_t>(ftypSize - 8));
  result.kind = IsoMediaKindOfBrands(brands);
  // A still image ends with the box that holds its last item; a sequence has a movie to wait for.
  const bool image = result.kind == IsoMediaKind::kHeic || result.kind == IsoMediaKind::kAvif;
  const bool sequence = AnyOf(Brands(brands), [](auto b) { return OneOf(b, kSequenceBrands); });

  int64_t pos = ftypSize;
  bool sawMoov = false;
  bool sawMdat = false;
  bool fragmentWithoutData = false;  // a moof whose mdat has not come yet
  bool fragmented = false;
  bool indexed = false;     // an mfra closed the file
  bool unreadable = false;  // the walk stopped where nothing could be read
  int64_t moovAt = 0;
  int64_t moovSize = 0;
  int64_t moovHeader = kHeaderBytes;
  std::vector<Span> mediaData;
  bool mediaRemembered = true;
  std::optional<Items> items;  // from the first top-level meta box, when it was read
  int64_t lastBoxAt = pos;
  for (int64_t boxes = 1; !indexed; ++boxes) {
    if (IsCancelled(cancel) || boxes > kMostBoxes) {
      result.reached = pos;
      return result;
    }
    Bytes header = window.At(pos, static_cast<int32_t>(kHeaderBytes));
    if (header.empty()) {
      // The device's end, or a failed read: a fragmented recording may go on past it.
      unreadable = true;
      break;
    }
    const uint32_t size32 = *ReadBe32(header, 0);
    const std::string_view type = TypeOf(header);
    const bool known = Known(type);
    const bool whole = sawMoov && sawMdat && !fragmentWithoutData;
    // Another ftyp starts the next file; zeros, random bytes and other files' headers are no box.
    if (type == "ftyp" || (!known && !Printable(type))) break;

    int64_t size = size32;
    if (size32 == 1) {
      header = window.At(pos, static_cast<int32_t>(kLargeHeaderBytes));
      if (header.empty()) break;
      const auto large = AsLength(*ReadBe64(header, 8));
      if (!large || *large < kLargeHeaderBytes) break;
      size = *large;
    } else if (size32 == 0) {
      if (!known) break;
      result.reached = pos;
      result.openEndedAt = pos;
      return result;
    } else if (size < kHeaderBytes) {
      break;
    }
    const auto next = CheckedAdd(pos, size);
    if (!next || *next > kLargestFile) break;
    if (!known && whole && size > kLargestTrailingUnknownBox) break;
    // A box of unknown type, or one that adds no media to a file already whole, that runs off the
    // device is stray bytes after the file. A cut-off movie, media or fragment box is a truncated
    // file; that shows when the walk ends.
    const bool addsMedia = type == "mdat" || type == "moof" || type == "moov";
    if ((!known || (whole && !addsMedia)) && window.At(*next - 1, 1).empty()) break;

    if (type == "moov") {
      sawMoov = true;
      moovAt = pos;
      moovSize = size;
      moovHeader = size32 == 1 ? kLargeHeaderBytes : kHeaderBytes;
    } else if (type == "moof") {
      fragmented = true;
      fragmentWithoutData = true;
    } else if (type == "mdat") {
      sawMdat = true;
      fragmentWithoutData = false;
      if (mediaData.size() < kMostRememberedMdats) {
        mediaData.push_back({pos + (size32 == 1 ? kLargeHeaderBytes : kHeaderBytes), *next});
      } else {
        mediaRemembered = false;
      }
    } else if (type == "mfra") {
      if (!MfraAgrees(read, pos, size)) {
        result.reached = *next;
        return result;
      }
      indexed = true;
    } else if (type == "meta" && !items && size <= kLargestCheckedMeta) {
      const int64_t headerBytes = size32 == 1 ? kLargeHeaderBytes : kHeaderBytes;
      const Bytes meta = read(pos + headerBytes, static_cast<int32_t>(size - headerBytes));
      // Unread (cut off by the device's end) is not parsed: the walk's end shows the cut.
      if (!meta.empty()) items = MetaItems(meta);
      if (items && items->valid) items->end = std::max(items->end, *next);
    }
    lastBoxAt = pos;
    pos = *next;
    if (image && !sequence && !sawMoov && items && items->valid && pos >= items->end) break;
  }

  result.reached = pos;
  // The last box must lie on the device whole: one cut off by its end is a truncated file.
  const bool onDevice = !window.At(pos - 1, 1).empty();
  if (!onDevice) return result;
  // Every item lies inside the file; without a movie, the last of them lies in its last box.
  if (items && (!items->valid || items->end > pos)) return result;
  if (!sawMoov && items) {
    if (items->end > lastBoxAt) result.end = pos;
    return result;
  }
  if (!sawMoov || !sawMdat || fragmentWithoutData) return result;
  if (fragmented && unreadable && !indexed) return result;
  if (mediaRemembered && moovSize <= kLargestCheckedMoov) {
    const Bytes moov = read(moovAt, static_cast<int32_t>(moovSize));
    const Bytes boxes = moov.empty() ? moov : moov.subspan(static_cast<size_t>(moovHeader));
    if (moov.empty() || !ChunksInsideMedia(boxes, mediaData, kTableDepth)) return result;
    // An MP4 of sound alone (no video) under a generic brand is a song or an audiobook.
    Tracks tracks;
    AddTracks(boxes, tracks, 2);  // trak, mdia, hdlr
    if (result.kind == IsoMediaKind::kMp4 && tracks.sound && !tracks.other) {
      result.kind = IsoMediaKind::kM4a;
    }
  }
  result.end = pos;
  return result;
}

}  // namespace quarvelin
