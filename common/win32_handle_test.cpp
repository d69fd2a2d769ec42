#include "common/win32_handle.h"

#include <gtest/gtest.h>

#include <utility>

namespace quarvelin {
namespace {

bool IsOpen(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(Win32HandleTest, ClosesOnceWhoeverHoldsItLast) {
  const HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const HANDLE second = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(IsOpen(first) && IsOpen(second));
  {
    Win32Handle owner(first);
    Win32Handle moved(std::move(owner));
    EXPECT_FALSE(owner);
    EXPECT_EQ(moved.get(), first);
    Win32Handle other(second);
    other = std::move(moved);  // lets go of `second`, takes `first`
    EXPECT_FALSE(IsOpen(second));
    EXPECT_EQ(other.get(), first);
    EXPECT_TRUE(IsOpen(first));
  }
  EXPECT_FALSE(IsOpen(first));

  // What a failed CreateFile returns owns nothing.
  const Win32Handle failed(
      CreateFileW(L"Z:\\no\\such\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(failed);
  EXPECT_EQ(failed.get(), nullptr);
  EXPECT_FALSE(Win32Handle(nullptr));
}

}  // namespace
}  // namespace quarvelin
