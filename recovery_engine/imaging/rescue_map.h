#pragma once

// What is known about every byte of a drive being rescued: read, failed in a large read, failed
// sector by sector, or not tried yet. Kept in memory as maximal runs of one status, and stored in
// the mapfile format GNU ddrescue documents, so a rescue begun here can be continued or inspected
// with that tool and its companions, and the other way round.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarvelin {

// The status characters are the mapfile's own.
enum class BlockStatus : char {
  kNonTried = '?',    // never read
  kNonTrimmed = '*',  // failed as part of a large read; its edges not yet read sector by sector
  kNonScraped = '/',  // edges trimmed; the inside not yet read sector by sector
  kBadSector = '-',   // failed when read sector by sector
  kFinished = '+',    // read, and on the copy
};

// The phase a rescue is in, as the mapfile's status line says it.
enum class RescuePhase : char {
  kCopying = '?',
  kTrimming = '*',
  kScraping = '/',
  kRetrying = '-',
  kFinished = '+',
};

struct MapBlock {
  int64_t pos = 0;   // first byte
  int64_t size = 0;  // bytes, > 0
  BlockStatus status = BlockStatus::kNonTried;
  int64_t End() const { return pos + size; }
};

class RescueMap {
 public:
  // A map of `size` bytes, none tried.
  explicit RescueMap(int64_t size);

  int64_t Size() const { return size_; }

  // Marks [pos, pos + size) (clipped to the map) with `status`; neighbours of one status merge.
  void Set(int64_t pos, int64_t size, BlockStatus status);
  // The maximal block of one status holding `pos` (< Size()).
  MapBlock BlockAt(int64_t pos) const;
  // The first block of `status` that ends after `from`, clipped to start at `from`; nothing when
  // there is none.
  std::optional<MapBlock> NextBlock(int64_t from, BlockStatus status) const;
  // The last block of `status` that starts before `before`, clipped to end at `before`.
  std::optional<MapBlock> PreviousBlock(int64_t before, BlockStatus status) const;
  // True when every byte of [pos, pos + size) is finished.
  bool Finished(int64_t pos, int64_t size) const;
  // Bytes of that status over the whole map.
  int64_t Bytes(BlockStatus status) const;
  // Every block in order.
  std::vector<MapBlock> Blocks() const;

  // Where the rescue stands, for the status line: the position being tried, the phase, and the
  // pass within the phase (from 1).
  int64_t position = 0;
  RescuePhase phase = RescuePhase::kCopying;
  int pass = 1;

  // The mapfile text: heading comments (each of `comments` on its own "# " line), the status line,
  // then one line per block, positions and sizes in hexadecimal as ddrescue writes them.
  std::string Text(const std::vector<std::string>& comments) const;
  // Reads a mapfile (decimal, hexadecimal or octal numbers; comments anywhere). The blocks must
  // start at 0 and follow each other without gap or overlap. Nothing, with the reason in `error`,
  // when the text is not a mapfile.
  static std::optional<RescueMap> Parse(std::string_view text, std::string& error);

  // Writes the mapfile to `path` so that it is always whole: a new file beside it, then renamed
  // over the old one. False, with the reason in `error`, when it could not be stored. `durable`
  // also flushes it to the disk (slower; a process killed between saves loses nothing without it).
  bool Save(const std::string& path, const std::vector<std::string>& comments, bool durable,
            std::string& error) const;
  // Reads the mapfile at `path`. Nothing when there is none or it cannot be read or parsed, with
  // the reason in `error` (empty when the file does not exist).
  static std::optional<RescueMap> Load(const std::string& path, std::string& error);

 private:
  void Add(BlockStatus status, int64_t bytes);

  int64_t size_;
  std::map<int64_t, MapBlock> blocks_;  // by first byte; cover [0, size_) with no gap
  int64_t bytes_[5] = {};               // per status, in the order of `kStatuses`
};

}  // namespace quarvelin
