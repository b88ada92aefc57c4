// An abstraction ("AL" line of a routing description): a withdrawal of water
// at the outlet of its routed subbasin, by a share of the flow above a
// minimum, by a time series, or by an operating rule. The "intern" kinds hand
// their water to an internal inflow ("ZL ... intern") of another routed
// subbasin; "extern", "from_file" and "extern_with_rule" write what they take
// to a table of their own (m3/s and the tracer concentrations).
//
// Flows are depths in mm per step over the abstraction's area
// areaNumerator / areaDivisor [km2] unless a name says m3/s.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "framework/timeseriesfile.h"
#include "framework/tracerrecord.h"
#include "routing/rules.h"

class ControlFile;
class DiagStream;

class AL_class {
 public:
  static constexpr int kIntern = 3;
  static constexpr int kExtern = 4;
  static constexpr int kFromFile = 5;
  static constexpr int kInternWithRule = 6;
  static constexpr int kExternWithRule = 7;
  static constexpr int kInternWithRuleFromReservoir = 8;
  static constexpr int64_t kBufferBytes = 2097152;

  AL_class() = default;
  virtual ~AL_class();
  AL_class(const AL_class&) = delete;
  AL_class& operator=(const AL_class&) = delete;

  // Puts the directory in front of a name that begins neither with "/" nor
  // "~"; a result beyond 1200 characters is fatal (37).
  virtual void MakeOutputPath(const std::string& directory, std::string& name);
  virtual void Flush(int force);
  virtual void AddRow(int64_t year, int64_t month, int64_t day, int64_t hour, const double* values);
  // text from pos on holds the rest of the "AL" line (up to the next element).
  // where names the line in the user's control file for the messages.
  // endDate, when given, is the date of the run's last step: the input series
  // of "from_file" has to hold a record for every step up to it.
  virtual void ReadDescription(int abstractionNumber, const std::string& text, size_t pos, int64_t startYear,
                               int64_t startMonth, int64_t startDay, int64_t startHour,
                               const std::string& where = std::string(), const int64_t* endDate = nullptr);
  virtual void ReadRules(ControlFile& file);
  virtual void FindRuleSection(ControlFile& file, const std::string& sectionName);
  virtual void SetParameters(DiagStream* diagnostics, TracerRecord* tracerRecords, int tracers, int subbasin,
                             const std::string& directory, double numerator, double divisor, double step);
  // Amount taken of the flow `available` [mm] of which `abstracted` is taken
  // already; the amount is added to abstracted and returned [mm], never below
  // 0 but for a negative value of a from_file series (water given back).
  virtual double Abstract(const double* linkFlows, double& abstracted, const double& available, int64_t year,
                          int64_t month, int64_t day, int64_t hour);
  virtual double M3sToMm(double Q, double A, double dt) const { return Q * 0.06 * dt / A; }
  virtual double MmToM3s(double q, double A, double dt) const { return q * A * 16.6666667 / dt; }
  virtual void SetTargetLink(int receiving, int linkFlow, double area);
  // Modes 6 and 7: the rule amount for the flow [m3/s], in mm.
  virtual double RuleAmount(const double* linkFlows, int64_t year, int64_t month, int64_t day, int64_t hour,
                            double flow);
  // Mode 8: the rule amount for the reservoir volume [m3], in m3/s. history is
  // the water row of the routing's flow histories (may be null).
  virtual double RuleAmountFromReservoir(const std::vector<std::vector<double>>* history, int64_t year, int64_t month,
                                         int64_t day, int64_t hour, double volume);

  void FlushToDisk();
  // Scales the minimum and the capacity to the area A when the subbasin's
  // area is corrected from areaCtrl to A (their m3/s stay as given; an
  // areaCtrl of 0 stands for A).
  void CorrectArea(double areaCtrl, double A);

  int Mode() const { return mode; }
  int Number() const { return number; }
  bool IsInternal() const { return mode == kIntern || mode == kInternWithRule || mode == kInternWithRuleFromReservoir; }
  int ReceivingPosition() const { return receivingPosition; }
  double MinFlow() const { return minFlow; }
  double Share() const { return share; }
  double MaxAbstraction() const { return maxAbstraction; }
  double Area() const { return areaNumerator / areaDivisor; }
  const std::string& OutputFile() const { return outputFile; }
  const RuleSet& Rules() const { return rules; }
  // [0]: the mean abstraction of the step [m3/s] (mode 8).
  std::vector<double> values;

 private:
  [[noreturn]] void Fail(const std::string& message, int code);
  bool WritesFile() const { return mode == kExtern || mode == kFromFile || mode == kExternWithRule; }
  // Applies the TargetCap link of column c to the amount a [m3/s].
  double Capped(double a, int c, double linked) const;

  DiagStream* diag = nullptr;
  int nTracers = 0;
  TracerRecord* tracers = nullptr;  // 1 ... nTracers
  std::vector<double> rows;         // bufferCapacity + 1 rows of nTracers + 5 values
  double share = 0;
  double minFlow = 0;
  double maxAbstraction = 0;
  int mode = 0;
  uint64_t bufferCapacity = 0;
  uint64_t rowsUsed = 0;
  uint64_t rowWidth = 0;
  std::string outputFile;
  std::string inputFile;
  int64_t date[4] = {0, 0, 0, 0};
  int64_t fileDate[4] = {0, 0, 0, 0};
  int subbasinIndex = 0;
  int number = 0;
  RuleSet rules;
  double areaNumerator = 0;
  double areaDivisor = 1;
  // minFlow and maxAbstraction still hold m3/s: the area was given as 0.
  bool inM3sUntilArea = false;
  double timeStep = 0;
  std::unique_ptr<timeseriesfile> inputSeries;
  int inputColumn = 0;
  int noted = 0;  // from_file: 1 a negative value said, 2 a missing one
  int receivingPosition = -1;
  int linkFlowPosition = 0;
  double receivingArea = 0;
  std::string outputDirectory;
};
