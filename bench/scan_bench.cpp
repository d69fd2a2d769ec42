// The scan's speed and memory:
//  - the header search over a 1 MiB buffer with all signatures, on random and on zero bytes, beside
//    the naive comparison of every signature at every offset;
//  - what each header row costs: the same search over random, zero and disk-like bytes with the
//    table as it is, then with 16, 64 and 256 made-up 4-8 byte headers added;
//  - a whole scan of a cached image with no files in it (half random, half zero bytes) beside a
//    plain sequential read of the same file, and the scan's peak memory (measured in a child
//    process, so nothing else of this program counts).
//
//   scan_bench [google benchmark flags]
//   QUARVELIN_BENCH_MB     size of the image in MiB (default 1024)
//   QUARVELIN_BENCH_DIR    folder for the image (default: the system temp folder)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "header_search.h"
#include "rate_reporter.h"
#include "recovery_engine.h"

namespace {

namespace fs = std::filesystem;

// Set once the benchmark file exists, so only a run that made it removes it.
bool gFilesMade = false;

std::vector<uint8_t> Buffer(bool zeros) {
  std::vector<uint8_t> buffer(1048576, 0);
  if (!zeros) {
    std::mt19937 random(7);
    for (auto& b : buffer) b = static_cast<uint8_t>(random());
  }
  return buffer;
}

void BM_HeaderSearch(benchmark::State& state) {
  const auto buffer = Buffer(state.range(0) == 1);
  const quarvelin::HeaderIndex index(quarvelin::LoadSignatures({}));
  for (auto _ : state) {
    size_t hits = 0;
    for (auto at = index.FindNext(buffer, 0, buffer.size()); at;
         at = index.FindNext(buffer, *at + 1, buffer.size())) {
      ++hits;
    }
    benchmark::DoNotOptimize(hits);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(buffer.size()));
  state.SetLabel(state.range(0) == 1 ? "zero bytes" : "random bytes");
}

void BM_NaiveSearch(benchmark::State& state) {
  const auto buffer = Buffer(state.range(0) == 1);
  const auto signatures = quarvelin::LoadSignatures({});
  for (auto _ : state) {
    size_t hits = 0;
    for (size_t p = 0; p < buffer.size(); ++p) {
      for (const auto& s : signatures) {
        if (p + s.header.size() <= buffer.size() &&
            std::memcmp(buffer.data() + p, s.header.data(), s.header.size()) == 0) {
          ++hits;
          break;
        }
      }
    }
    benchmark::DoNotOptimize(hits);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(buffer.size()));
  state.SetLabel(state.range(0) == 1 ? "zero bytes" : "random bytes");
}

// Bytes as a used disk holds them: 4 KiB blocks of compressed data (random), free space (zeros)
// and text, with a real header now and then.
std::vector<uint8_t> DiskLike() {
  std::vector<uint8_t> buffer = Buffer(false);
  const std::string text = "The drive was scanned sector by sector; 412 pictures came back.\r\n";
  for (size_t block = 0; block < buffer.size() / 4096; ++block) {
    uint8_t* at = buffer.data() + block * 4096;
    if (block % 3 == 1) std::memset(at, 0, 4096);
    if (block % 3 == 2) {
      for (size_t i = 0; i < 4096; ++i) at[i] = static_cast<uint8_t>(text[i % text.size()]);
    }
  }
  const auto& rows = quarvelin::LoadSignatures({});
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& header = rows[i].header;
    std::memcpy(buffer.data() + 4096 * (3 * i + 1) + 8, header.data(), header.size());
  }
  return buffer;
}

// The table with `extra` made-up headers of 4 to 8 bytes after its rows.
std::vector<quarvelin::FileSignature> WithExtraRows(size_t extra) {
  std::vector<quarvelin::FileSignature> rows = quarvelin::LoadSignatures({});
  std::mt19937 random(13);
  for (size_t i = 0; i < extra; ++i) {
    quarvelin::FileSignature row;
    row.extension = "x";
    row.extension += std::to_string(i);
    row.header.resize(4 + random() % 5);
    for (auto& b : row.header) b = static_cast<uint8_t>(random());
    row.header[0] |= 1;  // not zero-led: those are searched for differently
    rows.push_back(row);
  }
  return rows;
}

// Arguments: the bytes (0 random, 1 zeros, 2 disk-like) and the number of headers added.
void BM_HeaderSearchPerRow(benchmark::State& state) {
  const auto buffer = state.range(0) == 2 ? DiskLike() : Buffer(state.range(0) == 1);
  const auto rows = WithExtraRows(static_cast<size_t>(state.range(1)));
  const quarvelin::HeaderIndex index(rows);
  size_t hits = 0;
  for (auto _ : state) {
    hits = 0;
    for (auto at = index.FindNext(buffer, 0, buffer.size()); at;
         at = index.FindNext(buffer, *at + 1, buffer.size())) {
      ++hits;
    }
    benchmark::DoNotOptimize(hits);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(buffer.size()));
  const char* kinds[] = {"random", "zeros", "disk-like"};
  std::string label = kinds[state.range(0)];
  label += ", ";
  label += std::to_string(index.PatternCount());
  label += " patterns, ";
  label += std::to_string(hits);
  label += " hits";
  state.SetLabel(label);
}

BENCHMARK(BM_HeaderSearch)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HeaderSearchPerRow)
    ->ArgsProduct({{0, 1, 2}, {0, 16, 64, 256}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NaiveSearch)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

struct Image {
  fs::path dir;
  fs::path file;
  int64_t bytes = 0;
};

const Image& BenchImage() {
  static const Image image = [] {
    Image im;
    const char* mb = std::getenv("QUARVELIN_BENCH_MB");
    const char* dir = std::getenv("QUARVELIN_BENCH_DIR");
    im.bytes = (mb != nullptr ? std::atoll(mb) : 1024) * 1048576;
    im.dir = fs::path(dir != nullptr ? dir : fs::temp_directory_path().string()) /
             ("quarvelin_scan_bench_" + std::to_string(::getpid()));
    fs::create_directories(im.dir);
    im.file = im.dir / "empty_disk.img";
    const auto random = Buffer(false);
    const auto zeros = Buffer(true);
    std::FILE* out = std::fopen(im.file.c_str(), "wb");
    for (int64_t done = 0; done < im.bytes; done += 1048576) {
      const auto& block = (done / 1048576) % 2 == 0 ? random : zeros;
      std::fwrite(block.data(), 1, block.size(), out);
    }
    std::fclose(out);
    gFilesMade = true;
    return im;
  }();
  return image;
}

void PlainRead(const Image& im) {
  const int fd = ::open(im.file.c_str(), O_RDONLY);
  std::vector<uint8_t> buffer(1048576);
  while (::read(fd, buffer.data(), buffer.size()) > 0) {
  }
  ::close(fd);
}

void ScanOnce(const Image& im) {
  quarvelin::RecoveryEngine engine;
  const fs::path out = im.dir / "recovered";
  engine.StartRecovery(im.file.c_str(), out.c_str(), nullptr, 0, nullptr);
  engine.WaitForWorker();
  fs::remove_all(out);
}

void BM_PlainRead(benchmark::State& state) {
  const Image& im = BenchImage();
  PlainRead(im);  // warm the cache
  for (auto _ : state) PlainRead(im);
  state.SetBytesProcessed(state.iterations() * im.bytes);
}

void BM_WholeScan(benchmark::State& state) {
  const Image& im = BenchImage();
  PlainRead(im);
  for (auto _ : state) ScanOnce(im);
  state.SetBytesProcessed(state.iterations() * im.bytes);
}

BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_WholeScan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Peak resident memory of one scan, in a child process of its own.
double ScanPeakMegabytes(const Image& im) {
  const pid_t child = ::fork();
  if (child == 0) {
    ScanOnce(im);
    std::_Exit(0);
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(child, &status, 0, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RateReporter reporter([](const RateReporter::Rate& rate) {
    std::printf("\nheader search, random bytes: %.0f MB/s (naive %.0f MB/s); target >= 1000\n",
                rate("BM_HeaderSearch/0"), rate("BM_NaiveSearch/0"));
    std::printf("header search, zero bytes:   %.0f MB/s (naive %.0f MB/s); target >= 1000\n",
                rate("BM_HeaderSearch/1"), rate("BM_NaiveSearch/1"));
    const double plain = rate("BM_PlainRead");
    const double scan = rate("BM_WholeScan");
    if (plain > 0 && scan > 0) {
      std::printf("whole scan %.0f MB/s, plain read %.0f MB/s, ratio %.2f (target >= 0.70)\n", scan,
                  plain, scan / plain);
      std::printf("scan peak memory %.1f MiB (target < 64)\n", ScanPeakMegabytes(BenchImage()));
    }
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::error_code ignored;
  if (gFilesMade) fs::remove_all(BenchImage().dir, ignored);
  return 0;
}
