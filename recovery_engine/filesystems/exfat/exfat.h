#pragma once

#include "filesystems/byte_source.h"
#include "filesystems/found_file.h"

namespace quarvelin {

// Reads the exFAT volume that fills `volume` and hands every file it can name, live and deleted,
// to `sink`. The report's error is set, and nothing is found, when `volume` does not hold a
// sound exFAT volume.
FileSystemReport ReadExfatFiles(ByteSource& volume, const FileSink& sink, CancelFlag cancel);

}  // namespace quarvelin
