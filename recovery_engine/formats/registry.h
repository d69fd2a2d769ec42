#pragma once

#include <string_view>
#include <vector>

#include "formats/format.h"

namespace quarvelin {

// Every format the engine knows, in the order the UI lists their types.
const std::vector<const FileFormat*>& Formats();

// The type of that extension and the format that writes it; null for an unknown extension.
const FileType* FindType(std::string_view extension);
const FileFormat* FormatOf(std::string_view extension);

// Each module's format.
const FileFormat& JpegFormat();
const FileFormat& PngFormat();
const FileFormat& GifFormat();
const FileFormat& BmpFormat();
const FileFormat& TiffFormat();
const FileFormat& RiffFormat();
const FileFormat& IcoFormat();
const FileFormat& MarkupFormat();
const FileFormat& PsdFormat();
const FileFormat& IsoMediaFormat();
const FileFormat& MatroskaFormat();
const FileFormat& AsfFormat();
const FileFormat& FlvFormat();
const FileFormat& Mp3Format();
const FileFormat& FlacFormat();
const FileFormat& OggFormat();
const FileFormat& PdfFormat();
const FileFormat& ZipFormat();
const FileFormat& RtfFormat();
const FileFormat& RarFormat();
const FileFormat& SevenZipFormat();
const FileFormat& CfbFormat();
const FileFormat& GzipFormat();
const FileFormat& TarFormat();
const FileFormat& Iso9660Format();
const FileFormat& SqliteFormat();
const FileFormat& PstFormat();
const FileFormat& AiffFormat();
const FileFormat& AacFormat();
const FileFormat& TextFormat();
const FileFormat& JxlFormat();

// Header bytes from a text, and from a list of byte values.
std::vector<uint8_t> HeaderText(std::string_view text);
std::vector<uint8_t> HeaderBytes(std::initializer_list<int> values);

// Sizes in bytes.
inline constexpr int64_t KiB = 1024;
inline constexpr int64_t MiB = 1024 * KiB;
inline constexpr int64_t GiB = 1024 * MiB;

}  // namespace quarvelin
