// The zonal statistics file of an interpolated meteorological grid: the
// interpolator's statistics seam backed by the run's zonalstatistic writer.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "framework/statregistry.h"
#include "framework/types.h"
#include "framework/zonalstatistic.h"
#include "meteo/meteoseams.h"

class DiagStream;

class ZonalMeteoStatistics : public MeteoStatistics {
 public:
  struct Settings {
    DiagStream* diag = nullptr;
    StatRecord* registry = nullptr;
    int registryCapacity = 0;
    Grid relCellArea = nullptr;
    int rows = 0;
    int columns = 0;
    const ZoneRecord* zoneTemplate = nullptr;  // zone records 0 ... zoneCount of the zone grid
    int zoneCount = 0;
    std::string outputDirectory;
    int listCount = 0;
    const int* listCodes = nullptr;
  };
  // Creates the writer; a constructor failure is handed back through error.
  ZonalMeteoStatistics(int& error, const Settings& settings, const std::string& fileName, int statisticCode);

  void WriteHeader(const std::string& variableName, const std::string& description) override;
  void NewStep() override { writer->NewStep(); }
  void AddCell(int row, int column, int zone, double value, double weight) override {
    writer->AddCell(row, column, zone, value, weight);
  }
  void AddRow(int row, int count, const int* columns, const int* zones, const double* values) override {
    zonalstatistic::RowSums sums(*writer, row);
    for (int i = 0; i < count; ++i) sums.Add(columns[i], zones[i], values[i], 1.0);
  }
  bool IsActive() const override { return writer->IsActive(); }
  bool ZonesApart() const override { return true; }
  void Reduce(int64_t year, int64_t month, int64_t day, int64_t hour, int reduceFlag) override {
    writer->Reduce(year, month, day, hour, reduceFlag);
  }
  void Flush() override { writer->Flush(); }
  void Finish() override { writer->Finish(); }

  // The factory the interpolators are built with.
  static MeteoStatisticsFactory Factory(const Settings& settings);

 private:
  StatRecord* registry;
  int registryCapacity;
  std::vector<ZoneRecord> zones;  // the writer's own zone records
  std::unique_ptr<zonalstatistic> writer;
};
