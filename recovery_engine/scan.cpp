#include "scan.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string_view>

#include "carved_size.h"
#include "common/scope_guard.h"
#include "common/sector_range.h"
#include "common/sha256.h"
#include "file_system_pass.h"
#include "formats/format.h"
#include "header_search.h"
#include "manifest.h"
#include "output_file.h"
#include "recovered_names.h"
#include "recovery_engine.h"
#include "salvage_read.h"
#include "scan_progress.h"

namespace quarvelin {
namespace {

using Kind = NativeMessageKind;

constexpr int64_t kScanChunkSectors = 2048;
// A progress line at the start and then every 256,000 sectors of progress (every 125 chunks when
// no carve has shifted the chunk grid).
constexpr int64_t kProgressEverySectors = 256000;
constexpr int64_t kCopyBlockBytes = 1048576;
// Names a carve tries ("rec_3_2048.jpg", then "rec_3_2048 (2).jpg" ...) when earlier scans into
// the same folder left files under them.
constexpr int kMaxNameTries = 100;

std::string FormatProgress(double percent, int64_t files) {
  char text[64];
  std::snprintf(text, sizeof text, "PROGRESS|%.1f|%lld", percent, static_cast<long long>(files));
  return text;
}

// Creates the file of one carve in `folder`: `stem` + "." + `extension`, or, when a file of that
// name is already there (an earlier scan into the same folder), the first free name of the form
// `stem` + " (2)." + `extension`. What is in the output folder is never overwritten. The name used,
// or nothing when no file could be created.
std::optional<std::string> CreateCarveFile(OutputFile& out, const std::string& folder,
                                           const std::string& stem, const std::string& extension) {
  for (int attempt = 1; attempt <= kMaxNameTries; ++attempt) {
    const std::string name =
        stem + (attempt == 1 ? "" : " (" + std::to_string(attempt) + ")") + "." + extension;
    switch (out.CreateNew(folder + "/" + name)) {
      case OutputFile::NewFile::kCreated:
        return name;
      case OutputFile::NewFile::kExists:
        continue;
      case OutputFile::NewFile::kFailed:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

enum class CarveStatus { Written, WriteFailed };

struct Carve {
  CarveStatus status = CarveStatus::Written;
  int64_t written = 0;  // bytes in the file
  int64_t length = 0;   // bytes from the header the scan moves past
  std::string sha256;   // of the bytes written
};

// Writes the candidate at `at` in `buffer` (which starts at `bufferSector`) to `out`: the bytes the
// buffer holds, then the rest from the device in whole-sector reads. An estimated size ends early
// at the first sector after the header where a selected signature's header begins, since another
// file starts there. Unreadable sectors in the part read from the device become zeros; where
// nothing more can be read the file ends. Either is reported, so a damaged file never passes for a
// whole one. Without `out` nothing is written: the carve is only measured and hashed.
class Carver {
 public:
  Carver(RecoveryEngine& engine, RawDevice& device, const HeaderIndex& index, int32_t sectorSize,
         int64_t totalSectors)
      : engine_(engine),
        device_(device),
        index_(index),
        sectorSize_(sectorSize),
        totalSectors_(totalSectors) {}

  Carve Write(OutputFile* out, const std::string& path, std::span<const uint8_t> buffer,
              int64_t bufferSector, size_t at, CarvedSize size) {
    Carve carve;
    carve.length = size.size;
    const auto sector = static_cast<size_t>(sectorSize_);
    int64_t inBuffer = std::min<int64_t>(size.size, static_cast<int64_t>(buffer.size() - at));
    if (size.estimated) {
      for (size_t s = (at / sector + 1) * sector; static_cast<int64_t>(s - at) < inBuffer;
           s += sector) {
        if (index_.MatchesAt(buffer, s) != 0) {
          inBuffer = carve.length = static_cast<int64_t>(s - at);
          break;
        }
      }
    }
    Sha256 hash;
    hash.Update(buffer.subspan(at, static_cast<size_t>(inBuffer)));
    if (out != nullptr && !out->Write(buffer.subspan(at, static_cast<size_t>(inBuffer)))) {
      carve.status = CarveStatus::WriteFailed;
      return carve;
    }

    int64_t copied = inBuffer;
    // Never past the device's last sector: a raw volume fails a read that runs over its end, and
    // the sectors beyond would come back as "bad" zeros padding the file.
    SectorRange rest = SectorRange(0, totalSectors_)
                           .From(bufferSector + static_cast<int64_t>(buffer.size()) / sectorSize_);
    while (copied < carve.length && !rest.Empty() && !engine_.CancelRequested()) {
      // Whole sectors only: raw volumes refuse partial-sector reads; the surplus is dropped.
      const int64_t want = std::min(carve.length - copied, kCopyBlockBytes);
      const SectorRange step = rest.Head(SectorsCovering(want, sectorSize_));
      // On a failing drive one bad sector costs the file only its own bytes.
      const std::vector<uint8_t> data =
          ReadReportingBadSectors(engine_, device_, step, sectorSize_);
      if (data.empty()) {
        // Nothing more can be read: the file keeps what came before, and the user learns it is
        // short.
        engine_.Emit(Kind::Status, "Read Error at sector " + std::to_string(step.First()) +
                                       ". File cut short: " + path);
        break;
      }
      int64_t take = std::min<int64_t>(want, static_cast<int64_t>(data.size()));
      bool cut = false;
      for (int64_t s = 0; size.estimated && s < take; s += sectorSize_) {
        if (index_.MatchesAt(data, static_cast<size_t>(s)) != 0) {
          take = s;
          cut = true;
          break;
        }
      }
      hash.Update(std::span<const uint8_t>(data).first(static_cast<size_t>(take)));
      if (out != nullptr &&
          !out->Write(std::span<const uint8_t>(data).first(static_cast<size_t>(take)))) {
        carve.status = CarveStatus::WriteFailed;
        return carve;
      }
      copied += take;
      if (cut) {
        carve.length = copied;
        break;
      }
      if (static_cast<int64_t>(data.size()) < step.Count() * sectorSize_) break;
      rest = rest.From(step.End());
    }
    carve.written = copied;
    carve.sha256 = hash.FinishHex();
    if (out != nullptr && !out->Close()) carve.status = CarveStatus::WriteFailed;
    return carve;
  }

 private:
  RecoveryEngine& engine_;
  RawDevice& device_;
  const HeaderIndex& index_;
  int32_t sectorSize_;
  int64_t totalSectors_;  // a read from here on fails because the device ends, not a bad sector
};

// Reads the scan's chunks. After a carve the next chunk starts inside the one just searched; the
// sectors both share are kept rather than read again, which on a disk dense with small files saves
// reading most of every chunk twice.
class ChunkReader {
 public:
  ChunkReader(RawDevice& device, int32_t sectorSize) : device_(device), sectorSize_(sectorSize) {}

  // The sectors of `chunk`, or fewer at the end of the device. A chunk that cannot be read in one
  // go (a failing drive's bad sectors) is read again in smaller pieces, down to single sectors, and
  // what stays unreadable becomes zeros: one bad sector must not lose every file that starts in the
  // chunk. Empty only when no sector of it can be read.
  const std::vector<uint8_t>& Read(SectorRange chunk) {
    ReadWhole(chunk);
    if (buffer_.empty() && chunk.Count() > 1) buffer_ = ReadInPieces(device_, chunk, sectorSize_);
    return buffer_;
  }

 private:
  void ReadWhole(SectorRange chunk) {
    const SectorRange held(start_, static_cast<int64_t>(buffer_.size()) / sectorSize_);
    if (chunk.First() > held.First() && held.Contains(chunk.First()) && chunk.End() > held.End()) {
      const SectorRange more = chunk.From(held.End());
      std::vector<uint8_t> bytes =
          device_.ReadDeviceSectors(more.First(), static_cast<uint32_t>(more.Count()), sectorSize_);
      if (!bytes.empty()) {
        const int64_t keep = held.End() - chunk.First();
        buffer_.erase(buffer_.begin(),
                      buffer_.begin() + (chunk.First() - held.First()) * sectorSize_);
        buffer_.resize(static_cast<size_t>(keep * sectorSize_));
        buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
        start_ = chunk.First();
        return;
      }
    }
    buffer_ =
        device_.ReadDeviceSectors(chunk.First(), static_cast<uint32_t>(chunk.Count()), sectorSize_);
    start_ = chunk.First();
  }

  RawDevice& device_;
  int32_t sectorSize_;
  std::vector<uint8_t> buffer_;
  int64_t start_ = 0;  // first sector of `buffer_`, which holds nothing before the first read
};

std::vector<FileSignature> LongHeaders(const std::vector<FileSignature>& rows) {
  std::vector<FileSignature> longer;
  std::copy_if(rows.begin(), rows.end(), std::back_inserter(longer),
               [](const FileSignature& row) { return row.header.size() >= 3; });
  return longer;
}

// What preparation hands the chunk loop.
struct ScanSetup {
  OpenedDevice opened;
  int64_t deviceBytes = 0;
  int32_t sectorSize = 0;
  SectorRange sectors;  // the whole device
  std::vector<FileSignature> signatures;

  // The first selected row of the type with that extension; null when it is not selected.
  const FileSignature* TypeRow(std::string_view extension) const {
    for (const FileSignature& row : signatures) {
      if (row.extension == extension) return &row;
    }
    return nullptr;
  }
};

// Opens and measures the drive, refuses a scan that must not run, and makes the six category
// folders. Nothing, once the reason has been reported, when the scan cannot go ahead.
std::optional<ScanSetup> Prepare(RecoveryEngine& engine, const std::string& drivePath,
                                 const std::string& outputDir, const ScanOptions& options) {
  const std::vector<std::string>& fileTypes = options.fileTypes;
  ScanSetup setup;
  setup.opened = engine.OpenDevice(drivePath);
  if (!setup.opened.device) {
    engine.Emit(Kind::Error, "Failed to open drive (" + drivePath + "). Error code: " +
                                 std::to_string(setup.opened.error) + ". Run as Administrator?");
    return std::nullopt;
  }
  RawDevice& device = *setup.opened.device;
  setup.deviceBytes = device.QueryDeviceSize();
  setup.sectorSize = device.QuerySectorSize();
  // A trailing partial sector (an image file whose length is not a whole number of sectors) is
  // scanned too.
  setup.sectors = SectorRange(
      0, setup.deviceBytes > 0 ? SectorsCovering(setup.deviceBytes, setup.sectorSize) : 0);
  if (setup.sectors.Empty()) {
    engine.Emit(Kind::Error, "Error: Could not determine drive size. Drive may be inaccessible.");
    return std::nullopt;
  }
  if (engine.HasCallback()) {
    engine.Emit(Kind::Status, "Drive Size: " + std::to_string(setup.deviceBytes / 1048576) +
                                  " MB. BPS: " + std::to_string(setup.sectorSize) +
                                  ". Total Sectors: " + std::to_string(setup.sectors.Count()));
  }
  // Recovered files written onto the drive being scanned would overwrite the very data sought.
  if (OutputIsOnDevice(outputDir, drivePath)) {
    engine.Emit(Kind::Error, "Output folder is on the drive being scanned. Choose another drive.");
    return std::nullopt;
  }
  // A selection of nothing but unknown types would read the whole drive to find nothing. Through
  // the file systems any extension can come back, carvable or not.
  setup.signatures = LoadSignatures(fileTypes);
  if (setup.signatures.empty() && !options.fileSystems) {
    std::string requested;
    for (const std::string& type : fileTypes) {
      if (!requested.empty()) requested += ", ";
      requested += type;
    }
    engine.Emit(Kind::Error, "No known file type selected: " + requested);
    return std::nullopt;
  }
  try {
    namespace fs = std::filesystem;
    const fs::path root = FileSystemPath(outputDir);
    if (!fs::exists(root)) fs::create_directories(root);
    for (const char* folder : CategoryFolders) fs::create_directories(root / folder);
    if (options.fileSystems) fs::create_directories(root / kOtherFolder);
  } catch (const std::exception& e) {
    engine.Emit(Kind::Error, std::string("FS Error: ") + e.what());
    return std::nullopt;
  }
  engine.Emit(Kind::Status, "Directories created. Loading signatures...");
  return setup;
}

// The chunk loop: reads the drive chunk by chunk, carves the first candidate in each that can be
// sized, and goes on right after it.
class ChunkScanner {
 public:
  // Searches only the sectors `coverage` leaves; hands each volume `lost` finds to `files`, when
  // set, and then skips what its files covered. Starts where `keeper`'s progress says and keeps it
  // up to date; `resume` holds what an interrupted run of the scan wrote.
  ChunkScanner(RecoveryEngine& engine, ScanSetup& setup, const std::string& outputDir,
               Manifest& manifest, SectorCoverage& coverage, LostVolumeSearch* lost,
               FileSystemPass* files, int volumesSeen, ProgressKeeper& keeper, const Resume* resume)
      : engine_(engine),
        manifest_(manifest),
        coverage_(coverage),
        lost_(lost),
        files_(files),
        volumesSeen_(volumesSeen),
        device_(*setup.opened.device),
        setup_(setup),
        outputDir_(outputDir),
        index_(setup.signatures),
        stops_(LongHeaders(setup.signatures)),
        unheaded_(UnheadedRows(setup.signatures)),
        carver_(engine, device_, index_, setup.sectorSize, setup.sectors.End()),
        chunks_(device_, setup.sectorSize),
        keeper_(keeper),
        resume_(resume),
        earlier_(resume != nullptr ? resume->records.files : 0),
        filesNamed_(keeper.Progress().carveCounter) {
    memo_.deviceBytes = setup.deviceBytes;
  }

  // Runs to the drive's end, a cancel, or an output disk that can take no more.
  void Run() {
    ScanProgress& progress = keeper_.Progress();
    int64_t sector = progress.carvedUntil;
    for (; sector < setup_.sectors.End() && !engine_.CancelRequested();) {
      if (!engine_.WaitWhilePaused()) break;
      // Everything before `sector` is done with: a scan stopped from here on goes on from here.
      progress.carvedUntil = sector;
      progress.carveCounter = filesNamed_;
      keeper_.SaveNowAndThen();
      const int64_t uncovered = coverage_.CoveredUntil(sector);
      if (uncovered != sector) {
        ReportProgress(sector);
        sector = uncovered;
        continue;
      }
      const SectorRange chunk = setup_.sectors.From(sector).Head(
          std::min(kScanChunkSectors, coverage_.NextCovered(sector) - sector));
      const ChunkResult result = ScanChunk(chunk);
      ReportProgress(sector);
      if (result.stop) break;
      sector = result.next;
    }
    // A cancel may have cut the last carve short: where it ended says nothing then.
    reachedEnd_ = sector >= setup_.sectors.End() && !engine_.CancelRequested();
    if (reachedEnd_) {
      progress.carvedUntil = setup_.sectors.End();
      progress.carveCounter = filesNamed_;
    }
  }

  int64_t FilesWritten() const { return filesWritten_; }
  bool ReachedEnd() const { return reachedEnd_; }

 private:
  // Reads the file systems whose boot sectors lie in `chunk` that no partition table listed. True
  // when one was read: its files may now cover part of the chunk.
  bool ReadLostVolumes(std::span<const uint8_t> bytes, SectorRange chunk, bool& stop) {
    if (lost_ == nullptr || files_ == nullptr) return false;
    const std::vector<Volume> found =
        lost_->Look(bytes, chunk.First() * static_cast<int64_t>(setup_.sectorSize));
    for (const Volume& volume : found) {
      keeper_.Progress().lostVolumes.push_back(volume);
      if (!files_->Recover(volume, ++volumesSeen_, false)) {
        stop = true;
        break;
      }
    }
    return !found.empty();
  }

  struct ChunkResult {
    int64_t next = 0;   // where the next chunk starts
    bool stop = false;  // the scan cannot go on
  };
  enum class Outcome { kRejected, kCarved, kStop };

  // Candidates in the order they lie on the disk; at one offset, in search order. A rejected
  // candidate lets the search go on with the next signature, then the next offset.
  ChunkResult ScanChunk(SectorRange chunk) {
    // One sector more than the chunk, when there is one, so that a header starting near the
    // chunk's end is seen whole.
    const std::vector<uint8_t>* read =
        &chunks_.Read(setup_.sectors.From(chunk.First()).Head(chunk.Count() + 1));
    if (read->empty()) read = &chunks_.Read(chunk);
    const std::vector<uint8_t>& buffer = *read;
    const size_t chunkBytes =
        std::min(buffer.size(), static_cast<size_t>(chunk.Count() * setup_.sectorSize));
    bool stop = false;
    if (ReadLostVolumes(std::span<const uint8_t>(buffer).first(chunkBytes), chunk, stop)) {
      // Look again at this chunk, now that part of it may be covered.
      return {chunk.First(), stop};
    }

    for (std::optional<size_t> at = NextCandidate(buffer, 0, chunkBytes); at;
         at = NextCandidate(buffer, *at + 1, chunkBytes)) {
      // A format sizes a candidate once: its content decides the type, whichever of its rows
      // matched.
      tried_.clear();
      RowsAt(buffer, *at, rows_);
      for (const size_t row : rows_) {
        const FileSignature& signature = setup_.signatures[row];
        if (std::find(tried_.begin(), tried_.end(), signature.format) != tried_.end()) continue;
        tried_.push_back(signature.format);
        int64_t length = 0;
        switch (CarveCandidate(buffer, chunk.First(), *at, signature, length)) {
          case Outcome::kRejected:
            continue;
          case Outcome::kStop:
            return {chunk.End(), true};
          case Outcome::kCarved:
            return {std::max(chunk.First() + SectorsCovering(static_cast<int64_t>(*at) + length,
                                                             setup_.sectorSize),
                             chunk.First() + 1),
                    false};
        }
      }
      if (engine_.CancelRequested()) break;
    }
    return {chunk.End(), false};
  }

  // The first offset in [from, limit) where a header matches or a sector start passes an unheaded
  // format's test.
  std::optional<size_t> NextCandidate(std::span<const uint8_t> buffer, size_t from,
                                      size_t limit) const {
    const std::optional<size_t> header = index_.FindNext(buffer, from, limit);
    if (unheaded_.empty()) return header;
    const auto sector = static_cast<size_t>(setup_.sectorSize);
    for (size_t s = (from + sector - 1) / sector * sector; s < header.value_or(limit);
         s += sector) {
      if (!UnheadedRowsAt(buffer, s).empty()) return s;
    }
    return header;
  }

  std::vector<size_t> UnheadedRowsAt(std::span<const uint8_t> buffer, size_t at) const {
    std::vector<size_t> rows;
    if (at % static_cast<size_t>(setup_.sectorSize) != 0) return rows;
    for (const size_t row : unheaded_) {
      if (setup_.signatures[row].format->startsUnheaded(buffer.subspan(at))) rows.push_back(row);
    }
    return rows;
  }

  // The rows whose header matches at `at`, then those of the unheaded formats whose test passes.
  void RowsAt(std::span<const uint8_t> buffer, size_t at, std::vector<size_t>& rows) const {
    index_.RowsAt(buffer, at, rows);
    for (const size_t row : UnheadedRowsAt(buffer, at)) rows.push_back(row);
  }

  // For each selected format with files no header starts, the selected row of the type it sizes
  // them as.
  static std::vector<size_t> UnheadedRows(const std::vector<FileSignature>& rows) {
    std::vector<size_t> found;
    for (size_t i = 0; i < rows.size(); ++i) {
      const FileFormat* format = rows[i].format;
      if (format->startsUnheaded == nullptr || rows[i].extension != format->unheadedType) continue;
      const bool seen = std::any_of(found.begin(), found.end(),
                                    [&](size_t j) { return rows[j].format == format; });
      if (!seen) found.push_back(i);
    }
    return found;
  }

  // Sizes the candidate at `at` and, when it is long enough, writes it out and reports it.
  // `length` receives the bytes from the header that the scan moves past.
  Outcome CarveCandidate(std::span<const uint8_t> buffer, int64_t chunkSector, size_t at,
                         const FileSignature& signature, int64_t& length) {
    const CarvedSize size =
        DetermineCarvedSize(engine_.CancelFlag(), buffer, at, signature, device_,
                            static_cast<uint64_t>(chunkSector), setup_.sectorSize, &memo_, &stops_);
    // The content names the type; a type the user did not select is not carved.
    const FileSignature* type = &signature;
    if (!size.extension.empty() && size.extension != signature.extension) {
      type = setup_.TypeRow(size.extension);
      if (type == nullptr) return Outcome::kRejected;
    }
    // The minimum bounds guesses; a file its structure proves whole is kept whatever its size.
    if (size.size <= 0 || (!size.proven && size.size < type->minSize)) return Outcome::kRejected;

    const std::string folder =
        outputDir_ + "/" + CategoryFolders[static_cast<size_t>(type->category)];
    const std::string stem =
        "rec_" + std::to_string(filesNamed_++) + "_" + std::to_string(chunkSector);
    const int64_t first = chunkSector + static_cast<int64_t>(at) / setup_.sectorSize;
    OutputFile out;
    std::optional<std::string> name;
    switch (FindEarlier(folder, stem + "." + type->extension, first, buffer, chunkSector, at, size,
                        length)) {
      case Earlier::kWhole:
        return Outcome::kCarved;
      case Earlier::kCancelled:
        return Outcome::kStop;
      case Earlier::kPartial:
        if (out.Create(folder + "/" + stem + "." + type->extension)) {
          name = stem + "." + type->extension;
        }
        break;
      case Earlier::kNone:
        break;
    }
    if (!name) name = CreateCarveFile(out, folder, stem, type->extension);
    if (!name) {
      // One file that cannot be created does not end the scan.
      engine_.Emit(Kind::Error,
                   "Failed to write output file: " + folder + "/" + stem + "." + type->extension);
      return Outcome::kRejected;
    }
    const std::string path = folder + "/" + *name;
    const Carve carve = carver_.Write(&out, path, buffer, chunkSector, at, size);
    if (carve.status != CarveStatus::Written) {
      // A full or failing output disk ends the scan.
      engine_.Emit(Kind::Error, "Failed to write output file: " + path);
      return Outcome::kStop;
    }
    ++filesWritten_;
    engine_.Emit(Kind::FileFound,
                 path + "|" + *name + "|" + std::to_string(carve.written) + "|Native");
    ManifestEntry entry;
    entry.file = std::string(CategoryFolders[static_cast<size_t>(type->category)]) + "/" + *name;
    entry.state = "unknown";
    entry.size = carve.written;
    entry.foundBy = "carving";
    const int64_t end = chunkSector + SectorsCovering(static_cast<int64_t>(at) +
                                                          std::max<int64_t>(carve.written, 1),
                                                      setup_.sectorSize);
    entry.sectors = {{first, end - first}};
    entry.sha256 = carve.sha256;
    manifest_.Add(entry);
    length = carve.length;
    return Outcome::kCarved;
  }

  // What an interrupted run of this scan left under the name `name` in `folder` for the file
  // starting at sector `first`. The names carves take follow from where the scan is, so a resumed
  // scan gives a file the name the interrupted run gave it.
  enum class Earlier {
    kNone,
    kWhole,      // written whole, and in the manifest: not written again; `length` is set
    kPartial,    // being written when the process died: not in the manifest, to be replaced
    kCancelled,  // the scan was cancelled while looking
  };
  Earlier FindEarlier(const std::string& folder, const std::string& name, int64_t first,
                      std::span<const uint8_t> buffer, int64_t chunkSector, size_t at,
                      CarvedSize size, int64_t& length) {
    if (resume_ == nullptr) return Earlier::kNone;
    const std::string path = folder + "/" + name;
    const std::string file = folder.substr(outputDir_.size() + 1) + "/" + name;
    const auto kept = resume_->records.carved.find(file);
    if (kept != resume_->records.carved.end()) {
      if (kept->second.firstSector != first) return Earlier::kNone;
      // Carved again without writing, to move past it as the interrupted run did. A file a
      // cancel cut short differs, and is written again beside it.
      const Carve again = carver_.Write(nullptr, path, buffer, chunkSector, at, size);
      if (engine_.CancelRequested()) return Earlier::kCancelled;
      if (again.written != kept->second.size || again.sha256 != kept->second.sha256) {
        return Earlier::kNone;
      }
      length = again.length;
      return Earlier::kWhole;
    }
    // Only a file no manifest records and made after the progress was last saved: whatever else
    // is in the folder stays untouched.
    std::error_code failed;
    const auto made = std::filesystem::last_write_time(FileSystemPath(path), failed);
    if (failed || resume_->records.everyFile.count(file) != 0) return Earlier::kNone;
    // Some file systems keep times to two seconds.
    return made + std::chrono::seconds(2) >= resume_->savedAt ? Earlier::kPartial : Earlier::kNone;
  }

  void ReportProgress(int64_t sector) {
    if (lastProgress_ && sector - *lastProgress_ < kProgressEverySectors) return;
    engine_.Emit(
        Kind::Progress,
        FormatProgress(
            static_cast<double>(sector) / static_cast<double>(setup_.sectors.Count()) * 100.0,
            earlier_ + filesWritten_ + (files_ != nullptr ? files_->FilesWritten() : 0)));
    lastProgress_ = sector;
  }

  RecoveryEngine& engine_;
  Manifest& manifest_;
  SectorCoverage& coverage_;
  LostVolumeSearch* lost_;
  FileSystemPass* files_;
  int volumesSeen_;
  RawDevice& device_;
  const ScanSetup& setup_;
  const std::string& outputDir_;
  const HeaderIndex index_;
  // Where an end search stops because another file begins: the headers of three bytes or more.
  // Two-byte ones ("BM", MPEG frame syncs) turn up by chance every few hundred kilobytes of
  // compressed data, and would cut a large PDF short.
  const HeaderIndex stops_;
  const std::vector<size_t> unheaded_;
  // Reused from candidate to candidate: the rows matching at one offset, the formats tried there.
  std::vector<size_t> rows_;
  std::vector<const FileFormat*> tried_;
  Carver carver_;
  ChunkReader chunks_;
  SizingMemo memo_;
  ProgressKeeper& keeper_;
  const Resume* resume_;
  int64_t earlier_;  // files the scan wrote before it was interrupted
  int64_t filesNamed_;
  int64_t filesWritten_ = 0;
  bool reachedEnd_ = false;
  std::optional<int64_t> lastProgress_;
};

}  // namespace

std::string ApplyScanOption(ScanOptions& options, const std::string& text) {
  const size_t equals = text.find('=');
  const std::string name = text.substr(0, equals);
  const std::string value = equals == std::string::npos ? "" : text.substr(equals + 1);
  const auto flag = [&](bool& to) {
    if (value == "yes" || value == "on" || value == "true") {
      to = true;
    } else if (value == "no" || value == "off" || value == "false") {
      to = false;
    } else {
      return "Scan option " + name + " takes yes or no, not '" + value + "'";
    }
    return std::string();
  };
  if (name == "only") {
    options.only = value;
    return "";
  }
  if (name == "filesystems") return flag(options.fileSystems);
  if (name == "carve") return flag(options.carve);
  if (name == "resume") return flag(options.resume);
  return "Unknown scan option: " + text;
}

void RunScan(RecoveryEngine& engine, const std::string& drivePath, const std::string& outputDir,
             const ScanOptions& options) {
  engine.Emit(Kind::Status, "Starting native scan on " + drivePath);
  int64_t files = 0;
  // Every way out ends the same: the device closed (it lives inside this guard's scope), the
  // running flag cleared, then the number of files written.
  const ScopeExit finish([&engine, &files]() noexcept {
    engine.ClearRunning();
    try {
      engine.Emit(Kind::Finished, std::to_string(files));
    } catch (...) {
    }
  });

  std::optional<ScanSetup> setup = Prepare(engine, drivePath, outputDir, options);
  if (!setup) return;
  RawDevice& device = *setup->opened.device;
  const int64_t manifestBytes = EndManifestLine(outputDir);
  ScanProgress now = DescribeScan(device, setup->deviceBytes, setup->sectorSize, options.fileTypes,
                                  options.only, options.fileSystems, options.carve);
  std::optional<Resume> resume;
  if (options.resume) resume = FindResume(engine, outputDir, now);
  if (resume && resume->progress.complete) {
    files = resume->records.files;
    engine.Emit(Kind::Status, "This scan of the drive into this folder is already complete: " +
                                  std::to_string(files) +
                                  " files recovered. Choose another folder to scan it again.");
    return;
  }
  if (resume) {
    char percent[32];
    std::snprintf(percent, sizeof percent, "%.1f",
                  static_cast<double>(resume->progress.carvedUntil) /
                      static_cast<double>(setup->sectors.Count()) * 100.0);
    engine.Emit(Kind::Status, "Resuming the scan from sector " +
                                  std::to_string(resume->progress.carvedUntil) + " (" + percent +
                                  "%): " + std::to_string(resume->records.files) +
                                  " files already recovered.");
  } else {
    now.manifestStart = manifestBytes;
  }
  ProgressKeeper keeper(engine, outputDir, resume ? resume->progress : now);
  keeper.Save();
  Manifest manifest;
  std::string manifestError;
  if (!manifest.Open(outputDir, manifestError)) {
    engine.Emit(Kind::Error,
                std::string("Cannot write ") + Manifest::kFileName + ": " + manifestError);
  }
  const FileFilter filter{options.fileTypes, options.only};
  SectorCoverage coverage;
  FileSystemPass fileSystems(engine, device, outputDir, filter, manifest, coverage);
  if (resume) fileSystems.KeepWritten(&resume->records);
  std::vector<Volume> volumes;
  std::optional<LostVolumeSearch> lost;
  std::optional<ChunkScanner> scanner;
  try {
    bool go = true;
    if (options.fileSystems) {
      // While carving, the carve's own reading finds volumes no table lists wherever they lie;
      // without it, the usual partition starts of the whole source are probed.
      constexpr int64_t kProbeWhileCarving = int64_t{64} << 20;
      volumes = SourceVolumes(device, options.carve ? kProbeWhileCarving : 0, engine.CancelFlag());
      const bool wholeSource = volumes.size() == 1 && volumes[0].firstByte == 0;
      for (size_t i = 0; i < volumes.size() && go && !engine.CancelRequested(); ++i) {
        go = fileSystems.Recover(volumes[i], static_cast<int>(i + 1), wholeSource);
      }
      if (go && !engine.CancelRequested()) {
        keeper.Progress().fileSystemsDone = true;
        keeper.Save();
      }
      // Volumes the interrupted carve found: their files are not written again, but their sectors
      // are skipped again, and a volume it was still reading is read to its end.
      const std::vector<Volume> found = keeper.Progress().lostVolumes;
      for (size_t i = 0; i < found.size() && go && !engine.CancelRequested(); ++i) {
        go = fileSystems.Recover(found[i], static_cast<int>(volumes.size() + i + 1), false);
      }
      volumes.insert(volumes.end(), found.begin(), found.end());
    }
    if (go && options.carve && !setup->signatures.empty() && !engine.CancelRequested()) {
      engine.Emit(Kind::Status, "Starting Scan Loop...");
      if (options.fileSystems) lost.emplace(volumes, setup->deviceBytes, setup->sectorSize);
      scanner.emplace(engine, *setup, outputDir, manifest, coverage, lost ? &*lost : nullptr,
                      options.fileSystems ? &fileSystems : nullptr,
                      static_cast<int>(volumes.size()), keeper, resume ? &*resume : nullptr);
      scanner->Run();
    }
    keeper.Progress().complete =
        go && !engine.CancelRequested() && (!scanner || scanner->ReachedEnd());
  } catch (const std::exception& e) {
    engine.Emit(Kind::Error, std::string("CRASH in Loop: ") + e.what());
  } catch (...) {
    engine.Emit(Kind::Error, "CRASH in Loop: Unknown");
  }
  files = (resume ? resume->records.files : 0) + fileSystems.FilesWritten() +
          (scanner ? scanner->FilesWritten() : 0);
  keeper.Save();
}

}  // namespace quarvelin
