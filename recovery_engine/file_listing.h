#pragma once

#include <cstdint>
#include <string>

#include "device/raw_device.h"
#include "quarvelin_native.h"

namespace quarvelin {

enum FileListingFlags : int32_t {
  kListDeletedOnly = 1,  // only files that are deleted
  kListSearchWhole = 2,  // probe every usual partition start of the source, however large
};

// Lists what the file systems of `sourcePath` hold, writing nothing: a FileFound message per file
// and a Status message per volume (JSON objects), an Error for what went wrong, then Finished with
// the number of files listed. Runs on the caller's thread.
void ListFiles(const DeviceOpener& open, const std::string& sourcePath, int32_t flags,
               NativeMessageCallback callback);

// "2024-05-01T13:45:02Z".
std::string IsoTime(int64_t unixSeconds);

}  // namespace quarvelin
