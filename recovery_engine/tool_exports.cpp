// The C entry points for tools. Like the user interface's exports, each one is a guard: nothing
// thrown inside may cross into the foreign caller, so every failure ends in the returned text.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_string.h"
#include "file_listing.h"
#include "formats/format.h"
#include "identify.h"
#include "quarvelin_tools.h"
#include "recovery_engine.h"
#include "signatures.h"

namespace quarvelin {
namespace {

// When building the answer failed: a short error object instead, or null when even that cannot be
// had.
char* ErrorObject(const char* reason) {
  try {
    return HeapText("{\"error\":" + JsonString(reason) + "}");
  } catch (...) {
    return nullptr;
  }
}

void AppendHex(std::string& out, const std::vector<uint8_t>& bytes) {
  constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const uint8_t byte : bytes) {
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
  }
  out += '"';
}

std::string FileTypesJson() {
  const std::vector<FileSignature>& table = SignatureTable();
  std::string json = "[";
  for (size_t i = 0; i < table.size(); ++i) {
    // Rows of one extension stand together; the first of them speaks for all.
    if (i > 0 && table[i - 1].extension == table[i].extension) continue;
    if (json.size() > 1) json += ',';
    json += "{\"extension\":" + JsonString(table[i].extension) +
            ",\"name\":" + JsonString(table[i].name) +
            ",\"category\":" + JsonString(CategoryFolders[static_cast<size_t>(table[i].category)]);
    // Headers matched byte for byte, then those whose letters match in either case.
    for (const bool ignoreCase : {false, true}) {
      json += ignoreCase ? "],\"headersIgnoringCase\":[" : ",\"headers\":[";
      bool first = true;
      for (size_t j = i; j < table.size() && table[j].extension == table[i].extension; ++j) {
        if (table[j].ignoreCase != ignoreCase || table[j].header.empty()) continue;
        if (!first) json += ',';
        first = false;
        AppendHex(json, table[j].header);
      }
    }
    json += "],\"minSize\":" + std::to_string(table[i].minSize) +
            ",\"maxSize\":" + std::to_string(table[i].maxSize);
    // Also found where no header starts it: at sector starts, by its format's own test.
    const FileFormat* format = table[i].format;
    const bool sectorStarts = format != nullptr && format->startsUnheaded != nullptr &&
                              format->unheadedType == table[i].extension;
    json += sectorStarts ? ",\"atSectorStarts\":true" : ",\"atSectorStarts\":false";
    json +=
        table[i].onlyWhenSelected ? ",\"onlyWhenSelected\":true}" : ",\"onlyWhenSelected\":false}";
  }
  return json + "]";
}

// Field values come as text; those spelt as a JSON number or boolean are written bare, the rest
// (brands, versions, anything read from the file) as strings, so the object is always valid JSON.
bool IsBareValue(std::string_view value) {
  if (value == "true" || value == "false") return true;
  if (!value.empty() && value.front() == '-') value.remove_prefix(1);
  if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  return value == "0" || value.front() != '0';
}

std::string IdentificationJson(const Identification& id) {
  std::string json = "{\"format\":" + JsonString(id.format) +
                     ",\"extension\":" + JsonString(id.extension) +
                     ",\"fileSize\":" + std::to_string(id.fileSize) +
                     ",\"validated\":" + (id.validated ? "true" : "false");
  if (id.validated) {
    json += ",\"size\":" + std::to_string(id.size) +
            ",\"confidence\":" + std::to_string(id.confidence) +
            ",\"accepted\":" + (id.accepted ? "true" : "false");
    json += ",\"fields\":{";
    for (size_t i = 0; i < id.fields.size(); ++i) {
      const auto& [name, value] = id.fields[i];
      if (i > 0) json += ',';
      AppendJsonString(json, name);
      json += ':';
      if (IsBareValue(value)) {
        json += value;
      } else {
        AppendJsonString(json, value);
      }
    }
    json += "},\"issues\":[";
    for (size_t i = 0; i < id.issues.size(); ++i) {
      if (i > 0) json += ',';
      AppendJsonString(json, id.issues[i]);
    }
    json += ']';
  }
  return json + '}';
}

}  // namespace
}  // namespace quarvelin

extern "C" {

QUARVELIN_EXPORT char* DescribeNativeFileTypes(void) {
  try {
    return quarvelin::HeapText(quarvelin::FileTypesJson());
  } catch (...) {
    return nullptr;
  }
}

QUARVELIN_EXPORT char* IdentifyNativeFile(const char* path) {
  if (path == nullptr) return quarvelin::ErrorObject("no file given");
  try {
    const quarvelin::IdentifyOutcome outcome = quarvelin::IdentifyFile(path);
    if (!outcome.identification) {
      return quarvelin::HeapText("{\"error\":" + quarvelin::JsonString(outcome.error) + "}");
    }
    return quarvelin::HeapText(quarvelin::IdentificationJson(*outcome.identification));
  } catch (const std::exception& e) {
    return quarvelin::ErrorObject(e.what());
  } catch (...) {
    return quarvelin::ErrorObject("identification failed");
  }
}

QUARVELIN_EXPORT void StartNativeRecoveryWithOptions(const char* drivePath, const char* outputDir,
                                                     const char** fileTypes, int32_t fileTypeCount,
                                                     const char** options, int32_t optionCount,
                                                     NativeMessageCallback callback) {
  try {
    quarvelin::ProcessEngine().StartRecovery(drivePath, outputDir, fileTypes, fileTypeCount,
                                             callback, options, optionCount);
  } catch (...) {
  }
}

QUARVELIN_EXPORT void StartNativeDiskImageWithOptions(const char* sourcePath,
                                                      const char* outputPath, const char** options,
                                                      int32_t optionCount,
                                                      NativeMessageCallback callback) {
  try {
    quarvelin::ProcessEngine().StartDiskImage(sourcePath, outputPath, callback, options,
                                              optionCount);
  } catch (...) {
  }
}

QUARVELIN_EXPORT void ListNativeFiles(const char* sourcePath, int32_t flags,
                                      NativeMessageCallback callback) {
  if (callback == nullptr) return;
  try {
    if (sourcePath == nullptr || *sourcePath == '\0') {
      quarvelin::EmitTo(callback, NativeMessageKind::Error, "No drive given.");
      quarvelin::EmitTo(callback, NativeMessageKind::Finished, "0");
      return;
    }
    quarvelin::ListFiles(quarvelin::OpenRawDevice, sourcePath, flags, callback);
  } catch (const std::exception& e) {
    quarvelin::EmitTo(callback, NativeMessageKind::Error,
                      std::string("Listing failed: ") + e.what());
    quarvelin::EmitTo(callback, NativeMessageKind::Finished, "0");
  } catch (...) {
  }
}

}  // extern "C"
