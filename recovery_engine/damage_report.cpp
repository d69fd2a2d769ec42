#include "damage_report.h"

namespace quarvelin {

// Texts are built by appending: g++ 12 at -O3 sees overlapping copies in some concatenations of
// temporaries that are not there.

std::string UnreadableSectorsProblem(const std::vector<SectorRange>& sectors) {
  // Enough to find the damage in a file; a drive dying under a large file could list thousands.
  constexpr size_t kListed = 16;
  std::string text = sectors.size() == 1 && sectors[0].Count() == 1 ? "sector " : "sectors ";
  for (size_t i = 0; i < sectors.size() && i < kListed; ++i) {
    if (i > 0) text.append(", ");
    text.append(std::to_string(sectors[i].First()));
    if (sectors[i].Count() > 1) text.append("-").append(std::to_string(sectors[i].End() - 1));
  }
  if (sectors.size() > kListed) {
    text.append(" and ").append(std::to_string(sectors.size() - kListed)).append(" more stretches");
  }
  return text.append(" unreadable, written as zeros");
}

void AddProblem(std::string& problem, const std::string& part) {
  if (part.empty()) return;
  if (!problem.empty()) problem.append("; ");
  problem.append(part);
}

std::string DamagedFileLine(const std::string& path, const std::string& problem) {
  return std::string("Damaged: ").append(path).append(": ").append(problem);
}

std::string SizeText(int64_t bytes) {
  constexpr int64_t kKilo = 1024;
  if (bytes >= kKilo * kKilo) return std::to_string(bytes / (kKilo * kKilo)).append(" MB");
  if (bytes >= kKilo) return std::to_string(bytes / kKilo).append(" KB");
  return std::to_string(bytes).append(bytes == 1 ? " byte" : " bytes");
}

std::string UnreadableStretchLine(SectorRange sectors, int32_t sectorSize) {
  const std::string size = SizeText(sectors.ByteLength(sectorSize).value_or(INT64_MAX));
  std::string line = "Unreadable: ";
  if (sectors.Count() == 1) {
    return line.append("sector ")
        .append(std::to_string(sectors.First()))
        .append(" (")
        .append(size)
        .append(") could not be read and was not searched.");
  }
  return line.append("sectors ")
      .append(std::to_string(sectors.First()))
      .append(" to ")
      .append(std::to_string(sectors.End() - 1))
      .append(" (")
      .append(size)
      .append(") could not be read and were not searched.");
}

}  // namespace quarvelin
