#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quarvelin {

// One run of a non-resident attribute: `length` clusters from virtual cluster `vcn` lie at logical
// cluster `lcn` of the volume, or nowhere (a sparse run reads as zeros).
struct Run {
  int64_t vcn = 0;
  int64_t lcn = 0;  // meaningless when sparse
  int64_t length = 0;
  bool sparse = false;
};

struct DecodedRuns {
  std::vector<Run> runs;
  // The mapping pairs stopped making sense (a length of zero or less, a field wider than eight
  // bytes, a cluster number below zero, an overflow, no end marker) before their end; `runs`
  // holds the ones read before that.
  bool damaged = false;
};

// Decodes an attribute's mapping pairs, whose first run starts at `firstVcn`: each pair is a
// header byte (low nibble: width of the length, high nibble: width of the offset), the run's
// length and its starting cluster as a signed distance from the previous run's; no offset means
// a sparse run. A zero header byte ends the list.
DecodedRuns DecodeRunList(std::span<const uint8_t> pairs, int64_t firstVcn);

}  // namespace quarvelin
