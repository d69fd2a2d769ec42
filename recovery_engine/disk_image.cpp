#include "disk_image.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "common/scope_guard.h"
#include "common/sector_range.h"
#include "output_file.h"
#include "recovery_engine.h"
#include "salvage_read.h"

namespace quarvelin {
namespace {

using Kind = NativeMessageKind;
using Clock = std::chrono::steady_clock;

constexpr int64_t kStepSectors = 2048;
constexpr int64_t kReportEverySectors = 5 * kStepSectors;
constexpr double kReportIntervalSeconds = 0.5;
constexpr double kBytesToMegabytes = 9.5367431640625e-07;

std::string FormatProgress(double percent, double megabytesPerSecond) {
  char text[96];
  std::snprintf(text, sizeof text, "PROGRESS|%.1f|%.1f", percent, megabytesPerSecond);
  return text;
}

// The source opened and measured, and the image file created.
struct ImageJob {
  OpenedDevice opened;
  int32_t sectorSize = 0;
  int64_t deviceBytes = 0;
  SectorRange sectors;  // the whole source
  OutputFile output;
};

// Opens and measures the source, refuses an output that would destroy it, and creates the image
// file. Nothing, once the reason has been reported, when imaging cannot go ahead.
std::unique_ptr<ImageJob> Prepare(RecoveryEngine& engine, const std::string& sourcePath,
                                  const std::string& outputPath) {
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
  // Creating the output truncates it: an output that is the source, or lies on the drive being
  // imaged, would destroy what the image is meant to save.
  if (SameFile(outputPath, sourcePath) || OutputIsOnDevice(outputPath, sourcePath)) {
    engine.Emit(Kind::Error, "Output file is on the drive being imaged. Choose another drive.");
    return nullptr;
  }
  if (!job->output.Create(outputPath)) {
    engine.Emit(Kind::Error, "Failed to create output file: " + outputPath);
    return nullptr;
  }
  if (engine.HasCallback()) {
    engine.Emit(Kind::Status, "Source Size: " + std::to_string(job->deviceBytes / 1048576) + " MB");
  }
  // A trailing partial sector (an image file whose length is not a multiple of the sector size)
  // is copied too: the read near the end returns just the bytes that exist.
  job->sectors = SectorRange(0, SectorsCovering(job->deviceBytes, job->sectorSize));
  return job;
}

// A progress line at most every fifth step and no more often than every half second.
class ProgressReporter {
 public:
  void Copied(int64_t bytes) { bytesSinceReport_ += bytes; }

  void Report(RecoveryEngine& engine, int64_t sector, int64_t totalSectors) {
    if (sector % kReportEverySectors != 0) return;
    const auto now = Clock::now();
    const double elapsed = std::chrono::duration<double>(now - lastReport_).count();
    if (elapsed <= kReportIntervalSeconds) return;
    const double speed = static_cast<double>(bytesSinceReport_) * kBytesToMegabytes / elapsed;
    const double percent = static_cast<double>(sector) / static_cast<double>(totalSectors) * 100.0;
    engine.Emit(Kind::Progress, FormatProgress(percent, speed));
    bytesSinceReport_ = 0;
    lastReport_ = now;
  }

 private:
  Clock::time_point lastReport_ = Clock::now();
  int64_t bytesSinceReport_ = 0;
};

// Copies the source step by step; every step that cannot be read, or only in part, is filled with
// zeros so each later sector keeps its place. False when the image cannot be written.
bool CopySectors(RecoveryEngine& engine, ImageJob& job, const std::string& outputPath) {
  RawDevice& device = *job.opened.device;
  const std::vector<uint8_t> zeroBlock(static_cast<size_t>(kStepSectors * job.sectorSize));
  ProgressReporter progress;
  for (SectorRange rest = job.sectors; !rest.Empty() && !engine.CancelRequested();
       rest = rest.From(rest.First() + kStepSectors)) {
    if (!engine.WaitWhilePaused()) break;
    const SectorRange step = rest.Head(kStepSectors);
    const int64_t stepBytes =
        std::min(step.Count() * job.sectorSize, job.deviceBytes - step.First() * job.sectorSize);
    const std::vector<uint8_t> data = ReadReportingBadSectors(engine, device, step, job.sectorSize);
    std::span<const uint8_t> stepData(data);
    if (static_cast<int64_t>(data.size()) > stepBytes) {
      stepData = stepData.first(static_cast<size_t>(stepBytes));
    }
    if (static_cast<int64_t>(stepData.size()) < stepBytes) {
      // Nothing (or less than the device's size promises) came back.
      const int64_t firstMissing =
          step.First() + static_cast<int64_t>(stepData.size()) / job.sectorSize;
      engine.Emit(Kind::Status,
                  "Read Error at sector " + std::to_string(firstMissing) + ". Filling with zeros.");
    }
    const auto zeros =
        std::span<const uint8_t>(zeroBlock).first(static_cast<size_t>(stepBytes) - stepData.size());
    if (!job.output.Write(stepData) || !job.output.Write(zeros)) {
      engine.Emit(Kind::Error,
                  "Imaging Error: Cannot write to " + outputPath + ": " + job.output.LastError());
      return false;
    }
    progress.Copied(stepBytes);
    progress.Report(engine, step.First(), job.sectors.Count());
  }
  return true;
}

}  // namespace

void RunDiskImage(RecoveryEngine& engine, const std::string& sourcePath,
                  const std::string& outputPath) {
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

  const std::unique_ptr<ImageJob> job = Prepare(engine, sourcePath, outputPath);
  if (!job) return;
  bool written = false;
  try {
    written = CopySectors(engine, *job, outputPath);
  } catch (const std::exception& e) {
    engine.Emit(Kind::Error, std::string("Imaging Error: ") + e.what());
  }
  if (!job->output.Close() && written) {
    engine.Emit(Kind::Error,
                "Imaging Error: Cannot write to " + outputPath + ": " + job->output.LastError());
    written = false;
  }
  job->opened.device.reset();
  if (!written) return;
  if (engine.CancelRequested()) {
    closing.emplace(Kind::Status, "Imaging Cancelled.");
  } else {
    closing.emplace(Kind::Finished, "Imaging Complete. " +
                                        std::to_string(job->output.BytesWritten() / 1048576) +
                                        " MB copied.");
  }
}

}  // namespace quarvelin
