#include "formats/tiff/tiff_walk.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/byte_fields.h"
#include "formats/validation_result.h"

namespace quarvelin {
namespace {

// Classic TIFF offsets are 32 bits wide. A BigTIFF that claims more than this is far likelier to
// be random bytes than a picture.
constexpr int64_t kClassicLimit = int64_t{4} << 30;
constexpr int64_t kBigTiffLimit = int64_t{64} << 30;
// Multi-page scans reach a few thousand pages; crafted chains must not run on for ever.
constexpr size_t kMaxIfds = 65'536;
constexpr uint64_t kMaxEntriesPerIfd = 65'535;
constexpr int64_t kMaxEntries = int64_t{1} << 20;
// Strips or tiles of one image, and over the whole file: a 64 GiB BigTIFF of 64 KiB tiles has one
// million of them.
constexpr uint64_t kMaxArray = uint64_t{4} << 20;
constexpr int64_t kMaxArrayElements = int64_t{16} << 20;
constexpr int32_t kWindow = 64 * 1024;
// Cameras write RAW files of up to a few hundred megabytes (multi-shot modes included); a maker's
// RAW that reaches further is damaged or is not one. DNGs (panoramas among them) may use all a
// TIFF can hold.
constexpr int64_t kCameraRawLimit = int64_t{512} << 20;
// Maker-note IFDs hold a few dozen entries; bounded so a false one costs little.
constexpr uint64_t kMaxMakerNoteEntries = 512;
// Makes are short names ("NIKON CORPORATION"); only their start is compared.
constexpr int64_t kMaxMake = 32;
// How many array elements pass between two looks at the cancel flag.
constexpr int64_t kCancelStride = 4'096;

enum Tag : uint16_t {
  kPhotometricInterpretation = 262,
  kMake = 271,
  kStripOffsets = 273,
  kStripByteCounts = 279,
  // Panasonic's raw data offset in an RW2; MinSampleValue in any other TIFF.
  kRawDataOffset = 280,
  kFreeOffsets = 288,
  kFreeByteCounts = 289,
  kTileOffsets = 324,
  kTileByteCounts = 325,
  kSubIfds = 330,
  kJpegInterchangeFormat = 513,
  kJpegInterchangeFormatLength = 514,
  kExifIfd = 34665,
  kGpsIfd = 34853,
  kMakerNote = 37500,
  kInteroperabilityIfd = 40965,
  kDngVersion = 50706,
};

// Photometric interpretations of sensor data: colour filter array, and DNG's linear raw.
constexpr uint64_t kCfa = 32803;
constexpr uint64_t kLinearRaw = 34892;

enum Type : uint16_t {
  kByte = 1,
  kAscii = 2,
  kShort = 3,
  kLong = 4,
  kIfd = 13,
  kLong8 = 16,
  kIfd8 = 18,
};

// Bytes per value of a field type; 0 for the numbers no published type uses (0, 14, 15, > 18),
// whose values we could not measure.
int64_t TypeSize(uint16_t type) {
  switch (type) {
    case 1:  // BYTE
    case 2:  // ASCII
    case 6:  // SBYTE
    case 7:  // UNDEFINED
      return 1;
    case 3:  // SHORT
    case 8:  // SSHORT
      return 2;
    case 4:   // LONG
    case 9:   // SLONG
    case 11:  // FLOAT
    case 13:  // IFD
      return 4;
    case 5:   // RATIONAL
    case 10:  // SRATIONAL
    case 12:  // DOUBLE
    case 16:  // LONG8
    case 17:  // SLONG8
    case 18:  // IFD8
      return 8;
    default:
      return 0;
  }
}

// The sizes that differ between classic TIFF and BigTIFF, and the byte order.
struct Layout {
  bool bigEndian = false;
  bool bigTiff = false;
  int64_t limit = kClassicLimit;

  int64_t Header() const { return bigTiff ? 16 : 8; }
  int64_t CountSize() const { return bigTiff ? 8 : 2; }
  int64_t EntrySize() const { return bigTiff ? 20 : 12; }
  int64_t ValueField() const { return bigTiff ? 8 : 4; }
  int64_t NextSize() const { return bigTiff ? 8 : 4; }

  std::optional<uint64_t> Uint(Bytes bytes, size_t at, int64_t width) const {
    switch (width) {
      case 1:
        if (at < bytes.size()) return bytes[at];
        return std::nullopt;
      case 2:
        return bigEndian ? ReadBe16(bytes, at) : ReadLe16(bytes, at);
      case 4:
        return bigEndian ? ReadBe32(bytes, at) : ReadLe32(bytes, at);
      case 8:
        return bigEndian ? ReadBe64(bytes, at) : ReadLe64(bytes, at);
      default:
        return std::nullopt;
    }
  }
};

struct Entry {
  uint16_t tag = 0;
  uint16_t type = 0;
  int64_t count = 0;
  std::array<uint8_t, 8> field{};  // the value field as stored
  int64_t fieldSize = 0;
  std::optional<int64_t> offset;  // where the values lie when the field cannot hold them
};

// Reads an entry's values in order as unsigned integers, from its value field or, window by
// window, from the file.
class Values {
 public:
  Values(RangeReader& read, const Layout& layout, const Entry& entry)
      : window_(read, kWindow), layout_(layout), entry_(entry), width_(TypeSize(entry.type)) {}

  std::optional<uint64_t> Next() {
    const int64_t at = index_++ * width_;
    if (!entry_.offset) {
      return layout_.Uint(Bytes(entry_.field.data(), static_cast<size_t>(entry_.fieldSize)),
                          static_cast<size_t>(at), width_);
    }
    const auto bytes = window_.At(*entry_.offset + at, static_cast<int32_t>(width_));
    if (bytes.empty()) return std::nullopt;
    return layout_.Uint(bytes, 0, width_);
  }

 private:
  WalkWindow window_;
  const Layout& layout_;
  const Entry& entry_;
  int64_t width_;
  int64_t index_ = 0;
};

// What the header says: the byte order and offset width, where the first IFD lies, and for the
// makers that write a header of their own, the kind of file.
struct Header {
  Layout layout;
  uint64_t firstIfd = 0;
  TiffKind kind = TiffKind::kTiff;
  // Canon's header also points at the IFD of the raw image.
  uint64_t rawIfd = 0;
};

class TiffWalker {
 public:
  TiffWalker(RangeReader& read, const std::atomic<bool>* cancel, const Header& header)
      : read_(read),
        cancel_(cancel),
        layout_(header.layout),
        header_(header),
        ifdWindow_(read, kWindow) {}

  TiffWalk Walk() {
    TiffWalk walk{.kind = header_.kind, .headerNamesKind = header_.kind != TiffKind::kTiff};
    end_ = layout_.Header();
    // An IFD with no entries describes nothing: the header was met in other data.
    if (!Queue(header_.firstIfd) || header_.firstIfd == 0) return walk;
    bool first = true;
    while (!pending_.empty()) {
      if (IsCancelled(cancel_)) return Broken(walk);
      const int64_t at = pending_.back();
      pending_.pop_back();
      if (!WalkIfd(at, first)) return first ? walk : Broken(walk);
      if (first && !Queue(header_.rawIfd)) return Broken(walk);
      first = false;
    }
    walk.kind = Kind();
    if (IsCameraRaw(walk.kind)) {
      // A DNG made from another RAW may carry that file's maker note, whose offsets were the
      // other file's.
      if (walk.kind != TiffKind::kDng && !layout_.bigTiff) WalkMakerNote();
      // Panasonic's raw data must be one of the ranges measured, or its length is unknown.
      if (rawDataOffset_ && !rawDataMeasured_) return Broken(walk);
      if (walk.kind != TiffKind::kDng && end_ > kCameraRawLimit) return Broken(walk);
    }
    walk.end = end_;
    // Strip and value bytes are not read on the way; the file exists only if its last one does.
    walk.status = read_(end_ - 1, 1).empty() ? TiffWalk::Status::kCut : TiffWalk::Status::kWhole;
    return walk;
  }

 private:
  static bool IsCameraRaw(TiffKind kind) { return kind != TiffKind::kTiff; }

  // The first IFD held together: what it and the IFDs walked so far say of the kind stands.
  TiffWalk Broken(TiffWalk walk) {
    walk.kind = Kind();
    walk.status = TiffWalk::Status::kBroken;
    walk.end = end_;
    return walk;
  }

  // DNG first: a DNG keeps the Make of the camera that took it. Then the makers' own headers, then
  // the Make of a file that holds sensor data (a camera's TIFF or an EXIF block has none).
  TiffKind Kind() {
    if (dngVersion_) return TiffKind::kDng;
    if (header_.kind != TiffKind::kTiff) return header_.kind;
    if (!sensorData_) return TiffKind::kTiff;
    if (make_.starts_with("NIKON") || HasNikonMakerNote()) return TiffKind::kNef;
    if (make_.starts_with("SONY")) return TiffKind::kArw;
    return TiffKind::kTiff;
  }

  bool HasNikonMakerNote() {
    if (!makerNote_ || makerNoteLength_ < 6) return false;
    const auto bytes = read_(*makerNote_, 6);
    return !bytes.empty() && std::memcmp(bytes.data(), "Nikon\0", 6) == 0;
  }

  // Takes [offset, offset + length) into the file; false when that lies past any TIFF's reach.
  bool Reach(int64_t offset, int64_t length) {
    const auto end = CheckedAdd(offset, length);
    if (offset < 0 || !end || *end > layout_.limit) return false;
    end_ = std::max(end_, *end);
    return true;
  }

  // Adds an IFD to walk; offset 0 is "none". Each IFD is walked once, which ends loops.
  bool Queue(uint64_t offset) {
    if (offset == 0) return true;
    if (offset < static_cast<uint64_t>(layout_.Header()) ||
        offset >= static_cast<uint64_t>(layout_.limit)) {
      return false;
    }
    const auto at = static_cast<int64_t>(offset);
    if (!visited_.insert(at).second) return true;
    if (visited_.size() > kMaxIfds) return false;
    pending_.push_back(at);
    return true;
  }

  std::optional<Entry> ReadEntry(int64_t at) {
    const auto bytes = ifdWindow_.At(at, static_cast<int32_t>(layout_.EntrySize()));
    if (bytes.empty()) return std::nullopt;
    Entry e;
    e.tag = static_cast<uint16_t>(*layout_.Uint(bytes, 0, 2));
    e.type = static_cast<uint16_t>(*layout_.Uint(bytes, 2, 2));
    const auto count = AsLength(*layout_.Uint(bytes, 4, layout_.bigTiff ? 8 : 4));
    const int64_t width = TypeSize(e.type);
    if (!count || width == 0) return std::nullopt;
    const auto size = CheckedMul(*count, width);
    if (!size || *size > layout_.limit) return std::nullopt;
    e.count = *count;
    e.fieldSize = layout_.ValueField();
    const auto fieldAt = static_cast<size_t>(layout_.bigTiff ? 12 : 8);
    std::memcpy(e.field.data(), bytes.data() + fieldAt, static_cast<size_t>(e.fieldSize));
    if (*size > e.fieldSize) {
      const auto offset = AsLength(*layout_.Uint(bytes, fieldAt, e.fieldSize));
      if (!offset || !Reach(*offset, *size)) return std::nullopt;
      e.offset = *offset;
    }
    return e;
  }

  bool WalkIfd(int64_t at, bool first) {
    const auto head = ifdWindow_.At(at, static_cast<int32_t>(layout_.CountSize()));
    if (head.empty()) return false;
    const uint64_t count = *layout_.Uint(head, 0, layout_.CountSize());
    if (count > kMaxEntriesPerIfd || (first && count == 0)) return false;
    const auto entries = static_cast<int64_t>(count);
    entries_ += entries;
    if (entries_ > kMaxEntries) return false;
    const int64_t table = at + layout_.CountSize();
    const int64_t nextAt = table + entries * layout_.EntrySize();
    if (!Reach(at, nextAt + layout_.NextSize() - at)) return false;

    // Offsets and byte counts may come in either order, so pairs are joined after the last entry.
    std::optional<Entry> strips, stripCounts, tiles, tileCounts, freeSpace, freeCounts, jpeg,
        jpegLength;
    for (int64_t i = 0; i < entries; ++i) {
      auto e = ReadEntry(table + i * layout_.EntrySize());
      if (!e) return false;
      switch (e->tag) {
        case kStripOffsets:
          strips = e;
          break;
        case kStripByteCounts:
          stripCounts = e;
          break;
        case kTileOffsets:
          tiles = e;
          break;
        case kTileByteCounts:
          tileCounts = e;
          break;
        case kFreeOffsets:
          freeSpace = e;
          break;
        case kFreeByteCounts:
          freeCounts = e;
          break;
        case kJpegInterchangeFormat:
          jpeg = e;
          break;
        case kJpegInterchangeFormatLength:
          jpegLength = e;
          break;
        case kSubIfds:
        case kExifIfd:
        case kGpsIfd:
        case kInteroperabilityIfd:
          if (!QueueIfds(*e)) return false;
          break;
        default:
          if (!Note(*e, first)) return false;
          break;
      }
    }
    const auto next = ifdWindow_.At(nextAt, static_cast<int32_t>(layout_.NextSize()));
    if (next.empty() || !Queue(*layout_.Uint(next, 0, layout_.NextSize()))) return false;

    return Pairs(strips, stripCounts) && Pairs(tiles, tileCounts) && Pairs(freeSpace, freeCounts) &&
           Pairs(jpeg, jpegLength);
  }

  // Keeps what an entry tells of the kind of file: false when an RW2's raw data offset is unusable.
  bool Note(const Entry& e, bool first) {
    switch (e.tag) {
      case kPhotometricInterpretation:
        if (e.count == 1 && IsUnsigned(e)) {
          const auto value = Values(read_, layout_, e).Next();
          if (value == kCfa || value == kLinearRaw) sensorData_ = true;
        }
        return true;
      case kMake:
        if (first && e.type == kAscii) make_ = Text(e);
        return true;
      case kMakerNote:
        if (e.offset && !makerNote_) {
          makerNote_ = e.offset;
          makerNoteLength_ = e.count * TypeSize(e.type);
        }
        return true;
      case kDngVersion:
        if (first && e.type == kByte && e.count == 4) dngVersion_ = true;
        return true;
      case kRawDataOffset: {
        if (header_.kind != TiffKind::kRw2 || !first) return true;
        std::optional<uint64_t> offset;
        if (e.count == 1 && IsUnsigned(e)) offset = Values(read_, layout_, e).Next();
        if (!offset || *offset < static_cast<uint64_t>(layout_.Header()) ||
            *offset >= static_cast<uint64_t>(layout_.limit)) {
          return false;
        }
        rawDataOffset_ = static_cast<int64_t>(*offset);
        return true;
      }
      default:
        return true;
    }
  }

  // An ASCII value up to its first NUL, at most kMaxMake characters of it.
  std::string Text(const Entry& e) {
    const int64_t length = std::min(e.count, kMaxMake);
    Bytes bytes(e.field.data(), static_cast<size_t>(std::min(length, e.fieldSize)));
    if (e.offset) bytes = read_(*e.offset, static_cast<int32_t>(length));
    std::string text(bytes.begin(), bytes.end());
    return text.substr(0, text.find('\0'));
  }

  // Canon, Sony and Panasonic write their maker notes as plain IFDs whose offsets count from the
  // file's header, and their values may lie outside the maker note's own bytes. The note is taken
  // only when every entry can be measured: what a maker writes there is not ours to reject a file
  // for, and the note's own bytes are already counted.
  void WalkMakerNote() {
    if (!makerNote_ || makerNoteLength_ < 14) return;
    const int64_t at = *makerNote_;
    int64_t ifd = at;
    const auto prefix = read_(at, 12);
    if (prefix.empty()) return;
    const auto startsWith = [&](std::string_view text) {
      return std::memcmp(prefix.data(), text.data(), text.size()) == 0;
    };
    using namespace std::string_view_literals;
    if (startsWith("SONY DSC \0\0\0"sv) || startsWith("SONY CAM \0\0\0"sv) ||
        startsWith("Panasonic\0\0\0"sv)) {
      ifd += 12;
    } else if (!make_.starts_with("Canon")) {
      return;
    }
    const auto head = read_(ifd, 2);
    if (head.empty()) return;
    const uint64_t count = *layout_.Uint(head, 0, 2);
    const int64_t tableSize = 2 + static_cast<int64_t>(count) * 12;
    if (count == 0 || count > kMaxMakerNoteEntries || ifd - at + tableSize > makerNoteLength_) {
      return;
    }
    const auto table = read_(ifd + 2, static_cast<int32_t>(tableSize - 2));
    if (table.empty()) return;
    int64_t end = end_;
    for (size_t i = 0; i < count; ++i) {
      const size_t entry = i * 12;
      const int64_t width = TypeSize(static_cast<uint16_t>(*layout_.Uint(table, entry + 2, 2)));
      const auto size = CheckedMul(static_cast<int64_t>(*layout_.Uint(table, entry + 4, 4)), width);
      if (width == 0 || !size) return;
      if (*size <= 4) continue;
      const auto valueEnd =
          CheckedAdd(static_cast<int64_t>(*layout_.Uint(table, entry + 8, 4)), *size);
      if (!valueEnd || *valueEnd > kCameraRawLimit) return;
      end = std::max(end, *valueEnd);
    }
    end_ = end;
  }

  // Offsets and the byte counts that go with them: each pair is a range of the file.
  bool Pairs(const std::optional<Entry>& offsets, const std::optional<Entry>& counts) {
    if (!offsets && !counts) return true;
    // Data that is placed but not measured (or the reverse) leaves the end unknown.
    if (!offsets || !counts || offsets->count != counts->count) return false;
    if (!IsUnsigned(*offsets) || !IsUnsigned(*counts)) return false;
    if (static_cast<uint64_t>(offsets->count) > kMaxArray) return false;
    arrayElements_ += offsets->count;
    if (arrayElements_ > kMaxArrayElements) return false;
    Values at(read_, layout_, *offsets);
    Values length(read_, layout_, *counts);
    for (int64_t i = 0; i < offsets->count; ++i) {
      if (i % kCancelStride == 0 && IsCancelled(cancel_)) return false;
      const auto o = at.Next();
      const auto n = length.Next();
      if (!o || !n) return false;
      // Sparse tiles are stored as offset 0, length 0.
      if (*n == 0) continue;
      const auto offset = AsLength(*o);
      const auto size = AsLength(*n);
      if (!offset || !size || !Reach(*offset, *size)) return false;
      if (rawDataOffset_ && *offset <= *rawDataOffset_ && *rawDataOffset_ - *offset < *size) {
        rawDataMeasured_ = true;
      }
    }
    return true;
  }

  bool QueueIfds(const Entry& e) {
    if (e.type != kLong && e.type != kIfd && e.type != kLong8 && e.type != kIfd8) return false;
    if (static_cast<uint64_t>(e.count) > kMaxIfds) return false;
    // Pointers at IFDs already walked cost nothing else, so they count against the array budget.
    arrayElements_ += e.count;
    if (arrayElements_ > kMaxArrayElements) return false;
    Values offsets(read_, layout_, e);
    for (int64_t i = 0; i < e.count; ++i) {
      if (i % kCancelStride == 0 && IsCancelled(cancel_)) return false;
      const auto offset = offsets.Next();
      if (!offset || !Queue(*offset)) return false;
    }
    return true;
  }

  static bool IsUnsigned(const Entry& e) {
    return e.type == kShort || e.type == kLong || e.type == kLong8;
  }

  RangeReader& read_;
  const std::atomic<bool>* cancel_;
  Layout layout_;
  Header header_;
  WalkWindow ifdWindow_;
  std::vector<int64_t> pending_;
  std::unordered_set<int64_t> visited_;
  int64_t entries_ = 0;
  int64_t arrayElements_ = 0;
  int64_t end_ = 0;
  // What the entries said of the kind of file.
  std::string make_;
  bool dngVersion_ = false;
  bool sensorData_ = false;
  std::optional<int64_t> makerNote_;
  int64_t makerNoteLength_ = 0;
  std::optional<int64_t> rawDataOffset_;
  bool rawDataMeasured_ = false;
};

// Reads the header: TIFF's 42, BigTIFF's 43, Olympus's "RO" and "RS", Panasonic's 0x55.
std::optional<Header> ReadHeader(RangeReader& read) {
  const auto bytes = read(0, 16);
  const auto header = bytes.empty() ? read(0, 8) : bytes;
  if (header.empty()) return std::nullopt;
  Header h;
  Layout& layout = h.layout;
  if (std::memcmp(header.data(), "MM", 2) == 0) {
    layout.bigEndian = true;
  } else if (std::memcmp(header.data(), "II", 2) != 0) {
    return std::nullopt;
  }
  const uint64_t magic = *layout.Uint(header, 2, 2);
  if (magic == 43) {
    layout.bigTiff = true;
    layout.limit = kBigTiffLimit;
    // The offset size is 8 and the word after it 0: nothing else has been defined.
    if (*layout.Uint(header, 4, 2) != 8 || *layout.Uint(header, 6, 2) != 0) return std::nullopt;
    if (header.size() < 16) return std::nullopt;
    h.firstIfd = *layout.Uint(header, 8, 8);
    return h;
  }
  h.firstIfd = *layout.Uint(header, 4, 4);
  if (magic == 42) {
    // Canon's CR2: the first IFD right after "CR", version 2.0 and the raw IFD's offset.
    if (!layout.bigEndian && h.firstIfd == 16 && header.size() >= 16 &&
        std::memcmp(header.data() + 8, "CR\x02\x00", 4) == 0) {
      h.kind = TiffKind::kCr2;
      h.rawIfd = *layout.Uint(header, 12, 4);
    }
  } else if (magic == 0x4F52 || (magic == 0x5352 && !layout.bigEndian)) {
    h.kind = TiffKind::kOrf;
  } else if (magic == 0x55 && !layout.bigEndian) {
    h.kind = TiffKind::kRw2;
  } else {
    return std::nullopt;
  }
  return h;
}

}  // namespace

std::string_view TiffKindExtension(TiffKind kind) {
  switch (kind) {
    case TiffKind::kDng:
      return "dng";
    case TiffKind::kCr2:
      return "cr2";
    case TiffKind::kNef:
      return "nef";
    case TiffKind::kArw:
      return "arw";
    case TiffKind::kOrf:
      return "orf";
    case TiffKind::kRw2:
      return "rw2";
    case TiffKind::kTiff:
      break;
  }
  return "tif";
}

TiffWalk WalkTiffFile(RangeReader& read, const std::atomic<bool>* cancel) {
  const auto header = ReadHeader(read);
  if (!header) return {};
  return TiffWalker(read, cancel, *header).Walk();
}

std::optional<int64_t> WalkTiff(RangeReader& read, const std::atomic<bool>* cancel) {
  const TiffWalk walk = WalkTiffFile(read, cancel);
  if (walk.status != TiffWalk::Status::kWhole) return std::nullopt;
  return walk.end;
}

}  // namespace quarvelin
