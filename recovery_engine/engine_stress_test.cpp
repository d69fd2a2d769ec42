// The engine under concurrent use, as a UI with several threads drives it: control calls and new
// starts while a scan or an image is in flight, rapid start/cancel cycles, slow callbacks, and
// starts from inside a callback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine_run.h"

namespace quarvelin {
namespace {

using namespace std::chrono_literals;
using testing::Message;
using testing::RecordA;
using testing::RecordB;
using testing::RecorderA;
using testing::RecorderB;
using Kind = NativeMessageKind;

constexpr int64_t kMiB = 1048576;
const std::string kRefused = "Cannot start new work from inside a message callback";

bool IsPauseNotice(const Message& m) {
  return m.text == "Scan Paused" || m.text == "Scan Resumed";
}

// Runs `step` on a thread of its own and gives it a generous limit. A step that does not return
// means the engine hung: the process ends with a note instead of stalling the whole test run.
void WithinLimit(const char* what, const std::function<void()>& step) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([&step, done] {
    step();
    done->set_value();
  }).detach();
  if (finished.wait_for(300s) != std::future_status::ready) {
    std::fprintf(stderr, "Hung: %s\n", what);
    std::abort();
  }
}

// Cuts what one callback received into runs and returns how many there were, or -1 after the
// first fault. A run opens with its start notice and closes with exactly one final message; nothing
// of it arrives after that. Pause and resume notices come on the caller's thread at any time and
// belong to no run. A scan's final message counts the files it reported.
int CountRuns(const std::vector<Message>& messages, bool scan) {
  const std::string opening = scan ? "Starting native scan on " : "Starting Disk Imaging on ";
  int runs = 0;
  bool open = false;
  int64_t found = 0;
  const auto fault = [](const std::string& what) {
    ADD_FAILURE() << what;
    return -1;
  };
  for (const Message& m : messages) {
    if (IsPauseNotice(m)) continue;
    if (m.kind == Kind::Status && m.text.starts_with(opening)) {
      if (open) return fault("run " + std::to_string(runs) + " has no final message");
      open = true;
      found = 0;
      ++runs;
      continue;
    }
    if (!open) return fault("after run " + std::to_string(runs) + " ended: " + m.text);
    if (m.kind == Kind::FileFound) ++found;
    const bool final = m.kind == Kind::Finished ||
                       (!scan && (m.kind == Kind::Error || m.text == "Imaging Cancelled."));
    if (final) {
      if (scan) {
        EXPECT_EQ(m.text, std::to_string(found)) << "run " << runs;
      }
      open = false;
    }
  }
  if (open) return fault("the last run has no final message");
  return runs;
}

class EngineStress : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    // Every read takes a while, so the work is still in flight when the other threads act on it.
    disk_->onRead = [](int64_t) { std::this_thread::sleep_for(2ms); };
  }
  void TearDown() override {
    Settle();
    EngineTest::TearDown();
    engine_.reset();
  }

  // Scans report to A, images to B.
  void StartScan() { engine_->StartRecovery("disk", scanOut_.c_str(), nullptr, 0, RecordA); }
  void StartImage() { engine_->StartDiskImage("disk", imageOut_.c_str(), RecordB); }

  // Pauses and resumes the work, over and over, until `stop`.
  std::thread PauseAndResumeUntil(const std::atomic<bool>& stop) {
    return std::thread([this, &stop] {
      while (!stop) {
        engine_->Pause();
        std::this_thread::sleep_for(3ms);
        engine_->Resume();
        std::this_thread::sleep_for(5ms);
      }
    });
  }

  // Ends whatever still runs (a paused worker too) and checks the engine is idle.
  void Settle() {
    WithinLimit("ending the last run", [this] {
      engine_->Cancel();
      engine_->WaitForWorker();
    });
    EXPECT_FALSE(engine_->IsRunning());
  }

  std::string scanOut_ = dir_.File("recovered");
  std::string imageOut_ = dir_.File("disk.img");
  testing::TestDisk disk_ = testing::TestDisk::Random(static_cast<size_t>(8 * kMiB), 21);
  std::unique_ptr<RecoveryEngine> engine_ = std::make_unique<RecoveryEngine>(disk_.Opener());
};

TEST_F(EngineStress, StartsAndControlCallsFromManyThreadsLeaveEveryRunWithOneFinalMessage) {
  // A receiver that takes its time over every message, as a busy UI thread would.
  const auto slow = [](const Message&) { std::this_thread::sleep_for(1ms); };
  RecorderA().SetHook(slow);
  RecorderB().SetHook(slow);
  std::atomic<int> scans{0};
  std::atomic<int> images{0};
  WithinLimit("concurrent starts and control calls", [&] {
    std::atomic<bool> stop{false};
    std::vector<std::thread> starters;
    for (unsigned t = 0; t < 2; ++t) {
      starters.emplace_back([&, t] {
        std::mt19937 random(t);
        for (unsigned i = 0; i < 25; ++i) {
          if ((i + t) % 2 == 0) {
            StartScan();
            ++scans;
          } else {
            StartImage();
            ++images;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30));
        }
      });
    }
    std::thread pauser = PauseAndResumeUntil(stop);
    std::thread canceller([&] {
      while (!stop) {
        std::this_thread::sleep_for(25ms);
        engine_->Cancel();
      }
    });
    for (std::thread& starter : starters) starter.join();
    stop = true;
    pauser.join();
    canceller.join();
  });
  Settle();
  EXPECT_EQ(CountRuns(RecorderA().Messages(), true), scans.load());
  EXPECT_EQ(CountRuns(RecorderB().Messages(), false), images.load());
}

TEST_F(EngineStress, ControlCallsAndAStartWhileTheWorkerSitsInASlowCallback) {
  std::promise<void> inside;
  RecorderA().SetHook([&inside](const Message& m) {
    if (m.text.starts_with("Drive Size: ")) {
      inside.set_value();
      std::this_thread::sleep_for(300ms);
    }
  });
  StartScan();
  WithinLimit("control calls during a slow callback", [&] {
    inside.get_future().wait();
    std::thread pauser([this] {
      engine_->Pause();
      engine_->Resume();
      engine_->Pause();
    });
    std::thread canceller([this] { engine_->Cancel(); });
    std::thread starter([this] {
      StartImage();
      // The start returns only once the scan has ended and said so.
      EXPECT_EQ(CountRuns(RecorderA().Messages(), true), 1);
    });
    pauser.join();
    canceller.join();
    starter.join();
  });
  engine_->Resume();
  Settle();
  EXPECT_EQ(CountRuns(RecorderA().Messages(), true), 1);
  EXPECT_EQ(CountRuns(RecorderB().Messages(), false), 1);
}

TEST_F(EngineStress, StartsFromInsideACallbackAreRefusedWhileOtherThreadsControlTheWork) {
  std::atomic<int> attempts{0};
  RecorderA().SetHook([&](const Message& m) {
    if (IsPauseNotice(m)) return;  // those come on the pausing thread, not the worker
    engine_->StartRecovery("disk", scanOut_.c_str(), nullptr, 0, RecordB);
    engine_->StartDiskImage("disk", imageOut_.c_str(), RecordB);
    ++attempts;
  });
  std::atomic<bool> stop{false};
  std::thread pauser = PauseAndResumeUntil(stop);
  for (int i = 0; i < 3; ++i) {
    StartScan();
    WithinLimit("a scan that keeps being paused", [this] { engine_->WaitForWorker(); });
  }
  stop = true;
  pauser.join();
  Settle();

  EXPECT_EQ(CountRuns(RecorderA().Messages(), true), 3);
  std::vector<Message> refusals;
  for (int i = 0; i < attempts; ++i) {
    refusals.push_back({Kind::Error, kRefused, {}});
    refusals.push_back({Kind::Finished, "0", {}});
    refusals.push_back({Kind::Error, kRefused, {}});
  }
  EXPECT_GT(attempts, 0);
  EXPECT_EQ(RecorderB().Messages(), refusals);
}

// The same cycles through the C entry points and the process-wide engine, on an image file.
TEST(EngineStressExports, StartAndCancelCyclesEndEveryRun) {
  RecorderA().Clear();
  RecorderB().Clear();
  testing::TempDir dir;
  const std::string source = dir.File("source.img");
  testing::WriteFile(source, testing::RandomBytes(static_cast<size_t>(4 * kMiB), 22));
  const std::string image = dir.File("copy.img");
  const std::string recovered = dir.File("recovered");
  WithinLimit("start and cancel cycles through the exports", [&] {
    for (int i = 0; i < 25; ++i) {
      StartNativeRecovery(source.c_str(), recovered.c_str(), nullptr, 0, RecordA);
      PauseNativeRecovery();
      CancelNativeRecovery();
      StartNativeDiskImage(source.c_str(), image.c_str(), RecordB);
      ResumeNativeRecovery();
      CancelNativeRecovery();
    }
    ProcessEngine().WaitForWorker();
  });
  EXPECT_FALSE(ProcessEngine().IsRunning());
  EXPECT_EQ(CountRuns(RecorderA().Messages(), true), 25);
  EXPECT_EQ(CountRuns(RecorderB().Messages(), false), 25);
}

}  // namespace
}  // namespace quarvelin
