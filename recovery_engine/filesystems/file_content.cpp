#include "filesystems/file_content.h"

#include <algorithm>
#include <vector>

#include "filesystems/ntfs/lznt1.h"

namespace quarvelin {
namespace {

constexpr int64_t kPieceBytes = 1 << 20;
// Where a piece cannot be read, it is read again in steps this small, so that a bad sector costs
// the file only its own bytes.
constexpr int64_t kRetryBytes = 512;
// Compression units larger than this are not NTFS's (16 clusters of at most 64 KiB).
constexpr int64_t kMaxUnitBytes = 16 << 20;

class ContentWriter {
 public:
  ContentWriter(ByteSource& volume, const std::function<bool(std::span<const uint8_t>)>& write,
                CancelFlag cancel)
      : volume_(volume), write_(write), cancel_(cancel) {}

  // Hands `bytes` on; false once the writer refused or the copy was cancelled.
  bool Put(std::span<const uint8_t> bytes) {
    if (Cancelled(cancel_)) {
      result_.cancelled = true;
      return false;
    }
    if (!write_(bytes)) {
      result_.writerFailed = true;
      return false;
    }
    result_.written += static_cast<int64_t>(bytes.size());
    return true;
  }

  bool PutZeros(int64_t length) {
    while (length > 0) {
      const int64_t take = std::min(length, kPieceBytes);
      zeros_.resize(static_cast<size_t>(take), 0);
      if (!Put(std::span<const uint8_t>(zeros_).first(static_cast<size_t>(take)))) return false;
      length -= take;
    }
    return true;
  }

  // Reads `length` bytes at `offset` on the volume into `out`; what cannot be read is zeros and is
  // listed as the file's bytes from `fileOffset`.
  void ReadSalvaging(int64_t offset, int64_t length, int64_t fileOffset,
                     std::vector<uint8_t>& out) {
    out.assign(static_cast<size_t>(length), 0);
    if (volume_.Read(offset, out)) return;
    for (int64_t at = 0; at < length; at += kRetryBytes) {
      const int64_t take = std::min(kRetryBytes, length - at);
      std::span<uint8_t> piece =
          std::span<uint8_t>(out).subspan(static_cast<size_t>(at), static_cast<size_t>(take));
      if (!volume_.Read(offset + at, piece)) {
        std::fill(piece.begin(), piece.end(), uint8_t{0});
        Unreadable(fileOffset + at, take);
      }
    }
  }

  bool PutFromVolume(int64_t offset, int64_t length, int64_t fileOffset) {
    while (length > 0) {
      const int64_t take = std::min(length, kPieceBytes);
      ReadSalvaging(offset, take, fileOffset, buffer_);
      if (!Put(buffer_)) return false;
      offset += take;
      fileOffset += take;
      length -= take;
    }
    return true;
  }

  void Unreadable(int64_t fileOffset, int64_t length) {
    auto& list = result_.unreadable;
    if (!list.empty() && list.back().first + list.back().second == fileOffset) {
      list.back().second += length;
    } else {
      list.emplace_back(fileOffset, length);
    }
  }

  ContentResult& Result() { return result_; }

 private:
  ByteSource& volume_;
  const std::function<bool(std::span<const uint8_t>)>& write_;
  CancelFlag cancel_;
  ContentResult result_;
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> zeros_;
};

void CopyPlain(const FoundFile& file, ContentWriter& out) {
  int64_t position = 0;
  for (const Extent& extent : file.extents) {
    if (position >= file.size) break;
    const int64_t take = std::min(std::max<int64_t>(extent.length, 0), file.size - position);
    const bool ok =
        extent.sparse ? out.PutZeros(take) : out.PutFromVolume(extent.offset, take, position);
    if (!ok) return;
    position += take;
  }
}

// NTFS compression: each unit is whole (no sparse part), all sparse (zeros), or its compressed form
// in the allocated part followed by a sparse part.
void CopyCompressed(const FoundFile& file, ContentWriter& out) {
  const int64_t unit = file.compressionUnit;
  std::vector<uint8_t> stored;
  std::vector<uint8_t> plain(static_cast<size_t>(unit));
  std::vector<uint8_t> piece;
  size_t next = 0;       // extent holding the next unread byte
  int64_t consumed = 0;  // bytes of that extent already taken
  for (int64_t position = 0; position < file.size; position += unit) {
    // Gather this unit's stretches.
    stored.clear();
    int64_t gathered = 0;
    int64_t sparse = 0;
    while (gathered < unit && next < file.extents.size()) {
      const Extent& extent = file.extents[next];
      const int64_t take =
          std::min(std::max<int64_t>(extent.length, 0) - consumed, unit - gathered);
      if (!extent.sparse && take > 0) {
        out.ReadSalvaging(extent.offset + consumed, take, position + gathered, piece);
        stored.insert(stored.end(), piece.begin(), piece.end());
      } else {
        sparse += take;
      }
      gathered += take;
      consumed += take;
      if (consumed >= extent.length) {
        ++next;
        consumed = 0;
      }
    }
    if (gathered == 0) return;  // the run list ends before the file does
    const int64_t want = std::min(unit, file.size - position);
    if (sparse == 0) {
      if (!out.Put(std::span<const uint8_t>(stored).first(
              static_cast<size_t>(std::min<int64_t>(want, static_cast<int64_t>(stored.size()))))))
        return;
      if (gathered < unit) return;
      continue;
    }
    std::fill(plain.begin(), plain.end(), uint8_t{0});
    if (!stored.empty() && !DecompressLznt1(stored, plain)) {
      out.Result().undecodable.push_back(position);
    }
    if (!out.Put(std::span<const uint8_t>(plain).first(static_cast<size_t>(want)))) return;
  }
}

}  // namespace

ContentResult ReadContent(ByteSource& volume, const FoundFile& file,
                          const std::function<bool(std::span<const uint8_t>)>& write,
                          CancelFlag cancel) {
  ContentWriter out(volume, write, cancel);
  if (file.size <= 0) return out.Result();
  if (file.resident) {
    const auto& bytes = *file.resident;
    out.Put(std::span<const uint8_t>(bytes).first(
        static_cast<size_t>(std::min<int64_t>(file.size, static_cast<int64_t>(bytes.size())))));
  } else if (file.compressionUnit > 0 && file.compressionUnit <= kMaxUnitBytes) {
    CopyCompressed(file, out);
  } else {
    CopyPlain(file, out);
  }
  return out.Result();
}

}  // namespace quarvelin
