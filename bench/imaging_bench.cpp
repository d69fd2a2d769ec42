// Imaging throughput against a plain sequential 1 MiB read/write copy of the same cached file, in
// the same run, with and without the image's checksums. The engine should reach at least 0.8 of
// the plain copy.
//
//   imaging_bench [google benchmark flags]
//   QUARVELIN_BENCH_MB     size of the source file in MiB (default 1024)
//   QUARVELIN_BENCH_DIR    folder for the source and the copies (default: the system temp folder)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "rate_reporter.h"
#include "recovery_engine.h"

namespace {

namespace fs = std::filesystem;

// Set once the benchmark file exists, so only a run that made it removes it.
bool gFilesMade = false;

struct Files {
  fs::path dir;
  fs::path source;
  fs::path copy;
  int64_t bytes = 0;
};

Files& BenchFiles() {
  static Files files = [] {
    Files f;
    const char* mb = std::getenv("QUARVELIN_BENCH_MB");
    const char* dir = std::getenv("QUARVELIN_BENCH_DIR");
    f.bytes = (mb != nullptr ? std::atoll(mb) : 1024) * 1048576;
    f.dir = fs::path(dir != nullptr ? dir : fs::temp_directory_path().string()) /
            ("quarvelin_bench_" + std::to_string(::getpid()));
    fs::create_directories(f.dir);
    f.source = f.dir / "source.img";
    f.copy = f.dir / "copy.img";
    std::vector<uint8_t> block(1048576);
    std::mt19937 random(1);
    for (auto& b : block) b = static_cast<uint8_t>(random());
    std::FILE* out = std::fopen(f.source.c_str(), "wb");
    for (int64_t done = 0; done < f.bytes; done += static_cast<int64_t>(block.size())) {
      block[0] = static_cast<uint8_t>(done >> 20);
      std::fwrite(block.data(), 1, block.size(), out);
    }
    std::fclose(out);
    gFilesMade = true;
    return f;
  }();
  return files;
}

void PlainCopy(const Files& f) {
  const int in = ::open(f.source.c_str(), O_RDONLY);
  const int out = ::open(f.copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) throw std::runtime_error("cannot open benchmark files");
  std::vector<uint8_t> buffer(1048576);
  for (;;) {
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got <= 0) break;
    if (::write(out, buffer.data(), static_cast<size_t>(got)) != got) {
      throw std::runtime_error("write failed");
    }
  }
  ::close(in);
  ::close(out);
}

void BM_PlainCopy(benchmark::State& state) {
  const Files& f = BenchFiles();
  PlainCopy(f);  // warm the cache
  for (auto _ : state) PlainCopy(f);
  state.SetBytesProcessed(state.iterations() * f.bytes);
}

// Each run starts afresh: the map a run leaves would make the next one resume a finished rescue.
void EngineImage(benchmark::State& state, std::vector<const char*> options) {
  const Files& f = BenchFiles();
  PlainCopy(f);
  quarvelin::RecoveryEngine engine;
  const std::string map = f.copy.string() + ".map";
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove(map);
    state.ResumeTiming();
    engine.StartDiskImage(f.source.c_str(), f.copy.c_str(), nullptr, options.data(),
                          static_cast<int32_t>(options.size()));
    engine.WaitForWorker();
  }
  if (fs::file_size(f.copy) != static_cast<uintmax_t>(f.bytes)) state.SkipWithError("short image");
  state.SetBytesProcessed(state.iterations() * f.bytes);
}

void BM_EngineImage(benchmark::State& state) {
  EngineImage(state, {});
}

void BM_EngineImageNoChecksums(benchmark::State& state) {
  EngineImage(state, {"checksums=no"});
}

BENCHMARK(BM_PlainCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_EngineImage)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_EngineImageNoChecksums)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RateReporter reporter([](const RateReporter::Rate& rate) {
    const double plain = rate("BM_PlainCopy");
    const double engine = rate("BM_EngineImage");
    const double bare = rate("BM_EngineImageNoChecksums");
    if (plain > 0 && engine > 0 && bare > 0) {
      std::printf(
          "\nplain copy %.0f MB/s; engine imaging %.0f MB/s with SHA-256 and MD5 (ratio %.2f), "
          "%.0f MB/s without (ratio %.2f; target >= 0.80)\n",
          plain, engine, engine / plain, bare, bare / plain);
    }
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::error_code ignored;
  if (gFilesMade) fs::remove_all(BenchFiles().dir, ignored);
  return 0;
}
