#include "recovered_names.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "signatures.h"

namespace quarvelin {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

std::string ExtensionOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return "";
  return Lower(name.substr(dot + 1));
}

// Types no header search finds, or spellings of those it does, by the folder their files belong
// in.
struct CategoryList {
  const char* folder;
  std::vector<std::string_view> extensions;
};
const std::vector<CategoryList>& CommonTypes() {
  static const std::vector<CategoryList> lists = {
      {"Images", {"jpeg", "jpe", "jfif", "tif", "heic", "heif", "avif", "raw", "dng", "cr2",
                  "cr3",  "nef", "arw",  "orf", "rw2",  "raf",  "srw",  "pef", "jxl", "jp2",
                  "svgz", "eps", "ai",   "xcf", "dds",  "tga",  "emf",  "wmf", "cur"}},
      {"Videos",
       {"mpg", "mpeg", "m2ts", "mts", "ts", "vob", "wmv", "3g2", "ogv", "rm", "rmvb", "divx"}},
      {"Audio", {"m4a", "aac", "aif", "aiff", "wma", "opus", "oga", "amr", "mid", "midi", "ape"}},
      {"Documents",
       {"txt",  "csv", "tsv", "doc", "dot",   "xls",   "xlsx",    "xlsm", "ppt",  "pptx", "pps",
        "ppsx", "odt", "ods", "odp", "odg",   "pages", "numbers", "key",  "epub", "mobi", "md",
        "tex",  "msg", "eml", "pst", "ost",   "one",   "vsd",     "vsdx", "pub",  "xps",  "djvu",
        "log",  "ini", "cfg", "htm", "xhtml", "json",  "yaml",    "yml",  "dwg",  "dxf"}},
      {"Archives",
       {"gz",   "tgz", "bz2", "xz",  "zst", "tar", "cab", "iso",  "img", "dmg", "vhd", "vhdx",
        "vmdk", "jar", "apk", "arj", "lz",  "lzh", "z",   "cpio", "deb", "rpm", "msi"}},
      {"Code",
       {"c",   "cc",    "cpp", "cxx",     "h",      "hpp",   "cs",   "java",   "kt",   "py",  "rb",
        "go",  "rs",    "js",  "mjs",     "tsx",    "jsx",   "php",  "pl",     "sh",   "bat", "cmd",
        "ps1", "sql",   "css", "scss",    "swift",  "m",     "vb",   "lua",    "dart", "asm", "s",
        "r",   "scala", "sln", "vcxproj", "csproj", "cmake", "make", "gradle", "ipynb"}},
  };
  return lists;
}

// Spellings of one type: selecting one selects all.
const std::vector<std::vector<std::string_view>>& Spellings() {
  static const std::vector<std::vector<std::string_view>> groups = {{"jpg", "jpeg", "jpe", "jfif"},
                                                                    {"tiff", "tif"},
                                                                    {"html", "htm"},
                                                                    {"mpg", "mpeg"},
                                                                    {"aif", "aiff"},
                                                                    {"heic", "heif"},
                                                                    {"mid", "midi"},
                                                                    {"yaml", "yml"},
                                                                    {"docx", "docm"}};
  return groups;
}

bool IsReservedWindowsName(std::string_view name) {
  const std::string stem = Lower(name.substr(0, name.find('.')));
  static constexpr std::array<std::string_view, 4> kPlain = {"con", "prn", "aux", "nul"};
  if (std::find(kPlain.begin(), kPlain.end(), stem) != kPlain.end()) return true;
  return stem.size() == 4 && (stem.starts_with("com") || stem.starts_with("lpt")) &&
         stem[3] >= '1' && stem[3] <= '9';
}

// Matches `pattern` against `text` from their starts; '*' stays within a folder name.
bool Glob(std::string_view pattern, std::string_view text) {
  if (pattern.empty()) return text.empty();
  if (pattern.starts_with("**")) {
    std::string_view rest = pattern.substr(2);
    // "**/" also matches no folder at all.
    if (rest.starts_with('/') && Glob(rest.substr(1), text)) return true;
    for (size_t i = 0; i <= text.size(); ++i) {
      if (Glob(rest, text.substr(i))) return true;
    }
    return false;
  }
  if (pattern.front() == '*') {
    for (size_t i = 0; i <= text.size(); ++i) {
      if (Glob(pattern.substr(1), text.substr(i))) return true;
      if (i < text.size() && text[i] == '/') break;
    }
    return false;
  }
  if (text.empty()) return false;
  const bool same = pattern.front() == '?'
                        ? text.front() != '/'
                        : std::tolower(static_cast<unsigned char>(pattern.front())) ==
                              std::tolower(static_cast<unsigned char>(text.front()));
  return same && Glob(pattern.substr(1), text.substr(1));
}

}  // namespace

std::string CategoryFolderOf(std::string_view name) {
  const std::string extension = ExtensionOf(name);
  if (extension.empty()) return kOtherFolder;
  for (const FileSignature& row : SignatureTable()) {
    if (row.extension == extension) return CategoryFolders[static_cast<size_t>(row.category)];
  }
  for (const CategoryList& list : CommonTypes()) {
    if (std::find(list.extensions.begin(), list.extensions.end(), extension) !=
        list.extensions.end()) {
      return list.folder;
    }
  }
  return kOtherFolder;
}

std::string SafeName(std::string_view name) {
  std::string safe;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    const bool refused = byte < 0x20 || byte == 0x7F ||
                         std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos;
    safe += refused ? '_' : c;
  }
  for (size_t i = safe.size(); i > 0 && (safe[i - 1] == '.' || safe[i - 1] == ' '); --i) {
    safe[i - 1] = '_';
  }
  if (safe.empty()) return "_";
  if (IsReservedWindowsName(safe)) {
    const size_t stem = std::min(safe.find('.'), safe.size());
    return safe.substr(0, stem) + "_" + safe.substr(stem);
  }
  return safe;
}

bool ExtensionSelected(std::string_view name, const std::vector<std::string>& extensions) {
  if (extensions.empty()) return true;
  const std::string extension = ExtensionOf(name);
  if (extension.empty()) return false;
  for (const std::string& wanted : extensions) {
    const std::string lower = Lower(wanted);
    if (lower == extension) return true;
    for (const auto& group : Spellings()) {
      const bool hasWanted = std::find(group.begin(), group.end(), lower) != group.end();
      if (hasWanted && std::find(group.begin(), group.end(), extension) != group.end()) {
        return true;
      }
    }
  }
  return false;
}

bool PathMatches(std::string_view pattern, std::string_view path) {
  if (pattern.find('/') == std::string_view::npos) {
    const size_t slash = path.rfind('/');
    return Glob(pattern, slash == std::string_view::npos ? path : path.substr(slash + 1));
  }
  // Both read from the volume's root, whether or not the pattern says so.
  if (!pattern.starts_with('/')) {
    return Glob(pattern, path.starts_with('/') ? path.substr(1) : path);
  }
  return Glob(pattern, path);
}

}  // namespace quarvelin
