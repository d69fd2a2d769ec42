// RIFF: WebP, AVI and WAV share the "RIFF" header; the form type after the size says which. The
// size field gives the file's length.

#include <array>
#include <string_view>
#include <utility>

#include "common/byte_fields.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 3> kForms = {
      {{"webp", "WEBP"}, {"avi", "AVI "}, {"wav", "WAVE"}}};
  const Bytes head = job.Read()(0, 12);
  if (head.empty()) return {};
  for (const auto& [extension, name] : kForms) {
    if (!StartsWith(head.subspan(8), name)) continue;
    const uint32_t size = *ReadLe32(head, 4);
    // A zero size (a writer that never came back to fill it in) leaves only a guess.
    if (size == 0) return {.size = job.Row().minSize, .extension = extension};
    return SizingJob::Proven(int64_t{size} + 8, extension);
  }
  return {};
}

}  // namespace

const FileFormat& RiffFormat() {
  static const FileFormat format{"RIFF",
                                 {{"WEBP", "webp", kImages, 100, 200 * MiB},
                                  {"AVI", "avi", kVideos, 10000, 4 * GiB},
                                  {"WAV", "wav", kAudio, 44, 2 * GiB}},
                                 {{HeaderText("RIFF"), {"webp", "avi", "wav"}, {}}},
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
