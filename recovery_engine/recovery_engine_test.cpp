// Starting, pausing, resuming and cancelling work, as the UI drives it through the exports.
#include "recovery_engine.h"

#include <gtest/gtest.h>

#include <system_error>

#include "engine_run.h"
#include "imaging/rescue_map.h"

namespace quarvelin {
namespace {

using testing::Message;
using testing::RecordA;
using testing::RecorderA;
using testing::RecorderB;
using Kind = NativeMessageKind;

constexpr int64_t kMiB = 1048576;

class EngineControl : public testing::EngineTest {
 protected:
  void TearDown() override {
    EngineTest::TearDown();
    engine_.reset();
  }

  // Pauses the work from its own callback as soon as it reports the source size, so the test
  // knows the worker stops before its first step.
  void PauseAtSourceSize() {
    RecorderA().SetHook([this](const Message& m) {
      if (m.text.starts_with("Source Size: ")) engine_->Pause();
    });
  }

  std::string Out(const std::string& name) const { return dir_.File(name); }

  testing::TestDisk disk_ = testing::TestDisk::Random(8 * kMiB, 11);
  testing::TestDisk other_ = testing::TestDisk::Random(2 * kMiB, 12);
  std::unique_ptr<RecoveryEngine> engine_ = std::make_unique<RecoveryEngine>(
      MemoryOpener({{"disk", disk_.shared()}, {"other", other_.shared()}}));
};

TEST_F(EngineControl, ControlsWithoutWorkOnlySetFlagsAndTheNextStartClearsThem) {
  engine_->Pause();
  engine_->Resume();
  engine_->Pause();
  engine_->Cancel();
  engine_->StartDiskImage("disk", Out("a.img").c_str(), RecordA);
  ASSERT_TRUE(RecorderA().WaitForKind(Kind::Finished));
  EXPECT_EQ(RecorderA().Messages().back().text, "Imaging Complete. 8 MB copied.");
  engine_->WaitForWorker();

  // A null callback runs the work silently.
  engine_->StartDiskImage("disk", Out("b.img").c_str(), nullptr);
  engine_->Pause();
  engine_->Resume();
  engine_->WaitForWorker();
  EXPECT_FALSE(engine_->IsRunning());
  EXPECT_EQ(testing::ReadFile(Out("b.img")), disk_.bytes());
}

TEST_F(EngineControl, PauseAndResumeSendTheirNoticesAndTheWorkGoesOn) {
  PauseAtSourceSize();
  engine_->StartDiskImage("disk", Out("a.img").c_str(), RecordA);
  ASSERT_TRUE(RecorderA().WaitForText("Scan Paused"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(disk_->reads.load(), 0) << "a paused worker must not read";
  EXPECT_TRUE(engine_->IsRunning());

  engine_->Resume();
  ASSERT_TRUE(RecorderA().WaitForKind(Kind::Finished));
  const std::vector<Message> expected = {
      {Kind::Status, "Starting Disk Imaging on disk", {}},
      {Kind::Status, "Source Size: 8 MB", {}},
      {Kind::Status, "Scan Paused", {}},
      {Kind::Status, "Scan Resumed", {}},
      {Kind::Finished, "Imaging Complete. 8 MB copied.", {}},
  };
  // A progress line may come too when the machine is slow (its timer runs through the pause).
  const std::vector<Message> messages = testing::ImagingOutcome(RecorderA().Messages());
  ASSERT_EQ(messages, expected);
  EXPECT_EQ(messages[3].thread, std::this_thread::get_id())
      << "resume notice on the caller's thread";
  EXPECT_EQ(testing::ReadFile(Out("a.img")), disk_.bytes());
}

TEST_F(EngineControl, CancelWhilePausedEndsTheWorkWithoutAResume) {
  PauseAtSourceSize();
  engine_->StartDiskImage("disk", Out("a.img").c_str(), RecordA);
  ASSERT_TRUE(RecorderA().WaitForText("Scan Paused"));
  engine_->Cancel();
  EXPECT_FALSE(engine_->IsRunning());
  ASSERT_TRUE(RecorderA().WaitForText("Imaging Cancelled."));
  engine_->WaitForWorker();
  for (const Message& m : RecorderA().Messages()) EXPECT_NE(m.kind, Kind::Finished);
}

TEST_F(EngineControl, CancelStopsAtTheNextStepAndKeepsThePartialImage) {
  disk_->onRead = [this](int64_t offset) {
    if (offset == 2 * kMiB) engine_->Cancel();
  };
  engine_->StartDiskImage("disk", Out("a.img").c_str(), RecordA);
  ASSERT_TRUE(RecorderA().WaitForText("Imaging Cancelled."));
  engine_->WaitForWorker();
  // The read under way when the cancel came is kept; the map says how far the image goes, so a
  // later imaging goes on from there.
  const auto image = testing::ReadFile(Out("a.img"));
  ASSERT_EQ(image.size(), disk_.bytes().size());
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 3 * kMiB, disk_.bytes().begin()));
  std::string error;
  const std::optional<RescueMap> map = RescueMap::Load(Out("a.img.map"), error);
  ASSERT_TRUE(map) << error;
  EXPECT_EQ(map->Bytes(BlockStatus::kFinished), 3 * kMiB);
  for (const Message& m : RecorderA().Messages()) EXPECT_NE(m.kind, Kind::Finished);
}

TEST_F(EngineControl, ASecondStartEndsTheFirstWorkBeforeItReturns) {
  disk_->onRead = [](int64_t) { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
  engine_->StartDiskImage("disk", Out("a.img").c_str(), RecordA);
  ASSERT_TRUE(RecorderA().WaitFor([](const Message& m) { return m.text.starts_with("Source"); }));
  engine_->StartDiskImage("other", Out("b.img").c_str(), testing::RecordB);
  // The first worker has ended, with its own closing message, before the second start returned.
  EXPECT_EQ(RecorderA().Messages().back(), (Message{Kind::Status, "Imaging Cancelled.", {}}));
  ASSERT_TRUE(RecorderB().WaitForKind(Kind::Finished));
  EXPECT_EQ(testing::ReadFile(Out("b.img")), other_.bytes());
  EXPECT_EQ(RecorderA().Messages().back().text, "Imaging Cancelled.") << "no later messages to A";
}

TEST_F(EngineControl, AStartFromInsideACallbackIsRefusedAndTheWorkGoesOn) {
  RecorderA().SetHook([this](const Message& m) {
    if (m.text.starts_with("Source Size: ")) {
      engine_->StartDiskImage("other", Out("b.img").c_str(), testing::RecordB);
    }
  });
  engine_->StartDiskImage("disk", Out("a.img").c_str(), RecordA);
  ASSERT_TRUE(RecorderA().WaitForKind(Kind::Finished));
  engine_->WaitForWorker();
  const std::vector<Message> refused = {
      {Kind::Error, "Cannot start new work from inside a message callback", {}}};
  EXPECT_EQ(RecorderB().Messages(), refused);
  EXPECT_EQ(testing::ReadFile(Out("a.img")), disk_.bytes());
}

TEST_F(EngineControl, EmptyArgumentsAreRefusedWithoutDisturbingRunningWork) {
  PauseAtSourceSize();
  engine_->StartDiskImage("disk", Out("a.img").c_str(), RecordA);
  ASSERT_TRUE(RecorderA().WaitForText("Scan Paused"));

  engine_->StartDiskImage(nullptr, Out("b.img").c_str(), testing::RecordB);
  engine_->StartDiskImage("", Out("b.img").c_str(), testing::RecordB);
  engine_->StartDiskImage("other", nullptr, testing::RecordB);
  engine_->StartDiskImage("other", "", testing::RecordB);
  engine_->StartDiskImage(nullptr, nullptr, nullptr);
  const std::vector<Message> refused = {
      {Kind::Error, "No source drive given.", {}},
      {Kind::Error, "No source drive given.", {}},
      {Kind::Error, "No output file given.", {}},
      {Kind::Error, "No output file given.", {}},
  };
  EXPECT_EQ(RecorderB().Messages(), refused);
  EXPECT_TRUE(engine_->IsRunning());

  engine_->Resume();
  ASSERT_TRUE(RecorderA().WaitForKind(Kind::Finished));
  EXPECT_EQ(testing::ReadFile(Out("a.img")), disk_.bytes());
}

TEST_F(EngineControl, DestroyingTheEngineEndsAPausedWorker) {
  PauseAtSourceSize();
  engine_->StartDiskImage("disk", Out("a.img").c_str(), RecordA);
  ASSERT_TRUE(RecorderA().WaitForText("Scan Paused"));
  engine_.reset();  // must not block on the pause
  EXPECT_EQ(RecorderA().Messages().back().text, "Imaging Cancelled.");
}

TEST(EngineStart, AThreadThatCannotBeCreatedIsReportedAndNothingRuns) {
  class NoThreads : public RecoveryEngine {
    using RecoveryEngine::RecoveryEngine;
    std::thread Launch(std::function<void()>) override {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
  };
  RecorderA().Clear();
  NoThreads engine(MemoryOpener({}));
  engine.StartDiskImage("disk", "out.img", RecordA);
  EXPECT_FALSE(engine.IsRunning());
  const auto messages = RecorderA().Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].kind, Kind::Error);
  EXPECT_TRUE(messages[0].text.starts_with("Failed to start worker thread: ")) << messages[0].text;
}

// The exports themselves, on the process-wide engine.
TEST(Exports, ToleratesNullArgumentsAndReleasesTexts) {
  RecorderA().Clear();
  StartNativeDiskImage(nullptr, nullptr, nullptr);
  StartNativeDiskImage(nullptr, "x", RecordA);
  PauseNativeRecovery();
  ResumeNativeRecovery();
  CancelNativeRecovery();
  NativeFree(nullptr);
  const std::vector<Message> expected = {{Kind::Error, "No source drive given.", {}}};
  EXPECT_EQ(RecorderA().Messages(), expected);
}

}  // namespace
}  // namespace quarvelin
