// MP3: an optional ID3v2 tag, MPEG audio frames of one stream, then optional tags.

#include "formats/mp3/mp3_validator.h"
#include "formats/mp3/mp3_walk.h"
#include "formats/registry.h"
#include "formats/report.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// A stream cut short (an unreadable stretch, the device's end) keeps its whole frames when there
// are enough of them to be audio rather than chance.
constexpr int32_t kFramesOfACutStream = 10;

CarvedSize Size(SizingJob& job) {
  const Mp3Walk walk = WalkMp3(job.Read(), job.Cancel());
  if (walk.end) return SizingJob::Proven(*walk.end);
  // Two frame syncs are all a header row asks for, and random data holds one every few kilobytes:
  // where not even two frames of one stream follow, the validator's longer look is not spent.
  if (walk.frames < 2) return {};
  if (const auto mp3 = ValidateMp3(job.Read(), job.Cancel()); Accepted(mp3)) {
    return SizingJob::Measured(mp3.size);
  }
  return SizingJob::Measured(walk.frames >= kFramesOfACutStream ? walk.walkedEnd : 0);
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

// A leading tag, or the first frame: Layer III of MPEG-1, 2 and 2.5, with and without a CRC. (The
// walk takes Layers I and II too, behind a tag; as headers of their own their two-byte syncs would
// double the candidates random data raises, for files rarely named .mp3. Layer I's FF FF and FF FE
// are what erased flash is full of.)
std::vector<FormatHeader> FrameHeaders() {
  std::vector<FormatHeader> headers = {{HeaderBytes({0xFF, 0xFB}), {"mp3"}, {}},
                                       {HeaderText("ID3"), {"mp3"}, {}}};
  for (int second : {0xFA, 0xF3, 0xF2, 0xE3, 0xE2}) {
    headers.push_back({HeaderBytes({0xFF, second}), {"mp3"}, {}});
  }
  return headers;
}

}  // namespace

const FileFormat& Mp3Format() {
  static const FileFormat format{
      "MP3", {{"MP3", "mp3", kAudio, 1024, 100 * MiB}}, FrameHeaders(), Size, Report};
  return format;
}

}  // namespace quarvelin
