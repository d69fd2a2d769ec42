#include "utils.h"

#include <windows.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <iostream>

#include "flutter_desktop.h"

void OpenDebugConsole() {
  if (!AllocConsole()) return;
  FILE* unused = nullptr;
  if (freopen_s(&unused, "CONOUT$", "w", stdout) != 0) _dup2(_fileno(stdout), 1);
  if (freopen_s(&unused, "CONOUT$", "w", stderr) != 0) _dup2(_fileno(stdout), 2);
  std::ios::sync_with_stdio(true);
  FlutterDesktopResyncOutputStreams();
}

std::vector<std::string> CollectCommandLineArguments() {
  return CollectCommandLineArguments(GetCommandLineW());
}

std::vector<std::string> CollectCommandLineArguments(const wchar_t* commandLine) {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(commandLine, &count);
  if (argv == nullptr) return {};
  std::vector<std::string> arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(Utf16ToUtf8(argv[i]));
  LocalFree(argv);
  return arguments;
}

std::string Utf16ToUtf8(const wchar_t* text) {
  if (text == nullptr) return {};
  const int withTerminator =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, nullptr, 0, nullptr, nullptr);
  if (withTerminator <= 1) return {};
  const int length = withTerminator - 1;
  std::string utf8(static_cast<size_t>(length), '\0');
  const int converted =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, static_cast<int>(std::wcslen(text)),
                          utf8.data(), length, nullptr, nullptr);
  if (converted == 0) return {};
  return utf8;
}
