// Each validator over the largest real sample of its format, in MB/s of the file's size, beside a
// baseline that only copies the same file once. The ZIP and PDF validators read on past the file
// (their last record or marker decides), so the 2 MiB of free space after it count in their time.
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

#include "device/memory_device.h"
#include "validators/acceptance.h"

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
  std::ifstream in(fs::path(QUARVELIN_TESTDATA_DIR) / "files" / sample.name, std::ios::binary);
  sample.fileBytes = static_cast<size_t>(largest);
  sample.disk->bytes.resize(sample.fileBytes);
  in.read(reinterpret_cast<char*>(sample.disk->bytes.data()),
          static_cast<std::streamsize>(sample.fileBytes));
  sample.disk->bytes.resize(sample.fileBytes + 2 * 1048576 + 512, 0);
  return sample;
}

void Run(benchmark::State& state, const std::vector<std::string>& extensions,
         const std::function<int64_t(RangeReader&)>& validate) {
  const Sample sample = LargestSample(extensions);
  quarvelin::MemoryDevice device(sample.disk);
  const std::span<const uint8_t> buffer(sample.disk->bytes.data(),
                                        std::min<size_t>(sample.disk->bytes.size(), 1048576));
  for (auto _ : state) {
    RangeReader read(buffer, 0, 0, 512, device);
    benchmark::DoNotOptimize(validate(read));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sample.fileBytes));
  state.SetLabel(sample.name);
}

void Baseline(benchmark::State& state, const std::vector<std::string>& extensions) {
  const Sample sample = LargestSample(extensions);
  std::vector<uint8_t> copy(sample.fileBytes);
  for (auto _ : state) {
    std::memcpy(copy.data(), sample.disk->bytes.data(), sample.fileBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sample.fileBytes));
  state.SetLabel(sample.name);
}

#define VALIDATOR_BENCH(Name, Exts, Call)                                 \
  void BM_##Name(benchmark::State& s) {                                   \
    Run(s, Exts, [](RangeReader& read) { return quarvelin::Call.size; }); \
  }                                                                       \
  void BM_##Name##Baseline(benchmark::State& s) {                         \
    Baseline(s, Exts);                                                    \
  }                                                                       \
  BENCHMARK(BM_##Name);                                                   \
  BENCHMARK(BM_##Name##Baseline)

const std::vector<std::string> kJpeg{"jpg"}, kPng{"png"}, kGif{"gif"}, kBmp{"bmp"},
    kMp4{"mp4", "mov", "3gp", "m4v"}, kMp3{"mp3"}, kPdf{"pdf"}, kZip{"zip", "docx"};

VALIDATOR_BENCH(Jpeg, kJpeg, ValidateJpeg(read, nullptr));
VALIDATOR_BENCH(Png, kPng, ValidatePng(read, nullptr, true));
VALIDATOR_BENCH(Gif, kGif, ValidateGif(read, nullptr));
VALIDATOR_BENCH(Bmp, kBmp, ValidateBmp(read, nullptr));
VALIDATOR_BENCH(Mp4, kMp4, ValidateMp4(read, nullptr));
VALIDATOR_BENCH(Mp3, kMp3, ValidateMp3(read, nullptr));
VALIDATOR_BENCH(Pdf, kPdf, ValidatePdf(read, nullptr));
VALIDATOR_BENCH(Zip, kZip, ValidateZip(read, nullptr));

}  // namespace

BENCHMARK_MAIN();
