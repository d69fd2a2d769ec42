#include "read_guard.h"

#include <gtest/gtest.h>

#include "device/memory_device.h"
#include "unreadable_stretch.h"

namespace quarvelin {
namespace {

using State = SectorState;

TEST(SectorStates, ANewStateCutsIntoOldStretchesAndJoinsItsLikes) {
  SectorStates states;
  states.Set(SectorRange(10, 10), State::kFailed);
  states.Set(SectorRange(12, 2), State::kBad);
  states.Set(SectorRange(18, 7), std::nullopt);
  EXPECT_EQ(states.All(), (std::vector<MarkedRange>{{SectorRange(10, 2), State::kFailed},
                                                    {SectorRange(12, 2), State::kBad},
                                                    {SectorRange(14, 4), State::kFailed}}));
  EXPECT_EQ(states.Within(SectorRange(13, 2)),
            (std::vector<MarkedRange>{{SectorRange(13, 1), State::kBad},
                                      {SectorRange(14, 1), State::kFailed}}));
  states.Set(SectorRange(12, 2), State::kFailed);
  EXPECT_EQ(states.All(), (std::vector<MarkedRange>{{SectorRange(10, 8), State::kFailed}}));
}

TEST(ReadGuard, WhatFailedIsNotAskedAgainExceptItsEdgesOneSectorAtATime) {
  auto disk = std::make_shared<MemoryDisk>();
  disk->bytes.assign(64 * 512, 7);
  disk->AddUnreadable(20 * 512, 512);
  disk->AddUnreadable(40 * 512, 512);
  MemoryDevice device(disk);
  ReadGuard guard(device, 64);

  EXPECT_TRUE(guard.ReadDeviceSectors(10, 40, 512).empty());
  EXPECT_TRUE(guard.ReadDeviceSectors(30, 1, 512).empty());
  EXPECT_EQ(disk->reads.load(), 1) << "a read inside what failed must not reach the drive";

  EXPECT_EQ(guard.Trim(SectorRange(10, 40)),
            (std::vector<SectorRange>{SectorRange(10, 10), SectorRange(41, 9)}));
  EXPECT_EQ(guard.States().All(), (std::vector<MarkedRange>{{SectorRange(20, 1), State::kBad},
                                                            {SectorRange(21, 19), State::kTrimmed},
                                                            {SectorRange(40, 1), State::kBad}}));
  EXPECT_EQ(guard.FailedReads(), 3);

  // Around what is known, each stretch in one read; what is known comes back as zeros.
  const int64_t before = disk->reads.load();
  const GuardedRead read = guard.ReadAround(SectorRange(0, 64), false);
  EXPECT_EQ(disk->reads.load() - before, 2);
  EXPECT_EQ(read.unreadable, std::vector<SectorRange>{SectorRange(20, 21)});
  EXPECT_EQ(read.readable, 43);
  ASSERT_EQ(read.bytes.size(), 64u * 512);
  EXPECT_EQ(read.bytes[20 * 512], 0);
  EXPECT_EQ(read.bytes[41 * 512], 7);
}

TEST(UnreadableStretch, SaysOnceARunIsLongAndStartsAgainAfterAReadOrAJump) {
  EXPECT_EQ(LongUnreadableBytes(int64_t{100} << 30), int64_t{1} << 30);
  constexpr int64_t kMB = 1 << 20;
  UnreadableStretch stretch(100 * kMB);  // long from 10 MB
  EXPECT_FALSE(stretch.Unreadable(0, 6 * kMB));
  EXPECT_TRUE(stretch.Unreadable(6 * kMB, 6 * kMB));
  EXPECT_FALSE(stretch.Unreadable(12 * kMB, 50 * kMB));
  EXPECT_EQ(stretch.Length(), 62 * kMB);
  stretch.Readable();
  EXPECT_FALSE(stretch.Unreadable(70 * kMB, 6 * kMB));
  // Elsewhere than where the run ended: a run of its own.
  EXPECT_FALSE(stretch.Unreadable(90 * kMB, 6 * kMB));
  EXPECT_EQ(stretch.First(), 90 * kMB);
}

}  // namespace
}  // namespace quarvelin
