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
#include "damage_report.h"
#include "file_system_pass.h"
#include "formats/format.h"
#include "header_search.h"
#include "imaging/rescue_map.h"
#include "manifest.h"
#include "output_file.h"
#include "read_guard.h"
#include "recovered_names.h"
#include "recovery_engine.h"
#include "scan_progress.h"
#include "unreadable_stretch.h"
#include "work_option.h"

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
  // What is not whole: the file's stretches (offset, length) written as zeros and the sectors
  // behind them, and where it ends early because nothing more could be read.
  std::vector<std::pair<int64_t, int64_t>> unreadable;
  std::vector<SectorRange> unreadableSectors;
  std::optional<int64_t> cutAt;
};

// Adds `run` to sorted, disjoint `runs`, joining it to the last when they touch.
void AddRun(std::vector<SectorRange>& runs, SectorRange run) {
  if (run.Empty()) return;
  if (!runs.empty() && runs.back().End() >= run.First()) {
    const int64_t end = std::max(runs.back().End(), run.End());
    runs.back() = SectorRange(runs.back().First(), end - runs.back().First());
  } else {
    runs.push_back(run);
  }
}

// Writes the candidate at `at` in `buffer` (which starts at `bufferSector`, its sectors in `holes`
// unreadable and zeros) to `out`: the bytes the buffer holds, then the rest from the device in
// whole-sector reads. An estimated size ends early at the first sector after the header where a
// selected signature's header begins, since another file starts there. Unreadable sectors become
// zeros; where nothing more can be read the file ends. Either is reported, so a damaged file never
// passes for a whole one. Without `out` nothing is written or reported: the carve is only measured
// and hashed.
class Carver {
 public:
  Carver(RecoveryEngine& engine, ReadGuard& device, const HeaderIndex& index, int32_t sectorSize,
         int64_t totalSectors)
      : engine_(engine),
        device_(device),
        index_(index),
        sectorSize_(sectorSize),
        totalSectors_(totalSectors) {}

  Carve Write(OutputFile* out, const std::string& path, std::span<const uint8_t> buffer,
              int64_t bufferSector, const std::vector<SectorRange>& holes, size_t at,
              CarvedSize size) {
    Carve carve;
    carve.length = size.size;
    const auto sector = static_cast<size_t>(sectorSize_);
    int64_t inBuffer = std::min<int64_t>(size.size, static_cast<int64_t>(buffer.size() - at));
    if (size.estimated) {
      for (size_t s = (at / sector + 1) * sector; static_cast<int64_t>(s - at) < inBuffer;
           s += sector) {
        if (index_.AnyMatchAt(buffer, s)) {
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
    const int64_t fileSector = bufferSector + static_cast<int64_t>(at / sector);
    const SectorRange inBufferSectors(
        fileSector, SectorsCovering(static_cast<int64_t>(at % sector) + inBuffer, sectorSize_));
    std::vector<SectorRange> zeros;
    for (const SectorRange& hole : holes) {
      const int64_t first = std::max(hole.First(), inBufferSectors.First());
      const int64_t end = std::min(hole.End(), inBufferSectors.End());
      if (first < end) AddRun(zeros, SectorRange(first, end - first));
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
      // On a failing drive one bad sector costs the file only its own bytes, and what the scan
      // already knows to be unreadable is not asked of the drive again.
      const GuardedRead read = device_.ReadAround(step, true);
      if (read.readable == 0) {
        // Nothing more can be read: the file keeps what came before, and the user learns it is
        // short.
        if (out != nullptr) {
          engine_.Emit(Kind::Status, "Read Error at sector " + std::to_string(step.First()) +
                                         ". File cut short: " + path);
        }
        carve.cutAt = step.First();
        break;
      }
      const std::vector<uint8_t>& data = read.bytes;
      int64_t take = std::min<int64_t>(want, static_cast<int64_t>(data.size()));
      bool cut = false;
      for (int64_t s = 0; size.estimated && s < take; s += sectorSize_) {
        if (index_.AnyMatchAt(data, static_cast<size_t>(s))) {
          take = s;
          cut = true;
          break;
        }
      }
      for (const SectorRange& run : read.unreadable) {
        if (run.First() >= step.First() + SectorsCovering(take, sectorSize_)) break;
        if (out != nullptr) {
          engine_.Emit(Kind::Status, "Read Error at sector " + std::to_string(run.First()) +
                                         ". Filling with zeros.");
        }
        AddRun(zeros, run.Head(SectorsCovering(take, sectorSize_) - (run.First() - step.First())));
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
    // Where the zeros lie in the file: its first byte is `at % sector` into its first sector.
    const int64_t skew = static_cast<int64_t>(at % sector);
    for (const SectorRange& run : zeros) {
      const int64_t first = std::max<int64_t>(0, (run.First() - fileSector) * sectorSize_ - skew);
      const int64_t end = std::min(carve.written, (run.End() - fileSector) * sectorSize_ - skew);
      if (first >= end) continue;
      carve.unreadable.emplace_back(first, end - first);
      const int64_t lastSector = fileSector + (skew + end - 1) / sectorSize_;
      carve.unreadableSectors.push_back(run.Head(lastSector + 1 - run.First()));
    }
    return carve;
  }

 private:
  RecoveryEngine& engine_;
  ReadGuard& device_;
  const HeaderIndex& index_;
  int32_t sectorSize_;
  int64_t totalSectors_;  // a read from here on fails because the device ends, not a bad sector
};

// Reads the scan's chunks. After a carve the next chunk starts inside the one just searched; the
// sectors both share are kept rather than read again, which on a disk dense with small files saves
// reading most of every chunk twice.
class ChunkReader {
 public:
  ChunkReader(ReadGuard& device, int32_t sectorSize) : device_(device), sectorSize_(sectorSize) {}

  // The sectors of `chunk`, or fewer at the end of the device; those that cannot be read are zeros
  // and listed in `Holes()`. A failed read is not read again in pieces: one pass over a failing
  // drive reads each stretch once. With `probeLast`, a failure of a read's last sector alone does
  // not cost the sectors before it (see `ReadGuard::ReadAround`).
  const std::vector<uint8_t>& Read(SectorRange chunk, bool probeLast) {
    const SectorRange held(start_, static_cast<int64_t>(buffer_.size()) / sectorSize_);
    if (chunk.First() > held.First() && held.Contains(chunk.First()) && chunk.End() > held.End()) {
      GuardedRead more = device_.ReadAround(chunk.From(held.End()), false, probeLast);
      const int64_t keep = held.End() - chunk.First();
      buffer_.erase(buffer_.begin(),
                    buffer_.begin() + (chunk.First() - held.First()) * sectorSize_);
      buffer_.resize(static_cast<size_t>(keep * sectorSize_));
      buffer_.insert(buffer_.end(), more.bytes.begin(), more.bytes.end());
      std::erase_if(holes_, [&](const SectorRange& hole) { return hole.End() <= chunk.First(); });
      for (SectorRange& hole : holes_) hole = hole.From(chunk.First());
      holes_.insert(holes_.end(), more.unreadable.begin(), more.unreadable.end());
    } else {
      GuardedRead whole = device_.ReadAround(chunk, false, probeLast);
      buffer_ = std::move(whole.bytes);
      holes_ = std::move(whole.unreadable);
    }
    start_ = chunk.First();
    return buffer_;
  }

  const std::vector<SectorRange>& Holes() const { return holes_; }

  // True when a sector of `part` (within the last chunk read) was read.
  bool AnyRead(SectorRange part) const {
    int64_t unread = 0;
    for (const SectorRange& hole : holes_) {
      unread += std::max<int64_t>(
          0, std::min(hole.End(), part.End()) - std::max(hole.First(), part.First()));
    }
    return unread < part.Count() &&
           start_ + SectorsCovering(static_cast<int64_t>(buffer_.size()), sectorSize_) >
               part.First();
  }

 private:
  ReadGuard& device_;
  int32_t sectorSize_;
  std::vector<uint8_t> buffer_;
  std::vector<SectorRange> holes_;  // sectors of `buffer_` that could not be read, in order
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
  // Sectors of an image its rescue map says were never read from the drive.
  std::vector<SectorRange> neverRead;

  // The first selected row of the type with that extension; null when it is not selected.
  const FileSignature* TypeRow(std::string_view extension) const {
    for (const FileSignature& row : signatures) {
      if (row.extension == extension) return &row;
    }
    return nullptr;
  }
};

// Reads the rescue map of the image being scanned: the sectors it does not mark finished were never
// read from the drive, so the image holds no data there, only what the imaging left (zeros). Reads
// touching them fail as they did on the drive, and files holding them are reported damaged. False,
// once the reason has been reported, when the map cannot be read or is not this image's.
bool ApplyRescueMap(RecoveryEngine& engine, const std::string& mapPath,
                    const std::string& drivePath, ScanSetup& setup) {
  std::string error;
  const std::optional<RescueMap> map = RescueMap::Load(mapPath, error);
  if (!map) {
    engine.Emit(Kind::Error, "Cannot read the rescue map " + mapPath + ": " +
                                 (error.empty() ? "there is no such file" : error));
    return false;
  }
  if (map->Size() != setup.deviceBytes) {
    engine.Emit(Kind::Error, "The rescue map " + mapPath + " describes " +
                                 std::to_string(map->Size()) + " bytes, but " + drivePath +
                                 " holds " + std::to_string(setup.deviceBytes) +
                                 ": it is not this image's map. Nothing was scanned.");
    return false;
  }
  const int64_t sectorSize = setup.sectorSize;
  for (const MapBlock& block : map->Blocks()) {
    if (block.status == BlockStatus::kFinished) continue;
    // A sector the map leaves partly unread holds zeros for that part: the whole of it counts.
    const int64_t first = block.pos / sectorSize;
    const int64_t end = SectorsCovering(block.End(), sectorSize);
    AddRun(setup.neverRead, SectorRange(first, end - first));
  }
  auto guarded = std::make_unique<ReadGuard>(std::move(setup.opened.device), setup.sectors.End());
  for (const SectorRange& never : setup.neverRead) {
    guarded->States().Set(never, SectorState::kBad);
  }
  setup.opened.device = std::move(guarded);
  return true;
}

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
  if (!options.map.empty() && !ApplyRescueMap(engine, options.map, drivePath, setup)) {
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
        guard_(*setup.opened.device, setup.sectors.End()),
        setup_(setup),
        outputDir_(outputDir),
        index_(setup.signatures),
        stops_(LongHeaders(setup.signatures)),
        unheaded_(UnheadedRows(setup.signatures)),
        carver_(engine, guard_, index_, setup.sectorSize, setup.sectors.End()),
        chunks_(guard_, setup.sectorSize),
        stretch_(setup.deviceBytes),
        keeper_(keeper),
        resume_(resume),
        earlier_(resume != nullptr ? resume->records.files : 0),
        filesNamed_(keeper.Progress().carveCounter) {
    memo_.deviceBytes = setup.deviceBytes;
    for (const SectorRange& never : setup.neverRead) guard_.States().Set(never, SectorState::kBad);
    // What an interrupted run of the scan could not read waits for the pass that reads around it.
    for (const ScanProgress::Unread& u : keeper.Progress().unread) {
      guard_.States().Set(SectorRange(u.first, u.count), static_cast<SectorState>(u.state));
    }
  }

  // Runs to the drive's end, a cancel, or an output disk that can take no more: a first pass that
  // reads every chunk once and moves fast over what cannot be read, a second that reads what the
  // first skipped and the edges of what failed, then the list of what could not be read.
  void Run() {
    const bool firstPassDone = FirstPass();
    if (!stopped_ && !engine_.CancelRequested()) SecondPass();
    ReportUnreadable();
    KeepUnread();
    // A cancel may have cut the last carve short: where it ended says nothing then.
    reachedEnd_ = firstPassDone && Going();
    if (reachedEnd_) {
      keeper_.Progress().carvedUntil = setup_.sectors.End();
      keeper_.Progress().carveCounter = filesNamed_;
    }
  }

  int64_t FilesWritten() const { return filesWritten_; }
  bool ReachedEnd() const { return reachedEnd_; }

 private:
  // Reads the drive from its first sector to its last, chunk by chunk. While chunks keep failing
  // it jumps further ahead each time, up to a cap, and back to one chunk once a read succeeds: a
  // dying stretch costs a few failed reads, not one for each of its chunks.
  // True when it reached the drive's end.
  bool FirstPass() {
    ScanProgress& progress = keeper_.Progress();
    const int64_t hundredth = setup_.sectors.Count() / 100;
    const int64_t maxSkip =
        std::max(kScanChunkSectors, std::min((int64_t{1} << 30) / setup_.sectorSize, hundredth));
    int64_t skip = 0;
    bool failing = false;
    int64_t sector = progress.carvedUntil;
    for (; sector < setup_.sectors.End() && !engine_.CancelRequested();) {
      if (!engine_.WaitWhilePaused()) break;
      // Everything before `sector` is done with: a scan stopped from here on goes on from here.
      progress.carvedUntil = sector;
      progress.carveCounter = filesNamed_;
      if (keeper_.Due()) KeepUnread();
      keeper_.SaveNowAndThen();
      const int64_t uncovered = coverage_.CoveredUntil(sector);
      if (uncovered != sector) {
        ReportProgress(sector);
        sector = uncovered;
        continue;
      }
      const SectorRange chunk = setup_.sectors.From(sector).Head(
          std::min(kScanChunkSectors, coverage_.NextCovered(sector) - sector));
      // Only where a bad stretch begins is its first sector worth telling apart from what comes
      // before; inside one, every read is another failure.
      const ChunkResult result = ScanChunk(chunk, !failing);
      ReportProgress(sector);
      if (result.stop) {
        stopped_ = true;
        break;
      }
      if (!result.unreadable) {
        failing = false;
        skip = 0;
        stretch_.Readable();
        sector = result.next;
        continue;
      }
      NothingReadable(chunk);
      sector = chunk.End();
      if (failing) {
        skip = skip == 0 ? kScanChunkSectors : std::min(skip * 2, maxSkip);
        const SectorRange skipped = setup_.sectors.From(sector).Head(skip);
        for (const SectorRange& gap : Unmarked(skipped)) {
          guard_.States().Set(gap, SectorState::kSkipped);
        }
        NothingReadable(skipped);
        sector = skipped.End();
      }
      failing = true;
    }
    return sector >= setup_.sectors.End() && !stopped_ && !engine_.CancelRequested();
  }

  // Reads what the first pass skipped, a chunk at a time from the end of each skipped stretch (a
  // drive whose bad area was entered forwards is kinder read from the other side), then the edges
  // of each stretch that failed, a sector at a time, and searches what could be read. The inside
  // of a failed stretch is not read sector by sector: on a dead stretch that would be a failed
  // read for each of its sectors.
  void SecondPass() {
    std::vector<MarkedRange> marked = guard_.States().All();
    const auto pending = [](const MarkedRange& m) {
      return m.state == SectorState::kSkipped || m.state == SectorState::kFailed;
    };
    if (std::none_of(marked.begin(), marked.end(), pending)) return;
    engine_.Emit(Kind::Status, "Reading around what could not be read...");
    for (auto it = marked.rbegin(); it != marked.rend() && Going(); ++it) {
      if (it->state != SectorState::kSkipped) continue;
      for (int64_t end = it->sectors.End(); end > it->sectors.First() && Going();
           end -= kScanChunkSectors) {
        const SectorRange unit = it->sectors.From(end - kScanChunkSectors)
                                     .Head(std::min(kScanChunkSectors, end - it->sectors.First()));
        guard_.States().Set(unit, std::nullopt);
        Search(unit);
      }
    }
    marked = guard_.States().All();
    for (const MarkedRange& m : marked) {
      if (!Going()) break;
      if (m.state != SectorState::kFailed) continue;
      for (const SectorRange& edge : guard_.Trim(m.sectors)) Search(edge);
    }
  }

  bool Going() const { return !stopped_ && !engine_.CancelRequested(); }

  // Puts what could not be read so far into the progress the scan keeps.
  void KeepUnread() {
    std::vector<ScanProgress::Unread>& unread = keeper_.Progress().unread;
    unread.clear();
    for (const MarkedRange& m : guard_.States().All()) {
      unread.push_back({m.sectors.First(), m.sectors.Count(), static_cast<int>(m.state)});
    }
  }

  // Searches `range` as the first pass does, without skipping.
  void Search(SectorRange range) {
    for (int64_t sector = range.First(); sector < range.End() && Going();) {
      if (!engine_.WaitWhilePaused()) break;
      const int64_t uncovered = coverage_.CoveredUntil(sector);
      if (uncovered != sector) {
        sector = uncovered;
        continue;
      }
      const SectorRange chunk = range.From(sector).Head(
          std::min(kScanChunkSectors, coverage_.NextCovered(sector) - sector));
      const ChunkResult result = ScanChunk(chunk, false);
      if (result.stop) stopped_ = true;
      sector = result.next;
    }
  }

  // The parts of `range` whose sectors have no state.
  std::vector<SectorRange> Unmarked(SectorRange range) const {
    std::vector<SectorRange> gaps;
    int64_t at = range.First();
    for (const MarkedRange& m : guard_.States().Within(range)) {
      if (m.sectors.First() > at) gaps.emplace_back(at, m.sectors.First() - at);
      at = m.sectors.End();
    }
    if (at < range.End()) gaps.emplace_back(at, range.End() - at);
    return gaps;
  }

  // Follows the stretch with nothing readable; tells the user at once when it becomes long, so
  // they can stop and image the drive before reading more of it.
  void NothingReadable(SectorRange sectors) {
    const int64_t bytes = sectors.ByteLength(setup_.sectorSize).value_or(INT64_MAX);
    if (!stretch_.Unreadable(sectors.First() * setup_.sectorSize, bytes)) return;
    char percent[32];
    std::snprintf(
        percent, sizeof percent, "%.1f%%",
        static_cast<double>(stretch_.Length()) / static_cast<double>(setup_.deviceBytes) * 100.0);
    engine_.Emit(Kind::Status,
                 "Nothing readable for " + SizeText(stretch_.Length()) + " from sector " +
                     std::to_string(stretch_.First() / setup_.sectorSize) + " (" + percent +
                     " of the drive): the drive may be failing. Imaging it first "
                     "is safer.");
  }

  // One line for each stretch that could not be read, the states of its sectors aside.
  void ReportUnreadable() {
    // Enough to see where a drive is failing; a dying one could have many thousands.
    constexpr size_t kMaxLines = 1000;
    std::vector<SectorRange> stretches;
    for (const MarkedRange& m : guard_.States().All()) {
      if (m.state != SectorState::kSkipped) AddRun(stretches, m.sectors);
    }
    int64_t restBytes = 0;
    for (size_t i = 0; i < stretches.size(); ++i) {
      if (i < kMaxLines) {
        engine_.Emit(Kind::Status, UnreadableStretchLine(stretches[i], setup_.sectorSize));
      } else {
        restBytes += stretches[i].ByteLength(setup_.sectorSize).value_or(0);
      }
    }
    if (stretches.size() > kMaxLines) {
      engine_.Emit(Kind::Status, "Unreadable: " + std::to_string(stretches.size() - kMaxLines) +
                                     " more stretches (" + SizeText(restBytes) +
                                     ") could not be read and were not searched.");
    }
  }

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
    int64_t next = 0;         // where the next chunk starts
    bool stop = false;        // the scan cannot go on
    bool unreadable = false;  // no sector of the chunk could be read
  };
  enum class Outcome { kRejected, kCarved, kStop };

  // Candidates in the order they lie on the disk; at one offset, in search order. A rejected
  // candidate lets the search go on with the next signature, then the next offset.
  ChunkResult ScanChunk(SectorRange chunk, bool probeLast) {
    // One sector more than the chunk, when there is one, so that a header starting near the
    // chunk's end is seen whole.
    const SectorRange withNext = setup_.sectors.From(chunk.First()).Head(chunk.Count() + 1);
    const std::vector<uint8_t>& buffer = chunks_.Read(withNext, probeLast && withNext != chunk);
    if (!chunks_.AnyRead(chunk)) return {chunk.End(), false, true};
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
        DetermineCarvedSize(engine_.CancelFlag(), buffer, at, signature, guard_,
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
    const Carve carve = carver_.Write(&out, path, buffer, chunkSector, chunks_.Holes(), at, size);
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
    if (!carve.unreadableSectors.empty()) {
      AddProblem(entry.problem, UnreadableSectorsProblem(carve.unreadableSectors));
    }
    if (carve.cutAt) {
      AddProblem(entry.problem,
                 "ends at sector " + std::to_string(*carve.cutAt) + ": the rest could not be read");
    }
    entry.unreadable = carve.unreadable;
    if (!entry.problem.empty()) engine_.Emit(Kind::Status, DamagedFileLine(path, entry.problem));
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
      const Carve again =
          carver_.Write(nullptr, path, buffer, chunkSector, chunks_.Holes(), at, size);
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
  ReadGuard guard_;  // every read of the carve goes through it
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
  UnreadableStretch stretch_;
  ProgressKeeper& keeper_;
  const Resume* resume_;
  int64_t earlier_;  // files the scan wrote before it was interrupted
  bool stopped_ = false;
  SizingMemo memo_;
  int64_t filesNamed_;
  int64_t filesWritten_ = 0;
  bool reachedEnd_ = false;
  std::optional<int64_t> lastProgress_;
};

}  // namespace

std::string ApplyScanOption(ScanOptions& options, const std::string& text) {
  const WorkOption option(text);
  const std::string& name = option.name;
  const std::string& value = option.value;
  const auto flag = [&option](bool& to) { return option.Flag("Scan option", to); };
  if (name == "only") {
    options.only = value;
    return "";
  }
  if (name == "filesystems") return flag(options.fileSystems);
  if (name == "carve") return flag(options.carve);
  if (name == "resume") return flag(options.resume);
  if (name == "map") {
    if (value.empty()) return "Scan option map needs the rescue map's path";
    options.map = value;
    return "";
  }
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
