#pragma once

#include <string>

namespace quarvelin {

class RecoveryEngine;

// Copies the whole device `sourcePath` sector by sector into the raw image file `outputPath`,
// filling unreadable steps with zeros so every sector keeps its place. Runs on the engine's worker
// thread and reports only through the engine's messages.
void RunDiskImage(RecoveryEngine& engine, const std::string& sourcePath,
                  const std::string& outputPath);

}  // namespace quarvelin
