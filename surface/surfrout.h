// The surface routing sub-model, section "[SurfaceRoutingModel]": set-up of
// the section, grids, stacks and statistics, and the way to the subbasin
// outlets. What reaches the river cells is collected per subbasin in
// flow-travel-time zones ("flow_times"), shifted one zone per step, and
// drained from zone 1 through a linear storage of direct flow and one of
// interflow; with the baseflow of the unsaturated zone they form the
// subbasin runoff Qg. The state of the zones and storages goes to the
// section "[SurfaceRoutingModel]" of the storage content file.
//
// Arrays per flow index and subbasin (Qg, QBb) are flat: flow index t
// (0 water in mm per step, 1 ... T tracer concentrations) and subbasin index
// s (1 ... S) at t * (S + 1) + s. kelsqd and kelsqi hold the storage
// constants [min] at 1 ... S.
//
// Within each sub-step of the model (run) the surface water moves from cell
// to cell in sub-time-steps of a stable length: by flow directions and
// Manning-Strickler velocities (flowpath methods 1 to 5) or by an implicit
// diffusion of the water level over the cell faces (method 6). Water that
// reaches a river cell leaves the surface into "directflow" and the
// flow-travel-time zones of its subbasin. Flow code in surfrout_flow.cpp,
// surfrout_velocity.cpp and surfrout_diffusion.cpp.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/exactsum.h"
#include "framework/firsterror.h"
#include "framework/submodelframe.h"

// Stores value unless the target holds it already (bit for bit). Most cells
// are dry, and their stack levels keep their values from sub-step to
// sub-step: leaving those cache lines clean spares the memory the writing
// back, which the threads share.
inline void StoreIfChanged(double& target, double value) {
  if (std::bit_cast<uint64_t>(target) != std::bit_cast<uint64_t>(value)) target = value;
}

class surfaceroutingclass : public teilmodellklasse {
 public:
  static constexpr int kStackLevels = 9;  // levels 0 ... 9; 1 ... 8 are the neighbour directions
  enum Statistic { kQDSR, kQISR, kQBSR, kQGSR, kSurfaceStorage, kStatistics };

  surfaceroutingclass(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                      const std::string& workFileName, const SubModelArgs& common, int subSteps = 1);
  ~surfaceroutingclass() override;
  surfaceroutingclass(const surfaceroutingclass&) = delete;
  surfaceroutingclass& operator=(const surfaceroutingclass&) = delete;

  void InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* registry, int capacity) override;
  void FreeTracerArrays() override;
  // Surface flow of one sub-step (collective over the instances).
  void run(int64_t hour, int64_t day, int64_t month, int64_t year) override;

  // Builds the flow-travel-time zones of every subbasin (collective).
  virtual void InitFlowTimeZones();
  // New step of the statistics and shift of every zone queue by one zone.
  virtual void StartStep(int64_t hour, int64_t day, int64_t month, int64_t year);
  // Drains zone 1 into the linear storages, forms Qg (instance 0) and writes
  // the statistics of the step (collective).
  virtual void RouteToOutlets(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void WriteStatistics();
  // Writes the state (when construction completed) and releases everything;
  // append: an earlier section of the storage content file exists.
  virtual void ReleaseMemory(bool append);
  void FreeMemory() override;

  virtual double* GetQg();
  virtual void SetQBb(double* values);
  virtual void SetKelsqd(double* values);
  virtual void SetKelsqi(double* values);
  // The unsaturated zone's glacier runoff of the step per subbasin (mm),
  // which the subbasin runoff Qg carries on with the soil's runoff.
  void SetGlacierRunoff(double* values);
  // Replace the per-tracer inflow arrays of interflow and direct flow (flat as Qg).
  virtual void SetInterflowInflow(double* values);
  virtual void SetDirectInflow(double* values);

  // grid[row][column] = mean of the neighbours inside the grid that are not
  // no-data; unchanged without such a neighbour.
  void NeighbourMean(int row, int column, Grid grid);
  void ComputePlanCurvature();
  // Inflow and outflow of one cell over dt [s] from the fluxes stack, and the
  // tracer loads carried in with the neighbours' storage concentrations.
  virtual void CellInflow(int row, int column, double dt);
  // The same with the neighbours that pass on water (InflowNeighbours).
  void CellInflow(int row, int column, double dt, unsigned neighbours);
  // Bit k set (k = 0 ... 7, in the order of CellInflow): the neighbour is a
  // data cell of the held flux rows, so its flux towards the cell counts.
  unsigned InflowNeighbours(int row, int column) const;

  // ---- flow paths and hydraulics (per own cell, called from parallel regions) ----
  // Slope, aspect [degrees] and kind (1 river cell, 2 interior cell, 3 edge cell).
  virtual void HeadGradients(int row, int col, double& slope, double& aspect, int& kind);
  // Flow weights (levels 1 ... 8 of "SurfaceRoutingWeights") and main
  // direction; kind 2 becomes 3 when the aspect finds no lower receiver.
  virtual void FlowDirections(int row, int col, int& kind, int counter, double slope, double aspect);
  // Velocity [m/s] and flux [m3/s] towards each neighbour (methods 1 to 5).
  virtual void CellVelocity(int row, int col, int counter, int mark, int kind);
  // Largest stable sub time step [s] of the own cells; 1e36 without flow.
  virtual double GetStableTimeStep();
  // Strickler coefficient M [m^(1/3)/s] of the cell's land use with the
  // resistance of crops; v [m/s], h [m], rc residue cover, sqrtI root of the slope.
  virtual double CropFrictionFactor(double v, double h, double rc, double sqrtI, int row, int col, int code, int mode);
  // Method 6: face conductances, one red-black sweep of the levels (returns the
  // largest level change [m] of the own cells) and the face fluxes and
  // velocities; each is a parallel region of its own, called from outside one
  // (the sweep and the fluxes exchange the border rows).
  virtual void InitConductances();
  virtual double IterateLevels(double dt);
  virtual void ComputeFaceFluxes();
  // The sub time step [s] of a sub-step of T seconds for the smallest stable
  // step of all instances: the largest integer fraction of T not above it,
  // kept within the bounds.
  static double SubTimeStep(double T, double stable, double minimum, double maximum);

  virtual void ReadStorageFile(const std::string& fileName, int readParameter);
  // Returns true when the file was written and closed.
  virtual bool WriteStorageFile(bool append);

  // ---- read access ----
  int GetMethod() const { return method; }
  double GetMinSubStep() const { return minsubstep; }  // s
  double GetMaxSubStep() const { return maxsubstep; }  // s
  int GetPosition(const std::string& name) { return FindGrid(name, true); }
  double GetMaxZone(int s) const { return maxzeit[s]; }
  // Zone queues of flow index t and subbasin s, records 0 ... maxzeit[s].
  ZoneRecord* DirectQueue(int t, int s) { return queueQD[t][s].data(); }
  // The water and weight of tracer 0's records, which the routing takes over its doubles.
  ExactRecord* DirectQueueWater(int s) { return exactQueueQD[s].data(); }
  ZoneRecord* InterflowQueue(int t, int s) { return queueQI[t][s].data(); }
  double GetQDd(int t, int s) const { return QDd[Flat(t, s)]; }
  double GetQIi(int t, int s) const { return QIi[Flat(t, s)]; }
  void SetStorages(int t, int s, double direct, double inter) {
    QDd[Flat(t, s)] = direct;
    QIi[Flat(t, s)] = inter;
  }
  const std::string& GetStorageFileName() const { return storagefile; }
  Grid GetTracerLoad(int t) const { return tracerlinks[t].load; }
  double GetSubTimeStep() const { return subdt; }       // s, of the last call of run
  int GetSubTimeStepCount() const { return subcount; }  // sub-time-steps of the last call
  int GetLastSweeps() const { return lastsweeps; }      // method 6: sweeps of the last sub-time-step

 private:
  struct OwnedGrid {
    Grid grid = nullptr;
    Stack stack = nullptr;
    int position = 0;
    bool owned = false;
    int64_t first = 0;
    int64_t last = -1;
  };
  struct Stat {
    std::vector<ZoneRecord> zones;
    std::unique_ptr<zonalstatistic> writer;
    std::string file;
    int code = 0;
  };

  size_t Flat(int t, int s) const { return static_cast<size_t>(t) * (zonecount + 1) + s; }
  // Subbasin index of a zone-grid code; 0 for a code outside the zone table.
  int SubbasinOf(double code) const {
    const int k = static_cast<int>(code);
    return k >= 1 && k <= maxzonecode ? zoneindex[k] : 0;
  }
  void Construct(StatRecord* registry, int capacity);
  void ReadSection();
  void SnapSubSteps();
  void CreateGrids();
  void CreateStatistics(StatRecord* registry, int capacity);
  int NextFreePosition(int from);
  // Own cell: zone data and owned by this instance.
  bool OwnCell(int r, int c) const;
  OwnedGrid& NewGrid(const std::string& name, bool withBorder, bool optional, int& next);
  OwnedGrid& NewStack(const std::string& name, const std::string& file, int writeCode, bool withBorder, int& next);
  void Fill(OwnedGrid& g, double ownValue, double otherValue);
  void LogLine(const char* mode, const std::string& text);
  // n, sx and RelCellSum of every zone record to 0 (instances other than 0).
  void ClearZoneSums();
  [[noreturn]] void StorageValueError(const std::string& label, double current, double stored);
  void ReadStorageSection(std::FILE* file, const std::string& path);
  // The concentration of the surface water's tracers at a warm start, from
  // the grids the run before wrote (collective).
  void ReadTracerState();
  // The velocities the last sub-time-step of the run before left, from its
  // velocity stack (collective); warm: the soil model reads its state too.
  void ReadVelocityState(bool warm, int soilReadParameter);
  void ReleaseGrids();

  // ---- flow (surfrout_flow.cpp) ----
  bool River(int r, int c) const { return riverdepth[r][c] > 0 && riverwidth[r][c] > 0; }
  // A data cell of the zone grid (own or held as a border cell).
  bool DataCell(int r, int c) const {
    return r >= 1 && r <= nrows && c >= 1 && c <= ncols && zonegrid[r] && !Missing(zonegrid[r][c]);
  }
  void PrepareCells();
  void FreeFlowGrids();
  void CellDateValues(int64_t day, int64_t month, int64_t year);
  // The passes below (but FlowPaths and LimitOutflows, which open their
  // own) run inside a parallel region: every thread of the team calls them
  // and takes the rows of ThreadRows; a pass that needs the threads to meet
  // within it says so.
  //
  // The own rows [first, last) of the calling thread: contiguous, with
  // about equal numbers of own cells, the same in every pass.
  void ThreadRows(int& first, int& last) const;
  // When exchanging, the calling thread of the region runs exchange (MPI is
  // used from that thread only; an error is recorded) and all threads meet
  // at a barrier after it.
  void ExchangeInRegion(bool exchanging, const std::function<void()>& exchange);
  // Border rows go to or come from other instances.
  bool Exchanging() const;
  // The soil's direct runoff of the sub-step into surface storage; keep: it
  // adds to the water still on the surface instead of replacing it. The
  // storage holds all of it until the sub time step is known (the stable
  // step is found with it); Arrive then gives each sub-time-step its share.
  void TakeIn(bool keep);
  // The water that reaches the surface over the sub-step: at the start of
  // sub-time-step j of n, j = n after the last (a parallel region's threads
  // call it). At the first the storage becomes the water that stood on the
  // surface and the first share.
  void Arrive(int j, int n);
  // standing: the water on the surface of every own cell now (mm).
  void RecordStanding();
  // Directions and velocities of methods 1 to 5 (a parallel region of its
  // own), with limit then per cell the limit of its outflow over dt.
  void FlowPaths(int counter, int mark, double dt, bool limit);
  // The weights of FlowDirections into w[0 ... 7] (directions 1 ... 8); returns the main direction.
  int DirectionWeights(int row, int col, int& kind, double slope, double aspect, double* w) const;
  // Writes weights w[0 ... 7] and the main direction into the cell's stacks:
  // W[0] counts the weights within 0.01 of those the stack held (0 when
  // counter is 0), V[0] is the main direction, V[9] the water surface.
  void StoreDirections(int row, int col, const double* w, int main, int counter);
  // What depends on the terrain only, found once with a copy of the terrain
  // it comes from: the own cells of each subbasin and, for methods 1 and 2
  // (whose directions do not depend on the water), the kind, main direction
  // and weights of every own cell from HeadGradients and FlowDirections.
  void BuildTerrainData();
  void BuildDirections();
  // The terrain (elevation, zones, river cells, plan curvature) as the flow
  // code reads it; compare: true when it differs from the copy (which is
  // then refreshed).
  bool CopyTerrain(bool compare);
  // Smallest stable sub time step [s] of one cell's velocities (1e36 without flow).
  double CellStableStep(int r, int c) const;
  // The share of its computed outflow over dt that a cell releases (outfactor).
  void LimitOutflow(int r, int c, double dt);
  // LimitOutflow of every own cell (a parallel region of its own).
  void LimitOutflows(double dt);
  // Inflows and new storages of methods 1 to 5 (with tracers the threads
  // meet between the inflows and the storages).
  void UpdateStorages(double dt);
  // The new storage of one cell from its inflow and outflow (qin, qout of CellInflow).
  void SettleCell(int r, int c);
  void HandOver();
  // Statistic 0 (when storage) and the zone records of subbasin s.
  void HandOverSubbasin(int s, int part);
  void ExchangeFlowGrids();
  // ---- method 6 (surfrout_diffusion.cpp) ----
  // The level of neighbour (rn, cn) as cell (r, c) sees it across their face.
  double EffectiveLevel(int r, int c, int rn, int cn) const;
  // Depth [m] of the water flowing across the face, and its transmissivity
  // [m2/s] for the centres distance [m] apart.
  double FaceDepth(int r, int c, int rn, int cn) const;
  double FaceTransmissivity(int r, int c, int rn, int cn, double distance) const;
  bool FaceNeighbour(int r, int c, int rn, int cn) const;
  double CellDx(int r, int c) const { return cellsizex ? cellsizex[r][c] : cellsize; }
  double CellDy(int r, int c) const { return cellsizey ? cellsizey[r][c] : cellsize; }
  // m2: the zones, the soil and the routing weigh the cell by the same area.
  double CellArea(int r, int c) const { return CellDx(r, c) * CellDy(r, c); }
  // One cell's level from its neighbours' (Gauss-Seidel); returns the change [m].
  double RelaxLevel(int r, int c, double dt);
  // Face conductances (kx, ky) of the thread's cells.
  void Conductances();
  // Face fluxes and velocities of the land cells (the river cells' are
  // cleared); with dt > 0 then the limit of each land cell's outflow over dt.
  void LandFluxes(double dt);
  void LandCellFluxes(int r, int c, Grid head, Grid kx, Grid ky, double* f, double* v);
  // The river cells' values from their land neighbours; with dt > 0 then
  // the limit of each river cell's outflow over dt.
  void RiverFluxes(double dt);
  void RiverCellFluxes(int r, int c, Stack F, Stack V);
  void UpdateLevels(double dt);
  // The level sweeps over dt and the face fluxes from the levels found
  // (limit: with the outflow limit over dt).
  void Diffuse(double dt, bool limit);
  // The levels back to those at the start of the sub-time-step.
  void RestartLevels();

  // Own cells of the instance, row by row: (row, column) pairs from rowstart[i].
  std::vector<int> owncells;     // column per own cell
  std::vector<int> ownrowstart;  // index into owncells per row firstrow ... lastrow + 1
  // The own cells of each colour of the sweeps (row plus column even: 0, odd: 1), as above.
  std::vector<int> colourcells[2];
  std::vector<int> colourrowstart[2];
  std::vector<int> cellentry;  // land-use entry per own cell (0: none or invalid)
  std::vector<double> cellrc;  // residue cover at the step's date per own cell
  std::vector<double> celldp;  // stem diameter at the step's date per own cell
  bool cellsready = false;
  // Method 6 sweeps the levels until the largest change of a sweep on all
  // instances is within the tolerance [m], at most kLevelSweeps times.
  static constexpr double kLevelTolerance = 0.0001;
  static constexpr int kLevelSweeps = 1000;
  // Slope of the water levels below which the transmissivity of a face
  // stays at its value there.
  static constexpr double kFlatSlope = 1e-5;
  // The water's velocity over the celerity of a change of its depth (Manning-Strickler: 3/5).
  static constexpr double kCelerityShare = 0.6;
  // Per own cell (owncells order) for methods 1 and 2: the kind, slope and
  // aspect of HeadGradients, and the kind, main direction and weights of
  // directions 1 ... 8 (8 per cell) FlowDirections finds for them; and the
  // own cells (row, column) of each subbasin 1 ... S in the order of the
  // rows. Valid while terrainready; HeadGradients and FlowDirections give
  // them back while memo is set (in the flow-path pass of run).
  std::vector<unsigned char> inflowmask;  // InflowNeighbours per own cell (owncells order)
  std::vector<signed char> dirgradient;
  std::vector<double> dirslope;
  std::vector<double> diraspect;
  std::vector<signed char> dirkind;
  std::vector<signed char> dirmain;
  std::vector<double> dirweights;
  std::vector<std::vector<std::pair<int, int>>> subbasincells;
  std::vector<int> rivercells;     // column per own river cell
  std::vector<int> riverrowstart;  // index into rivercells per row firstrow ... lastrow + 1
  bool terrainready = false;
  bool memo = false;
  // Method 6: the sub time step over which ComputeFaceFluxes also limits the
  // outflow of every own cell (0: not), and whether it did.
  double limitdt = 0;
  bool limited = false;
  std::vector<double> terraincopy;  // the values CopyTerrain compares, in its order
  std::vector<char> terrainrows;    // rows held by each grid, in its order
  bool siltingup = false;           // "DirectRunoffSiltingUp" exists: the soil leaves the surface water alone
  // The soil's runoff of a sub-step is rain that did not infiltrate: it
  // reaches the surface over the sub-step, as the rain falls (at once, a
  // day's runoff would flow from the day's start on one sub-step). Each
  // sub-time-step takes an equal share, centred on its middle: half at its
  // start and half at its end, so half of the last share reaches the surface
  // at the sub-step's end. In a sub-step of one sub-time-step all of it comes
  // at the start. What stood on the surface before the soil took it up stays
  // there from the sub-step's start. Per own cell (owncells order),
  // mm: the water on the surface at the end of the last sub-step (standing),
  // the water kept on the surface (keptwater: silting-up between sub-steps), the
  // soil's runoff of the sub-step (runoff), of it the part that stood on the
  // surface (early) and what is still to come (arriving); the concentration
  // of the runoff's tracers at (t - 1) * cells + i.
  std::vector<double> standing, keptwater, runoff, early, arriving, runoffconc;
  bool spreading = false;  // the runoff of this sub-step arrives over its sub-time-steps
  int CellIndex(int r, int c) const;
  // The index of an own cell in owncells, -1 for any other cell.
  int OwnSlot(int r, int c) const;
  std::vector<int> cellslot;  // OwnSlot per cell of the own rows (CellIndex)
  Grid outfactor = nullptr;   // share of the computed outflow that a cell releases (rows with border)
  int64_t heldfirst = 0, heldlast = -1;
  int64_t lastdate[4] = {-1, -1, -1, -1};
  int substepcounter = 0;
  double subdt = 0;
  int subcount = 0;
  int lastsweeps = 0;
  int julianday = 0;
  FirstError recorded;  // the first error of a parallel region, thrown after it

  int method = 0;
  Stat stats[kStatistics];
  std::string stackfile[2];
  int stackcode[2] = {};
  double anlerror = 0;
  int anlsteps = 0;
  double velerror = 0;
  int velsteps = 0;
  double minsubstep = 0;    // s
  double maxsubstep = 0;    // s
  double mincropdepth = 0;  // m
  double concfactor = 1.0;
  int storageread = 0;

  int layers = 1;
  std::vector<Grid> landuse;
  std::vector<Grid> vegcover;
  Grid elevation = nullptr;
  Grid soil = nullptr;
  Grid surfacestorage = nullptr;
  Grid directflow = nullptr;
  Grid interflow = nullptr;
  Grid riverdepth = nullptr;
  Grid riverwidth = nullptr;
  Grid riverlinks = nullptr;
  Grid flowtimes = nullptr;
  std::string flowtimesfile;
  Grid cellsizex = nullptr;
  Grid cellsizey = nullptr;

  enum Own {
    kVelocity,
    kFluxes,
    kWeights,
    kHead,
    kHeadOld,
    kRoughnessX,
    kRoughnessY,
    kManning,
    kPlanCurvature,
    kQIn,
    kQOut,
    kShearStress,
    kOwnCount
  };
  OwnedGrid own[kOwnCount];

  // Zones and storages.
  std::vector<double> maxzeit;                                // 1 ... S
  std::vector<std::vector<std::vector<ZoneRecord>>> queueQD;  // [t][s][zone]
  std::vector<std::vector<std::vector<ZoneRecord>>> queueQI;
  // The water and weight of the queues (tracer 0, [s][zone]) summed
  // exactly, so that the routing and what it offers the fields are the same
  // on any number of instances; the queues take their values before they
  // drain (SettleExactQueues) and give them after a state was read.
  std::vector<std::vector<ExactRecord>> exactQueueQD, exactQueueQI;
  bool exact_queues_loaded = false;
  void SettleExactQueues();
  std::vector<double> inflowQD, QDd, inflowQI, QIi, Qg;  // flat [t][s]
  std::vector<ZoneRecord> passrecords[3];                // sub-step passes
  std::vector<double> passvalues;
  double* qbb = nullptr;
  double* glacierrunoff = nullptr;
  double* kelsqd = nullptr;
  double* kelsqi = nullptr;
  double* externalQD = nullptr;  // inflows handed by SetDirectInflow / SetInterflowInflow
  double* externalQI = nullptr;

  struct TracerLinks {
    Grid concQD = nullptr;
    Grid concQI = nullptr;
    OwnedGrid storage;       // concentration of the surface water; position 0 beside the silting-up store
    Grid silting = nullptr;  // the silting-up model's store of the tracer, when that model runs
    Grid load = nullptr;     // inflowing tracer load of a sub-step, own rows (not registered)
  };
  std::vector<TracerLinks> tracerlinks;  // 1 ... T

  std::string storagefile;
  int64_t stepyear = 0, stepmonth = 0, stepday = 0, stephour = 0;
  int constructed = 0;
  bool released = false;
};
