#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quarvelin {

// Where files of no category go under the output folder, beside the six category folders.
inline constexpr const char* kOtherFolder = "Other";

// The category folder for a file named `name`, by its extension (in any letter case): the carved
// types' own category, or that of the common types no header search finds (text, office files,
// camera RAW, source code ...); kOtherFolder for the rest.
std::string CategoryFolderOf(std::string_view name);

// A file or folder name as the output folder can hold it on every platform the engine runs on:
// characters Windows refuses in names (control characters, < > : " / \ | ? *) become '_', as do
// trailing dots and spaces; names Windows reserves (CON, NUL, COM1 ...) get a '_' appended; an
// empty name becomes "_".
std::string SafeName(std::string_view name);

// Whether a file named `name` is of a selected type: every file when `extensions` is empty;
// otherwise its extension, in any letter case, is one of them or a common spelling of one (jpeg
// for jpg, tif for tiff, htm for html ...).
bool ExtensionSelected(std::string_view name, const std::vector<std::string>& extensions);

// Whether `path` ("/Photos/2019/a.jpg") matches the glob `pattern`: '*' matches within one folder
// name, '**' across folders, '?' one character, other characters themselves, letters in either
// case (the file systems read here ignore case). A pattern without '/' matches the file's name in
// any folder.
bool PathMatches(std::string_view pattern, std::string_view path);

}  // namespace quarvelin
