#pragma once

#include <string>
#include <vector>

// Gives a process started under a debugger without a console one, for its standard streams.
void OpenDebugConsole();

// The process's command-line arguments in UTF-8, the program path left out.
std::vector<std::string> CollectCommandLineArguments();
// The same for a given command line.
std::vector<std::string> CollectCommandLineArguments(const wchar_t* commandLine);

// UTF-8 of a UTF-16 text; "" for null, and for text that is not valid UTF-16 (an unpaired
// surrogate).
std::string Utf16ToUtf8(const wchar_t* text);
