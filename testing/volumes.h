#pragma once

// The test volumes under testdata/volumes, made by the real tools (see make_volumes.sh there) and
// kept gzip-compressed; the build unpacks them into the folder a test target gets as
// QUARVELIN_VOLUME_DIR.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bytes.h"
#include "filesystems/found_file.h"
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

// One line of NAME.files: a file the volume's script made, as a perfect reader reports it.
struct ListedFile {
  std::string state;  // "live", "deleted" or "overwritten"
  std::string path;   // from the volume's root, '/'-separated, no leading '/'
  int64_t size = 0;
  std::string sha256;  // "-" when the content is not expected to survive
};

inline std::vector<ListedFile> ListedFiles(const std::string& name) {
  std::ifstream in(std::filesystem::path(QUARVELIN_TESTDATA_DIR) / "volumes" / (name + ".files"));
  std::vector<ListedFile> files;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    ListedFile file;
    std::string size;
    std::getline(fields, file.state, '\t');
    std::getline(fields, file.path, '\t');
    std::getline(fields, size, '\t');
    std::getline(fields, file.sha256, '\t');
    file.size = std::stoll(size);
    files.push_back(file);
  }
  return files;
}

// A found file's path and state as the lists spell them.
inline std::string ListedPath(const FoundFile& file) {
  std::string path;
  for (const std::string& folder : file.folders) path += folder + "/";
  return path + file.name;
}
inline const char* ListedState(FileState state) {
  switch (state) {
    case FileState::kLive:
      return "live";
    case FileState::kDeleted:
      return "deleted";
    case FileState::kOverwritten:
      return "overwritten";
  }
  return "?";
}

}  // namespace quarvelin::testing
