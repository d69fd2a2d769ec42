// Each type's sizing (its format's structure walk, or validator and search) over the largest real
// sample of the type, in MB/s of the file's size, beside a baseline that only copies the same file
// once. Every type of the registry that has a sample is measured.
//
//   validators_bench [google benchmark flags]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "carved_size.h"
#include "device/memory_device.h"
#include "formats/registry.h"
#include "header_search.h"

namespace {

namespace fs = std::filesystem;
using quarvelin::RangeReader;

// The largest sample with one of `extensions`, on an in-memory disk followed by 2 MiB of zeros
// (free space), as a scan would meet it with the whole file in its buffer.
struct Sample {
  std::string name;
  std::shared_ptr<quarvelin::MemoryDisk> disk;
  size_t fileBytes = 0;
};

Sample LargestSample(const std::vector<std::string>& extensions) {
  Sample sample;
  sample.disk = std::make_shared<quarvelin::MemoryDisk>();
  uintmax_t largest = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(QUARVELIN_TESTDATA_DIR) / "files")) {
    const std::string ext = entry.path().extension().string();
    if (std::find(extensions.begin(), extensions.end(), ext.empty() ? ext : ext.substr(1)) ==
            extensions.end() ||
        entry.file_size() <= largest) {
      continue;
    }
    largest = entry.file_size();
    sample.name = entry.path().filename().string();
  }
  if (sample.name.empty()) return sample;
  std::ifstream in(fs::path(QUARVELIN_TESTDATA_DIR) / "files" / sample.name, std::ios::binary);
  sample.fileBytes = static_cast<size_t>(largest);
  sample.disk->bytes.resize(sample.fileBytes);
  in.read(reinterpret_cast<char*>(sample.disk->bytes.data()),
          static_cast<std::streamsize>(sample.fileBytes));
  sample.disk->bytes.resize(sample.fileBytes + 2 * 1048576 + 512, 0);
  return sample;
}

// Sizes the sample as a scan would: its format's structure walk, validator or search.
void Run(benchmark::State& state, const std::string& extension) {
  const Sample sample = LargestSample({extension});
  quarvelin::MemoryDevice device(sample.disk);
  const std::span<const uint8_t> buffer(sample.disk->bytes.data(),
                                        std::min<size_t>(sample.disk->bytes.size(), 1048576));
  const auto& table = quarvelin::SignatureTable();
  const auto row = std::find_if(table.begin(), table.end(), [&](const quarvelin::FileSignature& r) {
    return r.extension == extension &&
           quarvelin::HeaderMatches(sample.disk->bytes, 0, r.header, r.ignoreCase);
  });
  if (row == table.end()) {
    state.SkipWithError("no row of the type starts its largest sample");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        quarvelin::DetermineCarvedSize(nullptr, buffer, 0, *row, device, 0, 512).size);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sample.fileBytes));
  state.SetLabel(sample.name);
}

void Baseline(benchmark::State& state, const std::string& extension) {
  const Sample sample = LargestSample({extension});
  std::vector<uint8_t> copy(sample.fileBytes);
  for (auto _ : state) {
    std::memcpy(copy.data(), sample.disk->bytes.data(), sample.fileBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sample.fileBytes));
  state.SetLabel(sample.name);
}

}  // namespace

// One pair per type the registry knows that has a sample: its sizing, then the copy baseline.
int main(int argc, char** argv) {
  for (const quarvelin::FileFormat* format : quarvelin::Formats()) {
    for (const quarvelin::FileType& type : format->types) {
      if (LargestSample({type.extension}).fileBytes == 0) continue;
      benchmark::RegisterBenchmark(("Size/" + type.extension).c_str(), Run, type.extension);
      benchmark::RegisterBenchmark(("Size/" + type.extension + "/baseline").c_str(), Baseline,
                                   type.extension);
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
