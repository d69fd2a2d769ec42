#include "common/win32_drive_letters.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quarvelin {
namespace {

TEST(Win32DriveLettersTest, ListsTheWantedTypesAndLeavesTheThreadsErrorModeAsItWas) {
  DWORD original = 0;
  ASSERT_TRUE(SetThreadErrorMode(SEM_NOGPFAULTERRORBOX, &original));
  const auto fixed = ListDriveLetters([](UINT type) { return type == DRIVE_FIXED; });
  const auto none = ListDriveLetters([](UINT) { return false; });
  EXPECT_EQ(GetThreadErrorMode(), static_cast<DWORD>(SEM_NOGPFAULTERRORBOX));
  SetThreadErrorMode(original, nullptr);

  EXPECT_TRUE(none.empty());
  // Wine's C: is the prefix's own folder: a fixed NTFS volume on the host's disk.
  const auto c = std::find_if(fixed.begin(), fixed.end(),
                              [](const DriveLetter& drive) { return drive.letter == 'C'; });
  ASSERT_NE(c, fixed.end());
  EXPECT_EQ(std::string(c->root), "C:\\");
  EXPECT_EQ(c->type, static_cast<UINT>(DRIVE_FIXED));
  EXPECT_EQ(c->fileSystem, "NTFS");
  EXPECT_GT(c->totalBytes, 0u);
  EXPECT_LE(c->totalFreeBytes, c->totalBytes);
  EXPECT_TRUE(std::is_sorted(
      fixed.begin(), fixed.end(),
      [](const DriveLetter& a, const DriveLetter& b) { return a.letter < b.letter; }));
}

}  // namespace
}  // namespace quarvelin
