#include "formats/registry.h"

#include <algorithm>
#include <iterator>

namespace quarvelin {

const std::vector<const FileFormat*>& Formats() {
  static const std::vector<const FileFormat*> formats = {
      &JpegFormat(),     &PngFormat(), &GifFormat(),    &BmpFormat(), &TiffFormat(),
      &RiffFormat(),     &IcoFormat(), &MarkupFormat(), &PsdFormat(), &IsoMediaFormat(),
      &MatroskaFormat(), &AsfFormat(), &FlvFormat(),    &Mp3Format(), &FlacFormat(),
      &OggFormat(),      &PdfFormat(), &ZipFormat(),    &RtfFormat(), &RarFormat(),
      &SevenZipFormat(), &CfbFormat(), &GzipFormat(),   &TarFormat(), &Iso9660Format(),
      &SqliteFormat(),   &PstFormat(), &AiffFormat(),   &AacFormat(), &JxlFormat(),
      &TextFormat(),
  };
  return formats;
}

const FileType* FindType(std::string_view extension) {
  for (const FileFormat* format : Formats()) {
    for (const FileType& type : format->types) {
      if (type.extension == extension) return &type;
    }
  }
  return nullptr;
}

const FileFormat* FormatOf(std::string_view extension) {
  for (const FileFormat* format : Formats()) {
    for (const FileType& type : format->types) {
      if (type.extension == extension) return format;
    }
  }
  return nullptr;
}

std::vector<uint8_t> HeaderText(std::string_view text) {
  return {text.begin(), text.end()};
}

std::vector<uint8_t> HeaderBytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

namespace {

std::vector<FileSignature> BuildTable() {
  std::vector<FileSignature> table;
  for (const FileFormat* format : Formats()) {
    for (const FileType& type : format->types) {
      const size_t before = table.size();
      for (const FormatHeader& header : format->headers) {
        if (std::find(header.types.begin(), header.types.end(), type.extension) ==
            header.types.end()) {
          continue;
        }
        table.push_back({type.name, type.extension, type.category, header.bytes, header.footer,
                         type.maxSize, type.minSize, header.ignoreCase, format,
                         type.onlyWhenSelected});
      }
      // A type no header starts still needs a row, for a scan to select and find it by.
      if (table.size() == before && type.extension == format->unheadedType) {
        table.push_back({type.name,
                         type.extension,
                         type.category,
                         {},
                         {},
                         type.maxSize,
                         type.minSize,
                         false,
                         format,
                         type.onlyWhenSelected});
      }
    }
  }
  return table;
}

}  // namespace

const std::vector<FileSignature>& SignatureTable() {
  static const std::vector<FileSignature> table = BuildTable();
  return table;
}

std::vector<FileSignature> LoadSignatures(const std::vector<std::string>& extensions) {
  const auto& table = SignatureTable();
  std::vector<FileSignature> selected;
  if (extensions.empty()) {
    std::copy_if(table.begin(), table.end(), std::back_inserter(selected),
                 [](const FileSignature& row) { return !row.onlyWhenSelected; });
    return selected;
  }
  for (const FileSignature& row : table) {
    if (std::find(extensions.begin(), extensions.end(), row.extension) != extensions.end()) {
      selected.push_back(row);
    }
  }
  return selected;
}

}  // namespace quarvelin
