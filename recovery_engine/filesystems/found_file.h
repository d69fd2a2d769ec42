#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quarvelin {

// What the file system still says about a file.
enum class FileState {
  kLive,         // in use: its data is whole unless the volume is damaged
  kDeleted,      // deleted, and the space it occupied is free: its data is most likely intact
  kOverwritten,  // deleted, and some of its space now belongs to something else
};

// A stretch of a file's content on its volume, in file order. A sparse extent has no place on the
// volume and reads as zeros.
struct Extent {
  int64_t offset = 0;  // bytes from the start of the volume; ignored when sparse
  int64_t length = 0;  // bytes
  bool sparse = false;
};

// A file a file-system reader can name: where it was, what it was called and where its bytes lie.
struct FoundFile {
  std::vector<std::string> folders;  // UTF-8 folder names from the root down, without the file's
  std::string name;                  // UTF-8; never empty, never "." or ".."
  bool orphan = false;  // its folder is gone: `folders` starts below the deepest known one
  int64_t size = 0;     // bytes of content
  FileState state = FileState::kLive;
  // The content, in order. Together they may run past `size` (the rest of the last cluster); they
  // fall short of it only when the reader could not find all of the file, which `problem` says.
  std::vector<Extent> extents;
  // Content kept inside the file system's own records (a small NTFS file); when set, `extents` is
  // empty and this holds all `size` bytes.
  std::optional<std::vector<uint8_t>> resident;
  // NTFS compression: the content is stored in units of this many bytes, each either whole, all
  // sparse (zeros), or LZNT1-compressed into its allocated part followed by a sparse part. 0 for an
  // uncompressed file.
  int64_t compressionUnit = 0;
  // Seconds since 1970-01-01 UTC, when the file system keeps them (FAT keeps local time, taken as
  // UTC).
  std::optional<int64_t> created;
  std::optional<int64_t> modified;
  // What could not be recovered, in words a user understands ("encrypted with EFS: written as
  // stored"); empty when the file comes back whole as far as the file system can tell.
  std::string problem;
};

// Receives each file a reader finds, in the order it finds them. The reference is valid only for
// the call.
using FileSink = std::function<void(const FoundFile&)>;

// What one reader says about the volume it read.
struct FileSystemReport {
  std::string kind;   // "FAT12", "FAT16", "FAT32", "exFAT", "NTFS"
  std::string label;  // the volume label, UTF-8; empty when there is none
  int64_t clusterBytes = 0;
  // Empty when the volume was read; otherwise why it could not be (not this file system, damaged
  // beyond reading). Problems with single files or folders are not errors: the reader goes on.
  std::string error;
  // Where the file system keeps its own records of files (NTFS's MFT), which hold no lost file
  // that the reader did not name: a carve need not look there.
  std::vector<Extent> metadata;
};

// Readers stop early, with what they have found so far, when this is set.
using CancelFlag = const std::atomic<bool>*;

inline bool Cancelled(CancelFlag cancel) {
  return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

}  // namespace quarvelin
