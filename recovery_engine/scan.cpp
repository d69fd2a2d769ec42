#include "scan.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>

#include "carved_size.h"
#include "header_search.h"
#include "output_file.h"
#include "recovery_engine.h"
#include "salvage_read.h"

namespace quarvelin {
namespace {

constexpr int64_t kScanChunkSectors = 2048;
// A progress line at the start and then every 256,000 sectors of progress (every 125 chunks when
// no carve has shifted the chunk grid).
constexpr int64_t kProgressEverySectors = 256000;
constexpr int64_t kCopyBlockBytes = 1048576;

std::string FormatProgress(double percent, int64_t files) {
  char text[64];
  std::snprintf(text, sizeof text, "PROGRESS|%.1f|%lld", percent, static_cast<long long>(files));
  return text;
}

enum class CarveStatus { Written, CannotCreate, WriteFailed };

struct Carve {
  CarveStatus status = CarveStatus::Written;
  int64_t written = 0;  // bytes in the file
  int64_t length = 0;   // bytes from the header the scan moves past
};

// Writes the candidate at `at` in `buffer` (which starts at `bufferSector`) to `path`: the bytes the
// buffer holds, then the rest from the device in whole-sector reads. An estimated size ends early at
// the first sector after the header where a selected signature's header begins, since another file
// starts there. Unreadable sectors in the part read from the device become zeros; where nothing more
// can be read the file ends. Either is reported, so a damaged file never passes for a whole one.
class Carver {
 public:
  Carver(RecoveryEngine& engine, RawDevice& device, const HeaderIndex& index, int32_t sectorSize,
         int64_t totalSectors)
      : engine_(engine),
        device_(device),
        index_(index),
        sectorSize_(sectorSize),
        totalSectors_(totalSectors) {}

  Carve Write(const std::string& path, std::span<const uint8_t> buffer, int64_t bufferSector,
              size_t at, CarvedSize size) {
    Carve carve;
    carve.length = size.size;
    OutputFile out;
    if (!out.Create(path)) {
      carve.status = CarveStatus::CannotCreate;
      return carve;
    }
    int64_t inBuffer = std::min<int64_t>(size.size, static_cast<int64_t>(buffer.size() - at));
    if (size.estimated) {
      for (size_t s = (at / static_cast<size_t>(sectorSize_) + 1) * static_cast<size_t>(sectorSize_);
           static_cast<int64_t>(s - at) < inBuffer; s += static_cast<size_t>(sectorSize_)) {
        if (index_.MatchesAt(buffer, s) != 0) {
          inBuffer = carve.length = static_cast<int64_t>(s - at);
          break;
        }
      }
    }
    if (!out.Write(buffer.subspan(at, static_cast<size_t>(inBuffer)))) {
      carve.status = CarveStatus::WriteFailed;
      return carve;
    }

    int64_t copied = inBuffer;
    int64_t remaining = carve.length - inBuffer;
    int64_t sector = bufferSector + static_cast<int64_t>(buffer.size()) / sectorSize_;
    // Never past the device's last sector: a raw volume fails a read that runs over its end, and
    // the sectors beyond would come back as "bad" zeros padding the file.
    while (remaining > 0 && sector < totalSectors_ && !engine_.CancelRequested()) {
      // Whole sectors only: raw volumes refuse partial-sector reads; the surplus is dropped.
      const int64_t want = std::min(remaining, kCopyBlockBytes);
      const auto sectors = static_cast<uint32_t>(
          std::min(SectorsCovering(want, sectorSize_), totalSectors_ - sector));
      // On a failing drive one bad sector costs the file only its own bytes.
      const std::vector<uint8_t> data =
          ReadReportingBadSectors(engine_, device_, sector, sectors, sectorSize_);
      if (data.empty()) {
        // Nothing more can be read: the file keeps what came before, and the user learns it is short.
        engine_.Emit(NativeMessageKind::Status,
                     "Read Error at sector " + std::to_string(sector) + ". File cut short: " + path);
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
      if (!out.Write(std::span<const uint8_t>(data).first(static_cast<size_t>(take)))) {
        carve.status = CarveStatus::WriteFailed;
        return carve;
      }
      copied += take;
      remaining -= take;
      if (cut) {
        carve.length = copied;
        break;
      }
      sector += static_cast<int64_t>(data.size()) / sectorSize_;
      if (static_cast<int64_t>(data.size()) < static_cast<int64_t>(sectors) * sectorSize_) break;
    }
    carve.written = static_cast<int64_t>(out.BytesWritten());
    if (!out.Close()) carve.status = CarveStatus::WriteFailed;
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

  // Sectors [sector, sector + count), or fewer at the end of the device. A chunk that cannot be
  // read in one go (a failing drive's bad sectors) is read again in smaller pieces, down to single
  // sectors, and what stays unreadable becomes zeros: one bad sector must not lose every file that
  // starts in the chunk. Empty only when no sector of it can be read.
  const std::vector<uint8_t>& Read(int64_t sector, int64_t count) {
    ReadWhole(sector, count);
    if (buffer_.empty() && count > 1) buffer_ = ReadInPieces(device_, sector, count, sectorSize_);
    return buffer_;
  }

 private:
  void ReadWhole(int64_t sector, int64_t count) {
    const int64_t held = static_cast<int64_t>(buffer_.size()) / sectorSize_;
    if (sector > start_ && sector < start_ + held && sector + count > start_ + held) {
      const int64_t keep = start_ + held - sector;
      std::vector<uint8_t> more = device_.ReadDeviceSectors(
          start_ + held, static_cast<uint32_t>(count - keep), sectorSize_);
      if (!more.empty()) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + (sector - start_) * sectorSize_);
        buffer_.resize(static_cast<size_t>(keep * sectorSize_));
        buffer_.insert(buffer_.end(), more.begin(), more.end());
        start_ = sector;
        return;
      }
    }
    buffer_ = device_.ReadDeviceSectors(sector, static_cast<uint32_t>(count), sectorSize_);
    start_ = sector;
  }

  RawDevice& device_;
  int32_t sectorSize_;
  std::vector<uint8_t> buffer_;
  int64_t start_ = -1;
};

}  // namespace

void RunScan(RecoveryEngine& engine, const std::string& drivePath, const std::string& outputDir,
             const std::vector<std::string>& fileTypes) {
  using Kind = NativeMessageKind;
  engine.Emit(Kind::Status, "Starting native scan on " + drivePath);
  const auto end = [&engine](int64_t files) {
    engine.ClearRunning();
    engine.Emit(Kind::Finished, std::to_string(files));
  };

  OpenedDevice opened = engine.OpenDevice(drivePath);
  if (!opened.device) {
    engine.Emit(Kind::Error, "Failed to open drive (" + drivePath + "). Error code: " +
                                 std::to_string(opened.error) + ". Run as Administrator?");
    end(0);
    return;
  }
  RawDevice& device = *opened.device;
  const int64_t driveSize = device.QueryDeviceSize();
  const int32_t bytesPerSector = device.QuerySectorSize();
  // A trailing partial sector (an image file whose length is not a whole number of sectors) is
  // scanned too.
  const int64_t totalSectors = driveSize > 0 ? SectorsCovering(driveSize, bytesPerSector) : 0;
  if (totalSectors == 0) {
    engine.Emit(Kind::Error, "Error: Could not determine drive size. Drive may be inaccessible.");
    opened.device.reset();
    end(0);
    return;
  }
  if (engine.HasCallback()) {
    engine.Emit(Kind::Status, "Drive Size: " + std::to_string(driveSize / 1048576) +
                                  " MB. BPS: " + std::to_string(bytesPerSector) +
                                  ". Total Sectors: " + std::to_string(totalSectors));
  }
  // Recovered files written onto the drive being scanned would overwrite the very data sought.
  if (OutputIsOnDevice(outputDir, drivePath)) {
    engine.Emit(Kind::Error, "Output folder is on the drive being scanned. Choose another drive.");
    opened.device.reset();
    end(0);
    return;
  }

  // A selection of nothing but unknown types would read the whole drive to find nothing.
  const std::vector<FileSignature> signatures = LoadSignatures(fileTypes);
  if (signatures.empty()) {
    std::string requested;
    for (const std::string& type : fileTypes) {
      if (!requested.empty()) requested += ", ";
      requested += type;
    }
    engine.Emit(Kind::Error, "No known file type selected: " + requested);
    opened.device.reset();
    end(0);
    return;
  }

  try {
    namespace fs = std::filesystem;
    const fs::path root = FileSystemPath(outputDir);
    if (!fs::exists(root)) fs::create_directories(root);
    for (const char* folder : CategoryFolders) fs::create_directories(root / folder);
  } catch (const std::exception& e) {
    engine.Emit(Kind::Error, std::string("FS Error: ") + e.what());
    opened.device.reset();
    end(0);
    return;
  }

  engine.Emit(Kind::Status, "Directories created. Loading signatures...");
  const HeaderIndex index(signatures);
  engine.Emit(Kind::Status, "Starting Scan Loop...");

  Carver carver(engine, device, index, bytesPerSector, totalSectors);
  SizingMemo memo;
  memo.deviceBytes = driveSize;
  ChunkReader chunks(device, bytesPerSector);
  const std::atomic<bool>* cancel = engine.CancelFlag();
  int64_t filesNamed = 0;
  int64_t filesWritten = 0;
  std::optional<int64_t> lastProgress;
  try {
    for (int64_t sector = 0; sector < totalSectors && !engine.CancelRequested();) {
      if (!engine.WaitWhilePaused()) break;
      const int64_t count = std::min(kScanChunkSectors, totalSectors - sector);
      // One sector more than the chunk, when there is one, so that a header starting near the
      // chunk's end is seen whole.
      const std::vector<uint8_t>* read = &chunks.Read(sector, count + (sector + count < totalSectors));
      if (read->empty()) read = &chunks.Read(sector, count);
      const std::vector<uint8_t>& buffer = *read;
      const size_t chunkBytes =
          std::min(buffer.size(), static_cast<size_t>(count * bytesPerSector));

      int64_t next = sector + kScanChunkSectors;
      bool stop = false;
      // Candidates in the order they lie on the disk; at one offset, in search order. A rejected
      // candidate lets the search go on with the next signature, then the next offset.
      for (std::optional<size_t> at = index.FindNext(buffer, 0, chunkBytes); at && !stop;
           at = index.FindNext(buffer, *at + 1, chunkBytes)) {
        bool carved = false;
        for (uint64_t matches = index.MatchesAt(buffer, *at); matches != 0 && !carved && !stop;
             matches &= matches - 1) {
          const FileSignature& signature = signatures[static_cast<size_t>(__builtin_ctzll(matches))];
          const CarvedSize size = DetermineCarvedSize(cancel, buffer, *at, signature, device,
                                                      static_cast<uint64_t>(sector), bytesPerSector,
                                                      &memo);
          if (size.size < signature.minSize) continue;

          const std::string name = "rec_" + std::to_string(filesNamed++) + "_" +
                                   std::to_string(sector) + "." + signature.extension;
          const std::string path = outputDir + "/" +
                                   CategoryFolders[static_cast<size_t>(signature.category)] + "/" +
                                   name;
          const Carve carve = carver.Write(path, buffer, sector, *at, size);
          if (carve.status != CarveStatus::Written) {
            engine.Emit(Kind::Error, "Failed to write output file: " + path);
            // A full or failing output disk ends the scan; one file that cannot be created does not.
            stop = carve.status == CarveStatus::WriteFailed;
            continue;
          }
          ++filesWritten;
          engine.Emit(Kind::FileFound,
                      path + "|" + name + "|" + std::to_string(carve.written) + "|Native");
          next = std::max(sector + SectorsCovering(static_cast<int64_t>(*at) + carve.length,
                                                    bytesPerSector),
                          sector + 1);
          carved = true;
        }
        if (carved || engine.CancelRequested()) break;
      }

      if (!lastProgress || sector - *lastProgress >= kProgressEverySectors) {
        engine.Emit(Kind::Progress,
                    FormatProgress(static_cast<double>(sector) /
                                       static_cast<double>(totalSectors) * 100.0,
                                   filesWritten));
        lastProgress = sector;
      }
      if (stop) break;
      sector = next;
    }
  } catch (const std::exception& e) {
    engine.Emit(Kind::Error, std::string("CRASH in Loop: ") + e.what());
  } catch (...) {
    engine.Emit(Kind::Error, "CRASH in Loop: Unknown");
  }
  opened.device.reset();
  end(filesWritten);
}

}  // namespace quarvelin
