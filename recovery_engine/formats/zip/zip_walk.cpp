#include "formats/zip/zip_walk.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "formats/validation_result.h"

namespace quarvelin {
namespace {

constexpr int64_t kLocalHeaderBytes = 30;
constexpr int64_t kDirectoryHeaderBytes = 46;
constexpr int64_t kEndRecordBytes = 22;
constexpr int64_t kLocatorBytes = 20;
constexpr int64_t kZip64RecordBytes = 56;
// A header with the longest name, extra field and comment fits one window.
constexpr int32_t kWalkWindow = 256 * 1024;
constexpr int32_t kSearchWindow = 1 << 20;
// The end-record search reads the bytes it passes: it gives up after this many. The walk over local
// entries only jumps, and may go further.
constexpr int64_t kSearchLimit = int64_t{4} << 30;
constexpr int64_t kLengthLimit = int64_t{1} << 40;
constexpr int64_t kMaxEntries = 1'000'000;
constexpr uint32_t kMarker32 = 0xFFFF'FFFF;
// An OpenDocument package stores its type, uncompressed, as its first entry.
constexpr int64_t kMaxMimetypeBytes = 128;

bool HasSignature(Bytes bytes, size_t at, uint8_t third, uint8_t fourth) {
  return at <= bytes.size() && bytes.size() - at >= 4 && bytes[at] == 'P' && bytes[at + 1] == 'K' &&
         bytes[at + 2] == third && bytes[at + 3] == fourth;
}

// Index of the first end-record signature at or after `from`, or bytes.size().
size_t FindEndSignature(Bytes bytes, size_t from) {
  while (from < bytes.size()) {
    const void* hit = std::memchr(bytes.data() + from, 'P', bytes.size() - from);
    if (hit == nullptr) break;
    const auto at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - bytes.data());
    if (HasSignature(bytes, at, 0x05, 0x06)) return at;
    from = at + 1;
  }
  return bytes.size();
}

std::string_view AsText(Bytes bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A "mimetype" entry: where its local header lies and how its data is kept.
struct MimetypeEntry {
  int64_t localAt = 0;
  uint16_t method = 0;
  int64_t stored = 0;
};

// The names that tell packages apart.
struct Names {
  bool contentTypes = false;
  // The first Office main part the archive lists, and the first part in one of the three folders:
  // a package with parts of more than one (a document that embeds a workbook as loose parts) is
  // what its main part says.
  std::optional<ZipKind> officeMain;
  std::optional<ZipKind> officeFolder;
  bool javaManifest = false;
  bool androidManifest = false;
  bool androidCode = false;  // compiled code or a resource table: an app, not a library
  std::optional<MimetypeEntry> mimetype;

  void Note(std::string_view name, const MimetypeEntry& entry) {
    contentTypes |= name == "[Content_Types].xml";
    if (!officeMain) {
      if (name == "word/document.xml") officeMain = ZipKind::kDocx;
      if (name == "xl/workbook.xml") officeMain = ZipKind::kXlsx;
      if (name == "ppt/presentation.xml") officeMain = ZipKind::kPptx;
    }
    if (!officeFolder) {
      if (name.starts_with("word/")) officeFolder = ZipKind::kDocx;
      if (name.starts_with("xl/")) officeFolder = ZipKind::kXlsx;
      if (name.starts_with("ppt/")) officeFolder = ZipKind::kPptx;
    }
    javaManifest |= name == "META-INF/MANIFEST.MF";
    androidManifest |= name == "AndroidManifest.xml";
    androidCode |= name == "classes.dex" || name == "resources.arsc";
    if (!mimetype && name == "mimetype") mimetype = entry;
  }
};

struct Judgement {
  ZipKind kind = ZipKind::kZip;
  ZipEvidence evidence = ZipEvidence::kNone;
};

// The media type a stored "mimetype" entry holds, when it is short and readable.
std::optional<std::string> StoredMimetype(RangeReader& read, const MimetypeEntry& entry) {
  if (entry.method != 0 || entry.stored <= 0 || entry.stored > kMaxMimetypeBytes) {
    return std::nullopt;
  }
  const Bytes header = read(entry.localAt, kLocalHeaderBytes);
  if (!HasSignature(header, 0, 0x03, 0x04)) return std::nullopt;
  const uint16_t nameBytes = *ReadLe16(header, 26);
  const int64_t dataAt = entry.localAt + kLocalHeaderBytes + nameBytes + *ReadLe16(header, 28);
  // The directory's entry must point at the same entry's local header.
  if (AsText(read(entry.localAt + kLocalHeaderBytes, nameBytes)) != "mimetype") return std::nullopt;
  const Bytes data = read(dataAt, static_cast<int32_t>(entry.stored));
  if (data.empty()) return std::nullopt;
  std::string_view text = AsText(data);
  // Hand-made packages often end the line.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  return std::string(text);
}

// OpenDocument templates open as documents of their kind, so they take its extension.
std::optional<ZipKind> MimetypeKind(std::string_view type) {
  if (type == "application/epub+zip") return ZipKind::kEpub;
  constexpr std::string_view kOpenDocument = "application/vnd.oasis.opendocument.";
  if (!type.starts_with(kOpenDocument)) return std::nullopt;
  type.remove_prefix(kOpenDocument.size());
  if (type.ends_with("-template")) type.remove_suffix(std::string_view("-template").size());
  if (type == "text") return ZipKind::kOdt;
  if (type == "spreadsheet") return ZipKind::kOds;
  if (type == "presentation") return ZipKind::kOdp;
  return std::nullopt;
}

// The OpenDocument rules want "mimetype" first and stored; packages zipped up again by hand put it
// anywhere, and office suites and readers still open them, so it is read wherever it stands.
Judgement KindOf(const Names& names, RangeReader& read) {
  if (names.contentTypes) {
    if (const auto office = names.officeMain ? names.officeMain : names.officeFolder) {
      return {*office, ZipEvidence::kContentTypes};
    }
  }
  if (names.mimetype) {
    const auto type = StoredMimetype(read, *names.mimetype);
    if (const auto kind = type ? MimetypeKind(*type) : std::nullopt) {
      return {*kind, ZipEvidence::kMimetype};
    }
  }
  // An APK is a JAR too (signed ones carry META-INF/MANIFEST.MF): its own manifest decides first.
  // An Android library's archive has the manifest but neither compiled code nor resources.
  if (names.androidManifest && names.androidCode) {
    return {ZipKind::kApk, ZipEvidence::kAndroidManifest};
  }
  if (names.javaManifest && !names.androidManifest) {
    return {ZipKind::kJar, ZipEvidence::kJavaManifest};
  }
  return {};
}

// For an archive whose central directory cannot be read: the names of the local entries that can
// be followed from the start. Office suites write "[Content_Types].xml" first and the main part
// soon after, OpenDocument "mimetype" first; other writers vary, so this is a guess.
Judgement LocalEntriesKind(RangeReader& read) {
  constexpr int kMaxLocalEntries = 64;
  Names names;
  int64_t pos = 0;
  for (int i = 0; i < kMaxLocalEntries; ++i) {
    const Bytes header = read(pos, kLocalHeaderBytes);
    if (!HasSignature(header, 0, 0x03, 0x04)) break;
    const uint16_t flags = *ReadLe16(header, 6);
    const uint16_t method = *ReadLe16(header, 8);
    const uint32_t stored = *ReadLe32(header, 18);
    const uint16_t nameBytes = *ReadLe16(header, 26);
    const int64_t dataAt = pos + kLocalHeaderBytes + nameBytes + *ReadLe16(header, 28);
    const Bytes name = read(pos + kLocalHeaderBytes, nameBytes);
    if (name.size() != nameBytes) break;
    const bool sized = (flags & 0x0008) == 0 && stored != kMarker32;
    names.Note(AsText(name), {.localAt = pos, .method = method, .stored = sized ? stored : 0});
    // Sizes kept after the data, or in a ZIP64 field, end the look.
    if (!sized) break;
    pos = dataAt + stored;
  }
  Judgement judged = KindOf(names, read);
  // A cut Office file whose first part alone is left: most of them are Word's.
  if (judged.kind == ZipKind::kZip && names.contentTypes) {
    judged = {ZipKind::kDocx, ZipEvidence::kContentTypes};
  }
  return judged;
}

// The compressed size from a local header's ZIP64 extra field. Its fields come in a fixed order,
// each present only where the header holds the marker instead.
std::optional<int64_t> Zip64CompressedSize(Bytes extra, bool originalMarked) {
  for (size_t at = 0; at + 4 <= extra.size();) {
    const uint16_t id = *ReadLe16(extra, at);
    const uint16_t bytes = *ReadLe16(extra, at + 2);
    if (id == 0x0001) {
      const Bytes field = extra.subspan(at + 4, std::min<size_t>(bytes, extra.size() - at - 4));
      const auto size = ReadLe64(field, originalMarked ? 8 : 0);
      return size ? AsLength(*size) : std::nullopt;
    }
    at += 4 + size_t{bytes};
  }
  return std::nullopt;
}

// Where a central directory entry's local header lies: its 32-bit field, or where that holds the
// marker, the ZIP64 extra field's offset after whichever sizes are marked too.
std::optional<int64_t> LocalHeaderOffset(Bytes entry, uint16_t nameBytes, uint16_t extraBytes) {
  const uint32_t offset = *ReadLe32(entry, 42);
  if (offset != kMarker32) return offset;
  const size_t skip =
      (*ReadLe32(entry, 24) == kMarker32 ? 8 : 0) + (*ReadLe32(entry, 20) == kMarker32 ? 8 : 0);
  const Bytes extra =
      entry.subspan(static_cast<size_t>(kDirectoryHeaderBytes) + nameBytes, extraBytes);
  for (size_t at = 0; at + 4 <= extra.size();) {
    const uint16_t id = *ReadLe16(extra, at);
    const uint16_t bytes = *ReadLe16(extra, at + 2);
    if (id == 0x0001) {
      const Bytes field = extra.subspan(at + 4, std::min<size_t>(bytes, extra.size() - at - 4));
      const auto zip64 = ReadLe64(field, skip);
      return zip64 ? AsLength(*zip64) : std::nullopt;
    }
    at += 4 + size_t{bytes};
  }
  return std::nullopt;
}

// Searches on from `from` for the end record that closes the archive starting at offset 0.
// `foreign` receives the first record met whose archive started before offset 0.
std::optional<ZipLayout> SearchOwnEnd(RangeReader& read, int64_t from,
                                      const std::atomic<bool>* cancel,
                                      std::optional<ZipLayout>& foreign) {
  std::vector<uint8_t> held;
  for (int64_t pos = from, scanned = 0; scanned < kSearchLimit;) {
    if (IsCancelled(cancel)) return std::nullopt;
    Bytes bytes = read.ReadWindow(pos, kSearchWindow, kEndRecordBytes);
    if (bytes.size() < kEndRecordBytes) return std::nullopt;
    for (size_t i = FindEndSignature(bytes, 0); i + kEndRecordBytes <= bytes.size();
         i = FindEndSignature(bytes, i + 1)) {
      const int64_t at = pos + static_cast<int64_t>(i);
      ZipLayout layout = ClassicZipEnd(bytes, i, at);
      if (MayBeZip64End(bytes, i)) {
        // The look-up reads through `read`: keep this window's bytes first.
        if (!read.InBuffer(bytes) && bytes.data() != held.data()) {
          held.assign(bytes.begin(), bytes.end());
          bytes = held;
        }
        const auto full = ReadZipEnd(read, at);
        if (!full) continue;
        layout = *full;
      }
      if (layout.archiveStart == 0) return layout;
      if (!foreign && layout.archiveStart && *layout.archiveStart < 0) foreign = layout;
    }
    // The last bytes are looked at again, so a record cut by the window's end is seen whole.
    const int64_t advance = static_cast<int64_t>(bytes.size()) - (kEndRecordBytes - 1);
    pos += advance;
    scanned += advance;
  }
  return std::nullopt;
}

}  // namespace

std::string_view ZipKindExtension(ZipKind kind) {
  switch (kind) {
    case ZipKind::kDocx:
      return "docx";
    case ZipKind::kXlsx:
      return "xlsx";
    case ZipKind::kPptx:
      return "pptx";
    case ZipKind::kOdt:
      return "odt";
    case ZipKind::kOds:
      return "ods";
    case ZipKind::kOdp:
      return "odp";
    case ZipKind::kEpub:
      return "epub";
    case ZipKind::kJar:
      return "jar";
    case ZipKind::kApk:
      return "apk";
    case ZipKind::kZip:
      break;
  }
  return "zip";
}

std::string_view ZipEvidenceName(ZipEvidence evidence) {
  switch (evidence) {
    case ZipEvidence::kContentTypes:
      return "contentTypes";
    case ZipEvidence::kMimetype:
      return "mimetype";
    case ZipEvidence::kAndroidManifest:
      return "androidManifest";
    case ZipEvidence::kJavaManifest:
      return "javaManifest";
    case ZipEvidence::kNone:
      break;
  }
  return "none";
}

ZipLayout ClassicZipEnd(Bytes bytes, size_t i, int64_t at) {
  ZipLayout layout;
  layout.recordAt = at;
  layout.entries = ReadLe16(bytes, i + 10).value_or(0);
  layout.directoryBytes = ReadLe32(bytes, i + 12).value_or(0);
  layout.directoryOffset = ReadLe32(bytes, i + 16).value_or(0);
  layout.end = at + kEndRecordBytes + ReadLe16(bytes, i + 20).value_or(0);
  layout.archiveStart = at - (layout.directoryOffset + layout.directoryBytes);
  return layout;
}

bool MayBeZip64End(Bytes bytes, size_t i) {
  return i < kLocatorBytes || HasSignature(bytes, i - kLocatorBytes, 0x06, 0x07);
}

std::optional<ZipLayout> ReadZipEnd(RangeReader& read, int64_t at) {
  if (at < 0) return std::nullopt;
  const Bytes record = read(at, kEndRecordBytes);
  if (!HasSignature(record, 0, 0x05, 0x06)) return std::nullopt;
  ZipLayout layout = ClassicZipEnd(record, 0, at);
  if (at < kLocatorBytes) return layout;
  const Bytes locator = read(at - kLocatorBytes, kLocatorBytes);
  if (!HasSignature(locator, 0, 0x06, 0x07)) return layout;

  // From here on the ZIP64 end record holds the true sizes; a classic record with a locator before
  // it is never judged by its own fields.
  layout.archiveStart.reset();
  const auto recordOffset = AsLength(*ReadLe64(locator, 8));  // from the archive's start
  if (!recordOffset) return layout;
  const int64_t locatorAt = at - kLocatorBytes;
  // The ZIP64 end record stands right before the locator; one with extensible data after its fixed
  // fields is found where the locator says, counting from the candidate's start.
  std::array<uint8_t, kZip64RecordBytes> fields{};
  std::optional<int64_t> recordAt;
  for (const int64_t tryAt : {locatorAt - kZip64RecordBytes, *recordOffset}) {
    // It precedes the locator: an offset that does not is not read at all.
    if (tryAt < 0 || tryAt >= locatorAt) continue;
    const Bytes found = read(tryAt, kZip64RecordBytes);
    if (!HasSignature(found, 0, 0x06, 0x06)) continue;
    const auto size = AsLength(*ReadLe64(found, 4));
    if (!size || CheckedAdd(tryAt, 12, *size) != locatorAt) continue;
    std::memcpy(fields.data(), found.data(), fields.size());
    recordAt = tryAt;
    break;
  }
  if (!recordAt) return layout;
  const auto entries = AsLength(*ReadLe64(fields, 32));
  const auto directoryBytes = AsLength(*ReadLe64(fields, 40));
  const auto directoryOffset = AsLength(*ReadLe64(fields, 48));
  if (!entries || !directoryBytes || !directoryOffset) return layout;
  layout.zip64 = true;
  layout.entries = *entries;
  layout.directoryBytes = *directoryBytes;
  layout.directoryOffset = *directoryOffset;
  // The directory ends where the ZIP64 end record starts, as the locator names it.
  if (CheckedAdd(*directoryOffset, *directoryBytes) == *recordOffset) {
    layout.archiveStart = *recordAt - *recordOffset;
  }
  return layout;
}

ZipContent ZipContentKind(RangeReader& read, const ZipLayout& layout,
                          const std::atomic<bool>* cancel) {
  ZipContent content;
  Names names;
  const auto directoryEnd = CheckedAdd(layout.directoryOffset, layout.directoryBytes);
  if (layout.archiveStart == 0 && directoryEnd) {
    WalkWindow window(read, kWalkWindow);
    int64_t pos = layout.directoryOffset;
    while (pos < *directoryEnd && content.entries < kMaxEntries) {
      if (IsCancelled(cancel)) return {};
      const Bytes fixed = window.At(pos, kDirectoryHeaderBytes);
      if (!HasSignature(fixed, 0, 0x01, 0x02)) break;
      const uint16_t nameBytes = *ReadLe16(fixed, 28);
      const uint16_t extraBytes = *ReadLe16(fixed, 30);
      const int64_t entryBytes =
          kDirectoryHeaderBytes + nameBytes + extraBytes + *ReadLe16(fixed, 32);
      const Bytes entry = window.At(pos, static_cast<int32_t>(entryBytes));
      if (entry.empty()) break;
      // Every entry's data lies before the directory, or the directory is not this archive's.
      const auto local = LocalHeaderOffset(entry, nameBytes, extraBytes);
      if (!local || *local >= layout.directoryOffset) break;
      names.Note(
          AsText(entry.subspan(kDirectoryHeaderBytes, nameBytes)),
          {.localAt = *local, .method = *ReadLe16(entry, 10), .stored = *ReadLe32(entry, 20)});
      pos += entryBytes;
      ++content.entries;
    }
    content.directoryComplete = pos == *directoryEnd && content.entries == layout.entries;
    content.fromDirectory = content.entries > 0;
  }
  const Judgement judged = content.fromDirectory ? KindOf(names, read) : LocalEntriesKind(read);
  content.kind = judged.kind;
  content.evidence = judged.evidence;
  return content;
}

ZipWalk WalkZip(RangeReader& read, const std::atomic<bool>* cancel) {
  ZipWalk walk;
  WalkWindow window(read, kWalkWindow);
  int64_t pos = 0;
  int64_t entries = 0;
  std::optional<int64_t> searchFrom;
  std::optional<int64_t> directoryAt;  // where the local walk met the central directory
  while (!IsCancelled(cancel) && entries <= kMaxEntries && pos <= kLengthLimit) {
    const Bytes head = window.At(pos, 4);
    if (head.empty()) break;
    if (HasSignature(head, 0, 0x03, 0x04)) {
      const Bytes fixed = window.At(pos, kLocalHeaderBytes);
      if (fixed.empty()) break;
      const uint16_t flags = *ReadLe16(fixed, 6);
      const uint32_t stored = *ReadLe32(fixed, 18);
      const uint32_t original = *ReadLe32(fixed, 22);
      const uint16_t nameBytes = *ReadLe16(fixed, 26);
      const uint16_t extraBytes = *ReadLe16(fixed, 28);
      const int64_t dataAt = pos + kLocalHeaderBytes + nameBytes + extraBytes;
      // Sizes that follow the data in a descriptor are unknown here; the central directory has
      // them.
      if ((flags & 0x0008) != 0) {
        searchFrom = dataAt;
        break;
      }
      std::optional<int64_t> size = stored;
      if (stored == kMarker32) {
        const Bytes header =
            window.At(pos, static_cast<int32_t>(kLocalHeaderBytes + nameBytes + extraBytes));
        if (header.empty()) break;
        size = Zip64CompressedSize(header.subspan(kLocalHeaderBytes + nameBytes),
                                   original == kMarker32);
      }
      const auto next = size ? CheckedAdd(dataAt, *size) : std::nullopt;
      if (!next) break;
      pos = *next;
      ++entries;
    } else if (HasSignature(head, 0, 0x06, 0x08)) {
      // Archive extra data of a directory-encrypted archive.
      const Bytes fixed = window.At(pos, 8);
      if (fixed.empty()) break;
      pos += 8 + int64_t{*ReadLe32(fixed, 4)};
    } else if (HasSignature(head, 0, 0x01, 0x02) || HasSignature(head, 0, 0x05, 0x06) ||
               HasSignature(head, 0, 0x06, 0x06)) {
      directoryAt = pos;
      searchFrom = pos;
      break;
    } else {
      break;  // not this archive's next record: cut short, or not contiguous
    }
  }
  if (IsCancelled(cancel)) return {};

  std::optional<ZipLayout> layout;
  std::optional<ZipLayout> foreign;
  if (searchFrom) layout = SearchOwnEnd(read, *searchFrom, cancel, foreign);
  if (IsCancelled(cancel)) return {};
  // An archive begun earlier whose directory lies after this entry holds it, and its first entry
  // lies before this one: this is an entry of that archive, not an archive of its own. (A
  // self-extracting archive's first entry comes after its program, and is kept.)
  if (!layout && foreign) {
    const auto foreignDirectory = CheckedAdd(*foreign->archiveStart, foreign->directoryOffset);
    const Bytes first = foreignDirectory && *foreignDirectory >= 0 &&
                                (!directoryAt || *directoryAt == *foreignDirectory)
                            ? read(*foreignDirectory, kDirectoryHeaderBytes)
                            : Bytes{};
    if (HasSignature(first, 0, 0x01, 0x02) &&
        int64_t{*ReadLe32(first, 42)} + *foreign->archiveStart < 0) {
      walk.insideEarlier = true;
      return walk;
    }
  }
  if (!layout) {
    const Judgement judged = LocalEntriesKind(read);
    walk.kind = judged.kind;
    walk.evidence = judged.evidence;
    return walk;
  }
  const ZipContent content = ZipContentKind(read, *layout, cancel);
  if (IsCancelled(cancel)) return {};
  walk.kind = content.kind;
  walk.evidence = content.evidence;
  walk.fromDirectory = content.fromDirectory;
  // The comment must be there too; an archive cut inside it is not whole.
  const bool commentRead =
      layout->end == layout->recordAt + kEndRecordBytes || !read(layout->end - 1, 1).empty();
  const bool directoryWhere = !directoryAt || *directoryAt == layout->directoryOffset;
  if (content.directoryComplete && commentRead && directoryWhere) walk.length = layout->end;
  return walk;
}

}  // namespace quarvelin
