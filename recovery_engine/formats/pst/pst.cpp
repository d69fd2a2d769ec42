// Outlook personal folders (PST): "!BDN", a header guarded by CRCs whose root structure records
// the end of the file.

#include "formats/pst/pst_walk.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// A header whose CRCs fail says nothing trustworthy about the length: no file.
CarvedSize Size(SizingJob& job) {
  if (const auto end = WalkPst(job.Read())) return SizingJob::Proven(*end);
  return {};
}

}  // namespace

const FileFormat& PstFormat() {
  static const FileFormat format{"PST",
                                 {{"PST", "pst", kDocuments, 0x4400, 2 * GiB}},
                                 {{HeaderText("!BDN"), {"pst"}, {}}},
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
