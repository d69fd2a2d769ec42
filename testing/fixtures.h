#pragma once

// The real sample files under testdata/files, made by real encoders (see testdata/README.md); a
// test target that uses them defines QUARVELIN_TESTDATA_DIR.

#include <algorithm>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "bytes.h"
#include "temp_dir.h"

namespace quarvelin::testing {

inline std::filesystem::path FixtureDir() {
  return std::filesystem::path(QUARVELIN_TESTDATA_DIR) / "files";
}

// The sample file's bytes; a missing one fails the test rather than reading as empty.
inline File Fixture(const std::string& name) {
  const auto path = FixtureDir() / name;
  if (!std::filesystem::is_regular_file(path)) {
    throw std::runtime_error("no sample file " + path.string());
  }
  return ReadFile(path.string());
}

// Every sample file, or those of one extension (without its dot), sorted by name.
inline std::vector<std::filesystem::path> Fixtures(const std::string& extension = "") {
  std::vector<std::filesystem::path> found;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(FixtureDir(), ignored)) {
    if (extension.empty() || entry.path().extension() == "." + extension) {
      found.push_back(entry.path());
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

// The extensions the sample files have, sorted: one per format.
inline std::vector<std::string> FixtureExtensions() {
  std::set<std::string> extensions;
  for (const auto& path : Fixtures()) extensions.insert(path.extension().string().substr(1));
  return {extensions.begin(), extensions.end()};
}

}  // namespace quarvelin::testing
