// Writer of subbasin statistics files for the discharge routing: one value per
// subbasin and step (no total column), observed values beside the simulated
// ones, and at the end of the run the efficiency criteria of the simulation.
// Used on one instance; it makes no MPI call.
#pragma once

#include "framework/zonalstatistic.h"

// Sums of one subbasin for the efficiency criteria.
struct EfficiencyRecord {
  double n;      // number of pairs of simulated and observed values
  double sumd;   // sum of the differences
  double sumd2;  // sum of the squared differences
  double m;      // number of observations
  double sumo;   // sum of the observations
  double sumo2;  // sum of their squares
};

// Number of time shifts of the efficiency tables: -10 ... +10 steps.
constexpr int kEfficiencyShifts = 21;

class routstatistic : public zonalstatistic {
 public:
  // columnValues: one value per subbasin (1 ... zoneCount), printed as the
  // relative area of its column. Other arguments as for zonalstatistic.
  routstatistic(int& error, DiagStream* diagnostics, StatRecord* registry, int capacity, Grid areaGrid, int rows,
                int columns, ZoneRecord* records, const double* columnValues, int zoneCount, int statCode,
                int precision, const std::string& fileName, const std::string& outputDirectory, int listCount,
                const int* listCodes);

  // Registers the simulated and, in the next record, the observed descriptor.
  // Returns the record of the observed descriptor, or 0 when it was not registered.
  int WriteHeader(const std::string& modelName, const std::string& statisticName, StatRecord* registry,
                  int capacity) override;
  void Finish() override;
  // Appends the efficiency blocks. Each argument holds kEfficiencyShifts
  // tables; table j belongs to the shift j - 10 and holds the records of
  // subbasins 1 ... number of zones (element 0 unused). A null table counts
  // as a table without observations.
  virtual void WriteEfficiency(const EfficiencyRecord* const* linear, const EfficiencyRecord* const* logarithmic);
  // Line of one step from the values added with AddCell.
  virtual void AddStepValues(int64_t year, int64_t month, int64_t day, int64_t hour);

  // Observed values of the columns 1 ... slots, filled by the routing.
  double* GetObservedValues() { return observed.data(); }

  // Coefficient of determination and of explained variation of one record:
  // missing (-9999) when there are fewer than three observations or pairs,
  // or the observations do not vary (ObservedVariance 0).
  static double Determination(const EfficiencyRecord& r);
  static double ExplainedVariation(const EfficiencyRecord& r);
  // The variance of the observations, 0 when it measures no fit.
  static double ObservedVariance(const EfficiencyRecord& r);

 private:
  // Zone of column i (1 ... number of columns).
  int ColumnZone(int i) const { return (type == 2 || type == 4) ? i : columnmap[i]; }
  // Buffers the line of the records (the carry added); partialSteps > 0
  // marks a period the run ended inside of.
  void BufferSubbasinLine(const int64_t* date, int partialSteps);
  // The unfinished period's steps as a partial line, before the efficiency
  // blocks and the end of the file.
  void BufferUnfinishedPeriod();
  void WriteBlock(const EfficiencyRecord* const* tables, const char* label, const char* unshiftedLabel, bool explained,
                  bool storeUnshifted);

  std::vector<double> columnvalues;  // per zone 1 ... zones
  int64_t observeddate[4] = {0, 0, 0, 0};
  std::vector<double> observed;
  std::vector<double> observedaccumulator;
  std::vector<double> observedareas;
  std::vector<int64_t> observedcodes;
  std::string observeddescription;
};
