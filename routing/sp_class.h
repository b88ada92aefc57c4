// A reservoir ("SP" line of a routing description): a storage at the outlet
// of its routed subbasin that takes the subbasin's outflow, keeps a volume
// [m3] and tracer concentrations, releases what its operating rule gives
// (evaluated in sub-steps of dTmin seconds), serves the rule-driven
// abstractions that draw from it, and writes one table row per step with the
// balance terms in m3, mm and m3/s. With the lake model ("[lake_model]") it is
// a lake: its water is the ponding storage of its cells at one level, which
// the soil, evaporation and groundwater see (level-volume table from the
// elevation model); without it, water level and area are 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/tracerrecord.h"
#include "routing/rules.h"

class AL_class;
class ControlFile;
class DiagStream;

class SP_class {
 public:
  static constexpr int64_t kBufferBytes = 2097152;
  // Values of a table row behind the date, besides the concentrations.
  static constexpr int kRowValues = 30;

  // One balance term of a step.
  struct Term {
    double mm = 0, m3s = 0, m3 = 0;
  };

  SP_class() = default;
  virtual ~SP_class() = default;
  SP_class(const SP_class&) = delete;
  SP_class& operator=(const SP_class&) = delete;

  // Puts the directory in front of a name that begins neither with "/" nor
  // "~"; a result beyond 1200 characters is fatal (37).
  virtual void MakeOutputPath(const std::string& directory, std::string& name);
  virtual void Flush(int force);
  virtual void AppendOutputRow(int64_t year, int64_t month, int64_t day, int64_t hour);
  // text holds the element from behind its code to the next element.
  // where names the line in the user's control file for the messages.
  virtual void ReadDescription(int reservoirCode, const std::string& text, const std::string& where = std::string());
  virtual void ReadRules(ControlFile& file);
  virtual void FindRuleSection(ControlFile& file, const std::string& sectionName);
  virtual void SetParameters(DiagStream* diagnostics, TracerRecord* tracerRecords, int tracers, int subbasinCode,
                             int subbasinEntry, double timeStep, const std::string& directory);
  // Lake geometry: the grids of the lake's cells (whole grids, rows 1 ...
  // nrows, columns 1 ... ncols) and their geometry.
  struct LakeGrids {
    double** lakeCodes = nullptr;
    double** maxPond = nullptr;  // mm
    double** ponding = nullptr;  // mm
    double** zone = nullptr;
    double** dem = nullptr;          // m a.s.l.
    double** etr0 = nullptr;         // real transpiration of layer 0, mm per step
    double** precOnLakes = nullptr;  // mm per step
    // The soil's exchange with the ponded water below it ("q_downext", mm
    // per step, positive into the lake); null when absent.
    double** qdown = nullptr;
    double** baseflow = nullptr;  // null when absent
    // Evaporation of the interception storage and of the snow cover, mm per
    // step (null when absent): parts of etr0 that the lake water did not give.
    double** interceptionEvap = nullptr;
    double** snowEvap = nullptr;
    // Each cell's area relative to cellsize^2 (null: all 1).
    double** relArea = nullptr;
    std::vector<double**> tracers;  // 1 ... tracers: tracer storage of the soil; none when empty
    int nrows = 0, ncols = 0;
    double cellsize = 0, nodata = -9999;
    const int* zoneIndex = nullptr;  // zone value -> subbasin index
    int maxCode = 0;
  };
  // Binds the grids; from then on the reservoir is a lake of the cells whose
  // lake code equals its code.
  void SetLakeGrids(const LakeGrids& grids);
  // Checks the lake cells, builds the level-volume table (levels from the top
  // down) and writes "W_V_Table_%02d.dat" (errors 213, 224, 225).
  virtual void BuildLakeTable();
  // Water level [m a.s.l.] of a volume [m3] and the reverse; 0 without lake.
  virtual double LevelFromVolume(double volume);
  virtual double VolumeFromLevel(double level);
  // Sums the ponding water of the lake cells [m3] into out[0].
  virtual double CollectLakeWater(std::vector<double>& out);
  // Spreads the volume over the lake cells at one level (ponding storage, mm).
  virtual void SetLakeLevel(double volume);
  // The volume of the level of the first ponded lake cell.
  virtual void TakeLakeVolumeFromGrid();
  int TableRows() const { return static_cast<int>(tableLevels.size()); }
  // Mean outflow [m3/s] of a step of timeStep minutes after the rule for the
  // inflow [m3/s]; serves the abstractions of mode 8 (their values[0]).
  // history: the routing's flow histories of the water (the TargetCap link).
  virtual double RuleOutflow(const std::vector<std::vector<double>>* history, AL_class* const* abstractions,
                             int nAbstractions, int64_t year, int64_t month, int64_t day, int64_t hour, double inflow,
                             double timeStep);
  virtual void CreateOutputFile();
  // Balance of one step of dt minutes: irrigation and abstraction volumes
  // [m3] drawn from the reservoir, inflow [m3/s] with its concentrations
  // inflowConcentrations[t] (t = 1 ... tracers), the abstractions of the
  // subbasin (the reservoir serves those of mode 8).
  virtual void Step(double dt, double irrigation, double abstraction, const std::vector<std::vector<double>>* history,
                    const double* inflowConcentrations, const double* inflow, AL_class* const* abstractions,
                    int nAbstractions, int64_t year, int64_t month, int64_t day, int64_t hour);
  virtual double WeightedByAbs(double cOld, double cIn, double vOld, double vIn);

  // The first rule outflow at the start date (no inflow, no abstractions),
  // at most the stored volume over a step.
  void InitialRuleOutflow(int64_t year, int64_t month, int64_t day, int64_t hour, double timeStep);
  void WriteBuffer();
  void FreeMemory();

  int Code() const { return code; }
  double Volume() const { return state[0]; }
  double Outflow() const { return Qout; }
  double SubStep() const { return dTmin; }
  const RuleSet& Rules() const { return rules; }
  const std::string& OutputFile() const { return outputFile; }
  // [0] volume [m3], [1 ... tracers] concentrations.
  std::vector<double> state;
  Term Abstr, Irrig, PREC, QinTerm, QoutTerm, QGW, ETR, dV, Err;
  double A = 0;

 private:
  [[noreturn]] void Fail(const std::string& message, int code);

  DiagStream* diag = nullptr;
  int code = 0;
  int subbasinCode = 0;
  int subbasinEntry = 0;
  int nTracers = 0;
  TracerRecord* tracers = nullptr;  // 1 ... nTracers
  double stepMinutes = 0;
  std::string outputDirectory;
  std::vector<double> previous;
  double Qout = 0;    // outflow rate of the last step [m3/s]
  double dTmin = 60;  // sub-step of the rule evaluation [s]
  int64_t date[4] = {0, 0, 0, 0};
  int64_t ruleStart[4] = {0, 0, 0, 0};  // the start of the run, for the rule of the initial routing
  RuleSet rules;
  std::vector<double> subStepWater, totalWater;  // per abstraction, work of RuleOutflow
  std::string outputFile;
  // The SP element's place in the user's control file and its start volume [m3].
  std::string location;
  double startVolume = 0;
  std::vector<double> rows;  // capacity + 1 rows of tracers + 35 values
  // Lake: grids, bounding box of the cells and the level-volume table.
  bool lake = false;
  LakeGrids grids;
  int firstRow = 0, lastRow = -1, firstCol = 0, lastCol = -1;
  std::vector<double> tableLevels, tableVolumes;
  // The cells' bottoms in ascending order, the sums of the areas of the
  // first k cells and of their bottoms times their areas, and the volume when
  // the level reaches bottom k [m, m2, m3, m3].
  std::vector<double> bottoms, areaSums, bottomSums, volumesAtBottoms;
  // The area of a lake cell [m2]: cellsize^2 times its relative area.
  double CellArea(int r, int c) const;
  std::vector<double> collected;  // the lake water gathered in a step
  // Evaporation, precipitation and groundwater exchange of the ponded lake
  // cells, then the lake water gathered and levelled.
  void LakeTerms();
  bool IsLakeCell(int r, int c) const;
  uint64_t capacity = 0;
  uint64_t rowsUsed = 0;
  uint64_t rowWidth = 0;
};
