#include "signatures.h"

#include <algorithm>
#include <string_view>

namespace quarvelin {
namespace {

constexpr int64_t KiB = 1024;
constexpr int64_t MiB = 1024 * KiB;
constexpr int64_t GiB = 1024 * MiB;

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

std::vector<uint8_t> Text(std::string_view text) {
  return {text.begin(), text.end()};
}

std::vector<uint8_t> Ftyp(int boxSize) {
  return Bytes({0x00, 0x00, 0x00, boxSize, 'f', 't', 'y', 'p'});
}

std::vector<FileSignature> BuildTable() {
  const auto jpegFooter = Bytes({0xFF, 0xD9});
  const auto gifFooter = Bytes({0x00, 0x3B});
  const auto pkzip = Bytes({0x50, 0x4B, 0x03, 0x04});
  return {
      {"JPEG", "jpg", kImages, Bytes({0xFF, 0xD8, 0xFF, 0xE0}), jpegFooter, 1 * GiB, 1000},
      {"JPEG", "jpg", kImages, Bytes({0xFF, 0xD8, 0xFF, 0xE1}), jpegFooter, 1 * GiB, 1000},
      {"JPEG", "jpg", kImages, Bytes({0xFF, 0xD8, 0xFF, 0xDB}), jpegFooter, 1 * GiB, 1000},
      {"JPEG", "jpg", kImages, Bytes({0xFF, 0xD8, 0xFF, 0xEE}), jpegFooter, 1 * GiB, 1000},
      {"PNG", "png", kImages, Bytes({0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}),
       Bytes({0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82}), 1 * GiB, 100},
      {"GIF", "gif", kImages, Text("GIF89a"), gifFooter, 1 * GiB, 50},
      {"GIF", "gif", kImages, Text("GIF87a"), gifFooter, 1 * GiB, 50},
      {"BMP", "bmp", kImages, Text("BM"), {}, 50 * MiB, 54},
      {"TIFF", "tif", kImages, Bytes({0x49, 0x49, 0x2A, 0x00}), {}, 200 * MiB, 100},
      {"TIFF", "tif", kImages, Bytes({0x4D, 0x4D, 0x00, 0x2A}), {}, 200 * MiB, 100},
      {"WEBP", "webp", kImages, Text("RIFF"), {}, 200 * MiB, 100},
      {"ICO", "ico", kImages, Bytes({0x00, 0x00, 0x01, 0x00}), {}, 10 * MiB, 20},
      {"SVG", "svg", kImages, Text("<svg"), Text("</svg>"), 10 * MiB, 50},
      {"PSD", "psd", kImages, Text("8BPS"), {}, 2 * GiB, 1000},
      {"MP4", "mp4", kVideos, Ftyp(0x14), {}, 15 * GiB, 10000},
      {"MP4", "mp4", kVideos, Ftyp(0x18), {}, 15 * GiB, 10000},
      {"MP4", "mp4", kVideos, Ftyp(0x1C), {}, 15 * GiB, 10000},
      {"MP4", "mp4", kVideos, Ftyp(0x20), {}, 15 * GiB, 10000},
      {"MOV", "mov", kVideos, Ftyp(0x14), {}, 15 * GiB, 10000},
      {"MOV", "mov", kVideos, Ftyp(0x20), {}, 15 * GiB, 10000},
      {"3GP", "3gp", kVideos, Ftyp(0x14), {}, 2 * GiB, 10000},
      {"3GP", "3gp", kVideos, Ftyp(0x18), {}, 2 * GiB, 10000},
      {"M4V", "m4v", kVideos, Ftyp(0x18), {}, 4 * GiB, 10000},
      {"AVI", "avi", kVideos, Text("RIFF"), {}, 4 * GiB, 10000},
      {"MKV", "mkv", kVideos, Bytes({0x1A, 0x45, 0xDF, 0xA3}), {}, 10 * GiB, 1000},
      {"WEBM", "webm", kVideos, Bytes({0x1A, 0x45, 0xDF, 0xA3}), {}, 4 * GiB, 1000},
      {"WMV",
       "wmv",
       kVideos,
       Bytes({0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11}),
       {},
       8 * GiB,
       5000},
      {"FLV", "flv", kVideos, Bytes({0x46, 0x4C, 0x56, 0x01}), {}, 4 * GiB, 5000},
      {"MP3", "mp3", kAudio, Bytes({0xFF, 0xFB}), {}, 100 * MiB, 1024},
      {"MP3", "mp3", kAudio, Text("ID3"), {}, 100 * MiB, 1024},
      {"WAV", "wav", kAudio, Text("RIFF"), {}, 2 * GiB, 44},
      {"FLAC", "flac", kAudio, Text("fLaC"), {}, 500 * MiB, 1000},
      {"OGG", "ogg", kAudio, Text("OggS"), {}, 500 * MiB, 1000},
      {"PDF", "pdf", kDocuments, Text("%PDF"), Text("%%EOF"), 500 * MiB, 100},
      {"DOCX",
       "docx",
       kDocuments,
       Bytes({0x50, 0x4B, 0x03, 0x04, 0x14, 0x00, 0x06, 0x00}),
       {},
       100 * MiB,
       500},
      {"DOCX", "docx", kDocuments, pkzip, {}, 50 * MiB, 500},
      {"RTF", "rtf", kDocuments, Text("{\\rtf1"), Text("}"), 50 * MiB, 50},
      {"ZIP", "zip", kArchives, pkzip, {}, 2 * GiB, 100},
      {"RAR", "rar", kArchives, Bytes({'R', 'a', 'r', '!', 0x1A, 0x07, 0x00}), {}, 2 * GiB, 100},
      {"7Z", "7z", kArchives, Bytes({0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C}), {}, 4 * GiB, 100},
      {"HTML", "html", kCode, Text("<html"), Text("</html>"), 10 * MiB, 50},
      {"XML", "xml", kCode, Text("<?xml"), {}, 10 * MiB, 50},
  };
}

}  // namespace

const std::vector<FileSignature>& SignatureTable() {
  static const std::vector<FileSignature> table = BuildTable();
  return table;
}

std::vector<FileSignature> LoadSignatures(const std::vector<std::string>& extensions) {
  const auto& table = SignatureTable();
  if (extensions.empty()) {
    return table;
  }
  std::vector<FileSignature> selected;
  for (const FileSignature& row : table) {
    if (std::find(extensions.begin(), extensions.end(), row.extension) != extensions.end()) {
      selected.push_back(row);
    }
  }
  return selected;
}

}  // namespace quarvelin
