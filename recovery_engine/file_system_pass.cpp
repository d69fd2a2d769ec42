#include "file_system_pass.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <exception>
#include <filesystem>
#include <optional>

#include "common/byte_fields.h"
#include "common/sha256.h"
#include "damage_report.h"
#include "filesystems/byte_source.h"
#include "filesystems/exfat/exfat.h"
#include "filesystems/fat/fat.h"
#include "filesystems/file_content.h"
#include "filesystems/ntfs/ntfs.h"
#include "formats/registry.h"
#include "identify.h"
#include "output_file.h"
#include "recovered_names.h"
#include "recovery_engine.h"

namespace quarvelin {
namespace {

using Kind = NativeMessageKind;

constexpr const char* kOrphanFolder = "Orphaned Files";
// Names a file tries ("a.jpg", then "a (2).jpg" ...) when another of that name is already there.
constexpr int kMaxNameTries = 1000;
// What the manifest says of a file whose copy a cancel cut short.
constexpr const char* kCancelledCopy = "the scan was cancelled before it was copied whole";
// A progress line after this many files of the pass, so a long one shows it is alive.
constexpr int64_t kProgressEveryFiles = 500;

// `folder` and the name are engine paths (narrow, in the process's code page), as the output folder
// the caller gave: the C runtime opens them as it opens every other file the engine writes.
std::optional<std::string> CreateUnique(OutputFile& out, const std::string& folder,
                                        const std::string& name) {
  const size_t dot = name.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot > 0;
  const std::string stem = hasExtension ? name.substr(0, dot) : name;
  const std::string extension = hasExtension ? name.substr(dot) : "";
  for (int attempt = 1; attempt <= kMaxNameTries; ++attempt) {
    const std::string candidate =
        attempt == 1 ? name : stem + " (" + std::to_string(attempt) + ")" + extension;
    switch (out.CreateNew(folder + "/" + candidate)) {
      case OutputFile::NewFile::kCreated:
        return candidate;
      case OutputFile::NewFile::kExists:
        continue;
      case OutputFile::NewFile::kFailed:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

// The file's stretches as sectors of the source, in file order, for the manifest.
std::vector<std::pair<int64_t, int64_t>> SourceSectors(const FoundFile& file, const Volume& volume,
                                                       int32_t sectorSize) {
  std::vector<std::pair<int64_t, int64_t>> sectors;
  int64_t left = file.size;
  for (const Extent& extent : file.extents) {
    if (left <= 0) break;
    const int64_t length = std::min(extent.length, left);
    left -= length;
    if (extent.sparse || length <= 0) continue;
    const int64_t first = (volume.firstByte + extent.offset) / sectorSize;
    const int64_t end = SectorsCovering(volume.firstByte + extent.offset + length, sectorSize);
    if (!sectors.empty() && sectors.back().first + sectors.back().second == first) {
      sectors.back().second += end - first;
    } else {
      sectors.emplace_back(first, end - first);
    }
  }
  return sectors;
}

// The source sectors behind the stretches (offset, length) of a file written as zeros. A
// compressed file's offsets are not its extents' (its units shrink on the volume): its unreadable
// stretches are told in the file's own bytes.
std::string UnreadableText(const FoundFile& file, const Volume& volume, int32_t sectorSize,
                           const std::vector<std::pair<int64_t, int64_t>>& unreadable) {
  if (file.compressionUnit != 0) {
    std::string text = "bytes ";
    for (size_t i = 0; i < unreadable.size(); ++i) {
      text += (i > 0 ? ", " : "") + std::to_string(unreadable[i].first) + "-" +
              std::to_string(unreadable[i].first + unreadable[i].second - 1);
    }
    return text + " unreadable, written as zeros";
  }
  std::vector<SectorRange> sectors;
  for (const auto& [offset, length] : unreadable) {
    int64_t position = 0;
    for (const Extent& extent : file.extents) {
      const int64_t first = std::max(offset, position);
      const int64_t end = std::min(offset + length, position + extent.length);
      if (first < end && !extent.sparse) {
        const int64_t byte = volume.firstByte + extent.offset + (first - position);
        const int64_t firstSector = byte / sectorSize;
        const int64_t endSector = SectorsCovering(byte + (end - first), sectorSize);
        if (!sectors.empty() && sectors.back().End() >= firstSector) {
          sectors.back() =
              SectorRange(sectors.back().First(),
                          std::max(sectors.back().End(), endSector) - sectors.back().First());
        } else {
          sectors.emplace_back(firstSector, endSector - firstSector);
        }
      }
      position += extent.length;
      if (position >= offset + length) break;
    }
  }
  return UnreadableSectorsProblem(sectors);
}

void KeepModifiedTime(const std::string& path, std::optional<int64_t> modified) {
  if (!modified) return;
  namespace chrono = std::chrono;
  std::error_code ignored;
  const auto when = chrono::file_clock::from_sys(chrono::sys_seconds(chrono::seconds(*modified)));
  std::filesystem::last_write_time(FileSystemPath(path), when, ignored);
}

// Why the content of a deleted file written to `path` cannot be whole, when its own structure
// says so: it does not start as its type's files do, or its structure breaks or runs past its
// end. Empty when it holds together or there is no telling (a type without a structure).
std::string ContentDamage(const std::string& path, const std::string& name, int64_t written) {
  const size_t dot = name.rfind('.');
  std::string extension = dot == std::string::npos ? "" : name.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::optional<ContentSize> sized = SizeFileContent(path);
  // Plain text is carved only on request because almost any bytes read as some: a .jpg holding
  // nothing but text does not start as a JPEG does.
  const FileType* content = sized ? FindType(sized->extension) : nullptr;
  const bool onlyText =
      content != nullptr && content->onlyWhenSelected && content->extension != extension;
  if (!sized || onlyText) {
    return FindType(extension) != nullptr ? "its content does not start as a ." + extension +
                                                " file does: its clusters were probably reused"
                                          : "";
  }
  if (sized->size <= 0 || sized->size > written) {
    return "its content does not hold together as a ." + sized->extension +
           " file: it was probably fragmented, or parts of it were overwritten";
  }
  return "";
}

}  // namespace

std::vector<Volume> SourceVolumes(RawDevice& device, int64_t probeLimit, CancelFlag cancel) {
  // Probes read one sector here and one a megabyte on: blocks of one sector, not the usual 64 KiB.
  DeviceBytes source(device, 0, device.QueryDeviceSize(), 4096);
  return FindVolumes(source, probeLimit, cancel);
}

FileSystemReport ReadVolumeFiles(RawDevice& device, const Volume& volume, const FileSink& sink,
                                 CancelFlag cancel) {
  DeviceBytes whole(device, volume.firstByte, volume.length);
  BootCopyBytes patched(whole, volume.bootCopyAt);
  ByteSource& bytes = volume.bootCopyAt > 0 ? static_cast<ByteSource&>(patched) : whole;
  switch (volume.kind) {
    case FileSystemKind::kFat:
      return ReadFatFiles(bytes, sink, cancel);
    case FileSystemKind::kExfat:
      return ReadExfatFiles(bytes, sink, cancel);
    case FileSystemKind::kNtfs:
      return ReadNtfsFiles(bytes, sink, cancel);
  }
  return {};
}

std::string OriginalPath(const FoundFile& file) {
  std::string path = file.orphan ? std::string("/") + kOrphanFolder : "";
  for (const std::string& folder : file.folders) path += "/" + folder;
  return path + "/" + file.name;
}

const char* StateText(FileState state) {
  switch (state) {
    case FileState::kLive:
      return "live";
    case FileState::kDeleted:
      return "deleted";
    case FileState::kOverwritten:
      return "deleted, possibly overwritten";
  }
  return "unknown";
}

std::string VolumeText(const Volume& volume, int32_t sectorSize) {
  return std::string(FileSystemName(volume.kind)) + " at sector " +
         std::to_string(volume.firstByte / sectorSize) + " (" + volume.origin + ")";
}

FileSystemPass::FileSystemPass(RecoveryEngine& engine, RawDevice& device,
                               const std::string& outputDir, const FileFilter& filter,
                               Manifest& manifest, SectorCoverage& coverage)
    : engine_(engine),
      device_(device),
      outputDir_(outputDir),
      filter_(filter),
      manifest_(manifest),
      coverage_(coverage),
      sectorSize_(SaneSectorSize(device.QuerySectorSize())) {}

bool FileSystemPass::Recover(const Volume& volume, int number, bool wholeSource) {
  const std::string where = VolumeText(volume, sectorSize_);
  engine_.Emit(Kind::Status, "Reading the " + where + "...");
  int64_t named = 0;
  int64_t written = 0;
  const std::string volumeFolder =
      wholeSource ? ""
                  : "Volume " + std::to_string(number) + " (" + FileSystemName(volume.kind) + ")";
  // The file's own bytes are read apart from the reader's: neither evicts the other's cache.
  DeviceBytes content(device_, volume.firstByte, volume.length);
  const FileSystemReport report = ReadVolumeFiles(
      device_, volume,
      [&](const FoundFile& file) {
        if (outputFull_ || engine_.CancelRequested() || !engine_.WaitWhilePaused()) return;
        ++named;
        // A live file's sectors are its own whether or not it is wanted now: carving them would
        // only bring it back nameless.
        if (file.state == FileState::kLive) Cover(file, volume);
        const std::string path = OriginalPath(file);
        if (!ExtensionSelected(file.name, filter_.extensions)) return;
        if (!filter_.only.empty() && !PathMatches(filter_.only, path)) return;
        bool intact = true;
        if (const ScanRecords::Written* kept = Kept(file, volume)) {
          ++written;
          if (file.state != FileState::kLive && !file.resident && kept->size > 0) {
            const std::string name = kept->file.substr(kept->file.rfind('/') + 1);
            intact = ContentDamage(outputDir_ + "/" + kept->file, name, kept->size).empty();
          }
          if (file.state != FileState::kLive && intact) Cover(file, volume);
          return;
        }
        if (WriteFile(file, volume, content, volumeFolder, intact)) {
          ++written;
          // A deleted file whose content is not what its type should be was read from clusters
          // that hold something else now, or hold only part of it: the carve may yet find what
          // lies there.
          if (file.state != FileState::kLive && intact) Cover(file, volume);
          if (filesWritten_ % kProgressEveryFiles == 0) {
            engine_.Emit(Kind::Progress, "PROGRESS|0.0|" + std::to_string(filesWritten_));
          }
        }
      },
      engine_.CancelFlag());
  for (const Extent& extent : report.metadata) {
    const auto first = CheckedAdd(volume.firstByte, extent.offset);
    const int64_t end =
        std::min(volume.firstByte + volume.length,
                 CheckedAdd(first.value_or(INT64_MAX), extent.length).value_or(INT64_MAX));
    if (first && *first < end) {
      coverage_.Add(*first / sectorSize_, SectorsCovering(end, sectorSize_) - *first / sectorSize_);
    }
  }
  if (!report.error.empty()) {
    engine_.Emit(Kind::Status, "Could not read the " + where + ": " + report.error);
  } else {
    engine_.Emit(Kind::Status, report.kind + " volume at sector " +
                                   std::to_string(volume.firstByte / sectorSize_) + ": " +
                                   std::to_string(named) + " files named, " +
                                   std::to_string(written) + " recovered.");
  }
  return !outputFull_;
}

const ScanRecords::Written* FileSystemPass::Kept(const FoundFile& file,
                                                 const Volume& volume) const {
  if (written_ == nullptr || written_->named.empty()) return nullptr;
  const auto found =
      written_->named.find(NamedFileKey(VolumeText(volume, sectorSize_), OriginalPath(file),
                                        SourceSectors(file, volume, sectorSize_)));
  if (found == written_->named.end() ||
      found->second.problem.find(kCancelledCopy) != std::string::npos) {
    return nullptr;
  }
  return &found->second;
}

void FileSystemPass::Cover(const FoundFile& file, const Volume& volume) {
  for (const auto& [first, count] : SourceSectors(file, volume, sectorSize_)) {
    coverage_.Add(first, count);
  }
}

bool FileSystemPass::WriteFile(const FoundFile& file, const Volume& volume, ByteSource& content,
                               const std::string& volumeFolder, bool& intact) {
  std::string relative = CategoryFolderOf(file.name);
  const auto descend = [&](const std::string& name) {
    relative += '/';
    relative += SafeName(name);
  };
  if (!volumeFolder.empty()) descend(volumeFolder);
  if (file.orphan) descend(kOrphanFolder);
  for (const std::string& name : file.folders) descend(name);
  const std::string folder = outputDir_ + "/" + relative;
  std::error_code error;
  std::filesystem::create_directories(FileSystemPath(folder), error);
  OutputFile out;
  const std::optional<std::string> name =
      error ? std::nullopt : CreateUnique(out, folder, SafeName(file.name));
  if (!name) {
    engine_.Emit(Kind::Error, "Failed to write output file: " + folder + "/" + file.name);
    return false;
  }
  const std::string path = folder + "/" + *name;
  const std::string& shown = path;

  Sha256 hash;
  const ContentResult copied = ReadContent(
      content, file,
      [&](std::span<const uint8_t> piece) {
        hash.Update(piece);
        return out.Write(piece);
      },
      engine_.CancelFlag());
  if (copied.writerFailed || !out.Close()) {
    engine_.Emit(Kind::Error, "Failed to write output file: " + shown);
    outputFull_ = true;
    return false;
  }
  KeepModifiedTime(path, file.modified);
  ++filesWritten_;
  engine_.Emit(Kind::FileFound,
               shown + "|" + *name + "|" + std::to_string(out.BytesWritten()) + "|Native");

  ManifestEntry entry;
  entry.file = relative + "/" + *name;
  entry.originalPath = OriginalPath(file);
  entry.state = StateText(file.state);
  entry.size = static_cast<int64_t>(out.BytesWritten());
  entry.volume = VolumeText(volume, sectorSize_);
  entry.foundBy = "file system";
  entry.sectors = SourceSectors(file, volume, sectorSize_);
  entry.sha256 = hash.FinishHex();
  entry.modified = file.modified;
  entry.problem = file.problem;
  if (copied.written < file.size && !copied.cancelled) {
    if (!entry.problem.empty()) entry.problem += "; ";
    entry.problem += "only " + std::to_string(copied.written) + " of " + std::to_string(file.size) +
                     " bytes could be found";
  }
  if (copied.cancelled && copied.written < file.size) {
    // Not a whole file: a resumed scan writes it again.
    if (!entry.problem.empty()) entry.problem += "; ";
    entry.problem += kCancelledCopy;
  }
  if (!copied.undecodable.empty()) {
    if (!entry.problem.empty()) entry.problem += "; ";
    entry.problem += std::to_string(copied.undecodable.size()) +
                     " compressed pieces could not be decompressed (written as zeros)";
  }
  entry.unreadable = copied.unreadable;
  if (file.state != FileState::kLive && !file.resident && copied.written > 0) {
    const std::string damage = ContentDamage(path, *name, copied.written);
    if (!damage.empty()) {
      intact = false;
      if (!entry.problem.empty()) entry.problem += "; ";
      entry.problem += damage;
    }
  }
  if (!entry.unreadable.empty()) {
    AddProblem(entry.problem, UnreadableText(file, volume, sectorSize_, entry.unreadable));
  }
  if (!entry.problem.empty()) engine_.Emit(Kind::Status, DamagedFileLine(shown, entry.problem));
  manifest_.Add(entry);
  return true;
}

}  // namespace quarvelin
