#include "run_list.h"

#include "common/byte_fields.h"

namespace quarvelin {
namespace {

// A little-endian integer of `width` bytes at `at`, sign-extended when `isSigned`.
int64_t ReadVarInt(std::span<const uint8_t> bytes, size_t at, size_t width, bool isSigned) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(bytes[at + i]) << (8 * i);
  if (isSigned && width < 8 && (bytes[at + width - 1] & 0x80) != 0) {
    value |= ~uint64_t{0} << (8 * width);
  }
  return static_cast<int64_t>(value);
}

}  // namespace

DecodedRuns DecodeRunList(std::span<const uint8_t> pairs, int64_t firstVcn) {
  DecodedRuns out;
  size_t at = 0;
  int64_t vcn = firstVcn;
  int64_t lcn = 0;
  while (true) {
    if (at >= pairs.size()) {
      out.damaged = true;  // no end marker inside the attribute
      break;
    }
    const uint8_t header = pairs[at];
    if (header == 0) break;
    const size_t lengthWidth = header & 0x0F;
    const size_t offsetWidth = header >> 4;
    if (lengthWidth == 0 || lengthWidth > 8 || offsetWidth > 8 ||
        pairs.size() - at - 1 < lengthWidth + offsetWidth) {
      out.damaged = true;
      break;
    }
    const int64_t length = ReadVarInt(pairs, at + 1, lengthWidth, true);
    Run run;
    run.vcn = vcn;
    run.length = length;
    if (offsetWidth == 0) {
      run.sparse = true;
    } else {
      const auto next = CheckedAdd(lcn, ReadVarInt(pairs, at + 1 + lengthWidth, offsetWidth, true));
      if (!next || *next < 0) {
        out.damaged = true;
        break;
      }
      lcn = *next;
      run.lcn = lcn;
    }
    const auto end = CheckedAdd(vcn, length);
    if (length <= 0 || !end) {
      out.damaged = true;
      break;
    }
    out.runs.push_back(run);
    vcn = *end;
    at += 1 + lengthWidth + offsetWidth;
  }
  return out;
}

}  // namespace quarvelin
