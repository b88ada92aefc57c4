// One routed subbasin of the discharge routing: the runoff of its own
// subbasin, the channels through which its tributaries (OL, SUMTRIB) and its
// inflows (ZL) reach its outlet, and the water level-discharge table of every
// channel. Objects exist on instance 0 only, inside the routing model.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "framework/modelobject.h"
#include "framework/submodelframe.h"
#include "framework/timeseriesfile.h"
#include "framework/types.h"
#include "routing/al_class.h"
#include "routing/sp_class.h"

// The tables that the routing model owns and every routed subbasin works in.
// Entries e: 1 ... nSubbasins are the subbasins (by index), the inflow numbers
// follow from inflowEntryBase + 1 on. Flow index t: 0 water (mm per step), 1
// ... nTracers concentrations.
struct RoutingTables {
  int nTracers = 0;
  int subIntervals = 1;
  int nSubbasins = 0;
  int inflowEntryBase = 0;
  int nEntries = 0;                                       // entries 0 ... nEntries - 1
  std::vector<std::vector<double>> runoff;                // [t][e], the runoff of the whole step
  std::vector<double> subInterval;                        // [t][j][e] flattened, j = 0 ... subIntervals
  std::vector<std::vector<std::vector<double>>> history;  // [t][e][m], translation queues
  std::vector<double> abfrel[2];                          // [row][0 ... nSubbasins]
  // Per subbasin e: the river water the irrigation took in the last step
  // [mm over the subbasin's cells] (t = 0) and its tracers' concentrations,
  // in transit to the fields, which receive it at the next step.
  std::vector<std::vector<double>> maxirrig;  // [t][e]
  std::vector<std::vector<double>> maxirrigFromReservoirs;
  std::vector<double*> maxirrigRows;  // row pointers handed to irrigation
  std::vector<double*> maxirrigFromReservoirsRows;
  const std::vector<std::vector<double>>* observedWindow = nullptr;  // 21 rows; empty: no file
  const std::vector<int>* observedColumn = nullptr;                  // per subbasin index
  int observedUnit = 0;                     // of the observations, that of the routed discharge: 0 mm per step, 1 m3/s
  ZoneRecord* irrigationRecords = nullptr;  // surface-water demand per subbasin (field sx, rel)
  std::vector<int> routedBy;                // per subbasin: its routing description, 0 when not routed
  // The subbasins' zone records' rel: entry 0 the basin's area [km2], entry s
  // the share of subbasin s in it (that of its own cells).
  std::vector<double> zoneRel;
  std::vector<char> withdrawn;  // per subbasin: its irrigation water was taken in this step
  // Area [km2] of the cells of subbasin s (not of what is routed into it),
  // which its irrigation demand refers to.
  double SubbasinArea(int s) const { return zoneRel.empty() ? 0.0 : zoneRel[0] * zoneRel[s]; }
  const int* codeToEntry = nullptr;  // subbasin code -> index
  int maxCode = 0;
  std::string outputDirectory;  // put in front of relative reservoir and abstraction table names

  double& Sub(int t, int j, int e) {
    return subInterval[(static_cast<size_t>(t) * (subIntervals + 1) + j) * nEntries + e];
  }
  void Allocate(int tracers, int intervals, int subbasins, int inflows, int abstractions);
  // Index of a subbasin code, 0 when the code is not one of the zone table.
  int EntryOf(int code) const {
    if (!codeToEntry || code < 0 || code > maxCode) return 0;
    const int e = codeToEntry[code];
    return (e >= 1 && e <= nSubbasins) ? e : 0;
  }
};

// The water level-discharge table and the state of one channel.
struct WQTable {
  // Per discharge class 1 ... N + 1 (entry 0 unused).
  std::vector<double> q, q_mm, Q, v, vm, vf, t, Rm, Rf, dm, df, floodShare;
  std::vector<int> delta;
  // A sub-channel's translation [sub-intervals]: a fixed delay by the
  // shortest travel time of its classes (fixedDelay, whole sub-intervals and
  // a fraction), then a conveyor for the rest of the class's travel time
  // (lag, per class). The travel times are the table's, bounded so that they
  // never grow with the discharge and the water in transit (discharge times
  // travel time) never shrinks as the discharge grows; between classes the
  // conveyor's part goes linearly with the logarithm of the discharge.
  std::vector<double> lag;
  double fixedDelay = 0;
  int delayCells = 0;     // positions of the fixed delay (its last one holds the fraction's water)
  int conveyorCells = 0;  // cells of the conveyor, in front of the fixed delay
  // The linear storages of main channel and flood plain over one
  // sub-interval tau: recession factor exp(-tau / k) and k / tau (what a
  // storage holds over its outflow at the end of a sub-interval).
  double recessionMain = 0, recessionFlood = 0, holdMain = 0, holdFlood = 0;
  double nSubChannels = 0;
  int nStorageElements = 0;
  int stride = 0;  // queue positions per sub-channel: the longest delay + subIntervals
  // Per sub-channel 1 ... n: the last queue position of the water in transit
  // (the segment's base + stride: every cell of the segment's conveyor), the
  // flood-plain share of its last input.
  std::vector<int> lastQueuePosition;
  std::vector<double> qvzuq;
  // Outflow of every sub-channel at the end of each sub-interval [k][j] (k
  // = 0 ... n, j = 0 ... subIntervals, mm per step), in total and the flood
  // plain's part of it: main channel and flood plain are two linear
  // storages that each keep their own outflow, so that each holds its
  // constant times its outflow; the last sub-interval's carries over to the
  // next step.
  std::vector<double> Qaus;
  std::vector<double> QausFlood;
  double& Out(int k, int j, int subIntervals) { return Qaus[static_cast<size_t>(k) * (subIntervals + 1) + j]; }
  double& FloodOut(int k, int j, int subIntervals) {
    return QausFlood[static_cast<size_t>(k) * (subIntervals + 1) + j];
  }
  // Concentrations of the water the two linear storages hold at the end of
  // each sub-interval, per tracer and sub-channel [t][k][j] (t = 1 ...
  // tracers): each storage mixes what it holds with its input, and its
  // outflow leaves at the mix.
  std::vector<double> conc, concFlood;
  size_t ConcIndex(int t, int k, int j, int subIntervals) const {
    return (static_cast<size_t>(t) * qvzuq.size() + k) * (subIntervals + 1) + j;
  }
  double& Conc(int t, int k, int j, int subIntervals) { return conc[ConcIndex(t, k, j, subIntervals)]; }
  double& FloodConc(int t, int k, int j, int subIntervals) { return concFlood[ConcIndex(t, k, j, subIntervals)]; }
  // Cells of sub-channel k's conveyor: the water in transit sits at the
  // positions base + subIntervals + 1 ... lastQueuePosition.
  int Delay(int k, int subIntervals) const { return lastQueuePosition[k] - (k - 1) * stride - subIntervals; }
};

// Parameters of one channel as given on its line, each greater than 0
// (storage constants kh, kv in hours).
struct ChannelParameters {
  double kh = 0, kv = 0, Bh = 0, Bv = 0, Th = 0, Mh = 0, Mv = 0, I = 0, L = 0, AE = 0;
};

// What a channel value not greater than 0 stands for: a storage constant of
// 0.01 h (a channel without storage), widths and a depth of 0.1 m,
// coefficients of 1, the slope whose square root is 0.0316 and a length of
// 1 m. The catchment area has none: it stays a value to give.
struct ChannelDefault {
  const char* name;
  double ChannelParameters::*value;
  double standsFor;
};
inline constexpr ChannelDefault kChannelDefaults[] = {
    {"kh", &ChannelParameters::kh, 0.01}, {"kv", &ChannelParameters::kv, 0.01},
    {"Bh", &ChannelParameters::Bh, 0.1},  {"Bv", &ChannelParameters::Bv, 0.1},
    {"Th", &ChannelParameters::Th, 0.1},  {"Mh", &ChannelParameters::Mh, 1.0},
    {"Mv", &ChannelParameters::Mv, 1.0},  {"I", &ChannelParameters::I, 0.0316 * 0.0316},
    {"L", &ChannelParameters::L, 1.0}};

class routingclass : public modelobject {
 public:
  // Counts are those of the subbasin's description. The tables stay the
  // routing model's. startValueMode 1: channels start from observed discharge.
  routingclass(int& error, DiagStream* diagnostics, const std::string& controlFileName, const ModelObjectArgs& args,
               int code, double areaCtrl, double relArea, int nTributaries, int nSumTributaries, int nAmpersands,
               int nInflows, int nAbstractions, int nReservoirs, double dt, int subIntervals, int startValueMode,
               RoutingTables* tables, TracerRecord* tracerRecords);

  void FreeMemory() override;
  virtual void WriteStorageContent(std::FILE* file);
  virtual void ReadStorageContent(ControlFile& file, const std::string& name);
  virtual void SetSubbasinTable(ZoneRecord* table) { tables->irrigationRecords = table; }
  virtual void LinkRiverflowTable(RiverflowTable* table, int number);
  virtual void UpdateRiverflowTable();
  virtual int MaxStorageElements(int value);
  virtual int DischargeClass(int channel, double q);
  // Travel time [sub-intervals] of the conveyor of one sub-channel of
  // channel i at the flow q [mm per step] (the fixed delay comes on top):
  // the table's lag interpolated over the logarithm of q.
  double Lag(int i, double q) const;
  virtual double GetMaxValue(const double* v);
  virtual double WeightedByAbs(double a, double b, double x, double y);
  virtual double Ratio(double a, double b, double c) { return b == c ? 0.0 : a * b / (b - c); }
  virtual void ReadInflows(int64_t year, int64_t month, int64_t day, int64_t hour);
  // Says once per series that an inflow file holds a negative flow (a
  // withdrawal) or a missing one (no water), x its value [m3/s] at the date.
  void NoteInflowFlow(int j, double x, int64_t year, int64_t month, int64_t day, int64_t hour);
  // endDate: the date of the run's last step (0 when not known); an inflow
  // file has to hold a record for every step up to it.
  virtual void SetInflow(int channel, int number, int mode, const std::string& fileName, int startRow, int column,
                         int64_t year, int64_t month, int64_t day, int64_t hour, double value,
                         const int64_t* endDate = nullptr);
  // Returns the storage element count of the channel.
  virtual int BuildWQTables(int channel, int code, const std::vector<int>& sumTribList, const ChannelParameters& p,
                            double qmin, double qmax, double nIntervals);
  virtual void CheckArea();
  virtual void WriteWQTables();
  // Velocity of a rectangular channel after Manning-Strickler for discharge Q
  // [m3/s], width B [m], coefficient M; sets depth d and hydraulic radius R.
  virtual void ChannelVelocity(double Q, double B, double& d, double& R, double& v, int maxIterations, double M,
                               double sqrtI, double tolerance);
  virtual void Route(int64_t year, int64_t month, int64_t day, int64_t hour);
  virtual void InitFlowArrays();
  // Every channel's translation queue holds the runoff of its entries.
  void FillQueues();
  // The flow (t = 0, mm per step) or concentration at entry e that channel
  // i starts with.
  double StartFlow(int i, int e, int t) const;
  virtual void InitChannelStates();
  // The "AL" element at or after pos of the joined description; pos moves behind its number.
  // where names the line in the user's control file for the messages.
  // endDate: the date of the run's last step (0 when not known).
  virtual void SetAblaufModus(const std::string& text, size_t& pos, const int64_t startDate[4],
                              const std::string& where = std::string(), const int64_t* endDate = nullptr);
  // The "SP" element at or after pos; pos moves behind its code.
  virtual void SetSpeicherParams(const std::string& text, size_t& pos, const std::string& where = std::string());
  // Makes every reservoir a lake of its cells: level-volume table, then the
  // volume from the ponding storage (readState != 0) or its initial volume
  // spread over the lake.
  virtual void BindLakes(const SP_class::LakeGrids& grids, int readState);
  // Reads every reservoir's rule and its first outflow at the date.
  virtual void InitReservoirRules(ControlFile& file, const int64_t date[4]);
  virtual void InitAbstractionRules(ControlFile& file);
  virtual void FlushOutputs();
  virtual double M3sToMm(double Q, double A) const { return Q * 0.06 * dt / A; }
  virtual double MmToM3s(double q, double A) const { return q * A * 16.6666667 / dt; }

  // Read access for the routing model and the tests.
  int Code() const { return code; }
  int Channels() const { return nTributaries + nSumTributaries + nInflows; }
  int Tributaries() const { return nTributaries; }
  int SumTributaries() const { return nSumTributaries; }
  int Inflows() const { return nInflows; }
  double AreaCtrl() const { return areaCtrl; }
  double RelArea() const { return relArea; }
  double AreaShare(int i) const { return areaShares[i]; }
  int TributaryCode(int i) const { return tributaryCodes[i]; }
  int InflowCode(int j) const { return inflowCodes[j]; }
  int InflowMode(int j) const { return inflowModes[j]; }
  int Abstractions() const { return nAbstractions; }
  AL_class& Abstraction(int a) { return *abstractions[a]; }
  int Reservoirs() const { return nReservoirs; }
  SP_class& Reservoir(int k) { return *reservoirs[k]; }
  double InflowValue(int j, int t = 0) const { return inflowValues[t][j]; }
  WQTable& Table(int i) { return wqtab[i]; }
  const ChannelParameters& Parameters(int i) const { return params[i]; }
  double QMin(int i) const { return qmin[i]; }
  double LogStep(int i) const { return logStep[i]; }
  double NIntervals(int i) const { return nIntervals[i]; }
  // Withdrawals [m3] that found no water in the river and its channel
  // (irrigation, uptake of the soil along the river), summed since the cold
  // start and written with the state.
  double UnmetWithdrawal() const { return unmetWithdrawal; }
  // Water [mm per step over the channel's catchment area AE ... the area of
  // the depths of its entry] held in channel i: in transit in its queues and
  // in its linear storages; only the positive stores when asked.
  double ChannelStorage(int i, bool positiveOnly);
  // Tracer t held in channel i, in the unit of ChannelStorage times the
  // concentration: in transit in its queues and in its linear storages.
  double ChannelTracer(int i, int t);
  // Takes up to want [mm over the area of channel i's depths] from the water
  // the channel holds, every positive store giving the same share; returns
  // what it took.
  double TakeFromChannel(int i, double want);
  // Multiplies the concentration of tracer t in all the water channel i
  // holds (queues and linear storages) by f.
  void ScaleChannelTracer(int i, int t, double f);
  // Entry in the shared tables of channel i.
  int ChannelEntry(int i) const;
  // Area [km2] that the depths of entry e refer to, and those of channel i.
  double EntryArea(int e) const;
  double ChannelArea(int i);
  // Takes the irrigation demand mm [over subbasin s's cells] from entry s's
  // water of the step, at most what it holds (the channels listed: where
  // the tracers of the water taken are summed); what
  // it takes (mm) and its tracers' concentrations become maxirrig[t][s]: the
  // water in transit to the fields, which they receive at the next step.
  void WithdrawForIrrigation(int s, double entryArea, const int* channels, int count, double mm);
  // The channel of another routing subbasin that carries this one's outlet
  // water on: a subbasin without channels of its own withdraws from it what
  // its outlet does not hold (its water of the steps before is there).
  void SetChannelBelow(routingclass* routing, int channel) {
    below = routing;
    belowChannel = channel;
  }
  // The irrigation water in transit from this routing's rivers and what its
  // reservoirs offer (kept in the state).
  std::vector<double*> IrrigationOffers();
  // What the last reservoir holds, offered to the irrigation of the next
  // step (mm over the subbasin's cells, and its concentrations).
  void OfferReservoirWater();
  // The irrigation water in transit from this routing's rivers [m3], then
  // its tracers' mass [m3 x concentration] (1 ... tracers).
  std::vector<double> IrrigationInTransit();
  // An observed discharge of entry e in the unit of the routed discharge as
  // a depth [mm per step] over the area of the entry's depths.
  double ObservedDepth(double value, int e) const;
  // The subbasin entries feeding channel i: the "&" list, then the channel's own.
  void FeedingEntries(int i, std::vector<int>& entries) const;

 private:
  [[noreturn]] void Fail(const std::string& message, int code);
  void RouteSubChannel(int i, int k, int e);
  // Takes want [m3] from entry e's water of the step (depths over area, km2)
  // and then from the water of the channels listed; what neither holds is
  // reported (what names the withdrawal) and summed in unmetWithdrawal.
  // With stepFlowOnly it takes from the entry's water alone, at most what
  // that holds (a shortfall is no fault). Returns what it took [m3].
  // With concentrations (1 ... tracers) the water taken carries them: the
  // tracers of the entry's water and of the channels lose exactly that mass
  // (their concentrations scaled alike), else it leaves at theirs.
  double Withdraw(int e, double area, const int* channels, int count, double want, const char* what,
                  const double* concentrations = nullptr, bool stepFlowOnly = false);
  // Steps of Route after the channels: abstractions, then reservoirs.
  void Abstract(bool real, int64_t year, int64_t month, int64_t day, int64_t hour);
  void Store(bool real, int64_t year, int64_t month, int64_t day, int64_t hour);
  // The text of the element whose keyword ends before pos: up to the next keyword.
  static std::string ElementText(const std::string& text, size_t pos);

  int code = 0;
  double areaCtrl = 0;
  double relArea = 0;
  int nTributaries = 0;
  int nSumTributaries = 0;
  int nAmpersands = 0;
  int nInflows = 0;
  int nAbstractions = 0;
  int nReservoirs = 0;
  int nTracers = 0;
  double dt = 0;
  int subIntervals = 1;
  int startValueMode = 0;
  int routingNumber = 0;
  double unmetWithdrawal = 0;
  routingclass* below = nullptr;
  int belowChannel = 0;
  RoutingTables* tables = nullptr;
  TracerRecord* tracerRecords = nullptr;  // 1 ... nTracers
  RiverflowTable* riverflow = nullptr;

  std::vector<double> areaShares;                   // 0 ... channels
  std::vector<int> tributaryCodes;                  // 0 own code, then every channel
  std::vector<std::vector<int>> sumTributaryLists;  // per channel: count, codes
  std::vector<ChannelParameters> params;
  std::vector<double> qmin, qmax, nIntervals, logStep;
  std::vector<WQTable> wqtab;
  int builtChannels = 0;

  std::vector<int> inflowCodes, inflowModes, inflowColumns;
  std::vector<std::vector<double>> inflowValues;  // [t][j]
  std::vector<std::unique_ptr<timeseriesfile>> inflowFiles;
  std::vector<std::string> inflowFileNames;
  std::vector<int> inflowNoted;  // per inflow: 1 a negative flow said, 2 a missing one

  // Work vectors of a step.
  std::vector<std::vector<double>> channelFlow;  // [t][j]
  std::vector<std::vector<double>> outletFlow;   // [t][j], j = 0 holds the step
  std::vector<double> decay;                     // per tracer, over one sub-interval
  std::vector<double> scratch;                   // 2 x (tracers + 1) values of a sub-channel's step
  std::vector<double> conveyor;                  // [t][m] the conveyor's cells moved, water and tracer mass
  std::vector<int> feeding, areaFeeding;
  std::vector<int> allChannels;    // 1 ... channels
  std::vector<double> exchange;    // [t]: flow [m3/s] and concentrations handed on
  std::vector<double> withdrawal;  // [t]: tracer mass before a withdrawal
  // The concentrations of the river water that entry s's irrigation took (1 ... tracers).
  // Tracer t [m3 x concentration] in entry e's water of the step (depths
  // over area, km2) and in the channels listed (or the channel below).
  double WithdrawalTracer(int e, double area, const int* channels, int count, int t);
  double abstractionFromReservoirs = 0;

  std::vector<std::unique_ptr<AL_class>> abstractions;  // 1 ... nAbstractions
  std::vector<AL_class*> abstractionList;               // the same, for the reservoirs
  std::vector<int> abstractionTargets;                  // inflow number fed by each
  int builtAbstractions = 0;
  std::vector<std::unique_ptr<SP_class>> reservoirs;  // 1 ... nReservoirs
  std::vector<int> reservoirCodes;
  int builtReservoirs = 0;
};
