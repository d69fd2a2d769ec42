#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/byte_fields.h"
#include "sizing/range_reader.h"

namespace quarvelin {

// What a ZIP archive holds, judged by its entry names and, for OpenDocument and EPUB, by the media
// type its "mimetype" entry stores.
enum class ZipKind { kZip, kDocx, kXlsx, kPptx, kOdt, kOds, kOdp, kEpub, kJar, kApk };

// What decided the kind: the Office package's type list ("[Content_Types].xml") with its parts,
// the stored media type, Android's manifest or Java's; kNone for a plain ZIP.
enum class ZipEvidence { kNone, kContentTypes, kMimetype, kAndroidManifest, kJavaManifest };

// "zip", "docx", "xlsx", "pptx", "odt", "ods", "odp", "epub", "jar" or "apk".
std::string_view ZipKindExtension(ZipKind kind);
// "none", "contentTypes", "mimetype", "androidManifest" or "javaManifest".
std::string_view ZipEvidenceName(ZipEvidence evidence);

// What an archive's end records say. Directory offsets count from the archive's first byte.
struct ZipLayout {
  int64_t recordAt = 0;  // candidate offset of the end-of-central-directory record
  int64_t end = 0;       // just past that record and its comment
  int64_t directoryOffset = 0;
  int64_t directoryBytes = 0;
  int64_t entries = 0;
  bool zip64 = false;  // the sizes came from a ZIP64 end record
  // Candidate offset of the first byte of the archive these records close: where the central
  // directory must begin counting from for it to end where the end records start. 0 when the
  // records are the candidate's own.
  std::optional<int64_t> archiveStart;
};

// The end record whose 22 bytes stand at `bytes[i]`, met at candidate offset `at`, from its own
// fields alone (no ZIP64 look-up).
ZipLayout ClassicZipEnd(Bytes bytes, size_t i, int64_t at);

// True when the record at `bytes[i]` may defer to a ZIP64 end record: a ZIP64 locator stands
// before it, its fields hold the ZIP64 markers, or the bytes before it are not at hand.
bool MayBeZip64End(Bytes bytes, size_t i);

// The end record at candidate offset `at`, with the ZIP64 end record its locator points to when
// there is one. Nothing when the record cannot be read. Reads through `read`: spans the caller
// holds from it are no longer valid afterwards.
std::optional<ZipLayout> ReadZipEnd(RangeReader& read, int64_t at);

struct ZipContent {
  ZipKind kind = ZipKind::kZip;
  ZipEvidence evidence = ZipEvidence::kNone;
  bool fromDirectory = false;  // judged by the central directory, not by the first entry alone
  int64_t entries = 0;         // central directory entries walked
  bool directoryComplete =
      false;  // they filled the directory exactly, as many as the end record says
};

// Reads the central directory that `layout` names (the candidate's own) in windows, and judges the
// archive by its entry names. Without a readable directory, judges by the names of the local
// entries that can be followed from the start.
ZipContent ZipContentKind(RangeReader& read, const ZipLayout& layout,
                          const std::atomic<bool>* cancel);

struct ZipWalk {
  std::optional<int64_t> length;  // proven: the candidate's own end record and directory agree
  ZipKind kind = ZipKind::kZip;
  ZipEvidence evidence = ZipEvidence::kNone;
  bool fromDirectory = false;
  // An entry inside an archive that began before the candidate: nothing of its own.
  bool insideEarlier = false;
};

// Sizes a ZIP archive that starts at candidate offset 0: follows its local entries to the central
// directory (searching for the end record once an entry's sizes trail its data), then checks the
// directory against the end records.
ZipWalk WalkZip(RangeReader& read, const std::atomic<bool>* cancel);

}  // namespace quarvelin
