#include "rescue_map.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "common/byte_fields.h"
#include "device/raw_device.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace quarvelin {
namespace {

constexpr BlockStatus kStatuses[] = {BlockStatus::kNonTried, BlockStatus::kNonTrimmed,
                                     BlockStatus::kNonScraped, BlockStatus::kBadSector,
                                     BlockStatus::kFinished};

size_t StatusIndex(BlockStatus status) {
  for (size_t i = 0; i < std::size(kStatuses); ++i) {
    if (kStatuses[i] == status) return i;
  }
  throw std::invalid_argument("unknown block status");
}

std::optional<BlockStatus> StatusFromChar(char c) {
  for (const BlockStatus status : kStatuses) {
    if (static_cast<char>(status) == c) return status;
  }
  return std::nullopt;
}

std::optional<RescuePhase> PhaseFromChar(char c) {
  // Filling and generating are phases of the other tool's other modes; a map saved in them still
  // describes the rescue, which goes on from copying.
  switch (c) {
    case '?':
    case 'F':
    case 'G':
      return RescuePhase::kCopying;
    case '*':
      return RescuePhase::kTrimming;
    case '/':
      return RescuePhase::kScraping;
    case '-':
      return RescuePhase::kRetrying;
    case '+':
      return RescuePhase::kFinished;
    default:
      return std::nullopt;
  }
}

// The words of one line, comments removed: '#' at the start or after white space starts one.
std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    if (i >= line.size() || line[i] == '#') break;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    words.push_back(line.substr(start, i - start));
  }
  return words;
}

// A non-negative integer written as C++ writes constants: 0x... hexadecimal, 0... octal, else
// decimal.
std::optional<int64_t> ParseNumber(std::string_view word, bool decimalOnly = false) {
  int base = 10;
  if (!decimalOnly && word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    base = 16;
    word.remove_prefix(2);
  } else if (!decimalOnly && word.size() > 1 && word[0] == '0') {
    base = 8;
    word.remove_prefix(1);
  }
  if (word.empty()) return std::nullopt;
  int64_t value = 0;
  for (const char c : word) {
    int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    if (digit >= base) return std::nullopt;
    const std::optional<int64_t> shifted = CheckedMul(value, int64_t{base});
    if (!shifted) return std::nullopt;
    const std::optional<int64_t> sum = CheckedAdd(*shifted, int64_t{digit});
    if (!sum) return std::nullopt;
    value = *sum;
  }
  return value;
}

std::string Hex(int64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%08" PRIX64, static_cast<uint64_t>(value));
  return text;
}

#if !defined(_WIN32)
// Makes a rename inside the folder of `path` last through a power cut.
void SyncFolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}
#endif

bool FlushToDisk(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
#if defined(_WIN32)
  return _commit(_fileno(file)) == 0;
#else
  return ::fsync(fileno(file)) == 0;
#endif
}

}  // namespace

RescueMap::RescueMap(int64_t size) : size_(size < 0 ? 0 : size) {
  if (size_ > 0) {
    blocks_.emplace(0, MapBlock{0, size_, BlockStatus::kNonTried});
    Add(BlockStatus::kNonTried, size_);
  }
}

void RescueMap::Add(BlockStatus status, int64_t bytes) {
  bytes_[StatusIndex(status)] += bytes;
}

void RescueMap::Set(int64_t pos, int64_t size, BlockStatus status) {
  int64_t end = pos + std::min(size, size_ - std::min(pos, size_));
  pos = std::max<int64_t>(pos, 0);
  if (size <= 0 || pos >= end) return;
  // Split the blocks holding the two ends, so that [pos, end) is a run of whole blocks.
  const auto split = [this](int64_t at) {
    if (at <= 0 || at >= size_) return;
    auto it = std::prev(blocks_.upper_bound(at));
    if (it->first == at) return;
    MapBlock tail{at, it->second.End() - at, it->second.status};
    it->second.size = at - it->first;
    blocks_.emplace(at, tail);
  };
  split(pos);
  split(end);
  auto first = blocks_.find(pos);
  auto last = blocks_.lower_bound(end);
  for (auto it = first; it != last; ++it) Add(it->second.status, -it->second.size);
  blocks_.erase(first, last);
  Add(status, end - pos);
  // Merge with the neighbours of the same status.
  auto next = blocks_.find(end);
  if (next != blocks_.end() && next->second.status == status) {
    end = next->second.End();
    blocks_.erase(next);
  }
  auto placed = blocks_.emplace(pos, MapBlock{pos, end - pos, status}).first;
  if (placed != blocks_.begin()) {
    auto before = std::prev(placed);
    if (before->second.status == status) {
      before->second.size += placed->second.size;
      blocks_.erase(placed);
    }
  }
}

MapBlock RescueMap::BlockAt(int64_t pos) const {
  if (pos < 0 || pos >= size_) throw std::out_of_range("position outside the rescue map");
  return std::prev(blocks_.upper_bound(pos))->second;
}

std::optional<MapBlock> RescueMap::NextBlock(int64_t from, BlockStatus status) const {
  if (from >= size_) return std::nullopt;
  from = std::max<int64_t>(from, 0);
  for (auto it = std::prev(blocks_.upper_bound(from)); it != blocks_.end(); ++it) {
    if (it->second.status != status) continue;
    MapBlock block = it->second;
    if (block.pos < from) {
      block.size = block.End() - from;
      block.pos = from;
    }
    return block;
  }
  return std::nullopt;
}

std::optional<MapBlock> RescueMap::PreviousBlock(int64_t before, BlockStatus status) const {
  if (before <= 0 || size_ == 0) return std::nullopt;
  before = std::min(before, size_);
  auto it = blocks_.lower_bound(before);
  while (it != blocks_.begin()) {
    --it;
    if (it->second.status != status) continue;
    MapBlock block = it->second;
    if (block.End() > before) block.size = before - block.pos;
    return block;
  }
  return std::nullopt;
}

bool RescueMap::Finished(int64_t pos, int64_t size) const {
  if (size <= 0) return true;
  if (pos < 0 || pos >= size_ || size > size_ - pos) return false;
  for (auto it = std::prev(blocks_.upper_bound(pos)); it != blocks_.end() && it->first < pos + size;
       ++it) {
    if (it->second.status != BlockStatus::kFinished) return false;
  }
  return true;
}

int64_t RescueMap::Bytes(BlockStatus status) const {
  return bytes_[StatusIndex(status)];
}

std::vector<MapBlock> RescueMap::Blocks() const {
  std::vector<MapBlock> blocks;
  blocks.reserve(blocks_.size());
  for (const auto& entry : blocks_) blocks.push_back(entry.second);
  return blocks;
}

std::string RescueMap::Text(const std::vector<std::string>& comments) const {
  std::string text;
  for (const std::string& comment : comments) {
    text += "# ";
    text += comment;
    text += '\n';
  }
  text += "# current_pos  current_status  current_pass\n";
  text += Hex(position);
  text += "     ";
  text += static_cast<char>(phase);
  text += "               ";
  text += std::to_string(pass);
  text += "\n#      pos        size  status\n";
  for (const auto& entry : blocks_) {
    text += Hex(entry.second.pos);
    text += "  ";
    text += Hex(entry.second.size);
    text += "  ";
    text += static_cast<char>(entry.second.status);
    text += '\n';
  }
  return text;
}

std::optional<RescueMap> RescueMap::Parse(std::string_view text, std::string& error) {
  std::vector<MapBlock> blocks;
  std::optional<int64_t> position;
  RescuePhase phase = RescuePhase::kCopying;
  int pass = 1;
  int lineNumber = 0;
  while (!text.empty()) {
    const size_t newline = text.find('\n');
    const std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    ++lineNumber;
    const std::vector<std::string_view> words = Words(line);
    if (words.empty()) continue;
    const std::string where = "line " + std::to_string(lineNumber) + ": ";
    if (!position) {
      // The status line; older maps have no pass number.
      const std::optional<int64_t> pos = ParseNumber(words[0]);
      const std::optional<RescuePhase> status =
          words.size() >= 2 && words[1].size() == 1 ? PhaseFromChar(words[1][0]) : std::nullopt;
      const std::optional<int64_t> passNumber =
          words.size() >= 3 ? ParseNumber(words[2], true) : std::optional<int64_t>(1);
      if (words.size() > 3 || !pos || !status || !passNumber || *passNumber < 1 ||
          *passNumber > 1000) {
        error = where + "not a mapfile status line";
        return std::nullopt;
      }
      position = pos;
      phase = *status;
      pass = static_cast<int>(*passNumber);
      continue;
    }
    const std::optional<int64_t> pos = words.size() == 3 ? ParseNumber(words[0]) : std::nullopt;
    const std::optional<int64_t> size = words.size() == 3 ? ParseNumber(words[1]) : std::nullopt;
    const std::optional<BlockStatus> status =
        words.size() == 3 && words[2].size() == 1 ? StatusFromChar(words[2][0]) : std::nullopt;
    if (!pos || !size || !status || *size <= 0) {
      error = where + "not a mapfile block line";
      return std::nullopt;
    }
    const int64_t expected = blocks.empty() ? 0 : blocks.back().End();
    if (*pos != expected || !CheckedAdd(*pos, *size)) {
      error = where + "the block does not follow the one before it";
      return std::nullopt;
    }
    blocks.push_back(MapBlock{*pos, *size, *status});
  }
  if (!position) {
    error = "no status line: not a mapfile";
    return std::nullopt;
  }
  RescueMap map(blocks.empty() ? 0 : blocks.back().End());
  for (const MapBlock& block : blocks) map.Set(block.pos, block.size, block.status);
  map.position = std::min(*position, map.Size());
  map.phase = phase;
  map.pass = pass;
  return map;
}

bool RescueMap::Save(const std::string& path, const std::vector<std::string>& comments,
                     bool durable, std::string& error) const {
  const std::string text = Text(comments);
  const std::string temporary = path + ".new";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  bool stored = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (stored && durable) stored = FlushToDisk(file);
  if (!stored) error = std::strerror(errno);
  if (std::fclose(file) != 0 && stored) {
    error = std::strerror(errno);
    stored = false;
  }
  if (stored) {
#if !defined(_WIN32)
    // Renaming over a file makes some file systems (ext4) write the new one out at once, which
    // costs milliseconds a save; removing the old one first does not. A rescue stopped between the
    // two finds the new map whole under its temporary name (see Load).
    if (!durable) ::unlink(path.c_str());
#endif
    std::error_code renamed;
    std::filesystem::rename(FileSystemPath(temporary), FileSystemPath(path), renamed);
    if (!renamed) {
#if !defined(_WIN32)
      if (durable) SyncFolderOf(path);
#endif
      return true;
    }
    error = renamed.message();
  }
  std::error_code ignored;
  std::filesystem::remove(FileSystemPath(temporary), ignored);
  return false;
}

std::optional<RescueMap> RescueMap::Load(const std::string& path, std::string& error) {
  error.clear();
  std::FILE* file = std::fopen(path.c_str(), "rb");
  // A save stopped after removing the old map and before renaming the new one: the new one is
  // whole (it was written and closed before the old one went).
  if (file == nullptr && errno == ENOENT) file = std::fopen((path + ".new").c_str(), "rb");
  if (file == nullptr) {
    if (errno != ENOENT) error = std::strerror(errno);
    return std::nullopt;
  }
  std::string text;
  char buffer[65536];
  size_t got = 0;
  // A mapfile of a drive with millions of bad areas is still tens of megabytes at most.
  constexpr size_t kLargest = size_t{256} << 20;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0 && text.size() < kLargest) {
    text.append(buffer, got);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    error = "cannot read it";
    return std::nullopt;
  }
  if (text.size() >= kLargest) {
    error = "too large for a mapfile";
    return std::nullopt;
  }
  return Parse(text, error);
}

}  // namespace quarvelin
