// Soak run of a whole scan: a 4 GiB sparse image (holes read as zeros and cost no disk) with sample
// files sprinkled across it, scanned through the exports as the UI does. Prints the process's peak
// memory when the scan passes 1, 2 and 4 GiB, and fails when the peak grows with the distance
// scanned or a sprinkled file does not come back byte for byte.
//
//   soak_scan [work folder]      (default: the system temp folder; needs ~1 MiB of real space)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "quarvelin_native.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kGiB = int64_t{1} << 30;
constexpr int64_t kImageBytes = 4 * kGiB;
constexpr int64_t kSector = 512;
constexpr int64_t kMarginKiB = 2048;  // what the peak may still grow between 1 and 4 GiB

// The process's peak resident memory so far, in KiB.
long PeakKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// A file's bytes as a string: they key the maps of placed and carved files. (g++ 12 at -O3 raises
// false warnings on maps keyed by byte vectors and on stream iterators; plain reads into a string
// raise none.)
std::string ReadAll(const fs::path& path) {
  std::string bytes;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    char block[65536];
    for (size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;)
      bytes.append(block, got);
    std::fclose(file);
  }
  return bytes;
}

struct Soak {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  long files = -1;
  long peak[3] = {-1, -1, -1};     // KiB at 1, 2 and 4 GiB
  double where[3] = {0, 0, 0};     // GiB scanned when each was taken
  std::vector<std::string> found;  // paths from FileFound
  std::vector<std::string> errors;
};
Soak soak;

void OnMessage(int32_t kind, char* text) {
  const std::string message(text);
  NativeFree(text);
  std::lock_guard lock(soak.mutex);
  if (kind == static_cast<int32_t>(NativeMessageKind::Progress)) {
    // "PROGRESS|percent|files"
    const double gib = std::strtod(message.c_str() + 9, nullptr) / 100.0 * 4.0;
    for (int i = 0; i < 2; ++i) {
      if (soak.peak[i] < 0 && gib >= static_cast<double>(i + 1)) {
        soak.peak[i] = PeakKiB();
        soak.where[i] = gib;
      }
    }
  } else if (kind == static_cast<int32_t>(NativeMessageKind::FileFound)) {
    soak.found.push_back(message.substr(0, message.find('|')));
  } else if (kind == static_cast<int32_t>(NativeMessageKind::Error)) {
    soak.errors.push_back(message);
  } else if (kind == static_cast<int32_t>(NativeMessageKind::Finished)) {
    soak.peak[2] = PeakKiB();
    soak.where[2] = 4.0;
    soak.files = std::strtol(message.c_str(), nullptr, 10);
    soak.done = true;
    soak.finished.notify_all();
  }
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path base = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
  const fs::path work = base / ("quarvelin_soak_" + std::to_string(::getpid()));
  fs::create_directories(work);
  const fs::path image = work / "disk.img";
  const fs::path out = work / "recovered";

  // Sample files of the formats carved to their exact size, at sector starts spread over the image.
  std::vector<fs::path> samples;
  for (const auto& entry : fs::directory_iterator(fs::path(QUARVELIN_TESTDATA_DIR) / "files")) {
    const std::string ext = entry.path().extension().string();
    if (ext == ".jpg" || ext == ".png" || ext == ".gif" || ext == ".bmp")
      samples.push_back(entry.path());
  }
  std::sort(samples.begin(), samples.end());
  const int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ::ftruncate(fd, kImageBytes) != 0) {
    std::perror("cannot make the sparse image");
    return 2;
  }
  constexpr int kPlaced = 40;
  std::multimap<std::string, int64_t> placed;  // contents -> sector
  for (int i = 0; i < kPlaced; ++i) {
    const std::string bytes = ReadAll(samples[static_cast<size_t>(i) % samples.size()]);
    // Evenly spread, nudged off the chunk grid by a different number of sectors each time.
    const int64_t sector = (kImageBytes / kPlaced * i) / kSector + 37 * i + 3;
    if (::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(sector * kSector)) !=
        static_cast<ssize_t>(bytes.size())) {
      std::perror("cannot place a sample");
      return 2;
    }
    placed.emplace(bytes, sector);
  }
  ::close(fd);

  const auto start = std::chrono::steady_clock::now();
  const long before = PeakKiB();
  StartNativeRecovery(image.c_str(), out.c_str(), nullptr, 0, OnMessage);
  {
    std::unique_lock lock(soak.mutex);
    soak.finished.wait(lock, [] { return soak.done; });
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  // Every sprinkled file must be among the carved ones, byte for byte.
  int missing = 0;
  std::multimap<std::string, std::string> carved;
  for (const std::string& path : soak.found) carved.emplace(ReadAll(path), path);
  for (const auto& [bytes, sector] : placed) {
    const auto hit = carved.find(bytes);
    if (hit == carved.end()) {
      std::printf("missing: %zu bytes at sector %lld\n", bytes.size(),
                  static_cast<long long>(sector));
      ++missing;
    } else {
      carved.erase(hit);
    }
  }

  std::printf(
      "scan of a %lld GiB sparse image: %.1f s, %ld files carved, %d of %d sprinkled files "
      "back byte for byte, %zu errors\n",
      static_cast<long long>(kImageBytes / kGiB), seconds, soak.files, kPlaced - missing, kPlaced,
      soak.errors.size());
  std::printf("peak memory (VmHWM)  before: %ld KiB\n", before);
  std::printf("%-22s%14s%14s%14s\n", "", "1 GiB", "2 GiB", "4 GiB");
  std::printf("%-22s%11.2f GiB%10.2f GiB%10.2f GiB\n", "taken at", soak.where[0], soak.where[1],
              soak.where[2]);
  std::printf("%-22s%10ld KiB%10ld KiB%10ld KiB\n", "VmHWM", soak.peak[0], soak.peak[1],
              soak.peak[2]);
  for (const std::string& error : soak.errors) std::printf("error: %s\n", error.c_str());

  const bool flat = soak.peak[0] > 0 && soak.peak[2] - soak.peak[0] <= kMarginKiB;
  std::printf("peak memory flat (4 GiB within %lld KiB of 1 GiB): %s\n",
              static_cast<long long>(kMarginKiB), flat ? "yes" : "NO");
  std::error_code ignored;
  fs::remove_all(work, ignored);
  return flat && missing == 0 && soak.errors.empty() ? 0 : 1;
}
