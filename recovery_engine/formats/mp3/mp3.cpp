// MP3: an optional ID3v2 tag, then MPEG audio frames.

#include <algorithm>
#include <array>
#include <utility>

#include "formats/registry.h"
#include "formats/report.h"
#include "sizing/sizing_job.h"
#include "validators/acceptance.h"

namespace quarvelin {
namespace {

// Sectors per read for the frame walk.
constexpr uint32_t kSearchReadSectors = 2'048;
constexpr int64_t kMp3AudioLimit = 104'857'600;
constexpr std::array<int32_t, 15> kLayer3Kbps = {0,   32,  40,  48,  56,  64,  80, 96,
                                                 112, 128, 160, 192, 224, 256, 320};
constexpr std::array<int32_t, 3> kMpeg1SampleRates = {44'100, 48'000, 32'000};

// Counts MPEG-1 Layer III frames like the first one, after an optional ID3v2 tag.
int64_t WalkFrames(SizingJob& job) {
  const Bytes candidate = job.Candidate();
  int64_t tag = 0;
  if (job.Available() >= 10 && StartsWith(candidate, "ID3")) {
    // A tag's version bytes are never FF and its size bytes hold seven bits each. "ID3" in other
    // data rarely passes, and its "size" would send the walk up to 256 MiB down the disk.
    if (candidate[3] == 0xFF || candidate[4] == 0xFF ||
        std::any_of(candidate.begin() + 6, candidate.begin() + 10,
                    [](uint8_t b) { return b >= 0x80; })) {
      return 0;
    }
    int64_t body = 0;
    for (size_t i = 6; i < 10; ++i) body = (body << 7) | (candidate[i] & 0x7F);
    tag = body + 10;
  } else if (job.Available() < 2 || candidate[0] != 0xFF || (candidate[1] & 0xE0) != 0xE0) {
    return 0;
  }

  // The window holds the bytes from the frame being looked at on; nothing before it is needed
  // again, which keeps a long file from being held in memory. A tag's bytes are not read at all.
  auto begun = job.Located() ? job.BeginSearch(tag, 0) : std::pair{Window(candidate), job.Stream()};
  Window& window = begun.first;
  SectorStream& stream = begun.second;
  int64_t keepFrom = tag;
  const auto fill = [&](int64_t needEnd) {
    // A tag ending in the last, partial sector of the device leaves the window starting past it.
    if (window.Consumed() > keepFrom) return false;
    while (window.End() < needEnd) {
      if (job.Cancelled()) return false;
      window.DropBefore(keepFrom);
      if (!window.Append(stream, kSearchReadSectors)) return false;
    }
    return true;
  };
  const auto at = [&](int64_t offset) {
    return window.View().subspan(static_cast<size_t>(offset - window.Consumed()));
  };
  const auto sync = [](Bytes h) { return h[0] == 0xFF && (h[1] & 0xE0) == 0xE0; };
  const auto version = [](Bytes h) { return (h[1] >> 3) & 3; };
  const auto layer = [](Bytes h) { return (h[1] >> 1) & 3; };
  const auto rateIndex = [](Bytes h) { return (h[2] >> 2) & 3; };

  if (!fill(tag + 4)) return 0;
  const Bytes first = at(tag);
  if (!sync(first) || version(first) != 3 || layer(first) != 1 || rateIndex(first) == 3) return 0;
  const int firstRate = rateIndex(first);

  int64_t pos = tag;
  int64_t total = 0;
  int32_t frames = 0;
  while (true) {
    keepFrom = pos;
    if (!fill(pos + 4)) break;
    const Bytes h = at(pos);
    if (!sync(h)) break;
    const int bitrateIndex = h[2] >> 4;
    int64_t length = 0;
    if (version(h) == 3 && layer(h) == 1 && rateIndex(h) == firstRate && bitrateIndex >= 1 &&
        bitrateIndex <= 14) {
      length = int64_t{kLayer3Kbps[static_cast<size_t>(bitrateIndex)]} * 144'000 /
                   kMpeg1SampleRates[static_cast<size_t>(firstRate)] +
               ((h[2] >> 1) & 1);
    }
    if (length < 100) break;
    pos += length;
    if (!fill(pos)) break;
    total += length;
    ++frames;
    if (total > kMp3AudioLimit) break;
  }
  return frames >= 10 ? tag + total : 0;
}

CarvedSize Size(SizingJob& job) {
  if (const auto mp3 = ValidateMp3(job.Read(), job.Cancel()); Accepted(mp3)) {
    return SizingJob::Measured(mp3.size);
  }
  return SizingJob::Measured(WalkFrames(job));
}

FormatReport Report(RangeReader& read, std::string_view) {
  const auto r = ValidateMp3(read, nullptr);
  FormatReport report = Validated(r, Accepted(r));
  report.fields = {{"frameCount", Number(r.frameCount)},
                   {"sampleRate", Number(r.sampleRate)},
                   {"bitrate", Number(r.bitrate)},
                   {"hasId3v2", Flag(r.hasId3v2)},
                   {"id3v2Size", std::to_string(r.id3v2Size)},
                   {"hasId3v1", Flag(r.hasId3v1)},
                   {"isVbr", Flag(r.isVbr)}};
  return report;
}

}  // namespace

const FileFormat& Mp3Format() {
  static const FileFormat format{
      "MP3",
      {{"MP3", "mp3", kAudio, 1024, 100 * MiB}},
      {{HeaderBytes({0xFF, 0xFB}), {"mp3"}, {}}, {HeaderText("ID3"), {"mp3"}, {}}},
      Size,
      Report};
  return format;
}

}  // namespace quarvelin
