// What an interpolator needs from its creator beyond the model object: the
// per-zone statistics writer of its result grid and the master cells of the
// hydrologic response units.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Per-zone statistics of one interpolated grid: one line per step with the
// area-weighted zone means. The run's statistics file writer stands behind it.
class MeteoStatistics {
 public:
  virtual ~MeteoStatistics() = default;
  // Writes the header of the file; description names the variable, method and inputs.
  virtual void WriteHeader(const std::string& variableName, const std::string& description) = 0;
  virtual void NewStep() = 0;
  virtual void AddCell(int row, int column, int zone, double value, double weight) = 0;
  // Adds count cells of a row with weight 1, in the order given, as AddCell
  // one after the other would.
  virtual void AddRow(int row, int count, const int* columns, const int* zones, const double* values) {
    for (int i = 0; i < count; ++i) AddCell(row, columns[i], zones[i], values[i], 1.0);
  }
  // False for a statistic that writes nothing: it need not be given cells.
  virtual bool IsActive() const { return true; }
  // True when the sums of each zone are kept apart from the others', so that
  // threads may add the rows' cells of different zones at the same time.
  virtual bool ZonesApart() const { return false; }
  // Combines the zone sums of all instances and buffers the line of the step.
  virtual void Reduce(int64_t year, int64_t month, int64_t day, int64_t hour, int reduceFlag) = 0;
  virtual void Flush() = 0;
  // Writes what is buffered and releases the writer's memory.
  virtual void Finish() = 0;
};

// A writer that writes nothing, for statistic codes that ask for no file.
class InactiveMeteoStatistics : public MeteoStatistics {
 public:
  void WriteHeader(const std::string&, const std::string&) override {}
  void NewStep() override {}
  void AddCell(int, int, int, double, double) override {}
  void AddRow(int, int, const int*, const int*, const double*) override {}
  bool IsActive() const override { return false; }
  void Reduce(int64_t, int64_t, int64_t, int64_t, int) override {}
  void Flush() override {}
  void Finish() override {}
};

// Creates the statistics writer of a file and a statistic code; a failure is
// reported through error (0 = success) and may return null.
using MeteoStatisticsFactory =
    std::function<MeteoStatistics*(int& error, const std::string& fileName, int statisticCode)>;

// Master cell of one hydrologic response unit; the list is indexed by unit number.
struct HruMasterCell {
  int row = 0;
  int column = 0;
};
