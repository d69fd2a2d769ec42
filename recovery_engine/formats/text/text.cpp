// Plain text: no header starts it, so it is looked for at sector starts, and only when chosen
// (otherwise every stretch of text on a disk, inside other files too, would come out as a file).

#include <algorithm>

#include "formats/registry.h"
#include "formats/text/text_walk.h"
#include "header_search.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// Text that begins the way another type's file does (an XML declaration, an RTF group, a PDF)
// is that file: its own format carves it. Two-byte headers are left out: text may well begin with
// "BM" or "MZ".
bool StartsOtherType(Bytes bytes) {
  const FileFormat* self = &TextFormat();
  for (const FileSignature& row : SignatureTable()) {
    if (row.format == self) continue;
    if (row.header.size() >= 3 && HeaderMatches(bytes, 0, row.header, row.ignoreCase)) return true;
  }
  return std::any_of(Formats().begin(), Formats().end(), [&](const FileFormat* format) {
    return format != self && format->startsUnheaded != nullptr && format->startsUnheaded(bytes);
  });
}

// A whole sector of text that no other type's header starts.
bool StartsText(Bytes bytes) {
  if (bytes.size() < kTextLead) return false;
  bool cut = false;  // the sector ends inside a character: the next decides
  const size_t text = TextPrefix(bytes.first(kTextLead), &cut);
  if (text < kTextLead && !cut) return false;
  return !StartsOtherType(bytes);
}

CarvedSize Size(SizingJob& job) {
  const int64_t end = WalkTextEnd(job.Read(), job.Cancel(), job.MaxSize());
  if (end < static_cast<int64_t>(kTextLead)) return {};
  // Text that runs on to the largest size allowed has not been seen to end.
  if (end >= job.MaxSize()) return SizingJob::Estimated(job.MaxSize());
  return SizingJob::Measured(end);
}

}  // namespace

const FileFormat& TextFormat() {
  static const FileFormat format{
      "Text",    {{"TXT", "txt", kDocuments, static_cast<int64_t>(kTextLead), 64 * MiB, true}},
      {},        Size,
      nullptr,   "txt",
      StartsText};
  return format;
}

}  // namespace quarvelin
