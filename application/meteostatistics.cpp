#include "application/meteostatistics.h"

namespace {
// Decimals of the values in the statistics files of the interpolated grids.
constexpr int kMeteoStatisticPrecision = 3;
}  // namespace

ZonalMeteoStatistics::ZonalMeteoStatistics(int& error, const Settings& s, const std::string& fileName,
                                           int statisticCode)
    : registry(s.registry), registryCapacity(s.registryCapacity) {
  // Each writer sums into its own records; codes, areas and relative sums come from the zone grid.
  zones.assign(static_cast<size_t>(s.zoneCount) + 1, ZoneRecord{0, 0, 0, 0, 0});
  if (s.zoneTemplate)
    for (int k = 0; k <= s.zoneCount; ++k)
      zones[k] = ZoneRecord{0, 0, s.zoneTemplate[k].zonenwert, s.zoneTemplate[k].rel, s.zoneTemplate[k].RelCellSum};
  writer = std::make_unique<zonalstatistic>(error, s.diag, s.registry, s.registryCapacity, s.relCellArea, s.rows,
                                            s.columns, zones.data(), s.zoneCount, statisticCode,
                                            kMeteoStatisticPrecision, fileName, s.outputDirectory, s.listCount,
                                            s.listCodes);
}

void ZonalMeteoStatistics::WriteHeader(const std::string& variableName, const std::string& description) {
  writer->WriteHeader(variableName, description, registry, registryCapacity);
}

MeteoStatisticsFactory ZonalMeteoStatistics::Factory(const Settings& settings) {
  return [settings](int& error, const std::string& fileName, int statisticCode) -> MeteoStatistics* {
    auto* statistics = new ZonalMeteoStatistics(error, settings, fileName, statisticCode);
    if (error != 0) {
      delete statistics;
      return nullptr;
    }
    return statistics;
  };
}
