#pragma once

// The test volumes under testdata/volumes, made by the real tools (see make_volumes.sh there) and
// kept gzip-compressed; the build unpacks them into the folder a test target gets as
// QUARVELIN_VOLUME_DIR.

#include <filesystem>
#include <stdexcept>
#include <string>

#include "bytes.h"
#include "temp_dir.h"

namespace quarvelin::testing {

inline std::filesystem::path VolumePath(const std::string& name) {
  return std::filesystem::path(QUARVELIN_VOLUME_DIR) / (name + ".img");
}

// The image's bytes; a missing one fails the test rather than reading as empty.
inline File TestVolume(const std::string& name) {
  const auto path = VolumePath(name);
  if (!std::filesystem::is_regular_file(path)) {
    throw std::runtime_error("no test volume " + path.string());
  }
  return ReadFile(path.string());
}

}  // namespace quarvelin::testing
