#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace flutter {

// What an engine is started with.
struct EngineSettings {
  std::wstring assets_path;
  std::wstring icu_data_path;
  std::wstring aot_library_path;
  // Empty for the engine's default entrypoint.
  std::string entrypoint;
  // UTF-8 texts handed to the entrypoint.
  std::vector<std::string> entrypoint_arguments;
  // Passed through unchanged.
  int32_t engine_option_1 = 0;
  int32_t engine_option_2 = 0;
};

}  // namespace flutter
