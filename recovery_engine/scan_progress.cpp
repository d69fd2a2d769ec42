#include "scan_progress.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <system_error>

#include "common/byte_fields.h"
#include "common/json_string.h"
#include "common/sha256.h"
#include "manifest.h"
#include "recovery_engine.h"

namespace quarvelin {
namespace {

using Kind = NativeMessageKind;

constexpr int kVersion = 1;
// Sectors hashed at each end of the source: the partition tables and boot sectors at its start,
// the backup GPT at its end, which between them carry the identifiers a drive's owner gave it.
constexpr int64_t kFingerprintSectors = 16;

// One JSON value of the few texts read back here (the progress file, manifest lines).
struct Json {
  enum class Type { kNull, kBoolean, kNumber, kString, kArray, kObject };
  Type type = Type::kNull;
  std::string text;  // a string's unescaped text; a number's or literal's spelling
  std::vector<Json> items;
  std::vector<std::string> keys;  // of an object's items, at the same index

  const Json* Find(std::string_view key) const {
    if (type != Type::kObject) return nullptr;
    for (size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] == key) return &items[i];
    }
    return nullptr;
  }
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  // One value filling the whole text, whitespace aside.
  std::optional<Json> Document() {
    std::optional<Json> value = Value(0);
    Skip();
    if (pos_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  // Deeper than anything written here: a hostile file must not exhaust the stack.
  static constexpr int kMaxDepth = 16;

  void Skip() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\t')) {
      ++pos_;
    }
  }

  bool Eat(char c) {
    Skip();
    if (pos_ >= text_.size() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }

  std::optional<Json> Value(int depth) {
    Skip();
    if (depth > kMaxDepth || pos_ >= text_.size()) return std::nullopt;
    Json value;
    const char c = text_[pos_];
    if (c == '{' || c == '[') {
      ++pos_;
      const bool object = c == '{';
      const char close = object ? '}' : ']';
      value.type = object ? Json::Type::kObject : Json::Type::kArray;
      if (Eat(close)) return value;
      do {
        if (object) {
          Skip();
          std::optional<std::string> key = String();
          if (!key || !Eat(':')) return std::nullopt;
          value.keys.push_back(std::move(*key));
        }
        std::optional<Json> item = Value(depth + 1);
        if (!item) return std::nullopt;
        value.items.push_back(std::move(*item));
      } while (Eat(','));
      if (!Eat(close)) return std::nullopt;
      return value;
    }
    if (c == '"') {
      std::optional<std::string> text = String();
      if (!text) return std::nullopt;
      value.type = Json::Type::kString;
      value.text = std::move(*text);
      return value;
    }
    for (const std::string_view literal : {"true", "false", "null"}) {
      if (text_.substr(pos_, literal.size()) == literal) {
        pos_ += literal.size();
        value.type = literal == "null" ? Json::Type::kNull : Json::Type::kBoolean;
        value.text = literal;
        return value;
      }
    }
    const size_t start = pos_;
    while (pos_ < text_.size() &&
           std::string_view("-+.eE0123456789").find(text_[pos_]) != std::string_view::npos) {
      ++pos_;
    }
    if (pos_ == start) return std::nullopt;
    value.type = Json::Type::kNumber;
    value.text = text_.substr(start, pos_ - start);
    return value;
  }

  std::optional<uint32_t> Hex4() {
    if (text_.size() - pos_ < 4) return std::nullopt;
    uint32_t code = 0;
    const auto [end, error] =
        std::from_chars(text_.data() + pos_, text_.data() + pos_ + 4, code, 16);
    if (error != std::errc() || end != text_.data() + pos_ + 4) return std::nullopt;
    pos_ += 4;
    return code;
  }

  std::optional<std::string> String() {
    if (pos_ >= text_.size() || text_[pos_] != '"') return std::nullopt;
    ++pos_;
    std::string out;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) return std::nullopt;
      const char escape = text_[pos_++];
      switch (escape) {
        case '"':
        case '\\':
        case '/':
          out += escape;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          std::optional<uint32_t> code = Hex4();
          if (!code) return std::nullopt;
          if (*code >= 0xD800 && *code < 0xDC00 && text_.substr(pos_, 2) == "\\u") {
            pos_ += 2;
            const std::optional<uint32_t> low = Hex4();
            if (!low) return std::nullopt;
            code = *low >= 0xDC00 && *low < 0xE000
                       ? 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00)
                       : 0xFFFD;
          } else if (*code >= 0xD800 && *code < 0xE000) {
            code = 0xFFFD;
          }
          AppendUtf8(out, static_cast<char32_t>(*code));
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

std::optional<int64_t> Integer(const Json* value) {
  if (value == nullptr || value->type != Json::Type::kNumber) return std::nullopt;
  int64_t number = 0;
  const char* end = value->text.data() + value->text.size();
  const auto [at, error] = std::from_chars(value->text.data(), end, number);
  if (error != std::errc() || at != end) return std::nullopt;
  return number;
}

std::optional<bool> Boolean(const Json* value) {
  if (value == nullptr || value->type != Json::Type::kBoolean) return std::nullopt;
  return value->text == "true";
}

const std::string* Text(const Json* value) {
  return value != nullptr && value->type == Json::Type::kString ? &value->text : nullptr;
}

std::string Pairs(const std::vector<std::pair<int64_t, int64_t>>& pairs) {
  std::string text = "[";
  for (const auto& [first, second] : pairs) {
    if (text.size() > 1) text += ',';
    text += '[' + std::to_string(first) + ',' + std::to_string(second) + ']';
  }
  return text + ']';
}

// The manifest's "sectors": [[first, count], ...].
std::optional<std::vector<std::pair<int64_t, int64_t>>> SectorPairs(const Json* value) {
  if (value == nullptr || value->type != Json::Type::kArray) return std::nullopt;
  std::vector<std::pair<int64_t, int64_t>> pairs;
  for (const Json& pair : value->items) {
    if (pair.type != Json::Type::kArray || pair.items.size() != 2) return std::nullopt;
    const std::optional<int64_t> first = Integer(&pair.items[0]);
    const std::optional<int64_t> count = Integer(&pair.items[1]);
    if (!first || !count) return std::nullopt;
    pairs.emplace_back(*first, *count);
  }
  return pairs;
}

const char* Flag(bool value) {
  return value ? "true" : "false";
}

std::optional<FileSystemKind> KindNamed(const std::string& name) {
  for (const FileSystemKind kind :
       {FileSystemKind::kFat, FileSystemKind::kExfat, FileSystemKind::kNtfs}) {
    if (name == FileSystemName(kind)) return kind;
  }
  return std::nullopt;
}

std::string ReadWhole(const std::string& path, std::string& error) {
  // Far more than any progress file holds: a huge file there is not one.
  constexpr size_t kMostBytes = size_t{64} << 20;
  std::string text;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = "cannot read it";
    return text;
  }
  char block[65536];
  size_t got = 0;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0 && text.size() < kMostBytes) {
    text.append(block, got);
  }
  if (std::ferror(file) != 0) error = "cannot read it";
  if (text.size() >= kMostBytes) error = "it is far too large";
  std::fclose(file);
  return text;
}

}  // namespace

ScanProgress DescribeScan(RawDevice& device, int64_t sourceBytes, int32_t sectorSize,
                          std::vector<std::string> fileTypes, const std::string& only,
                          bool fileSystems, bool carve) {
  ScanProgress progress;
  progress.sourceBytes = sourceBytes;
  progress.sectorSize = sectorSize;
  const int64_t sectors = SectorsCovering(sourceBytes, sectorSize);
  Sha256 hash;
  const auto take = [&](int64_t first, int64_t count) {
    const std::vector<uint8_t> bytes =
        device.ReadDeviceSectors(first, static_cast<uint32_t>(count), sectorSize);
    // A failing drive may not give them: that is part of what it looks like now.
    static constexpr uint8_t kUnreadable[] = {'?'};
    hash.Update(bytes.empty() ? std::span<const uint8_t>(kUnreadable) : bytes);
  };
  take(0, std::min(sectors, kFingerprintSectors));
  if (sectors > kFingerprintSectors) {
    const int64_t tail = std::min(sectors - kFingerprintSectors, kFingerprintSectors);
    take(sectors - tail, tail);
  }
  progress.fingerprint = hash.FinishHex();
  for (std::string& type : fileTypes) {
    for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  std::sort(fileTypes.begin(), fileTypes.end());
  fileTypes.erase(std::unique(fileTypes.begin(), fileTypes.end()), fileTypes.end());
  progress.fileTypes = std::move(fileTypes);
  progress.only = only;
  progress.fileSystems = fileSystems;
  progress.carve = carve;
  return progress;
}

std::string ScanProgressJson(const ScanProgress& p) {
  std::string types;
  for (const std::string& type : p.fileTypes) {
    if (!types.empty()) types += ',';
    types += JsonString(type);
  }
  std::string lost;
  for (const Volume& volume : p.lostVolumes) {
    if (!lost.empty()) lost += ",\n  ";
    lost += "{\"kind\":" + JsonString(FileSystemName(volume.kind)) +
            ",\"firstByte\":" + std::to_string(volume.firstByte) +
            ",\"length\":" + std::to_string(volume.length) +
            ",\"origin\":" + JsonString(volume.origin) +
            ",\"bootCopyAt\":" + std::to_string(volume.bootCopyAt) + "}";
  }
  std::string unread;
  for (const ScanProgress::Unread& u : p.unread) {
    if (!unread.empty()) unread += ",\n  ";
    unread += "{\"first\":" + std::to_string(u.first) + ",\"count\":" + std::to_string(u.count) +
              ",\"state\":" + std::to_string(u.state) + "}";
  }
  return "{\"version\":" + std::to_string(kVersion) +
         ",\n\"source\":{\"bytes\":" + std::to_string(p.sourceBytes) +
         ",\"sectorSize\":" + std::to_string(p.sectorSize) +
         ",\"fingerprint\":" + JsonString(p.fingerprint) + "}" + ",\n\"options\":{\"types\":[" +
         types + "],\"only\":" + JsonString(p.only) + ",\"fileSystems\":" + Flag(p.fileSystems) +
         ",\"carve\":" + Flag(p.carve) + "}" +
         ",\n\"manifestStart\":" + std::to_string(p.manifestStart) +
         ",\n\"fileSystemsDone\":" + Flag(p.fileSystemsDone) +
         ",\n\"carvedUntil\":" + std::to_string(p.carvedUntil) +
         ",\n\"carveCounter\":" + std::to_string(p.carveCounter) + ",\n\"lostVolumes\":[" + lost +
         "],\n\"unread\":[" + unread + "],\n\"complete\":" + Flag(p.complete) + "}\n";
}

std::optional<ScanProgress> ParseScanProgress(std::string_view text, std::string& problem) {
  const std::optional<Json> json = JsonReader(text).Document();
  if (!json || json->type != Json::Type::kObject) {
    problem = "it is not a JSON object";
    return std::nullopt;
  }
  const std::optional<int64_t> version = Integer(json->Find("version"));
  if (version != kVersion) {
    problem = "it is of an unknown version";
    return std::nullopt;
  }
  // The first field missing or of the wrong kind names the problem.
  std::string bad;
  const auto integer = [&bad](const Json* object, const char* key, int64_t& to) {
    const std::optional<int64_t> value = Integer(object ? object->Find(key) : nullptr);
    if (!value || *value < 0) {
      if (bad.empty()) bad = key;
    } else {
      to = *value;
    }
  };
  const auto flag = [&bad](const Json* object, const char* key, bool& to) {
    const std::optional<bool> value = Boolean(object ? object->Find(key) : nullptr);
    if (!value) {
      if (bad.empty()) bad = key;
    } else {
      to = *value;
    }
  };
  const auto string = [&bad](const Json* object, const char* key, std::string& to) {
    const std::string* value = Text(object ? object->Find(key) : nullptr);
    if (value == nullptr) {
      if (bad.empty()) bad = key;
    } else {
      to = *value;
    }
  };

  ScanProgress p;
  const Json* source = json->Find("source");
  integer(source, "bytes", p.sourceBytes);
  int64_t sectorSize = 0;
  integer(source, "sectorSize", sectorSize);
  p.sectorSize = static_cast<int32_t>(std::min<int64_t>(sectorSize, INT32_MAX));
  string(source, "fingerprint", p.fingerprint);
  const Json* options = json->Find("options");
  const Json* types = options ? options->Find("types") : nullptr;
  if (types == nullptr || types->type != Json::Type::kArray) {
    if (bad.empty()) bad = "types";
  } else {
    for (const Json& type : types->items) {
      if (type.type == Json::Type::kString) {
        p.fileTypes.push_back(type.text);
      } else if (bad.empty()) {
        bad = "types";
      }
    }
  }
  string(options, "only", p.only);
  flag(options, "fileSystems", p.fileSystems);
  flag(options, "carve", p.carve);
  integer(&*json, "manifestStart", p.manifestStart);
  flag(&*json, "fileSystemsDone", p.fileSystemsDone);
  integer(&*json, "carvedUntil", p.carvedUntil);
  integer(&*json, "carveCounter", p.carveCounter);
  const Json* lost = json->Find("lostVolumes");
  if (lost == nullptr || lost->type != Json::Type::kArray) {
    if (bad.empty()) bad = "lostVolumes";
  } else {
    for (const Json& item : lost->items) {
      Volume volume;
      std::string kind;
      string(&item, "kind", kind);
      integer(&item, "firstByte", volume.firstByte);
      integer(&item, "length", volume.length);
      string(&item, "origin", volume.origin);
      integer(&item, "bootCopyAt", volume.bootCopyAt);
      const std::optional<FileSystemKind> named = KindNamed(kind);
      if (!named) {
        if (bad.empty()) bad = "kind";
      } else {
        volume.kind = *named;
      }
      p.lostVolumes.push_back(std::move(volume));
    }
  }
  // Files from before the carve kept this have none.
  if (const Json* unread = json->Find("unread")) {
    if (unread->type != Json::Type::kArray && bad.empty()) bad = "unread";
    for (const Json& item : unread->items) {
      ScanProgress::Unread u;
      int64_t state = -1;
      integer(&item, "first", u.first);
      integer(&item, "count", u.count);
      integer(&item, "state", state);
      if ((state < 0 || state > 3) && bad.empty()) bad = "state";
      u.state = static_cast<int>(state);
      p.unread.push_back(u);
    }
  }
  flag(&*json, "complete", p.complete);
  if (!bad.empty()) {
    problem = "its field \"" + bad + "\" is missing or wrong";
    return std::nullopt;
  }
  // Whatever the file says must lie on the source it names.
  const bool onSource =
      p.sectorSize > 0 && p.carvedUntil <= SectorsCovering(p.sourceBytes, p.sectorSize) &&
      p.carveCounter < INT64_MAX / 2 &&
      std::all_of(p.lostVolumes.begin(), p.lostVolumes.end(),
                  [&p](const Volume& volume) {
                    const std::optional<int64_t> end = CheckedAdd(volume.firstByte, volume.length);
                    return volume.length > 0 && end && *end <= p.sourceBytes &&
                           volume.bootCopyAt < volume.length;
                  }) &&
      std::all_of(p.unread.begin(), p.unread.end(), [&p](const ScanProgress::Unread& u) {
        return u.first >= 0 && u.count > 0 &&
               u.count <= SectorsCovering(p.sourceBytes, p.sectorSize) - u.first;
      });
  if (!onSource) {
    problem = "it records places the source does not have";
    return std::nullopt;
  }
  return p;
}

bool SaveScanProgress(const std::string& outputDir, const ScanProgress& progress,
                      std::string& error) {
  const std::string path = outputDir + "/" + ScanProgress::kFileName;
  const std::string fresh = path + ".new";
  const std::string text = ScanProgressJson(progress);
  std::FILE* file = std::fopen(fresh.c_str(), "wb");
  if (file == nullptr) {
    error = "cannot create " + fresh;
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (std::fclose(file) != 0 || !written) {
    error = "cannot write " + fresh;
    std::remove(fresh.c_str());
    return false;
  }
  std::error_code failed;
  std::filesystem::rename(FileSystemPath(fresh), FileSystemPath(path), failed);
  if (failed) {
    error = failed.message();
    std::remove(fresh.c_str());
    return false;
  }
  return true;
}

std::string ProgressMismatch(const ScanProgress& saved, const ScanProgress& now) {
  if (saved.sourceBytes != now.sourceBytes || saved.sectorSize != now.sectorSize ||
      saved.fingerprint != now.fingerprint) {
    return "it is of another drive";
  }
  if (saved.fileTypes != now.fileTypes || saved.only != now.only ||
      saved.fileSystems != now.fileSystems || saved.carve != now.carve) {
    return "it is of a scan with other options";
  }
  return "";
}

std::string NamedFileKey(const std::string& volume, const std::string& originalPath,
                         const std::vector<std::pair<int64_t, int64_t>>& sectors) {
  // As the manifest spells them, so that a name no JSON text can hold compares as it was stored.
  return JsonString(volume) + JsonString(originalPath) + Pairs(sectors);
}

std::optional<ScanRecords> ReadScanRecords(const std::string& outputDir, int64_t from,
                                           std::string& problem) {
  ScanRecords records;
  const std::string path = outputDir + "/" + Manifest::kFileName;
  std::error_code failed;
  const uintmax_t size = std::filesystem::file_size(FileSystemPath(path), failed);
  if (static_cast<int64_t>(failed ? 0 : size) < from) {
    problem = "the manifest is shorter than when that scan began";
    return std::nullopt;
  }
  std::ifstream in(FileSystemPath(path), std::ios::binary);
  int64_t at = 0;
  std::string line;
  while (in.is_open() && std::getline(in, line)) {
    const int64_t start = at;
    at += static_cast<int64_t>(line.size()) + 1;
    const std::optional<Json> entry = JsonReader(line).Document();
    const std::string* file = entry ? Text(entry->Find("file")) : nullptr;
    if (file == nullptr) continue;
    records.everyFile.insert(*file);
    if (start < from) continue;
    ++records.files;
    ScanRecords::Written written;
    written.file = *file;
    written.size = Integer(entry->Find("size")).value_or(-1);
    if (const std::string* sha = Text(entry->Find("sha256"))) written.sha256 = *sha;
    if (const std::string* said = Text(entry->Find("problem"))) written.problem = *said;
    const auto sectors = SectorPairs(entry->Find("sectors"));
    const std::string* foundBy = Text(entry->Find("foundBy"));
    const std::string* volume = Text(entry->Find("volume"));
    const std::string* original = Text(entry->Find("originalPath"));
    if (foundBy != nullptr && *foundBy == "carving") {
      if (sectors && !sectors->empty()) written.firstSector = sectors->front().first;
      records.carved.emplace(*file, std::move(written));
    } else if (volume != nullptr && original != nullptr && sectors) {
      records.named.emplace(NamedFileKey(*volume, *original, *sectors), std::move(written));
    }
  }
  return records;
}

int64_t EndManifestLine(const std::string& outputDir) {
  const std::string path = outputDir + "/" + Manifest::kFileName;
  std::error_code failed;
  const uintmax_t size = std::filesystem::file_size(FileSystemPath(path), failed);
  if (failed || size == 0) return 0;
  char last = '\n';
  {
    std::ifstream in(FileSystemPath(path), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(size - 1));
    in.get(last);
  }
  if (last == '\n') return static_cast<int64_t>(size);
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) return static_cast<int64_t>(size);
  const bool ended = std::fputc('\n', file) != EOF;
  std::fclose(file);
  return static_cast<int64_t>(size) + (ended ? 1 : 0);
}

std::optional<Resume> FindResume(RecoveryEngine& engine, const std::string& outputDir,
                                 const ScanProgress& now) {
  const std::string path = outputDir + "/" + ScanProgress::kFileName;
  std::error_code failed;
  if (!std::filesystem::exists(FileSystemPath(path), failed)) return std::nullopt;
  const auto afresh = [&](const std::string& why) {
    engine.Emit(Kind::Status, std::string("The scan progress in this folder is not used: ") + why +
                                  ". Scanning afresh; files already here are kept.");
    return std::nullopt;
  };
  std::string problem;
  const std::string text = ReadWhole(path, problem);
  if (!problem.empty()) return afresh(problem);
  std::optional<ScanProgress> saved = ParseScanProgress(text, problem);
  if (!saved) return afresh("it is damaged (" + problem + ")");
  const std::string mismatch = ProgressMismatch(*saved, now);
  if (!mismatch.empty()) return afresh(mismatch);
  std::optional<ScanRecords> records = ReadScanRecords(outputDir, saved->manifestStart, problem);
  if (!records) return afresh(problem);
  Resume resume{std::move(*saved), std::move(*records), {}};
  resume.savedAt = std::filesystem::last_write_time(FileSystemPath(path), failed);
  return resume;
}

void ProgressKeeper::Save() {
  std::string error;
  if (SaveScanProgress(outputDir_, progress_, error)) {
    failed_ = false;
  } else if (!failed_) {
    failed_ = true;
    engine_.Emit(Kind::Status, "Cannot save the scan's progress: " + error);
  }
  last_ = std::chrono::steady_clock::now();
}

void ProgressKeeper::SaveNowAndThen() {
  if (std::chrono::steady_clock::now() - last_ >= kEvery) Save();
}

}  // namespace quarvelin
