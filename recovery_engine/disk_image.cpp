#include "disk_image.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <vector>

#include "output_file.h"
#include "recovery_engine.h"
#include "salvage_read.h"

namespace quarvelin {
namespace {

constexpr int64_t kStepSectors = 2048;
constexpr int64_t kReportEverySectors = 5 * kStepSectors;
constexpr double kReportIntervalSeconds = 0.5;
constexpr double kBytesToMegabytes = 9.5367431640625e-07;

std::string FormatProgress(double percent, double megabytesPerSecond) {
  char text[96];
  std::snprintf(text, sizeof text, "PROGRESS|%.1f|%.1f", percent, megabytesPerSecond);
  return text;
}

}  // namespace

void RunDiskImage(RecoveryEngine& engine, const std::string& sourcePath,
                  const std::string& outputPath) {
  using Clock = std::chrono::steady_clock;
  engine.Emit(NativeMessageKind::Status, "Starting Disk Imaging on " + sourcePath);

  OpenedDevice opened = engine.OpenDevice(sourcePath);
  if (!opened.device) {
    engine.Emit(NativeMessageKind::Error, "Failed to open source drive. Check permissions.");
    engine.ClearRunning();
    return;
  }
  RawDevice& device = *opened.device;

  // The size is known before the output is touched, so a source we cannot measure never truncates
  // an existing file into an empty "complete" image.
  const int32_t bytesPerSector = device.QuerySectorSize();
  const int64_t deviceSize = device.QueryDeviceSize();
  if (deviceSize <= 0) {
    engine.Emit(NativeMessageKind::Error, "Failed to determine source size.");
    engine.ClearRunning();
    return;
  }

  // Creating the output truncates it: an output that is the source, or lies on the drive being
  // imaged, would destroy what the image is meant to save.
  if (SameFile(outputPath, sourcePath) || OutputIsOnDevice(outputPath, sourcePath)) {
    engine.Emit(NativeMessageKind::Error,
                "Output file is on the drive being imaged. Choose another drive.");
    engine.ClearRunning();
    return;
  }

  OutputFile output;
  if (!output.Create(outputPath)) {
    engine.Emit(NativeMessageKind::Error, "Failed to create output file: " + outputPath);
    engine.ClearRunning();
    return;
  }

  if (engine.HasCallback()) {
    engine.Emit(NativeMessageKind::Status,
                "Source Size: " + std::to_string(deviceSize / 1048576) + " MB");
  }

  // A trailing partial sector (an image file whose length is not a multiple of the sector size)
  // is copied too: the read near the end returns just the bytes that exist.
  const int64_t totalSectors = SectorsCovering(deviceSize, bytesPerSector);
  bool failed = false;
  try {
    const std::vector<uint8_t> zeroBlock(static_cast<size_t>(kStepSectors * bytesPerSector));
    auto lastReportTime = Clock::now();
    int64_t bytesSinceReport = 0;

    for (int64_t sector = 0; sector < totalSectors && !engine.CancelRequested();
         sector += kStepSectors) {
      if (!engine.WaitWhilePaused()) {
        break;
      }
      const int64_t count = std::min(kStepSectors, totalSectors - sector);
      const int64_t stepBytes = std::min(count * bytesPerSector, deviceSize - sector * bytesPerSector);
      std::vector<uint8_t> data =
          ReadReportingBadSectors(engine, device, sector, count, bytesPerSector);

      std::span<const uint8_t> stepData(data);
      if (static_cast<int64_t>(data.size()) > stepBytes) {
        stepData = stepData.first(static_cast<size_t>(stepBytes));
      }
      if (static_cast<int64_t>(stepData.size()) < stepBytes) {
        // Nothing (or less than the device's size promises) came back: keep every later sector at
        // its place by filling the missing part with zeros.
        const int64_t firstMissing = sector + static_cast<int64_t>(stepData.size()) / bytesPerSector;
        engine.Emit(NativeMessageKind::Status,
                    "Read Error at sector " + std::to_string(firstMissing) + ". Filling with zeros.");
      }
      const auto zeros = std::span<const uint8_t>(zeroBlock).first(
          static_cast<size_t>(stepBytes) - stepData.size());
      if (!output.Write(stepData) || !output.Write(zeros)) {
        engine.Emit(NativeMessageKind::Error, "Imaging Error: Cannot write to " + outputPath + ": " +
                                                  output.LastError());
        failed = true;
        break;
      }
      bytesSinceReport += stepBytes;

      if (sector % kReportEverySectors == 0) {
        const auto now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - lastReportTime).count();
        if (elapsed > kReportIntervalSeconds) {
          const double speed = static_cast<double>(bytesSinceReport) * kBytesToMegabytes / elapsed;
          const double percent =
              static_cast<double>(sector) / static_cast<double>(totalSectors) * 100.0;
          engine.Emit(NativeMessageKind::Progress, FormatProgress(percent, speed));
          bytesSinceReport = 0;
          lastReportTime = now;
        }
      }
    }
  } catch (const std::exception& e) {
    engine.Emit(NativeMessageKind::Error, std::string("Imaging Error: ") + e.what());
    failed = true;
  }

  if (!output.Close() && !failed) {
    engine.Emit(NativeMessageKind::Error,
                "Imaging Error: Cannot write to " + outputPath + ": " + output.LastError());
    failed = true;
  }
  opened.device.reset();
  engine.ClearRunning();

  if (failed) {
    return;
  }
  if (engine.CancelRequested()) {
    engine.Emit(NativeMessageKind::Status, "Imaging Cancelled.");
    return;
  }
  engine.Emit(NativeMessageKind::Finished,
              "Imaging Complete. " + std::to_string(output.BytesWritten() / 1048576) +
                  " MB copied.");
}

}  // namespace quarvelin
