#include "damage_report.h"

namespace quarvelin {

std::string UnreadableSectorsProblem(const std::vector<SectorRange>& sectors) {
  // Enough to find the damage in a file; a drive dying under a large file could list thousands.
  constexpr size_t kListed = 16;
  std::string text = sectors.size() == 1 && sectors[0].Count() == 1 ? "sector " : "sectors ";
  for (size_t i = 0; i < sectors.size() && i < kListed; ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(sectors[i].First());
    if (sectors[i].Count() > 1) text += "-" + std::to_string(sectors[i].End() - 1);
  }
  if (sectors.size() > kListed) {
    text += " and " + std::to_string(sectors.size() - kListed) + " more stretches";
  }
  return text + " unreadable, written as zeros";
}

void AddProblem(std::string& problem, const std::string& part) {
  if (part.empty()) return;
  if (!problem.empty()) problem += "; ";
  problem += part;
}

std::string DamagedFileLine(const std::string& path, const std::string& problem) {
  return "Damaged: " + path + ": " + problem;
}

std::string SizeText(int64_t bytes) {
  constexpr int64_t kKilo = 1024;
  if (bytes >= kKilo * kKilo) return std::to_string(bytes / (kKilo * kKilo)) + " MB";
  if (bytes >= kKilo) return std::to_string(bytes / kKilo) + " KB";
  return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

std::string UnreadableStretchLine(SectorRange sectors, int32_t sectorSize) {
  const std::string size = SizeText(sectors.ByteLength(sectorSize).value_or(INT64_MAX));
  if (sectors.Count() == 1) {
    return "Unreadable: sector " + std::to_string(sectors.First()) + " (" + size +
           ") could not be read and was not searched.";
  }
  return "Unreadable: sectors " + std::to_string(sectors.First()) + " to " +
         std::to_string(sectors.End() - 1) + " (" + size +
         ") could not be read and were not searched.";
}

}  // namespace quarvelin
