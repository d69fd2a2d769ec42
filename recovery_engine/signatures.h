#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quarvelin {

struct FileFormat;

// The output folder a carved file goes to.
enum FileCategory : int32_t {
  kImages = 0,
  kVideos = 1,
  kAudio = 2,
  kDocuments = 3,
  kArchives = 4,
  kCode = 5,
};

// Folder names, indexed by FileCategory.
inline constexpr std::array<const char*, 6> CategoryFolders = {"Images",    "Videos",   "Audio",
                                                               "Documents", "Archives", "Code"};

// One header of one file type: a row of the table a scan searches with. The rows come from the
// format modules (formats/registry.h).
struct FileSignature {
  std::string name;             // upper-case type name; several rows may share one
  std::string extension;        // lower-case, no dot: output name, filter key
  int32_t category = 0;         // FileCategory
  std::vector<uint8_t> header;  // empty only for a type its format finds at sector starts
  std::vector<uint8_t> footer;  // empty for types whose end is not found by searching
  int64_t maxSize = 0;
  int64_t minSize = 0;
  bool ignoreCase = false;             // the header's ASCII letters match in either case
  const FileFormat* format = nullptr;  // the module that sizes and names what the header starts
  bool onlyWhenSelected = false;       // carved only when its extension is asked for
};

// Every row, type by type in the order the UI lists them, each type's headers in search order.
// Where several rows match at one offset, the first one's format sizes the candidate and its
// content decides the type.
const std::vector<FileSignature>& SignatureTable();

// The rows whose extension equals one of `extensions` exactly (case-sensitive), in table order;
// when `extensions` is empty, every row but those of types carved only when asked for by name.
std::vector<FileSignature> LoadSignatures(const std::vector<std::string>& extensions);

}  // namespace quarvelin
