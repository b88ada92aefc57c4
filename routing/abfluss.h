// The discharge routing sub-model, section "[routing_model]": the routing
// descriptions of the control file build a network of routed subbasins
// (routingclass) whose channels carry the runoff of every subbasin to the
// basin outlet. The routing runs on instance 0; every other instance keeps an
// object that is switched off.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/routstatistic.h"
#include "framework/submodelframe.h"
#include "framework/timeseriesfile.h"
#include "routing/routingclass.h"

class abflussmodellklasse : public teilmodellklasse {
 public:
  // common.end* hold the start date of the run; runEnd, when given, the date
  // of its last step (year, month, day, hour), which the input series of
  // the abstractions have to reach.
  abflussmodellklasse(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                      const std::string& workFileName, const SubModelArgs& common, int tracerCount,
                      TracerRecord* tracerRecords, int storageReadParameter, int subSteps = 1,
                      const int64_t* runEnd = nullptr);
  ~abflussmodellklasse() override;

  void FreeMemory() override;
  virtual void InitTracerOutputs(int& error, int count, TracerRecord* records, StatRecord* registry, int capacity);
  virtual void FreeTracerBuffers();
  void run(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  // Overlapping occurrences count.
  virtual int CountSubstrings(const std::string& text, const std::string& pattern);
  [[noreturn]] virtual void StorageContentMismatch(const std::string& what, double control, double stored);
  virtual void ReadStorageContent(const std::string& fileName, int readParameter);
  virtual void WriteStorageContent();
  virtual void InitRouting();
  // Qg[t][s]: runoff of subbasin s [mm per step] (t = 0) and concentrations.
  virtual void SetDischarges(double** runoff);
  // The same table laid out as flow index rows of nSubbasins + 1 values.
  virtual void SetDischarges(double* runoff);
  virtual void SetRiverflowTable(RiverflowTable* table);
  // Rows: tributaries in the order met, receiving subbasin, routing description.
  virtual int** GetRoutingTarget();
  // Rows: area of one cell times cells (row 0), relative areas (row 1).
  virtual double** GetRoutingDischarge();
  virtual int SetValueIfActive(int value);
  virtual void SetSubbasinTable(ZoneRecord* table);
  virtual double** GetMaxIrrigation();
  virtual double** GetMaxIrrigationFromReservoirs();
  virtual void FlushOutputs();
  virtual void ReadLakeGrid(const std::string& section);
  virtual void CountLakeCellsPerRank();
  // A warm start levels every lake to the volume of the routing's state (the
  // ponding grid of the state was written before the last step's routing
  // levelled it) and hands the lake cells to their instances: on every
  // instance, after ReadStorageContent.
  void LevelLakesAtWarmStart();
  // 1 when interception runs before snow: the soil's input is then looked up
  // as "throughfall0" before "snowcover_outflow".
  virtual void SetPrecipitationSource(int interceptionBeforeSnow);
  const std::vector<int64_t>& LakeCellsPerMPIRank() const { return lakeCellsPerMPIRank; }

  // Read access for the application and the tests.
  int RoutingConfigured() const { return routingConfigured; }
  int Routings() const { return nRoutings; }
  routingclass* Routing(int k) { return routings[k].get(); }
  RoutingTables& Tables() { return tables; }
  int TotalOL() const { return totalOL; }
  int TotalSUMTRIB() const { return totalSUMTRIB; }
  int TotalAmpersand() const { return totalAmpersand; }
  int TotalZL() const { return totalZL; }
  int TotalAL() const { return totalAL; }
  int TotalSP() const { return totalSP; }
  int ObservedColumn(int s) const { return observedColumn[s]; }
  int ObservedRowsPastEnd() const { return observedRowsPastEnd; }
  const std::vector<std::vector<double>>& ObservedWindow() const { return observedWindow; }
  const std::vector<std::vector<EfficiencyRecord>>& EfficiencySums() const { return efficiencySums; }
  int RepetitionsOfInitialRouting() const { return initialRepetitions; }
  int DischargeUnit() const { return dischargeUnit; }

 private:
  [[noreturn]] void Fail(const std::string& message, int code);
  // Unregisters and frees "PrecOnLakes".
  void ReleaseLakeGrid();
  // Binds the lake grids to the reservoirs of every routing subbasin.
  void BindLakes();
  // Lake cells of every instance to instance 0 (precipitation into "PrecOnLakes").
  void GatherLakeCells();
  // The ponding storage of the lake cells back to the instances, with the
  // concentrations of its tracers.
  void ReturnLakeCells();
  // Calls f(r, c) for every lake cell the instance owns.
  template <typename F>
  void ForOwnLakeCells(F f);
  // The concentration of each lake cell's ponded water from the soil's
  // stacks, and back into them (an amount where the tracer does not
  // evaporate) for the water the lakes left there.
  void TakeLakeConcentrations();
  void GiveLakeConcentrations();
  // Unregisters and frees the lake cells' concentration grids.
  void ReleaseLakeConcentrations();
  void Construct(StatRecord* registry, int capacity);
  void ReadSectionHead();
  void CountDescriptions();
  void BuildDescriptions();
  void BuildDescription(const std::string& text);
  void CheckNetwork();
  // A routed subbasin comes before every subbasin it flows into (error 41).
  void CheckOrder();
  // Connects every internal inflow to the one internal abstraction that feeds it (errors 300 to 303).
  void ConnectInternalInflows();
  // The area [km2] the routed depth of subbasin index s refers to.
  double DepthArea(int s) const;
  void RouteInitialRunoff();
  // Inflow b of routing description a takes abstraction k of description d;
  // first is the entry its TargetCap compares with (0: none). Fatal (41) when
  // the water would come from the step before.
  void CheckInternalOrder(int a, int b, int d, int k, int first);
  void OpenObservedFile();
  void AdvanceObservedWindow();
  // The date of the window's newest row one step on, and that row from the file.
  void NextObservedDate();
  void FillObservedRow(std::vector<double>& row);
  void AccumulateEfficiency();
  // Flow control 2: follows, per subbasin with an observed column, the
  // steps without an observation (the channels keep their simulated input)
  // and names each gap once it ends (final: the run ends).
  void TrackObservationGaps(bool final);
  void WriteDischargeStatistics();
  // Routed discharge of subbasin s in the unit of the output.
  double RoutedDischarge(int s) const;

  // Description stream: values after keywords and after "=".
  struct Stream {
    const std::string* text = nullptr;
    size_t pos = 0;
    int number = 0;  // routing description, named by the messages
  };
  // Position of the next keyword from the reading position on.
  size_t NextElement(const Stream& s) const;
  int IntegerAfter(Stream& s, const std::string& keyword);
  double ValueAfterEqual(Stream& s, const char* what);
  std::string WordAfterEqual(Stream& s, size_t maxLength, const char* what);
  std::string NextWord(Stream& s, size_t maxLength, const char* what);
  // The ten values of a channel line; each has to be a number greater than 0.
  ChannelParameters ChannelValues(Stream& s, const std::string& element);
  void CheckTributary(int tributary, int subbasin, int index, bool lineEnd, const std::string& where);
  // "routing description 2, control file control.txt, line 651" for a
  // position in the joined description.
  std::string DescriptionWhere(const Stream& s, size_t at) const;
  // "control file control.txt, line 651" alone.
  std::string LineWhere(size_t at) const;
  // Start of each line of the description being built in the joined text,
  // with its line of the control file.
  std::vector<std::pair<size_t, int>> descriptionLines;
  bool HasKeyword(const std::string& line) const;

  int routingConfigured = 0;
  bool switchedOn = false;  // the flow control parameter as read, on every instance
  double qmin = 0, qmax = 0, nIntervals = 0;
  int subIntervals = 1;
  std::string qstatFileName;
  int qstatCode = 0;
  std::string observedFileName;
  int nColumnDescriptors = 0;
  std::vector<int> observedColumn;  // per subbasin index
  int rsquareOffset = 0;
  int nRoutings = 0;
  int totalOL = 0, totalSUMTRIB = 0, totalAmpersand = 0, totalZL = 0, totalAL = 0, totalSP = 0;
  std::vector<std::string> inflowLines;                 // where each inflow number was given, by number
  std::vector<std::unique_ptr<routingclass>> routings;  // 1 ... nRoutings
  std::vector<int> routingTarget[3];
  int* routingTargetRows[3] = {nullptr, nullptr, nullptr};
  double* abfrelRows[2] = {nullptr, nullptr};
  RoutingTables tables;
  std::vector<int> sumTribList;
  int maxStorageElements = 0;
  Grid precOnLakes = nullptr;
  int precOnLakesPosition = 0;
  int lakeFlowControl = 0;
  int readStorageState = 0;
  int interceptionFirst = 0;
  // Grid-list positions of the grids exchanged for the lake cells (0: absent).
  struct LakeIndices {
    bool bound = false;
    int codes = 0, ponding = 0, etr0 = 0, qdown = 0, baseflow = 0, input = 0;
    // The interception's and the snow's evaporation (0: absent).
    int interceptionEvap = 0, snowEvap = 0;
    std::vector<int> tracers;  // 1 ... tracers
    // The run's tracer count on every instance (the others route nothing,
    // but send their lake cells' tracers too).
    int tracerCount = 0;
    // The soil's tracer stacks, whose level 0 holds the tracer of the
    // ponded water (an amount, mm x concentration; an evaporating tracer's
    // concentration), and the lake cells' concentrations of that water on
    // every instance (whole grids, 1 ... tracers): what the lakes mix and
    // level, handed back to the stacks after the routing.
    std::vector<int> soilStacks;
    std::vector<bool> evaporating;
    std::vector<Grid> concentrations;
    std::vector<int> concentrationPositions;
    // On instance 0 of several, whole-grid copies of the grids that hold only
    // the instance's own rows there, which receive the lake cells of all
    // instances (null: the grid itself holds every row).
    Grid etr0Copy = nullptr, qdownCopy = nullptr, baseflowCopy = nullptr;
    Grid interceptionEvapCopy = nullptr, snowEvapCopy = nullptr;
  } lakes;
  // A whole-grid copy for the grid at position p when instance 0 of several
  // does not hold all its rows, else null.
  Grid LakeCopy(int p);
  void FreeLakeCopies();
  std::vector<int64_t> lakeCellsPerMPIRank;  // one per instance
  int startValueMode = 0;
  std::unique_ptr<routstatistic> dischargeStatistics;
  std::vector<ZoneRecord> statisticRecords;  // the writer's own copy of the subbasin records
  int dischargeUnit = 0;
  std::unique_ptr<timeseriesfile> observedFile;
  bool observedOpen = false;
  std::vector<std::vector<double>> observedWindow;  // 21 rows of columns + 1
  int observedDate[4] = {0, 0, 0, 0};
  int observedRowsPastEnd = 0;
  int64_t observedRowDate[4] = {0, 0, 0, 0};  // the date of the window's row 20
  int nObservedColumns = 0;
  int observedSteps = 0;
  struct ObservationGap {
    long steps = 0;                                           // 0: no gap open
    int64_t first[4] = {0, 0, 0, 0}, last[4] = {0, 0, 0, 0};  // year, month, day, hour
  };
  std::vector<ObservationGap> observationGaps;                // per subbasin index
  std::vector<std::vector<EfficiencyRecord>> efficiencySums;  // 21 x subbasins + 1
  std::vector<std::vector<EfficiencyRecord>> efficiencyLogSums;
  struct TracerOutput {
    std::vector<ZoneRecord> records;
    std::unique_ptr<zonalstatistic> writer;
    std::string name;
  };
  std::vector<TracerOutput> tracerOutputs;  // 1 ... tracers
  StatRecord* registry = nullptr;
  int registryCapacity = 0;
  int64_t startDate[4] = {0, 0, 0, 0};  // year, month, day, hour
  int64_t endDate[4] = {0, 0, 0, 0};    // of the last step; 0 when not known
  double** runoffInput = nullptr;
  std::vector<double*> runoffRows;  // row pointers of a flat runoff table
  RiverflowTable* riverflowTable = nullptr;
  std::string storageFileName;
  bool storageNameGiven = false;
  int initialRepetitions = 0;
  bool initialRoutingPending = false;      // the channels are filled at the first step
  std::vector<std::vector<double>> saved;  // the initial runoff while the routing is repeated
};
