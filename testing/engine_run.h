#pragma once

// Tests that run work on a RecoveryEngine over in-memory disks and read what its callback
// received. Recorder A receives the work a test starts through Run, ScanDisk or ImageDisk (each
// clears it, and its hook, first); recorder B is left for a second caller.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bytes.h"
#include "message_recorder.h"
#include "recovery_engine.h"
#include "temp_dir.h"
#include "test_disk.h"

namespace quarvelin::testing {

// The bytes of every file the messages report carved, in order.
inline std::vector<File> CarvedFiles(const std::vector<Message>& messages) {
  std::vector<File> files;
  for (const auto& text : TextsOf(messages, NativeMessageKind::FileFound)) {
    files.push_back(ReadFile(text.substr(0, text.find('|'))));
  }
  return files;
}

// The messages of an imaging without its progress lines and the lines about its phases, summary
// and checksums: the lines every imaging sends, whatever the source.
inline std::vector<Message> ImagingOutcome(const std::vector<Message>& messages) {
  std::vector<Message> kept;
  for (const Message& m : messages) {
    const bool detail =
        m.kind == NativeMessageKind::Progress ||
        (m.kind == NativeMessageKind::Status &&
         (m.text.starts_with("Imaging: ") || m.text.starts_with("Rescued ") ||
          m.text.starts_with("Image SHA-256: ") || m.text.starts_with("Image MD5: ")));
    if (!detail) kept.push_back(m);
  }
  return kept;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RecorderA().Clear();
    RecorderB().Clear();
  }
  // Hooks may point into the test; they go before its engine does.
  void TearDown() override {
    RecorderA().SetHook(nullptr);
    RecorderB().SetHook(nullptr);
  }

  // Starts work on a fresh engine that opens devices through `opener`, waits for it to end, and
  // returns every message it sent to recorder A.
  template <typename Start>
  static std::vector<Message> Run(DeviceOpener opener, Start start) {
    RecorderA().Clear();
    RecoveryEngine engine(std::move(opener));
    start(engine);
    engine.WaitForWorker();
    EXPECT_FALSE(engine.IsRunning());
    return RecorderA().Messages();
  }

  // A carving scan of `disk` into `out`, of the given types (all when none are given).
  static std::vector<Message> ScanDisk(const TestDisk& disk, const std::string& out,
                                       std::vector<const char*> types = {}) {
    return Run(disk.Opener(), [&](RecoveryEngine& engine) {
      engine.StartRecovery("disk", out.c_str(), types.empty() ? nullptr : types.data(),
                           static_cast<int32_t>(types.size()), RecordA);
    });
  }

  // An imaging of `disk` into `output` from scratch: a rescue map an earlier imaging left beside
  // it is removed first (it would make this one resume). Without the image's checksums, which
  // take most of the time of a test's imaging under the sanitizers.
  static std::vector<Message> ImageDisk(const TestDisk& disk, const std::string& output,
                                        std::vector<const char*> options = {}) {
    std::remove((output + ".map").c_str());
    options.push_back("checksums=no");
    return Run(disk.Opener(), [&](RecoveryEngine& engine) {
      engine.StartDiskImage("disk", output.c_str(), RecordA, options.data(),
                            static_cast<int32_t>(options.size()));
    });
  }

  TempDir dir_;
};

}  // namespace quarvelin::testing
