#include "filesystems/ntfs/ntfs.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/byte_fields.h"
#include "filesystems/ntfs/mft_record.h"
#include "filesystems/ntfs/run_list.h"

namespace quarvelin {
namespace {

constexpr int64_t kPieceBytes = 1 << 20;
constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kExtendRecord = 11;
constexpr uint64_t kFirstUserRecord = 16;
constexpr size_t kMaxPathDepth = 4096;
// One file's attribute list and extension records: far more than the most fragmented real file
// needs, small enough to hold while that file is read.
constexpr int64_t kMaxAttributeListBytes = 4 << 20;
constexpr size_t kMaxExtensionRecords = 4096;
constexpr uint32_t kFileAttributeEncrypted = 0x4000;
constexpr char kEncryptedProblem[] =
    "encrypted with EFS: written as stored, unreadable without the owner's key";
constexpr char kReplacement[] = "\xEF\xBF\xBD";

struct Geometry {
  int64_t clusterBytes = 0;
  int64_t recordBytes = 0;
  int64_t clusters = 0;  // clusters of the volume that the source holds
  int64_t mftLcn = 0;
  int64_t mirrorLcn = 0;
};

std::optional<Geometry> ReadBootSector(ByteSource& volume) {
  std::vector<uint8_t> boot(512);
  if (!volume.Read(0, boot)) return std::nullopt;
  const Bytes b(boot);
  if (std::string_view(reinterpret_cast<const char*>(boot.data()) + 3, 8) != "NTFS    " ||
      boot[510] != 0x55 || boot[511] != 0xAA) {
    return std::nullopt;
  }
  const int64_t sectorBytes = ReadLe16(b, 0x0B).value_or(0);
  if (sectorBytes < 256 || sectorBytes > 4096 || (sectorBytes & (sectorBytes - 1)) != 0) {
    return std::nullopt;
  }
  // Sectors per cluster: a count, or above 0x80 the negative exponent of a power of two.
  const uint8_t perCluster = boot[0x0D];
  int64_t sectors = perCluster;
  if (perCluster > 0x80) {
    const int shift = 256 - perCluster;
    if (shift > 20) return std::nullopt;
    sectors = int64_t{1} << shift;
  }
  if (sectors == 0 || (sectors & (sectors - 1)) != 0) return std::nullopt;
  Geometry g;
  g.clusterBytes = sectorBytes * sectors;
  if (g.clusterBytes > (int64_t{2} << 20)) return std::nullopt;
  // Clusters per file record: a count, or when negative 2^-n bytes.
  const auto perRecord = static_cast<int8_t>(boot[0x40]);
  if (perRecord > 0) {
    g.recordBytes = perRecord * g.clusterBytes;
  } else if (perRecord < 0 && perRecord >= -31) {
    g.recordBytes = int64_t{1} << -perRecord;
  }
  if (g.recordBytes < 512 || g.recordBytes > 65536 || (g.recordBytes & (g.recordBytes - 1)) != 0) {
    return std::nullopt;
  }
  const auto totalSectors = AsLength(ReadLe64(b, 0x28).value_or(0));
  const auto mftLcn = AsLength(ReadLe64(b, 0x30).value_or(0));
  const auto mirrorLcn = AsLength(ReadLe64(b, 0x38).value_or(0));
  if (!totalSectors || *totalSectors == 0 || !mftLcn || !mirrorLcn) return std::nullopt;
  const int64_t totalClusters = *totalSectors / sectors;
  g.clusters = std::min(totalClusters, volume.Size() / g.clusterBytes);
  g.mftLcn = *mftLcn;
  g.mirrorLcn = *mirrorLcn;
  if (g.mftLcn >= totalClusters || g.mirrorLcn >= totalClusters) return std::nullopt;
  return g;
}

// The bytes of a non-resident attribute, read through its run list.
class RunReader {
 public:
  RunReader(ByteSource& volume, const Geometry& g, std::vector<Run> runs)
      : volume_(volume), g_(g), runs_(std::move(runs)) {}

  const std::vector<Run>& Runs() const { return runs_; }

  // Bytes the runs map, counting only clusters inside the volume.
  int64_t MappedBytes() const {
    int64_t total = 0;
    for (const Run& r : runs_) {
      total = CheckedAdd(total, std::min(r.length, g_.clusters)).value_or(INT64_MAX);
    }
    return CheckedMul(total, g_.clusterBytes).value_or(INT64_MAX);
  }

  // False when any byte lies in a sparse or unmapped stretch, outside the volume or unreadable.
  bool Read(int64_t at, std::span<uint8_t> out) const {
    size_t done = 0;
    while (done < out.size()) {
      const int64_t position = at + static_cast<int64_t>(done);
      const int64_t vcn = position / g_.clusterBytes;
      auto it = std::upper_bound(runs_.begin(), runs_.end(), vcn,
                                 [](int64_t v, const Run& r) { return v < r.vcn; });
      if (it == runs_.begin()) return false;
      --it;
      if (it->sparse || vcn - it->vcn >= it->length) return false;
      const int64_t clustersLeft = std::min(it->length - (vcn - it->vcn), g_.clusters);
      const auto runByte = CheckedMul(it->vcn, g_.clusterBytes);
      const auto lcnByte = CheckedMul(it->lcn, g_.clusterBytes);
      const auto leftBytes = CheckedMul(clustersLeft, g_.clusterBytes);
      if (!runByte || !lcnByte || !leftBytes) return false;
      const int64_t within = position - *runByte;
      const int64_t inCluster = position - vcn * g_.clusterBytes;
      const int64_t take =
          std::min<int64_t>(*leftBytes - inCluster, static_cast<int64_t>(out.size() - done));
      const auto from = CheckedAdd(*lcnByte, within);
      if (!from || !volume_.Read(*from, out.subspan(done, static_cast<size_t>(take)))) {
        return false;
      }
      done += static_cast<size_t>(take);
    }
    return true;
  }

 private:
  ByteSource& volume_;
  Geometry g_;
  std::vector<Run> runs_;
};

// The non-resident pieces of one stream, joined in VCN order.
struct JoinedRuns {
  std::vector<Run> runs;
  bool broken = false;  // a piece is missing or its mapping pairs are damaged
};

JoinedRuns JoinPieces(std::vector<const Attribute*> pieces) {
  JoinedRuns out;
  std::sort(pieces.begin(), pieces.end(),
            [](const Attribute* a, const Attribute* b) { return a->lowestVcn < b->lowestVcn; });
  int64_t next = 0;
  for (const Attribute* piece : pieces) {
    if (piece->lowestVcn < next) continue;  // the same piece seen twice
    if (piece->lowestVcn > next) {
      out.broken = true;
      break;
    }
    DecodedRuns decoded = DecodeRunList(piece->value, piece->lowestVcn);
    for (const Run& r : decoded.runs) out.runs.push_back(r);
    if (!decoded.runs.empty()) next = decoded.runs.back().vcn + decoded.runs.back().length;
    if (decoded.damaged || decoded.runs.empty()) {
      out.broken = true;
      break;
    }
  }
  return out;
}

// A record's attributes together with those its attribute list places in extension records.
struct FileAttributes {
  std::vector<std::vector<uint8_t>> storage;  // the extension records' bytes
  std::vector<Attribute> all;
  bool incomplete = false;  // an extension record could not be read or is not this file's
};

class Mft {
 public:
  Mft(ByteSource& volume, const Geometry& g, std::vector<Run> runs, int64_t records)
      : volume_(volume),
        g_(g),
        reader_(volume, g, std::move(runs)),
        records_(records),
        extensionBudget_(ExtensionBudget()) {}

  int64_t Records() const { return records_; }
  const std::vector<Run>& Runs() const { return reader_.Runs(); }

  // One record with its fix-ups applied, or nothing.
  bool ReadRecord(uint64_t number, std::vector<uint8_t>& out) const {
    out.resize(static_cast<size_t>(g_.recordBytes));
    if (number >= static_cast<uint64_t>(records_)) return false;
    return reader_.Read(static_cast<int64_t>(number) * g_.recordBytes, out) && ApplyFixups(out);
  }

  // Calls `visit(number, bytes)` for every record whose fix-ups hold, in order, reading the MFT in
  // large pieces; a piece that cannot be read is retried a record at a time.
  template <typename Visit>
  void ForEach(CancelFlag cancel, Visit&& visit) const {
    const int64_t perPiece = std::max<int64_t>(kPieceBytes / g_.recordBytes, 1);
    std::vector<uint8_t> piece;
    extensionBudget_ = ExtensionBudget();
    for (int64_t first = 0; first < records_ && !Cancelled(cancel); first += perPiece) {
      const int64_t count = std::min(perPiece, records_ - first);
      piece.resize(static_cast<size_t>(count * g_.recordBytes));
      const bool whole = reader_.Read(first * g_.recordBytes, piece);
      for (int64_t i = 0; i < count; ++i) {
        std::span<uint8_t> record(piece.data() + i * g_.recordBytes,
                                  static_cast<size_t>(g_.recordBytes));
        if (!whole && !reader_.Read((first + i) * g_.recordBytes, record)) continue;
        if (ApplyFixups(record)) visit(static_cast<uint64_t>(first + i), record);
      }
    }
  }

  // The attributes of base record `number`, fetching the extension records its attribute list
  // names (each must name this record as its base).
  FileAttributes Gather(uint64_t number, const MftRecord& base) const {
    FileAttributes out;
    const Attribute* list = nullptr;
    for (const Attribute& a : base.attributes) {
      if (a.type == kAttributeList) {
        list = &a;
      } else {
        out.all.push_back(a);
      }
    }
    if (list == nullptr) return out;
    std::vector<uint8_t> listBytes;
    if (!list->nonResident) {
      listBytes.assign(list->value.begin(), list->value.end());
    } else {
      const int64_t bytes = std::min(list->dataSize, kMaxAttributeListBytes);
      const RunReader reader(volume_, g_, JoinPieces({list}).runs);
      listBytes.resize(static_cast<size_t>(std::min(bytes, reader.MappedBytes())));
      if (!reader.Read(0, listBytes)) {
        out.incomplete = true;
        return out;
      }
    }
    std::vector<uint64_t> wanted;
    for (size_t at = 0; at + 0x1A <= listBytes.size();) {
      const uint16_t length = ReadLe16(listBytes, at + 4).value_or(0);
      const FileReference ref = SplitReference(ReadLe64(listBytes, at + 0x10).value_or(0));
      if (length < 0x1A) break;
      if (ref.record != number) wanted.push_back(ref.record);
      at += length;
    }
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    if (wanted.size() > kMaxExtensionRecords) {
      wanted.resize(kMaxExtensionRecords);
      out.incomplete = true;
    }
    out.storage.reserve(wanted.size());
    for (uint64_t extension : wanted) {
      std::vector<uint8_t> bytes;
      if (--extensionBudget_ < 0 || !ReadRecord(extension, bytes)) {
        out.incomplete = true;
        continue;
      }
      out.storage.push_back(std::move(bytes));
      const auto record = ParseRecord(out.storage.back());
      if (!record || record->base.record != number || record->base.sequence != base.sequence) {
        out.incomplete = true;
        continue;
      }
      for (const Attribute& a : record->attributes) {
        if (a.type != kAttributeList) out.all.push_back(a);
      }
    }
    return out;
  }

 private:
  // Every extension record belongs to one base record, so a pass over a sound MFT reads each
  // once; lists that name the same records again and again must not make a pass quadratic.
  int64_t ExtensionBudget() const { return 2 * records_ + 1024; }

  ByteSource& volume_;
  Geometry g_;
  RunReader reader_;
  int64_t records_ = 0;
  mutable int64_t extensionBudget_ = 0;
};

// Record 0 describes the MFT itself; its $DATA may continue in extension records, which can only
// be found through the part of the run list already known.
std::optional<Mft> LoadMft(ByteSource& volume, const Geometry& g) {
  for (const int64_t lcn : {g.mftLcn, g.mirrorLcn}) {
    std::vector<uint8_t> bytes(static_cast<size_t>(g.recordBytes));
    const auto at = CheckedMul(lcn, g.clusterBytes);
    if (!at || !volume.Read(*at, bytes) || !ApplyFixups(bytes)) continue;
    const auto record = ParseRecord(bytes);
    if (!record || record->base.record != 0) continue;
    const Attribute* first = nullptr;
    std::vector<const Attribute*> pieces;
    for (const Attribute& a : record->attributes) {
      if (a.type == kData && !a.named && a.nonResident) {
        pieces.push_back(&a);
        if (a.lowestVcn == 0) first = &a;
      }
    }
    if (first == nullptr) continue;
    const int64_t dataSize = first->dataSize;
    JoinedRuns joined = JoinPieces(pieces);
    auto recordsIn = [&](const JoinedRuns& j) {
      const RunReader reader(volume, g, j.runs);
      const int64_t limit = std::min({dataSize, reader.MappedBytes(), volume.Size()});
      return limit / g.recordBytes;
    };
    std::optional<Mft> mft;
    mft.emplace(volume, g, joined.runs, recordsIn(joined));
    // With an attribute list, each round may map more of the MFT and so reach more pieces.
    for (int round = 0; round < 8; ++round) {
      FileAttributes all = mft->Gather(0, *record);
      std::vector<const Attribute*> more;
      for (const Attribute& a : all.all) {
        if (a.type == kData && !a.named && a.nonResident) more.push_back(&a);
      }
      JoinedRuns grown = JoinPieces(more);
      if (grown.runs.size() <= joined.runs.size()) break;
      joined = std::move(grown);
      mft.emplace(volume, g, joined.runs, recordsIn(joined));
    }
    return mft;
  }
  return std::nullopt;
}

// Whether clusters are in use, from $Bitmap, read a piece at a time.
class ClusterBitmap {
 public:
  ClusterBitmap(ByteSource& volume, const Geometry& g, std::vector<Run> runs, int64_t bytes)
      : reader_(volume, g, std::move(runs)), bytes_(bytes) {}

  // Nothing when the bitmap cannot say.
  std::optional<bool> AnyUsed(int64_t lcn, int64_t count) {
    for (int64_t c = lcn; c < lcn + count; ++c) {
      const int64_t byte = c / 8;
      if (byte >= bytes_) return std::nullopt;
      if (byte < windowStart_ || byte >= windowStart_ + static_cast<int64_t>(window_.size())) {
        windowStart_ = byte - byte % kPieceBytes;
        window_.resize(static_cast<size_t>(std::min(kPieceBytes, bytes_ - windowStart_)));
        if (!reader_.Read(windowStart_, window_)) {
          window_.clear();
          return std::nullopt;
        }
      }
      const uint8_t bits = window_[static_cast<size_t>(byte - windowStart_)];
      // Whole bytes at once where the range allows.
      if (c % 8 == 0 && lcn + count - c >= 8) {
        if (bits != 0) return true;
        c += 7;
        continue;
      }
      if ((bits >> (c % 8) & 1) != 0) return true;
    }
    return false;
  }

 private:
  RunReader reader_;
  int64_t bytes_ = 0;
  int64_t windowStart_ = 0;
  std::vector<uint8_t> window_;
};

// A name a record gives its file in some folder.
struct FileName {
  FileReference parent;
  std::string name;
  std::optional<int64_t> created;
  std::optional<int64_t> modified;
};

std::optional<int64_t> UnixSeconds(std::optional<uint64_t> filetime) {
  if (!filetime || *filetime == 0 || *filetime > static_cast<uint64_t>(INT64_MAX)) {
    return std::nullopt;
  }
  return static_cast<int64_t>(*filetime / 10000000) - 11644473600;
}

std::string CleanName(std::string name) {
  std::string out;
  for (const char c : name) {
    if (c == '/' || c == '\0') {
      out += kReplacement;
    } else {
      out += c;
    }
  }
  return out;
}

// The first name outside the DOS namespace, or the DOS name when that is all there is.
std::optional<FileName> PickName(const std::vector<Attribute>& attributes) {
  std::optional<FileName> dos;
  for (const Attribute& a : attributes) {
    if (a.type != kFileName || a.nonResident || a.value.size() < 0x42) continue;
    const uint8_t length = a.value[0x40];
    const uint8_t space = a.value[0x41];
    if (a.value.size() < 0x42u + 2u * length) continue;
    FileName name;
    name.parent = SplitReference(*ReadLe64(a.value, 0));
    name.created = UnixSeconds(ReadLe64(a.value, 0x08));
    name.modified = UnixSeconds(ReadLe64(a.value, 0x10));
    name.name = CleanName(Utf16ToUtf8(a.value.subspan(0x42, 2u * length)));
    if (space != 2) return name;
    if (!dos) dos = std::move(name);
  }
  return dos;
}

// What the folder pass keeps of each directory record.
struct Folder {
  uint64_t parent = 0;
  uint16_t parentSequence = 0;
  uint16_t sequence = 0;
  bool inUse = false;
  std::string name;
};

struct Place {
  std::vector<std::string> folders;
  bool orphan = false;
  bool metadata = false;  // under $Extend
};

// A reference still means the folder when the sequence numbers agree; a folder's record that was
// freed and not reused has had its sequence number raised by one.
bool SameFolder(const Folder& folder, uint16_t sequence) {
  return folder.sequence == sequence ||
         (!folder.inUse && folder.sequence == static_cast<uint16_t>(sequence + 1));
}

Place Resolve(const std::unordered_map<uint64_t, Folder>& folders, FileReference parent,
              bool live) {
  Place out;
  std::vector<const Folder*> chain;
  std::vector<uint64_t> seen;
  bool childLive = live;
  while (true) {
    if (parent.record == kRootRecord) break;
    if (parent.record == kExtendRecord) {
      out.metadata = true;
      return out;
    }
    const auto it = folders.find(parent.record);
    if (it == folders.end() || !SameFolder(it->second, parent.sequence) ||
        (childLive && !it->second.inUse) || chain.size() >= kMaxPathDepth ||
        std::find(seen.begin(), seen.end(), parent.record) != seen.end()) {
      out.orphan = true;
      break;
    }
    seen.push_back(parent.record);
    chain.push_back(&it->second);
    childLive = it->second.inUse;
    parent = {it->second.parent, it->second.parentSequence};
  }
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) out.folders.push_back((*it)->name);
  return out;
}

struct Stream {
  bool resident = false;
  std::span<const uint8_t> residentBytes;
  int64_t size = 0;
  int64_t initialized = 0;
  uint16_t flags = 0;
  uint8_t compressionUnit = 0;
  JoinedRuns runs;
};

// The unnamed $DATA stream; alternate streams are left out.
std::optional<Stream> FindData(const std::vector<Attribute>& attributes) {
  std::vector<const Attribute*> pieces;
  const Attribute* first = nullptr;
  for (const Attribute& a : attributes) {
    if (a.type != kData || a.named) continue;
    if (!a.nonResident) {
      Stream s;
      s.resident = true;
      s.residentBytes = a.value;
      s.size = static_cast<int64_t>(a.value.size());
      s.flags = a.flags;
      return s;
    }
    pieces.push_back(&a);
    if (a.lowestVcn == 0 && first == nullptr) first = &a;
  }
  if (first == nullptr) return std::nullopt;
  Stream s;
  s.size = first->dataSize;
  s.initialized = std::min(first->initializedSize, first->dataSize);
  s.flags = first->flags;
  s.compressionUnit = first->compressionUnit;
  s.runs = JoinPieces(std::move(pieces));
  return s;
}

void AddExtent(std::vector<Extent>& extents, Extent e) {
  if (e.length <= 0) return;
  if (!extents.empty()) {
    Extent& last = extents.back();
    if (last.sparse && e.sparse) {
      last.length += e.length;
      return;
    }
    if (!last.sparse && !e.sparse && last.offset + last.length == e.offset) {
      last.length += e.length;
      return;
    }
  }
  extents.push_back(e);
}

std::string BytesShort(const char* what, int64_t had, int64_t size) {
  return std::string(what) + " after " + std::to_string(had) + " of " + std::to_string(size) +
         " bytes";
}

class Reader {
 public:
  Reader(ByteSource& volume, const Geometry& g, Mft mft, const FileSink& sink, CancelFlag cancel)
      : volume_(volume), g_(g), mft_(std::move(mft)), sink_(sink), cancel_(cancel) {}

  FileSystemReport ReadAll() {
    FileSystemReport report;
    report.kind = "NTFS";
    report.clusterBytes = g_.clusterBytes;
    report.label = Label();
    // The MFT holds small files inside their records: those come back through it, and a carve
    // of its clusters would only find them again, with the records' fix-up bytes in them.
    for (const Run& run : mft_.Runs()) {
      const auto offset = CheckedMul(run.lcn, g_.clusterBytes);
      const auto length = CheckedMul(std::min(run.length, g_.clusters), g_.clusterBytes);
      if (!run.sparse && offset && length && *offset >= 0) {
        report.metadata.push_back({*offset, *length, false});
      }
    }
    LoadBitmap();
    CollectFolders();
    EmitFiles();
    return report;
  }

 private:
  std::string Label() {
    std::vector<uint8_t> bytes;
    if (!mft_.ReadRecord(3, bytes)) return {};
    const auto record = ParseRecord(bytes);
    if (!record) return {};
    for (const Attribute& a : record->attributes) {
      if (a.type == kVolumeName && !a.nonResident) return Utf16ToUtf8(a.value);
    }
    return {};
  }

  void LoadBitmap() {
    std::vector<uint8_t> bytes;
    if (!mft_.ReadRecord(6, bytes)) return;
    const auto record = ParseRecord(bytes);
    if (!record) return;
    const FileAttributes attributes = mft_.Gather(6, *record);
    const auto data = FindData(attributes.all);
    if (!data || data->resident) return;
    bitmap_.emplace(volume_, g_, data->runs.runs, data->size);
  }

  // First pass: every directory record's name and parent.
  void CollectFolders() {
    mft_.ForEach(cancel_, [&](uint64_t number, std::span<const uint8_t> bytes) {
      const auto record = ParseRecord(bytes);
      if (!record || record->base.record != 0 || (record->flags & kRecordIsDirectory) == 0) return;
      const FileAttributes attributes = mft_.Gather(number, *record);
      auto name = PickName(attributes.all);
      if (!name) return;
      Folder folder;
      folder.parent = name->parent.record;
      folder.parentSequence = name->parent.sequence;
      folder.sequence = record->sequence;
      folder.inUse = (record->flags & kRecordInUse) != 0;
      folder.name = name->name.empty() || name->name == "." || name->name == ".."
                        ? "folder " + std::to_string(number)
                        : std::move(name->name);
      folders_.emplace(number, std::move(folder));
    });
  }

  // Second pass: every other base record from the first user record on, emitted as it is read.
  void EmitFiles() {
    mft_.ForEach(cancel_, [&](uint64_t number, std::span<const uint8_t> bytes) {
      if (number < kFirstUserRecord) return;
      const auto record = ParseRecord(bytes);
      if (!record || record->base.record != 0 || (record->flags & kRecordIsDirectory) != 0) return;
      Emit(number, *record);
    });
  }

  void Emit(uint64_t number, const MftRecord& record) {
    const FileAttributes attributes = mft_.Gather(number, record);
    auto name = PickName(attributes.all);
    if (!name) return;
    const bool live = (record.flags & kRecordInUse) != 0;
    Place place = Resolve(folders_, name->parent, live);
    if (place.metadata) return;

    FoundFile file;
    file.folders = std::move(place.folders);
    file.orphan = place.orphan;
    file.name = name->name.empty() || name->name == "." || name->name == ".."
                    ? "file " + std::to_string(number)
                    : std::move(name->name);
    file.created = name->created;
    file.modified = name->modified;
    uint32_t fileAttributes = 0;
    for (const Attribute& a : attributes.all) {
      if (a.type == kStandardInformation && !a.nonResident) {
        if (auto t = UnixSeconds(ReadLe64(a.value, 0x00))) file.created = t;
        if (auto t = UnixSeconds(ReadLe64(a.value, 0x08))) file.modified = t;
        fileAttributes = ReadLe32(a.value, 0x20).value_or(0);
        break;
      }
    }

    std::vector<std::pair<int64_t, int64_t>> clusters;  // the runs the extents use
    if (auto data = FindData(attributes.all)) {
      file.size = data->size;
      if (data->resident) {
        file.resident.emplace(data->residentBytes.begin(), data->residentBytes.end());
      } else {
        PlaceData(file, *data, clusters);
      }
      if ((data->flags & kAttributeEncrypted) != 0) fileAttributes |= kFileAttributeEncrypted;
    }
    if (attributes.incomplete && file.problem.empty()) {
      file.problem = "some of the file's records could not be read";
    }
    if ((fileAttributes & kFileAttributeEncrypted) != 0) file.problem = kEncryptedProblem;

    if (live) {
      file.state = FileState::kLive;
    } else {
      file.state = FileState::kDeleted;
      for (const auto& [lcn, count] : clusters) {
        const std::optional<bool> used =
            bitmap_ ? bitmap_->AnyUsed(lcn, count) : std::optional<bool>();
        if (!used || *used) {
          file.state = FileState::kOverwritten;
          break;
        }
      }
    }
    sink_(file);
  }

  // The extents of a non-resident stream: its runs up to the size (compressed streams up to the
  // end of the last compression unit), bytes past the initialized size as zeros, and nothing
  // outside the volume.
  void PlaceData(FoundFile& file, const Stream& data,
                 std::vector<std::pair<int64_t, int64_t>>& clusters) {
    int64_t want = data.size;
    int64_t readable = data.initialized;
    // Sparse files carry a compression unit too: only the flag says the units are compressed.
    if ((data.flags & kAttributeCompressed) != 0) {
      const int unitShift = data.compressionUnit != 0 ? data.compressionUnit : 4;
      const auto unit = unitShift <= 16 ? CheckedMul(g_.clusterBytes, int64_t{1} << unitShift)
                                        : std::optional<int64_t>();
      if (!unit) {
        file.problem = "the file's compression unit is not one NTFS uses";
        return;
      }
      file.compressionUnit = *unit;
      want = CheckedAdd(want, *unit - 1).value_or(want) / *unit * *unit;
      readable = want;
    }
    int64_t at = 0;
    for (const Run& run : data.runs.runs) {
      if (at >= want) break;
      const int64_t take =
          std::min(CheckedMul(run.length, g_.clusterBytes).value_or(INT64_MAX), want - at);
      if (run.sparse) {
        AddExtent(file.extents, {0, take, true});
        at += take;
        continue;
      }
      const int64_t used = (take + g_.clusterBytes - 1) / g_.clusterBytes;
      if (run.lcn >= g_.clusters || used > g_.clusters - run.lcn) {
        file.problem = BytesShort("run list points outside the volume", at, data.size);
        break;
      }
      clusters.emplace_back(run.lcn, used);
      const int64_t offset = run.lcn * g_.clusterBytes;
      const int64_t stored = std::clamp<int64_t>(readable - at, 0, take);
      AddExtent(file.extents, {offset, stored, false});
      AddExtent(file.extents, {0, take - stored, true});
      at += take;
    }
    if (at < want && file.problem.empty()) {
      file.problem = BytesShort("run list ends", std::min(at, data.size), data.size);
    }
  }

  ByteSource& volume_;
  Geometry g_;
  Mft mft_;
  const FileSink& sink_;
  CancelFlag cancel_;
  std::optional<ClusterBitmap> bitmap_;
  std::unordered_map<uint64_t, Folder> folders_;
};

}  // namespace

FileSystemReport ReadNtfsFiles(ByteSource& volume, const FileSink& sink, CancelFlag cancel) {
  FileSystemReport report;
  report.kind = "NTFS";
  const auto geometry = ReadBootSector(volume);
  if (!geometry) {
    report.error = "not an NTFS volume: its boot sector is not sound";
    return report;
  }
  auto mft = LoadMft(volume, *geometry);
  if (!mft) {
    report.clusterBytes = geometry->clusterBytes;
    report.error = "the master file table cannot be read, nor its mirror";
    return report;
  }
  return Reader(volume, *geometry, std::move(*mft), sink, cancel).ReadAll();
}

}  // namespace quarvelin
