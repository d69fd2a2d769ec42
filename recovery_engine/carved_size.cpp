#include "carved_size.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "common/byte_fields.h"
#include "formats/ico/ico_walk.h"
#include "formats/mp3/mp3_walk.h"
#include "validators/acceptance.h"
#include "validators/range_reader.h"

namespace quarvelin {
namespace {

// Used as the maximum for types that do not state one.
constexpr int64_t kDefaultMaxSize = 2'097'152'000;
// Sectors per read for the end-of-central-directory and "%%EOF" searches.
constexpr uint32_t kSearchReadSectors = 2'048;
// Bytes per read for the generic end search (rounded down to whole sectors).
constexpr int64_t kGenericReadBytes = 524'288;

constexpr int64_t kPngWalkLimit = 524'288'000;
// An atom whose size field is 0 runs to the end of the file, which a raw disk cannot tell us. Once
// the movie's moov or mdat has been seen, the file is credited with this much rather than lost.
constexpr int64_t kOpenEndedAtomSize = 104'857'600;
constexpr int64_t kLargestAtom = 107'374'182'400;
// A WMV whose header does not give its length: a guess that covers most clips.
constexpr int64_t kAsfGuessedSize = 52'428'800;
constexpr int64_t kFlvWalkLimit = 5'368'709'120;
constexpr int64_t kSearchLimit = 2'097'152'000;

// Bytes kept from one read of a search to the next, so that a marker split between two reads is
// still found whole. ZIP keeps enough for a record with the longest comment.
constexpr size_t kEndRecordBytes = 22;
constexpr size_t kZipKeep = kEndRecordBytes + 65'535;
// End records a scan remembers at most; past that a stretch's records are searched afresh.
constexpr size_t kRememberedZipRecords = 262'144;
constexpr size_t kPdfKeep = 32'768;
constexpr size_t kTailKeep = 128;

constexpr std::array<uint8_t, 4> kEndOfCentralDirectory = {'P', 'K', 0x05, 0x06};
constexpr std::array<uint8_t, 16> kAsfFileProperties = {
    0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11, 0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr std::array<uint8_t, 4> kMatroskaSegment = {0x18, 0x53, 0x80, 0x67};

constexpr size_t kNotFound = SIZE_MAX;

Bytes AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Index of the first `needle` that starts in [from, before), or kNotFound. The match itself may
// run past `before`.
size_t Find(Bytes hay, Bytes needle, size_t from, size_t before = SIZE_MAX) {
  if (needle.empty() || hay.size() < needle.size()) return kNotFound;
  const size_t lastStart = std::min(before, hay.size() - needle.size() + 1);
  while (from < lastStart) {
    const void* hit = std::memchr(hay.data() + from, needle[0], lastStart - from);
    if (hit == nullptr) return kNotFound;
    const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - hay.data());
    if (std::memcmp(hay.data() + at, needle.data(), needle.size()) == 0) return at;
    from = at + 1;
  }
  return kNotFound;
}

bool StartsWith(Bytes bytes, std::string_view text) {
  return bytes.size() >= text.size() && std::memcmp(bytes.data(), text.data(), text.size()) == 0;
}

bool IsOneOf(const std::string& extension, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), extension) != names.end();
}

// An unsigned length as a size; lengths past the signed range are no size at all.
int64_t AsSize(uint64_t value) {
  return AsLength(value).value_or(0);
}

// Whole sectors read one after another from the first sector the scan buffer does not hold.
class SectorStream {
 public:
  SectorStream(RawDevice& device, uint64_t next, int32_t sectorSize)
      : device_(device), next_(next), sectorSize_(sectorSize) {}

  // Empty at the end of the device or when the read fails.
  std::vector<uint8_t> Read(uint32_t sectors) {
    if (next_ > static_cast<uint64_t>(INT64_MAX)) return {};
    auto bytes = device_.ReadDeviceSectors(static_cast<int64_t>(next_), sectors, sectorSize_);
    const auto sectorBytes = static_cast<uint64_t>(sectorSize_);
    next_ += (bytes.size() + sectorBytes - 1) / sectorBytes;
    return bytes;
  }

 private:
  RawDevice& device_;
  uint64_t next_;
  int32_t sectorSize_;
};

// The bytes a search is looking at: a view of the scan buffer at first, then only what the search
// keeps plus what it read from the device since. Offsets are counted from the window's first byte
// as it was made; `Consumed()` of them have been dropped from the front.
class Window {
 public:
  // `initial` starts at window offset `consumed`.
  explicit Window(Bytes initial, int64_t consumed = 0) : view_(initial), consumed_(consumed) {}

  Bytes View() const { return view_; }
  int64_t Consumed() const { return consumed_; }
  int64_t End() const { return consumed_ + static_cast<int64_t>(view_.size()); }

  // Drops the front so that the window starts at `offset` (or is empty when it lies beyond).
  void DropBefore(int64_t offset) {
    if (offset <= consumed_) return;
    const auto drop = static_cast<size_t>(std::min(offset, End()) - consumed_);
    if (owning_) {
      owned_.erase(owned_.begin(), owned_.begin() + static_cast<std::ptrdiff_t>(drop));
    } else {
      // The scan buffer is only borrowed: keep a copy of the tail before reading on.
      owned_.assign(view_.begin() + static_cast<std::ptrdiff_t>(drop), view_.end());
      owning_ = true;
    }
    view_ = owned_;
    consumed_ += static_cast<int64_t>(drop);
  }

  void KeepLast(size_t bytes) {
    if (view_.size() > bytes) DropBefore(End() - static_cast<int64_t>(bytes));
  }

  // Appends the next read; false when nothing came back.
  bool Append(SectorStream& stream, uint32_t sectors) {
    std::vector<uint8_t> more = stream.Read(sectors);
    if (more.empty()) return false;
    if (!owning_) {
      owned_.assign(view_.begin(), view_.end());
      owning_ = true;
    }
    if (owned_.empty()) {
      owned_ = std::move(more);
    } else {
      owned_.insert(owned_.end(), more.begin(), more.end());
    }
    view_ = owned_;
    return true;
  }

 private:
  Bytes view_;
  std::vector<uint8_t> owned_;
  bool owning_ = false;
  int64_t consumed_ = 0;
};

// Everything one sizing needs; lives for one call.
class Sizer {
 public:
  Sizer(const std::atomic<bool>* cancel, Bytes scanBuffer, size_t headerOffset,
        const FileSignature& signature, RawDevice& device, uint64_t bufferStartSector,
        int32_t sectorSize, SizingMemo* memo)
      : cancel_(cancel),
        candidate_(scanBuffer.subspan(headerOffset)),
        signature_(signature),
        extension_(signature.extension),
        device_(device),
        sectorSize_(sectorSize),
        read_(scanBuffer, headerOffset, static_cast<int64_t>(bufferStartSector), sectorSize,
              device),
        maxSize_(signature.maxSize > 0 ? signature.maxSize : kDefaultMaxSize) {
    const auto sectorBytes = static_cast<uint64_t>(sectorSize);
    if (bufferStartSector <= static_cast<uint64_t>(INT64_MAX) / sectorBytes) {
      if (const auto at = CheckedAdd(static_cast<int64_t>(bufferStartSector * sectorBytes),
                                     static_cast<int64_t>(headerOffset))) {
        start_ = *at;
        located_ = true;
        if (memo != nullptr && memo->deviceBytes > 0) memo_ = memo;
      }
    }
    // A start past any real device reads nothing rather than wrapping round to its first sectors.
    if (__builtin_add_overflow(bufferStartSector,
                               (scanBuffer.size() + sectorBytes - 1) / sectorBytes, &nextSector_)) {
      nextSector_ = UINT64_MAX;
    }
  }

  CarvedSize Run();

 private:
  bool Cancelled() const { return IsCancelled(cancel_); }
  int64_t Available() const { return static_cast<int64_t>(candidate_.size()); }
  SectorStream Stream() const { return SectorStream(device_, nextSector_, sectorSize_); }
  static CarvedSize Measured(int64_t size) { return {size, false}; }
  static CarvedSize Estimated(int64_t size) { return {size, true}; }
  static CarvedSize Proven(int64_t size) { return {size, false, size > 0}; }

  std::optional<int64_t> WalkPngChunks();
  CarvedSize RiffSize();
  CarvedSize WalkAtoms();
  CarvedSize AsfSize();
  std::optional<int64_t> MatroskaSize();
  std::optional<int64_t> WalkFlvTags();
  std::optional<int64_t> KnownEndOfCentralDirectory() const;
  int64_t SearchEndOfCentralDirectory();
  std::optional<int64_t> SevenZipSize() const;
  int64_t SearchLastPdfEnd();
  CarvedSize SearchEnd();
  int64_t WithLineEnd(int64_t end);

  // The part of the bytes from the header on that an earlier search has looked through for the
  // same marker: the stretch's end as a candidate offset, or nothing when no stretch covers the
  // header.
  std::optional<int64_t> Examined(const MarkerFreeStretch& known) const {
    if (memo_ == nullptr || start_ < known.from || start_ >= known.to) return std::nullopt;
    return known.to - start_;
  }
  // True when that stretch runs to where the device could be read no further: a search from the
  // header would meet nothing beyond it either. (A drive that fails there does so for every
  // search; asking it again for each candidate only wears it further.) Unless the candidate's own
  // chunk runs on past the failed read: its search would look through those bytes.
  bool Endless(const MarkerFreeStretch& known) const {
    if (!Examined(known)) return false;
    return known.to >= memo_->deviceBytes || known.stop == SearchStop::kNextFile ||
           (known.stop == SearchStop::kFailedRead && start_ + Available() <= known.to);
  }
  // Notes that the candidate's bytes up to offset `end` hold no marker, and why the search ended
  // there.
  void Remember(MarkerFreeStretch& known, int64_t end, SearchStop stop) const {
    if (memo_ == nullptr) return;
    const int64_t to = CheckedAdd(start_, end).value_or(INT64_MAX);
    if (Examined(known) || start_ == known.to) {
      if (to >= known.to) known.stop = stop;
      known.to = std::max(known.to, to);
    } else {
      known = {start_, to, stop};
    }
  }
  static SearchStop StopOf(bool blocked) {
    return blocked ? SearchStop::kFailedRead : SearchStop::kReach;
  }
  struct MetRecord {
    int64_t at;  // offsets from the header
    int64_t end;
    int64_t directoryEnd;  // the central directory's offset plus its size
  };
  // Notes what a search for the ZIP end record that read up to offset `end` met. Only a stretch
  // that reaches where the device could be read no further is remembered with its records: a
  // search that stopped at its reach would go on past them.
  void RememberEndRecords(int64_t end, bool blocked, bool seen,
                          const std::vector<MetRecord>& met) const;
  // The window and stream of a search from the header. With `examined`, the search picks up
  // `keep` bytes before that offset: a marker cut by the earlier search's end is then seen whole.
  // Needs the header's device offset.
  std::pair<Window, SectorStream> BeginSearch(std::optional<int64_t> examined, size_t keep) const;

  const std::atomic<bool>* cancel_;
  Bytes candidate_;  // the scan buffer from the header on
  const FileSignature& signature_;
  const std::string& extension_;
  RawDevice& device_;
  int32_t sectorSize_;
  RangeReader read_;
  int64_t maxSize_;
  uint64_t nextSector_ = 0;
  SizingMemo* memo_ = nullptr;
  int64_t start_ = 0;     // the header's device offset
  bool located_ = false;  // false when that lies past any device; then there is no memo either
};

void Sizer::RememberEndRecords(int64_t end, bool blocked, bool seen,
                               const std::vector<MetRecord>& met) const {
  MarkerFreeStretch& known = memo_->zipEnd;
  ZipEndRecordsMet& records = memo_->zipRecords;
  // This search went through a stretch with records from its start: what it met replaces them.
  if (!records.endByArchiveStart.empty()) {
    known = {};
    records = {};
  }
  const int64_t to = CheckedAdd(start_, end).value_or(INT64_MAX);
  if (!blocked && to < memo_->deviceBytes) {
    if (!seen) Remember(known, end, StopOf(blocked));
    return;
  }
  if (met.size() > kRememberedZipRecords) return;
  Remember(known, end, StopOf(blocked));
  for (const MetRecord& record : met) {
    const int64_t at = start_ + record.at;
    const ZipEndRecordsMet::Record found{at, start_ + record.end};
    records.endByArchiveStart.try_emplace(at - record.directoryEnd, found.end);
    if (found.end <= to) records.lastFitting = found;
  }
}

std::pair<Window, SectorStream> Sizer::BeginSearch(std::optional<int64_t> examined,
                                                   size_t keep) const {
  const int64_t resume = examined ? *examined - static_cast<int64_t>(keep) : 0;
  if (resume <= 0) return {Window(candidate_), Stream()};
  if (resume < Available()) {
    return {Window(candidate_.subspan(static_cast<size_t>(resume)), resume), Stream()};
  }
  // Past the scan buffer: from the sector that holds the resume point.
  const auto sectorBytes = static_cast<uint64_t>(sectorSize_);
  const uint64_t sector =
      std::max(static_cast<uint64_t>(start_ + resume) / sectorBytes, nextSector_);
  return {Window(Bytes{}, static_cast<int64_t>(sector * sectorBytes) - start_),
          SectorStream(device_, sector, sectorSize_)};
}

CarvedSize Sizer::Run() {
  if (extension_ == "bmp") {
    const auto bmp = ValidateBmp(read_, cancel_);
    return Measured(Accepted(bmp) ? bmp.size : 0);
  }
  if (extension_ == "png") {
    if (const auto png = ValidatePng(read_, cancel_, true); Accepted(png)) {
      return Measured(png.size);
    }
    if (!Cancelled()) {
      if (const auto end = WalkPngChunks()) return Measured(*end);
    }
  }
  if (IsOneOf(extension_, {"ico", "cur"})) {
    // Four bytes that begin an icon begin much else too: without a plausible directory these are
    // not an icon, and carving its largest size would skip the files stored under it.
    const auto icon = WalkIcoDirectory(read_, cancel_, maxSize_);
    return icon ? Proven(icon->end) : Measured(0);
  }
  if (Available() >= 8 && StartsWith(candidate_, "RIFF")) return RiffSize();
  if (IsOneOf(extension_, {"mp4", "mov", "3gp", "m4v"}) && Available() >= 8) {
    if (const auto mp4 = ValidateMp4(read_, cancel_); Accepted(mp4)) {
      return {mp4.size, mp4.openEnded};
    }
    return WalkAtoms();
  }
  if (IsOneOf(extension_, {"wmv", "asf"}) && Available() >= 16) return AsfSize();
  if (IsOneOf(extension_, {"mkv", "webm"})) {
    if (const auto size = MatroskaSize()) return Measured(*size);
  }
  if (extension_ == "flv" && Available() >= 9 && StartsWith(candidate_, "FLV") && !Cancelled()) {
    if (const auto end = WalkFlvTags()) return Measured(*end);
  }
  if (IsOneOf(extension_, {"zip", "docx", "xlsx", "pptx", "apk", "jar", "odt"})) {
    // Where an earlier search from before the header met, up to where the device could be read,
    // neither this archive's end record nor another whose comment the device holds, the archive's
    // end is lost. The validator could only take another archive's record for its end, and carve
    // it on past everything the device can give, over the files that follow.
    const auto known = KnownEndOfCentralDirectory();
    if (known == 0) return Measured(0);
    if (const auto zip = ValidateZip(read_, cancel_); Accepted(zip)) return Measured(zip.size);
    return Measured(known ? *known : SearchEndOfCentralDirectory());
  }
  if (extension_ == "7z" && Available() >= 32) return Measured(SevenZipSize().value_or(0));
  if (extension_ == "mp3") {
    const Mp3Walk walk = WalkMp3(read_, cancel_);
    if (walk.end) return Proven(*walk.end);
    if (const auto mp3 = ValidateMp3(read_, cancel_); Accepted(mp3)) return Measured(mp3.size);
    // A stream cut short by an unreadable stretch or the device's end: its whole frames.
    return Measured(walk.frames >= 10 ? walk.walkedEnd : 0);
  }
  if (extension_ == "pdf") {
    if (memo_ != nullptr && Endless(memo_->pdfEnd)) return Measured(0);
    if (const auto pdf = ValidatePdf(read_, cancel_); Accepted(pdf)) return Measured(pdf.size);
    return Measured(SearchLastPdfEnd());
  }
  if (signature_.footer.empty()) return Estimated(maxSize_);
  if (IsOneOf(extension_, {"jpg", "jpeg"})) {
    if (const auto jpeg = ValidateJpeg(read_, cancel_); Accepted(jpeg)) return Measured(jpeg.size);
  } else if (extension_ == "gif") {
    if (const auto gif = ValidateGif(read_, cancel_); Accepted(gif)) return Measured(gif.size);
  }
  return SearchEnd();
}

// Follows the chunk lengths to IEND. Chunk types are ASCII letters: anything else is not a chunk
// (typically the zeros of free space after a cut-off file) and ends the walk as failed.
std::optional<int64_t> Sizer::WalkPngChunks() {
  int64_t pos = 8;
  while (true) {
    const Bytes chunk = read_(pos, 8);
    if (chunk.empty()) return std::nullopt;
    const bool letters = std::all_of(chunk.begin() + 4, chunk.end(), [](uint8_t b) {
      return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
    });
    if (!letters) return std::nullopt;
    if (std::memcmp(chunk.data() + 4, "IEND", 4) == 0) return pos + 12;
    pos += int64_t{*ReadBe32(chunk, 0)} + 12;
    if (pos > kPngWalkLimit || Cancelled()) return std::nullopt;
  }
}

// WebP, AVI and WAV share the "RIFF" header and are told apart by the form type after the size.
CarvedSize Sizer::RiffSize() {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 3> kForms = {
      {{"webp", "WEBP"}, {"avi", "AVI "}, {"wav", "WAVE"}}};
  for (const auto& [extension, form] : kForms) {
    if (extension_ != extension) continue;
    // Another form is not this type; leaving it to its own row also keeps every AVI and WAV from
    // being claimed by the WebP row that is searched first.
    const Bytes actual = read_(8, 4);
    if (!actual.empty() && !StartsWith(actual, form)) return Measured(0);
  }
  const uint32_t size = *ReadLe32(candidate_, 4);
  return Measured(size != 0 ? int64_t{size} + 8 : signature_.minSize);
}

// Sums the top-level atoms, as far as they lead.
CarvedSize Sizer::WalkAtoms() {
  int64_t total = 0;  // also where the next atom starts
  bool sawMedia = false;
  bool sawFtyp = false;
  while (!Cancelled()) {
    const Bytes head = read_(total, 8);
    if (head.empty()) break;
    const uint32_t size32 = *ReadBe32(head, 0);
    std::array<uint8_t, 4> type{};
    std::copy_n(head.begin() + 4, type.size(), type.begin());
    const auto is = [&type](const char* name) { return std::memcmp(type.data(), name, 4) == 0; };

    // A second ftyp starts the next file on the disk.
    if (is("ftyp")) {
      if (sawFtyp) break;
      sawFtyp = true;
    }
    uint64_t size = size32;
    if (size32 == 1) {
      const Bytes large = read_(total + 8, 8);
      if (large.empty()) break;
      size = *ReadBe64(large, 0);
    } else if (size32 == 0) {
      // All zeros is free space after the file, not an atom that runs to its end.
      if (is("\0\0\0\0")) break;
      if (!sawMedia) break;
      if (const auto estimate = CheckedAdd(total, kOpenEndedAtomSize)) return Estimated(*estimate);
      break;
    }
    if (is("mdat") || is("moov")) sawMedia = true;
    if (size < 1 || size > static_cast<uint64_t>(kLargestAtom)) break;
    const auto next = CheckedAdd(total, static_cast<int64_t>(size));
    if (!next) break;
    total = *next;
    if (size32 < 8 && size32 != 1) break;
  }
  return Measured(total >= 1 ? total : signature_.minSize);
}

// The File Properties object of the ASF header records the file's length.
CarvedSize Sizer::AsfSize() {
  constexpr int32_t kLook = 4'096;
  const Bytes head = read_(0, kLook);
  const size_t at = head.empty() ? kNotFound : Find(head, kAsfFileProperties, 0);
  if (at != kNotFound && at + 48 <= head.size()) {
    if (const uint64_t size = *ReadLe64(head, at + 40); size != 0) return Measured(AsSize(size));
  }
  return Estimated(kAsfGuessedSize);
}

// The Segment element's size, as an EBML variable-length integer, gives the file's end.
std::optional<int64_t> Sizer::MatroskaSize() {
  constexpr size_t kLook = 2'048;
  const Bytes head = read_(0, static_cast<int32_t>(kLook));
  if (head.empty()) return std::nullopt;
  const size_t at = Find(head, kMatroskaSegment, 0);
  if (at == kNotFound || at + 4 >= kLook) return std::nullopt;
  const size_t field = at + 4;
  const uint8_t first = head[field];
  if (first == 0) return std::nullopt;
  const auto length = static_cast<size_t>(std::countl_zero(first)) + 1;
  if (field + length > kLook) return std::nullopt;
  const uint64_t valueBits = uint64_t{7} * length;
  uint64_t value = first & (0xFFu >> length);
  for (size_t i = 1; i < length; ++i) value = (value << 8) | head[field + i];
  // All value bits set means "size unknown" (live recordings, unfinished files): no end here.
  if (value == (uint64_t{1} << valueBits) - 1) return std::nullopt;
  return static_cast<int64_t>(field + length) + static_cast<int64_t>(value);
}

// Steps over the tags (audio 8, video 9, script data 18), each followed by its 4-byte back pointer.
std::optional<int64_t> Sizer::WalkFlvTags() {
  int64_t pos = 13;
  while (true) {
    const Bytes tag = read_(pos, 11);
    if (tag.empty()) break;
    const int type = tag[0] & 0x1F;
    if (type != 8 && type != 9 && type != 18) break;
    // A tag's stream id is always 0, and the size field after it repeats the tag's length: bytes
    // after the file rarely pass both, so the walk does not wander into the next file.
    const int64_t tagBytes = int64_t{*ReadBe24(tag, 1)} + 11;
    if (*ReadBe24(tag, 8) != 0) break;
    const Bytes back = read_(pos + tagBytes, 4);
    if (back.empty() || *ReadBe32(back, 0) != tagBytes) break;
    pos += tagBytes + 4;
    if (pos > kFlvWalkLimit || Cancelled()) break;
  }
  if (pos > 13) return pos;
  return std::nullopt;
}

// What a search for the end record would find, when an earlier search has looked through the rest
// of the readable device from inside the stretch that holds the header.
std::optional<int64_t> Sizer::KnownEndOfCentralDirectory() const {
  if (memo_ == nullptr || !Endless(memo_->zipEnd)) return std::nullopt;
  const ZipEndRecordsMet& records = memo_->zipRecords;
  if (const auto own = records.endByArchiveStart.find(start_);
      own != records.endByArchiveStart.end()) {
    return own->second - start_;
  }
  return records.lastFitting.at >= start_ ? records.lastFitting.end - start_ : 0;
}

// The archive ends with its end-of-central-directory record: the one whose central directory ends
// exactly where it starts (this archive's own), or failing that the last one within reach.
int64_t Sizer::SearchEndOfCentralDirectory() {
  if (Cancelled()) return 0;
  // A stretch that held records is searched afresh: resuming at its end would skip them.
  auto [window, stream] = BeginSearch(
      memo_ != nullptr && memo_->zipRecords.endByArchiveStart.empty() ? Examined(memo_->zipEnd)
                                                                      : std::nullopt,
      kEndOfCentralDirectory.size() - 1);
  int64_t best = 0;
  bool seen = false;           // any end record's signature, whole or not
  std::vector<MetRecord> met;  // whole records, for the memo
  while (true) {
    const Bytes bytes = window.View();
    for (size_t i = Find(bytes, kEndOfCentralDirectory, 0); i != kNotFound;
         i = Find(bytes, kEndOfCentralDirectory, i + 1)) {
      seen = true;
      if (bytes.size() - i < kEndRecordBytes) break;
      const int64_t at = window.Consumed() + static_cast<int64_t>(i);
      const int64_t end = at + static_cast<int64_t>(kEndRecordBytes) + *ReadLe16(bytes, i + 20);
      const int64_t directoryEnd = int64_t{*ReadLe32(bytes, i + 16)} + *ReadLe32(bytes, i + 12);
      // Records further on belong to whatever the disk holds after this archive.
      if (directoryEnd == at) return end;
      if (end <= window.End()) best = end;
      // The bytes kept between reads are looked at again.
      if (memo_ != nullptr && (met.empty() || at > met.back().at) &&
          met.size() <= kRememberedZipRecords) {
        met.push_back({at, end, directoryEnd});
      }
    }
    const int64_t examined = window.End();
    window.KeepLast(kZipKeep);
    const bool blocked = !window.Append(stream, kSearchReadSectors);
    if (blocked || window.Consumed() >= kSearchLimit) {
      if (memo_ != nullptr) RememberEndRecords(examined, blocked, seen, met);
      break;
    }
    if (Cancelled()) break;
  }
  return best;
}

// The signature header, then the next header's offset and length.
std::optional<int64_t> Sizer::SevenZipSize() const {
  const auto offset = AsLength(*ReadLe64(candidate_, 12));
  const auto length = AsLength(*ReadLe64(candidate_, 20));
  if (!offset || !length) return std::nullopt;
  return CheckedAdd(*offset, *length, 32);
}

// The last "%%EOF" decides, up to the next PDF stored on the disk: one whose "%PDF-" starts a
// sector (inside this file it would be text, which need not be aligned).
int64_t Sizer::SearchLastPdfEnd() {
  const Bytes header = AsBytes("%PDF-");
  const Bytes marker = AsBytes("%%EOF");
  auto [window, stream] =
      BeginSearch(memo_ != nullptr ? Examined(memo_->pdfEnd) : std::nullopt, marker.size() - 1);
  std::optional<int64_t> last;
  std::optional<int64_t> nextFile;
  while (window.Consumed() < kSearchLimit && !Cancelled()) {
    const Bytes bytes = window.View();
    size_t before = bytes.size();
    for (size_t i = Find(bytes, header, 0); i != kNotFound; i = Find(bytes, header, i + 1)) {
      const int64_t at = window.Consumed() + static_cast<int64_t>(i);
      if (at > 0 && read_.StartsSector(at)) {
        before = i;
        nextFile = at;
        break;
      }
    }
    for (size_t i = Find(bytes, marker, 0, before); i != kNotFound;
         i = Find(bytes, marker, i + 1, before)) {
      last = window.Consumed() + static_cast<int64_t>(i);
    }
    if (nextFile) {
      // Every header before the next file would search up to it.
      if (!last && memo_ != nullptr) Remember(memo_->pdfEnd, *nextFile, SearchStop::kNextFile);
      break;
    }
    const int64_t examined = window.End();
    window.KeepLast(kPdfKeep);
    const bool blocked = !window.Append(stream, kSearchReadSectors);
    if (blocked || window.Consumed() >= kSearchLimit) {
      if (!last && memo_ != nullptr) Remember(memo_->pdfEnd, examined, StopOf(blocked));
      break;
    }
  }
  if (!last) return 0;
  // The allowance for the line end must not reach into the next file, or the scan would resume
  // past that file's first sector and never see it.
  return std::min(*last + 9, nextFile.value_or(INT64_MAX));
}

// Text files end with a line end after their closing tag or brace: it belongs to the file.
int64_t Sizer::WithLineEnd(int64_t end) {
  const Bytes next = read_.ReadLongest(end, 2);
  if (next.empty()) return end;
  if (next[0] == '\n') return end + 1;
  if (next[0] == '\r') return end + (next.size() > 1 && next[1] == '\n' ? 2 : 1);
  return end;
}

// Looks for the end of the file in the bytes after its header, reading on from the device.
// JPEG counts SOI/EOI markers so that an embedded thumbnail's EOI does not end the file; RTF
// counts braces, since its closing brace is first met in the font table; the rest look for the
// type's footer.
CarvedSize Sizer::SearchEnd() {
  enum class Mode { kFooter, kMarkers, kBraces };
  const Mode mode = IsOneOf(extension_, {"jpg", "jpeg"}) ? Mode::kMarkers
                    : extension_ == "rtf"                ? Mode::kBraces
                                                         : Mode::kFooter;
  const size_t headerLength = signature_.header.size();
  const int64_t headerBytes = static_cast<int64_t>(headerLength);
  Window window(headerLength <= candidate_.size() ? candidate_.subspan(headerLength) : Bytes{});
  if (Cancelled()) return Estimated(maxSize_);

  SectorStream stream = Stream();
  const auto readSectors =
      static_cast<uint32_t>(std::max<int64_t>(1, kGenericReadBytes / sectorSize_));
  const Bytes footer(signature_.footer);
  int64_t examined = 0;  // window offset of the first position not yet looked at
  int64_t depth = 1;     // the header opened the file
  bool escaped = false;  // an RTF backslash is waiting for the character it escapes
  // Whether a closing marker (JPEG's EOI, RTF's closing brace, escaped or not) was met at any
  // depth: where none was, a search from any later header ends the same way.
  bool closing = false;
  MarkerFreeStretch* known = memo_ != nullptr ? &memo_->endFree[extension_] : nullptr;
  if (known != nullptr && Endless(*known)) return Estimated(maxSize_);

  while (true) {
    const Bytes bytes = window.View();
    const int64_t base = window.Consumed();
    auto i = static_cast<size_t>(examined - base);
    if (mode == Mode::kMarkers) {
      // A marker is FF and a byte from C0 to FE; the window's last byte waits for the next read.
      while (bytes.size() > 1 && i < bytes.size() - 1) {
        const void* hit = std::memchr(bytes.data() + i, 0xFF, bytes.size() - 1 - i);
        if (hit == nullptr) {
          i = bytes.size() - 1;
          break;
        }
        i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - bytes.data());
        const uint8_t code = bytes[i + 1];
        if (code == 0xD8) {
          ++depth;
        } else if (code == 0xD9) {
          closing = true;
          if (--depth < 1) return Measured(headerBytes + base + static_cast<int64_t>(i) + 2);
        }
        ++i;
      }
    } else if (mode == Mode::kBraces) {
      for (; i < bytes.size(); ++i) {
        const uint8_t c = bytes[i];
        closing = closing || c == '}';
        if (escaped) {
          escaped = false;
        } else if (c == '\\') {
          escaped = true;
        } else if (c == '{') {
          ++depth;
        } else if (c == '}' && --depth == 0) {
          return Measured(WithLineEnd(headerBytes + base + static_cast<int64_t>(i) + 1));
        }
      }
    } else if (const size_t at = Find(bytes, footer, 0); at != kNotFound) {
      const int64_t end = headerBytes + base + static_cast<int64_t>(at + footer.size());
      return Measured(IsOneOf(extension_, {"svg", "html"}) ? WithLineEnd(end) : end);
    }
    examined = base + static_cast<int64_t>(i);

    const int64_t searched = headerBytes + window.End();
    window.KeepLast(mode == Mode::kMarkers ? kTailKeep + 1 : kTailKeep);
    if (!window.Append(stream, readSectors)) {
      if (known != nullptr && !closing) Remember(*known, searched, SearchStop::kFailedRead);
      return Estimated(maxSize_);
    }
    if (window.Consumed() >= maxSize_ || Cancelled()) return Estimated(maxSize_);
  }
}

}  // namespace

CarvedSize DetermineCarvedSize(const std::atomic<bool>* cancel, std::span<const uint8_t> scanBuffer,
                               uint64_t headerOffset, const FileSignature& signature,
                               RawDevice& device, uint64_t bufferStartSector, int32_t sectorSize,
                               SizingMemo* memo) {
  // The header matched inside the buffer; anything else is a caller's slip, not a file.
  if (headerOffset >= scanBuffer.size()) return {};
  const int32_t sectorBytes = sectorSize > 0 ? sectorSize : kDefaultSectorSize;
  Sizer sizer(cancel, scanBuffer, static_cast<size_t>(headerOffset), signature, device,
              bufferStartSector, sectorBytes, memo);
  return sizer.Run();
}

}  // namespace quarvelin
