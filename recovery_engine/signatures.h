#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quarvelin {

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

// One kind of file the scan recognises by the bytes it starts with.
struct FileSignature {
  std::string name;             // upper-case type name; several rows may share one
  std::string extension;        // lower-case, no dot: output name, filter key, sizing method
  int32_t category = 0;         // FileCategory
  std::vector<uint8_t> header;  // never empty
  std::vector<uint8_t> footer;  // empty for types whose end is not found by searching
  int64_t maxSize = 0;
  int64_t minSize = 0;
};

// The 42 rows, in search order: the first selected row whose carve is accepted claims a header
// that several rows share.
const std::vector<FileSignature>& SignatureTable();

// The rows whose extension equals one of `extensions` exactly (case-sensitive), in table order;
// all rows when `extensions` is empty.
std::vector<FileSignature> LoadSignatures(const std::vector<std::string>& extensions);

}  // namespace quarvelin
