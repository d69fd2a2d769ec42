#include "raw_device.h"

namespace quarvelin {

std::string NormalizeDevicePath(std::string path) {
  if (path.size() >= 3 && path.back() == '\\') {
    path.pop_back();
  }
  if ((path.size() == 1 || path.size() == 2) && path.find(':') != std::string::npos) {
    path.insert(0, "\\\\.\\");
  }
  return path;
}

uint32_t ReadByteCount(uint32_t count, int32_t bytesPerSector) {
  if (bytesPerSector < 1) {
    return 0;
  }
  const uint64_t bytes = uint64_t{count} * static_cast<uint64_t>(bytesPerSector);
  return bytes > UINT32_MAX ? 0 : static_cast<uint32_t>(bytes);
}

}  // namespace quarvelin
