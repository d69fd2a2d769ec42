#include "disk_image.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "common/scope_guard.h"
#include "imaging/image_checksums.h"
#include "imaging/image_file.h"
#include "imaging/rescue.h"
#include "imaging/rescue_map.h"
#include "recovery_engine.h"
#include "unreadable_stretch.h"
#include "work_option.h"

namespace quarvelin {
namespace {

using Kind = NativeMessageKind;
using Clock = std::chrono::steady_clock;

constexpr double kReportIntervalSeconds = 0.5;
// The map is stored after reads so that a rescue killed at any moment re-reads (almost) nothing it
// had, taking at most this share of the time; and flushed to the disk itself, with the image, this
// often, against power cuts.
constexpr double kSavingShare = 0.1;
constexpr double kDurableEverySeconds = 30.0;
// Unreadable stretches listed one line each up to this many; the map holds them all.
constexpr int kMostListedErrors = 1000;
// Compared between the source and the image when a rescue is resumed.
constexpr int64_t kCheckBytes = 65536;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

std::string Fixed(double value) {
  char text[48];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// The source opened and measured, the map read or made, and the image file open.
struct ImageJob {
  OpenedDevice opened;
  int32_t sectorSize = 0;
  int64_t deviceBytes = 0;
  std::string mapPath;
  std::optional<RescueMap> map;
  ImageFile image;
  bool resumed = false;
};

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool FileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(FileSystemPath(path), error);
}

// True when the first finished stretch of the map holds the same bytes on the source and in the
// image, or when that cannot be told because the source fails there now.
bool ImageMatchesSource(ImageJob& job) {
  const std::optional<MapBlock> block = job.map->NextBlock(0, BlockStatus::kFinished);
  if (!block) return true;
  const int64_t sector = job.sectorSize;
  const int64_t first = (block->pos + sector - 1) / sector;
  const int64_t end = std::min(block->End() / sector, first + kCheckBytes / sector);
  if (end <= first) return true;
  const std::vector<uint8_t> source = job.opened.device->ReadDeviceSectors(
      first, static_cast<uint32_t>(end - first), job.sectorSize);
  if (source.empty()) return true;
  std::vector<uint8_t> image(source.size());
  const int64_t got = job.image.ReadAt(first * sector, image);
  return got == static_cast<int64_t>(source.size()) && image == source;
}

// Reads the map beside the image and checks that it and the image belong to this source. False,
// once the reason has been reported, when the rescue cannot go on from it.
bool ResumeFromMap(RecoveryEngine& engine, ImageJob& job, const std::string& outputPath) {
  std::string error;
  job.map = RescueMap::Load(job.mapPath, error);
  if (!job.map) {
    engine.Emit(Kind::Error, "Cannot use the rescue map " + job.mapPath + ": " + error +
                                 ". Move it away to start the imaging over.");
    return false;
  }
  if (job.map->Size() != job.deviceBytes) {
    engine.Emit(Kind::Error, "The rescue map " + job.mapPath + " is of a source of " +
                                 std::to_string(job.map->Size()) + " bytes, not of this one (" +
                                 std::to_string(job.deviceBytes) +
                                 " bytes). Choose another image file or move the map away.");
    return false;
  }
  if (!job.image.OpenExisting(outputPath)) {
    engine.Emit(Kind::Error, "Cannot open the image " + outputPath +
                                 " that the rescue map describes: " + job.image.LastError());
    return false;
  }
  if (job.image.Length() > job.deviceBytes || !ImageMatchesSource(job)) {
    engine.Emit(Kind::Error, "The image " + outputPath + " and its rescue map " + job.mapPath +
                                 " do not hold what this source holds: they are of another drive. "
                                 "Choose another image file.");
    return false;
  }
  job.resumed = true;
  const RescueMap& map = *job.map;
  engine.Emit(Kind::Status,
              "Resuming the imaging recorded in " + job.mapPath + ": " +
                  Fixed(static_cast<double>(map.Bytes(BlockStatus::kFinished)) / 1048576.0) +
                  " MB rescued, " +
                  Fixed(static_cast<double>(map.Size() - map.Bytes(BlockStatus::kFinished) -
                                            map.Bytes(BlockStatus::kNonTried)) /
                        1048576.0) +
                  " MB failed so far, " +
                  Fixed(static_cast<double>(map.Bytes(BlockStatus::kNonTried)) / 1048576.0) +
                  " MB not tried yet.");
  return true;
}

// Opens and measures the source, refuses an output that would destroy it, and makes or resumes the
// rescue. Nothing, once the reason has been reported, when imaging cannot go ahead.
std::unique_ptr<ImageJob> Prepare(RecoveryEngine& engine, const std::string& sourcePath,
                                  const std::string& outputPath, const ImageOptions& options) {
  auto job = std::make_unique<ImageJob>();
  job->opened = engine.OpenDevice(sourcePath);
  if (!job->opened.device) {
    engine.Emit(Kind::Error, "Failed to open source drive. Check permissions.");
    return nullptr;
  }
  // The size is known before the output is touched, so a source we cannot measure never truncates
  // an existing file into an empty "complete" image.
  job->sectorSize = job->opened.device->QuerySectorSize();
  job->deviceBytes = job->opened.device->QueryDeviceSize();
  if (job->deviceBytes <= 0) {
    engine.Emit(Kind::Error, "Failed to determine source size.");
    return nullptr;
  }
  job->mapPath = options.map.empty() ? outputPath + ".map" : options.map;
  // Creating the output truncates it: an output that is the source, or lies on the drive being
  // imaged, would destroy what the image is meant to save.
  if (SameFile(outputPath, sourcePath) || OutputIsOnDevice(outputPath, sourcePath) ||
      SameFile(job->mapPath, sourcePath) || OutputIsOnDevice(job->mapPath, sourcePath)) {
    engine.Emit(Kind::Error, "Output file is on the drive being imaged. Choose another drive.");
    return nullptr;
  }
  if (SameFile(job->mapPath, outputPath)) {
    engine.Emit(Kind::Error, "The rescue map cannot be the image file itself.");
    return nullptr;
  }
  const bool mapThere = FileExists(job->mapPath) || FileExists(job->mapPath + ".new");
  using Resume = ImageOptions::Resume;
  if (mapThere && options.resume == Resume::kRefuse) {
    engine.Emit(Kind::Error, "A rescue map is already at " + job->mapPath +
                                 ": resume that imaging, or move the map away to start over.");
    return nullptr;
  }
  if (!mapThere && options.resume == Resume::kRequire) {
    engine.Emit(Kind::Error, "Nothing to resume: there is no rescue map at " + job->mapPath + ".");
    return nullptr;
  }
  if (mapThere) {
    if (!ResumeFromMap(engine, *job, outputPath)) return nullptr;
  } else {
    if (!job->image.Create(outputPath)) {
      engine.Emit(Kind::Error, "Failed to create output file: " + outputPath);
      return nullptr;
    }
    job->map.emplace(job->deviceBytes);
  }
  if (engine.HasCallback()) {
    engine.Emit(Kind::Status, "Source Size: " + std::to_string(job->deviceBytes / 1048576) + " MB");
  }
  // Every sector has its place from the start; what is never read stays zeros (holes where the
  // file system has them). An output that cannot be sized (a device) has its own size.
  if (job->image.Length() < job->deviceBytes) job->image.SetLength(job->deviceBytes);
  return job;
}

// Progress lines at most every half second; the settled share of the source (read, or known bad)
// as the percentage, so it only grows from phase to phase.
class ProgressReporter {
 public:
  ProgressReporter(RecoveryEngine& engine, const RescueMap& map, bool detailed)
      : engine_(engine), map_(map), detailed_(detailed), rescuedAtReport_(Rescued()) {}

  void Report(bool force = false) {
    const auto now = Clock::now();
    const double elapsed = Seconds(now - lastReport_);
    if (!force && elapsed <= kReportIntervalSeconds) return;
    const int64_t rescued = Rescued();
    const double speed =
        elapsed > 0 ? static_cast<double>(rescued - rescuedAtReport_) / 1048576.0 / elapsed : 0.0;
    const int64_t open = map_.Bytes(BlockStatus::kNonTried) + map_.Bytes(BlockStatus::kNonTrimmed) +
                         map_.Bytes(BlockStatus::kNonScraped);
    const double percent =
        static_cast<double>(map_.Size() - open) / static_cast<double>(map_.Size()) * 100.0;
    std::string line = "PROGRESS|";
    line += Fixed(percent);
    line += '|';
    line += Fixed(speed);
    if (detailed_) {
      for (const int64_t bytes :
           {rescued, map_.Size() - rescued - map_.Bytes(BlockStatus::kNonTried),
            map_.Bytes(BlockStatus::kNonTried)}) {
        line += '|';
        line += std::to_string(bytes);
      }
      line += '|';
      line += static_cast<char>(map_.phase);
    }
    engine_.Emit(Kind::Progress, line);
    rescuedAtReport_ = rescued;
    lastReport_ = now;
  }

 private:
  int64_t Rescued() const { return map_.Bytes(BlockStatus::kFinished); }

  RecoveryEngine& engine_;
  const RescueMap& map_;
  const bool detailed_;
  int64_t rescuedAtReport_;
  Clock::time_point lastReport_ = Clock::now();
};

// Tells the user once when the source has given nothing over a long stretch (a dead drive, or one
// that dropped off its bus), so the interface can ask whether to go on.
class DeadStretchWatch {
 public:
  DeadStretchWatch(RecoveryEngine& engine, int64_t size, int32_t sectorSize)
      : engine_(engine),
        sectorSize_(sectorSize),
        size_(size),
        threshold_(LongUnreadableBytes(size)) {}

  void Read(bool succeeded, int64_t position) {
    if (succeeded) {
      start_.reset();
      told_ = false;
      return;
    }
    if (!start_) start_ = position;
    const int64_t span = position > *start_ ? position - *start_ : *start_ - position;
    if (told_ || span < threshold_) return;
    told_ = true;
    engine_.Emit(Kind::Status,
                 "Nothing readable for " + std::to_string(span / 1048576) + " MB from sector " +
                     std::to_string(std::min(*start_, position) / sectorSize_) + " (" +
                     Fixed(static_cast<double>(span) / static_cast<double>(size_) * 100.0) +
                     "% of the drive): the drive may be failing or disconnected.");
  }

 private:
  RecoveryEngine& engine_;
  int64_t sectorSize_;
  int64_t size_;
  int64_t threshold_;
  std::optional<int64_t> start_;
  bool told_ = false;
};

// The phase as the other tool's maps say it in their heading.
const char* PhaseText(RescuePhase phase) {
  switch (phase) {
    case RescuePhase::kCopying:
      return "Copying non-tried blocks";
    case RescuePhase::kTrimming:
      return "Trimming failed blocks";
    case RescuePhase::kScraping:
      return "Scraping failed blocks";
    case RescuePhase::kRetrying:
      return "Retrying bad sectors";
    case RescuePhase::kFinished:
      return "Finished";
  }
  return "";
}

std::vector<std::string> MapComments(const std::string& sourcePath, const std::string& outputPath,
                                     const RescueMap& map) {
  return {"Mapfile. Created by Quarvelin", "Source: " + sourcePath, "Image: " + outputPath,
          std::string(PhaseText(map.phase)) + "... Pass " + std::to_string(map.pass)};
}

// Keeps the map on disk in step with the image: after every read, and flushed with the image to the
// disk itself every half minute and at the end.
class MapKeeper {
 public:
  MapKeeper(RecoveryEngine& engine, ImageJob& job, const std::string& sourcePath,
            const std::string& outputPath)
      : engine_(engine), job_(job), sourcePath_(sourcePath), outputPath_(outputPath) {}

  bool Save(bool durable) {
    if (durable && !job_.image.Flush()) {
      Report("Imaging Error: Cannot write to " + outputPath_ + ": " + job_.image.LastError());
      return false;
    }
    std::string error;
    if (!job_.map->Save(job_.mapPath, MapComments(sourcePath_, outputPath_, *job_.map), durable,
                        error)) {
      Report("Warning: cannot save the rescue map " + job_.mapPath + ": " + error +
             ". The imaging goes on, but cannot be resumed from where it stops.");
      return false;
    }
    reported_ = false;
    if (durable) lastDurable_ = Clock::now();
    return true;
  }

  // Saving takes a fraction of a millisecond: after every read of a failing drive (reads there
  // take far longer), and as often as a tenth of the time allows where reads are fast.
  void AfterRead() {
    const auto now = Clock::now();
    const bool durable = Seconds(now - lastDurable_) > kDurableEverySeconds;
    if (!durable && Seconds(saving_) > kSavingShare * Seconds(now - start_)) return;
    Save(durable);
    saving_ += Clock::now() - now;
  }

 private:
  // A map that cannot be stored is said once, not after every read; the imaging goes on.
  void Report(const std::string& text) {
    if (reported_) return;
    reported_ = true;
    engine_.Emit(Kind::Status, text);
  }

  RecoveryEngine& engine_;
  ImageJob& job_;
  const std::string& sourcePath_;
  const std::string& outputPath_;
  const Clock::time_point start_ = Clock::now();
  Clock::time_point lastDurable_ = start_;
  Clock::duration saving_{};
  bool reported_ = false;
};

// Every stretch not read at the end, as the interface knows these lines.
void ReportUnread(RecoveryEngine& engine, const RescueMap& map, int32_t sectorSize) {
  int listed = 0;
  int64_t more = 0;
  for (const MapBlock& block : map.Blocks()) {
    if (block.status == BlockStatus::kFinished) continue;
    if (listed++ >= kMostListedErrors) {
      ++more;
      continue;
    }
    engine.Emit(Kind::Status, "Read Error at sector " + std::to_string(block.pos / sectorSize) +
                                  ". Filling with zeros.");
  }
  if (more > 0) {
    engine.Emit(Kind::Status, "... and " + std::to_string(more) +
                                  " more unreadable stretches, all listed in the rescue map.");
  }
}

std::string Summary(const RescueMap& map) {
  const auto mb = [](int64_t bytes) { return Fixed(static_cast<double>(bytes) / 1048576.0); };
  const int64_t rescued = map.Bytes(BlockStatus::kFinished);
  std::string text =
      "Rescued " + mb(rescued) + " MB of " + mb(map.Size()) + " MB (" +
      Fixed(map.Size() > 0 ? static_cast<double>(rescued) / static_cast<double>(map.Size()) * 100.0
                           : 100.0) +
      "%)";
  if (map.Bytes(BlockStatus::kBadSector) > 0) {
    text += "; " + mb(map.Bytes(BlockStatus::kBadSector)) + " MB in bad sectors";
  }
  const int64_t unscraped =
      map.Bytes(BlockStatus::kNonScraped) + map.Bytes(BlockStatus::kNonTrimmed);
  if (unscraped > 0) text += "; " + mb(unscraped) + " MB of failed areas not scraped";
  if (map.Bytes(BlockStatus::kNonTried) > 0) {
    text += "; " + mb(map.Bytes(BlockStatus::kNonTried)) + " MB not tried";
  }
  return text + ".";
}

bool WriteChecksumFile(const std::string& path, const std::string& hex,
                       const std::string& imagePath) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const std::string line = hex + "  " + BaseName(imagePath) + "\n";
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  return std::fclose(file) == 0 && written;
}

// Takes the image's checksums, says them and stores them beside it as the usual tools write them.
void ReportChecksums(RecoveryEngine& engine, ImageJob& job, ImageChecksums& sums,
                     const std::string& outputPath) {
  if (!sums.Finish(job.image, job.deviceBytes, engine.CancelFlag())) {
    if (!engine.CancelRequested()) {
      engine.Emit(Kind::Error,
                  "Cannot read the image back for its checksums: " + job.image.LastError());
    }
    return;
  }
  engine.Emit(Kind::Status, "Image SHA-256: " + sums.Sha256Hex());
  engine.Emit(Kind::Status, "Image MD5: " + sums.Md5Hex());
  if (!WriteChecksumFile(outputPath + ".sha256", sums.Sha256Hex(), outputPath) ||
      !WriteChecksumFile(outputPath + ".md5", sums.Md5Hex(), outputPath)) {
    engine.Emit(Kind::Status, "Warning: cannot write the checksum files beside " + outputPath);
  }
}

}  // namespace

std::string ApplyImageOption(ImageOptions& options, const std::string& text) {
  const WorkOption option(text);
  const std::string& name = option.name;
  const std::string& value = option.value;
  const auto flag = [&option](bool& to) { return option.Flag("Imaging option", to); };
  if (name == "map") {
    options.map = value;
    return value.empty() ? "Imaging option map needs a file" : "";
  }
  if (name == "resume") {
    using Resume = ImageOptions::Resume;
    if (value == "auto") {
      options.resume = Resume::kAuto;
    } else {
      bool resume = false;
      std::string error = flag(resume);
      if (!error.empty()) return error + " (or auto)";
      options.resume = resume ? Resume::kRequire : Resume::kRefuse;
    }
    return "";
  }
  if (name == "retries") {
    int retries = -1;
    if (!value.empty() && value.size() <= 4 &&
        value.find_first_not_of("0123456789") == std::string::npos) {
      retries = std::stoi(value);
    }
    if (retries < 0 || retries > 1000) {
      return "Imaging option retries takes a number of passes from 0 to 1000, not '" + value + "'";
    }
    options.retries = retries;
    return "";
  }
  if (name == "scrape") return flag(options.scrape);
  if (name == "reverse") return flag(options.reverse);
  if (name == "checksums") return flag(options.checksums);
  if (name == "progress" && value == "detailed") {
    options.detailedProgress = true;
    return "";
  }
  return "Unknown imaging option: " + text;
}

void RunDiskImage(RecoveryEngine& engine, const std::string& sourcePath,
                  const std::string& outputPath, const ImageOptions& options) {
  engine.Emit(Kind::Status, "Starting Disk Imaging on " + sourcePath);
  // What the run ends with, sent once the image and the source are closed and the running flag is
  // down: nothing after a failure (its error said it all), the cancel notice, or the completion.
  std::optional<std::pair<Kind, std::string>> closing;
  const ScopeExit finish([&engine, &closing]() noexcept {
    engine.ClearRunning();
    try {
      if (closing) engine.Emit(closing->first, closing->second);
    } catch (...) {
    }
  });

  const std::unique_ptr<ImageJob> job = Prepare(engine, sourcePath, outputPath, options);
  if (!job) return;
  RescueMap& map = *job->map;
  MapKeeper keeper(engine, *job, sourcePath, outputPath);
  ProgressReporter progress(engine, map, options.detailedProgress);
  DeadStretchWatch dead(engine, job->deviceBytes, job->sectorSize);
  ImageChecksums sums;
  std::string writeError;
  RescueHooks hooks;
  hooks.write = [&](int64_t offset, std::span<const uint8_t> bytes) {
    if (!job->image.WriteAt(offset, bytes)) {
      writeError = job->image.LastError();
      return false;
    }
    if (options.checksums) sums.Written(offset, bytes);
    return true;
  };
  hooks.keepGoing = [&engine] { return !engine.CancelRequested() && engine.WaitWhilePaused(); };
  hooks.afterRead = [&](bool read) {
    keeper.AfterRead();
    if (map.phase == RescuePhase::kCopying && map.pass == 1) dead.Read(read, map.position);
    progress.Report();
  };
  hooks.phase = [&engine](const std::string& line) { engine.Emit(Kind::Status, line); };
  RescueSettings settings;
  settings.scrape = options.scrape;
  settings.retries = options.retries;
  settings.reverse = options.reverse;

  RescueEnd end = RescueEnd::kDone;
  try {
    keeper.Save(false);
    end = RunRescue(*job->opened.device, job->sectorSize, map, settings, hooks);
  } catch (const std::exception& e) {
    engine.Emit(Kind::Error, std::string("Imaging Error: ") + e.what());
  }
  job->opened.device.reset();
  // After a failed write the image cannot be flushed either; the map still says what it holds.
  const bool mapSaved = keeper.Save(end != RescueEnd::kWriteFailed);
  if (end == RescueEnd::kWriteFailed) {
    engine.Emit(Kind::Error, "Imaging Error: Cannot write to " + outputPath + ": " + writeError);
    return;
  }
  if (end == RescueEnd::kCancelled || engine.CancelRequested()) {
    job->image.Close();
    closing.emplace(Kind::Status, "Imaging Cancelled.");
    return;
  }
  progress.Report(true);
  ReportUnread(engine, map, job->sectorSize);
  engine.Emit(Kind::Status, Summary(map) + (mapSaved ? " Rescue map: " + job->mapPath : ""));
  // Unreadable sectors at the very end were never written: the image still has its full length.
  if (job->image.IsRegularFile() && job->image.Length() < job->deviceBytes &&
      !job->image.SetLength(job->deviceBytes)) {
    engine.Emit(Kind::Error,
                "Imaging Error: Cannot write to " + outputPath + ": " + job->image.LastError());
    return;
  }
  if (options.checksums) ReportChecksums(engine, *job, sums, outputPath);
  if (!job->image.Close()) {
    engine.Emit(Kind::Error,
                "Imaging Error: Cannot write to " + outputPath + ": " + job->image.LastError());
    return;
  }
  if (engine.CancelRequested()) {
    closing.emplace(Kind::Status, "Imaging Cancelled.");
    return;
  }
  closing.emplace(Kind::Finished, "Imaging Complete. " +
                                      std::to_string(job->deviceBytes / 1048576) + " MB copied.");
}

}  // namespace quarvelin
