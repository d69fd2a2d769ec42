#include "manifest.h"

#include <cerrno>
#include <cstring>

#include "common/json_string.h"

namespace quarvelin {
namespace {

std::string Pairs(const std::vector<std::pair<int64_t, int64_t>>& pairs) {
  std::string json = "[";
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (i > 0) json += ',';
    json += '[' + std::to_string(pairs[i].first) + ',' + std::to_string(pairs[i].second) + ']';
  }
  return json + ']';
}

}  // namespace

Manifest::~Manifest() {
  if (file_ != nullptr) std::fclose(file_);
}

bool Manifest::Open(const std::string& outputDir, std::string& error) {
  file_ = std::fopen((outputDir + "/" + kFileName).c_str(), "ab");
  if (file_ == nullptr) error = std::strerror(errno);
  return file_ != nullptr;
}

std::string Manifest::Line(const ManifestEntry& entry) {
  std::string json =
      "{\"file\":" + JsonString(entry.file) +
      ",\"originalPath\":" + (entry.originalPath ? JsonString(*entry.originalPath) : "null") +
      ",\"state\":" + JsonString(entry.state) + ",\"size\":" + std::to_string(entry.size) +
      ",\"volume\":" + (entry.volume.empty() ? "null" : JsonString(entry.volume)) +
      ",\"foundBy\":" + JsonString(entry.foundBy) + ",\"sectors\":" + Pairs(entry.sectors) +
      ",\"sha256\":" + JsonString(entry.sha256);
  if (entry.modified) json += ",\"modified\":" + std::to_string(*entry.modified);
  if (!entry.problem.empty()) json += ",\"problem\":" + JsonString(entry.problem);
  if (!entry.unreadable.empty()) json += ",\"unreadable\":" + Pairs(entry.unreadable);
  return json + "}\n";
}

bool Manifest::Add(const ManifestEntry& entry) {
  if (file_ == nullptr) return false;
  const std::string line = Line(entry);
  return std::fwrite(line.data(), 1, line.size(), file_) == line.size() && std::fflush(file_) == 0;
}

}  // namespace quarvelin
