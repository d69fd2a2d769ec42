#pragma once

// Windows only: includes <windows.h>.
//
// Narrow text of the Win32 "A" calls and the C runtime's file functions is in the process's ANSI
// code page; channel texts and the engine's JSON are UTF-8. Converting goes through UTF-16, as
// Windows itself does. When the executable's manifest makes UTF-8 the ANSI code page, the first
// step only checks the bytes: a malformed sequence becomes U+FFFD.

#include <windows.h>

#include <climits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quarvelin {

// UTF-16 of `text` read in `codePage`; nullopt when Windows cannot convert it (an unknown code
// page, a text too long for the call).
inline std::optional<std::wstring> AnsiToWide(std::string_view text, UINT codePage = CP_ACP) {
  if (text.empty()) return std::wstring();
  if (text.size() > INT_MAX) return std::nullopt;
  const auto size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  if (length <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(length), L'\0');
  if (MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), length) != length) {
    return std::nullopt;
  }
  return wide;
}

// UTF-8 of `text`; an unpaired surrogate becomes U+FFFD.
inline std::optional<std::string> WideToUtf8(std::wstring_view text) {
  if (text.empty()) return std::string();
  if (text.size() > INT_MAX) return std::nullopt;
  const auto size = static_cast<int>(text.size());
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::nullopt;
  std::string utf8(static_cast<size_t>(length), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, text.data(), size, utf8.data(), length, nullptr, nullptr) !=
      length) {
    return std::nullopt;
  }
  return utf8;
}

// UTF-8 of `text` read in `codePage`. Should Windows refuse the conversion, the bytes come back as
// they are; whoever writes them out as UTF-8 replaces what is not.
inline std::string AnsiToUtf8(std::string_view text, UINT codePage = CP_ACP) {
  if (const auto wide = AnsiToWide(text, codePage)) {
    if (auto utf8 = WideToUtf8(*wide)) return std::move(*utf8);
  }
  return std::string(text);
}

}  // namespace quarvelin
