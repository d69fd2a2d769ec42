// Block devices as the kernel lists them in sysfs. Everything is read through the given root so a
// test can hand in a tree of its own.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string_view>
#include <utility>

#include "drive_list.h"

namespace quarvelin {
namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute without surrounding blanks (models come padded with spaces);
// empty when the attribute is missing.
std::string ReadAttribute(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  const auto first = std::find_if_not(line.begin(), line.end(), blank);
  const auto last = std::find_if_not(line.rbegin(), line.rend(), blank).base();
  return first < last ? std::string(first, last) : std::string();
}

uint64_t ReadNumber(const fs::path& path) {
  const std::string text = ReadAttribute(path);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::strtoull(text.c_str(), nullptr, 10);
}

// Nothing a recovery can use: memory-backed disks, compressed swap in memory, optical drives (as on
// Windows, where CD drives are not listed).
bool NotARecoveryTarget(std::string_view name) {
  return name.starts_with("ram") || name.starts_with("zram") || name.starts_with("sr");
}

// sysfs size attributes count 512-byte units whatever the device's sector size.
uint64_t SizeInBytes(const fs::path& device) {
  const uint64_t units = ReadNumber(device / "size");
  return units > UINT64_MAX / 512 ? 0 : units * 512;
}

// Removable media, SD cards in a built-in reader (which the kernel does not flag removable), and
// anything attached through USB, such as USB hard disks that call themselves fixed.
bool IsRemovable(const fs::path& sysRoot, const fs::path& device) {
  if (ReadNumber(device / "removable") == 1 || ReadAttribute(device / "device" / "type") == "SD") {
    return true;
  }
  std::error_code ec;
  const fs::path real = fs::canonical(device, ec);
  if (ec) return false;
  const fs::path root = fs::canonical(sysRoot, ec);
  if (ec) return false;
  return real.lexically_relative(root).generic_string().find("/usb") != std::string::npos;
}

std::string DiskLabel(const fs::path& device, const std::string& backingFile) {
  if (!backingFile.empty()) return backingFile;
  std::string label = ReadAttribute(device / "dm" / "name");
  if (label.empty()) label = ReadAttribute(device / "device" / "model");
  return label;
}

DriveRecord MakeRecord(const std::string& name, const std::string& label, DriveKind kind,
                       uint64_t bytes) {
  DriveRecord record;
  record.id = "/dev/";
  record.id += name;
  record.letter = name;
  record.label = label;
  record.kind = kind;
  record.totalBytes = bytes;
  return record;
}

std::vector<std::string> SortedNames(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The partitions of a disk, in partition-number order.
std::vector<std::pair<uint64_t, std::string>> Partitions(const fs::path& device) {
  std::vector<std::pair<uint64_t, std::string>> partitions;
  for (const std::string& name : SortedNames(device)) {
    std::error_code ec;
    if (fs::exists(device / name / "partition", ec)) {
      partitions.emplace_back(ReadNumber(device / name / "partition"), name);
    }
  }
  std::sort(partitions.begin(), partitions.end());
  return partitions;
}

}  // namespace

std::vector<DriveRecord> ListSysfsDrives(const fs::path& sysRoot) {
  std::vector<DriveRecord> drives;
  const fs::path block = sysRoot / "block";
  for (const std::string& name : SortedNames(block)) {
    const fs::path device = block / name;
    if (NotARecoveryTarget(name) || ReadNumber(device / "hidden") == 1) continue;
    std::string backingFile;
    if (name.starts_with("loop")) {
      backingFile = ReadAttribute(device / "loop" / "backing_file");
      if (backingFile.empty()) continue;
    }
    const uint64_t bytes = SizeInBytes(device);
    if (bytes == 0) continue;  // an empty card reader, a detached loop device
    const std::string label = DiskLabel(device, backingFile);
    const DriveKind kind = IsRemovable(sysRoot, device) ? DriveKind::Removable : DriveKind::Fixed;
    drives.push_back(MakeRecord(name, label, kind, bytes));
    for (const auto& partition : Partitions(device)) {
      const uint64_t partitionBytes = SizeInBytes(device / partition.second);
      if (partitionBytes == 0) continue;
      drives.push_back(MakeRecord(partition.second, label, kind, partitionBytes));
    }
  }
  return drives;
}

std::vector<DriveRecord> ListMachineDrives() {
  return ListSysfsDrives("/sys");
}

}  // namespace quarvelin
