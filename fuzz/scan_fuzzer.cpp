// A whole carving scan over arbitrary bytes as a small disk. The first input byte shapes the disk
// (sector size, unreadable sectors, a reported size past the bytes present); the rest is its
// content. Every file the scan reports must exist with the reported size, and the final count must
// match the reports.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "guarded_device.h"
#include "quarvelin_native.h"
#include "recovery_engine.h"

namespace {

namespace fs = std::filesystem;
using namespace quarvelin;
using Kind = NativeMessageKind;

struct Received {
  Kind kind;
  std::string text;
};

std::mutex gMutex;
std::vector<Received> gMessages;

void Collect(int32_t kind, char* text) {
  std::lock_guard lock(gMutex);
  gMessages.push_back({static_cast<Kind>(kind), text});
  NativeFree(text);
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "scan_fuzzer: %s\n", what.c_str());
  std::abort();
}

// Removed when the process ends normally; a crash leaves it in the runner's temporary folder.
struct OutputFolder {
  OutputFolder() {
    path = fs::temp_directory_path() / ("quarvelin_scan_fuzzer_" + std::to_string(::getpid()));
    fs::create_directories(path);
  }
  ~OutputFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  void Empty() const {
    for (const auto& entry : fs::directory_iterator(path)) fs::remove_all(entry.path());
  }
  fs::path path;
};

// "path|name|size|Native"
void CheckFileFound(const std::string& text) {
  const size_t first = text.find('|');
  const size_t second = first == std::string::npos ? first : text.find('|', first + 1);
  const size_t third = second == std::string::npos ? second : text.find('|', second + 1);
  if (third == std::string::npos || text.substr(third) != "|Native") {
    Fail("malformed FileFound: " + text);
  }
  const std::string path = text.substr(0, first);
  const std::string size = text.substr(second + 1, third - second - 1);
  std::error_code error;
  const auto actual = fs::file_size(path, error);
  if (error) Fail("reported file is missing: " + text);
  if (std::to_string(actual) != size) {
    Fail("reported size " + size + " but the file holds " + std::to_string(actual) + ": " + text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const OutputFolder output;
  static const auto disk = std::make_shared<MemoryDisk>();
  static RecoveryEngine engine([](const std::string& path) -> OpenedDevice {
    if (path != "disk") return {nullptr, 2};
    return {std::make_unique<fuzzing::GuardedDevice>(disk), 0};
  });
  if (size == 0) return 0;

  const uint8_t shape = data[0];
  disk->bytes.assign(data + 1, data + size);
  disk->sectorSize = (shape & 1) != 0 ? 4096 : 512;
  disk->reportedSize.reset();
  disk->unreadable.clear();
  const auto sectors = static_cast<int64_t>(disk->bytes.size()) / disk->sectorSize;
  // Bits 1-2: up to three unreadable sectors, spread by the shape byte.
  for (int i = 0; i < ((shape >> 1) & 3) && sectors > 0; ++i) {
    const int64_t sector = (static_cast<int64_t>(shape) * (i + 7) * 131) % sectors;
    disk->AddUnreadable(sector * disk->sectorSize, disk->sectorSize);
  }
  // Bit 3: the drive claims more than it can deliver.
  if ((shape & 8) != 0) {
    disk->reportedSize = static_cast<int64_t>(disk->bytes.size()) + 3 * disk->sectorSize;
  }

  output.Empty();
  {
    std::lock_guard lock(gMutex);
    gMessages.clear();
  }
  const std::string out = (output.path / "recovered").string();
  engine.StartRecovery("disk", out.c_str(), nullptr, 0, Collect);
  engine.WaitForWorker();

  std::lock_guard lock(gMutex);
  size_t found = 0;
  size_t finished = 0;
  for (const Received& m : gMessages) {
    if (finished != 0) Fail("a message after Finished: " + m.text);
    switch (m.kind) {
      case Kind::FileFound:
        ++found;
        CheckFileFound(m.text);
        break;
      case Kind::Finished:
        ++finished;
        if (m.text != std::to_string(found)) {
          Fail("Finished says " + m.text + " after " + std::to_string(found) + " files");
        }
        break;
      case Kind::Error:
        if (m.text.rfind("CRASH", 0) == 0 || m.text.rfind("Internal error", 0) == 0) {
          Fail("the scan failed: " + m.text);
        }
        break;
      default:
        break;
    }
  }
  if (finished != 1) Fail("no Finished message");
  return 0;
}
