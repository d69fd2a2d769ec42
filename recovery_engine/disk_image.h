#pragma once

#include <string>

namespace quarvelin {

class RecoveryEngine;

// What an imaging does beyond its source and image file.
struct ImageOptions {
  std::string map;  // the rescue map; empty for the image's path + ".map"
  // What an existing map means: kAuto goes on with the rescue it records, kRequire insists on one
  // (nothing to resume is an error), kRefuse stops rather than start over a rescue in progress.
  enum class Resume { kAuto, kRequire, kRefuse } resume = Resume::kAuto;
  int retries = 0;        // passes over the bad sectors once everything else is done
  bool scrape = true;     // read the inside of failed areas sector by sector
  bool reverse = false;   // the first pass runs from the end of the source backwards
  bool checksums = true;  // SHA-256 and MD5 of the finished image
  // Progress lines carry the bytes rescued, failed and not tried, and the phase, after the two
  // fields the user interface reads.
  bool detailedProgress = false;
};

// Reads the options a caller passes as "name=value" texts ("map=FILE", "resume=yes|no|auto",
// "retries=N", "scrape=no", "reverse=yes", "checksums=no", "progress=detailed"); an unknown name
// or value gives an error text instead.
std::string ApplyImageOption(ImageOptions& options, const std::string& text);

// Rescues the device `sourcePath` into the raw image file `outputPath`: every sector in its place,
// the readable ones first, the failing areas worked on in phases, unread sectors as zeros. A rescue
// map beside the image records what was read, so an interrupted imaging goes on where it stopped.
// Runs on the engine's worker thread and reports only through the engine's messages.
void RunDiskImage(RecoveryEngine& engine, const std::string& sourcePath,
                  const std::string& outputPath, const ImageOptions& options = {});

}  // namespace quarvelin
