#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quarvelin {

// What the engine makes of one file: the format its first bytes announce, and, for the formats with
// a validator, the validator's verdict as carving would see it.
struct Identification {
  std::string format;     // signature name, e.g. "JPEG"
  std::string extension;  // e.g. "jpg"
  int64_t fileSize = 0;
  bool validated = false;  // the format has a validator; the fields below are its findings
  int64_t size = 0;
  int32_t confidence = 0;
  bool accepted = false;  // carving would trust `size`
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<std::string> issues;
};

struct IdentifyOutcome {
  std::optional<Identification> identification;  // empty: no known header, or unreadable
  std::string error;                             // why there is no identification
};

// The length the structure of the file at `path` gives it, sized as a scan sizes a file on a disk
// (0 when the structure is broken), and the extension its content names; nothing when no known
// header starts it or it cannot be read.
struct ContentSize {
  int64_t size = 0;
  std::string extension;
};
std::optional<ContentSize> SizeFileContent(const std::string& path);

// Reads the file as a carving scan reads a disk (a first buffer, the rest through device reads) and
// runs the validator its header calls for. The file may be any size.
IdentifyOutcome IdentifyFile(const std::string& path);

}  // namespace quarvelin
