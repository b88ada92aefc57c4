// The groundwater flow sub-model, section "[groundwater_flow]": two-dimensional
// flow in one or more stacked aquifer layers on the model raster.
//
// Units: heads, thicknesses and elevations in m, conductivities and leakage
// fluxes in m/s, transmissivities in m2/s, fixed inflows in m/s (positive into
// the aquifer), balances in mm per step. Layer 1 is tied to the unsaturated
// zone: its head follows "groundwater_distance" at every step start and its
// exchange with the column, the outflow through its faces (with leakage and
// fixed inflow), is returned as "baseflow" (mm per time step at the rate of
// the exchange, positive out of the aquifer; with sub-steps the step's sum,
// written once the step's last sub-step is done).
//
// Files: gwflow.cpp (section and grids), gwflow_step.cpp (the step and its
// solvers), gwflow_output.cpp (outputs, control point, lakes, tracers, release).
#pragma once

#include <algorithm>
#include <limits>
#include <cstdint>
#include <string>
#include <vector>

#include "framework/submodelframe.h"

class zonalstatistic;

class gwflowclass : public teilmodellklasse {
 public:
  // Capacity in bytes of the control-point buffer.
  static constexpr int64_t kControlBufferBytes = 2097152;
  // Value written for a neighbour of the control cell beyond the grid edge.
  static constexpr double kBeyondEdge = -8888.0;

  gwflowclass(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
              const std::string& workFileName, const SubModelArgs& common, int subSteps = 1);

  virtual void SetSubsteps(int count) { SetSubSteps(count); }
  virtual void SetRiverflowTable(RiverflowTable* table);
  virtual void SetQg(double* runoff);
  virtual void StartStep(int64_t hour, int64_t day, int64_t month, int64_t year);
  void run(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  virtual void WriteGrids(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void WriteStatistics();
  virtual void InitLakes(const std::string& section);
  // The soil model's read control parameter for storage grids; 1 or 3, a
  // warm start: the heads of layer 1 follow the water table it read, and the
  // layers' tracers continue from their grids whatever the grid read
  // parameter; the heads of deeper layers are read (grid read parameter 1).
  void SetSoilStateRead(int soilReadParameter);
  void InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* registry, int capacity) override;
  void FreeTracerArrays() override;
  void FreeMemory() override;

 protected:
  // Grids of one aquifer layer; the registered ones keep their grid-list position.
  struct Layer {
    Grid fixh = nullptr;  // inputs
    Grid fixq = nullptr;
    Grid thick = nullptr;
    Grid kx = nullptr;
    Grid ky = nullptr;
    Grid storage = nullptr;
    Grid drainable = nullptr;  // below the top; the storage grid where none is given (and in layer 1)
    Grid kolmation = nullptr;  // layers 1 ... L-1
    Grid h = nullptr;          // registered
    Grid hold = nullptr;
    Grid hoo = nullptr;
    Grid hprev = nullptr;
    Grid tx = nullptr;
    Grid ty = nullptr;
    Grid fx = nullptr;
    Grid fy = nullptr;
    Grid balance = nullptr;
    Grid leak = nullptr;
    Grid top = nullptr;
    // Layers below the first: the share of its outflow through the faces
    // that a cell gives in the step (1 where it holds enough).
    Grid share = nullptr;
    int ph = 0, phold = 0, phoo = 0, phprev = 0, ptx = 0, pty = 0, pfx = 0, pfy = 0, pbal = 0, pleak = 0, ptop = 0;
    int pshare = 0;
    // Layers below the first, own cells row by row: where the leakage with
    // the layer above moves with this layer's level in its solve, k x open
    // share (1/s), else 0; and the level of the layer above for it (m).
    std::vector<double> leakcoef, leaklevel;
    std::string headname, txname, tyname, balname;
    int headcode = 0, txcode = 0, tycode = 0, balcode = 0;
  };
  // Per tracer and layer: concentration statistic and grid.
  struct LayerTracer {
    zonalstatistic* statistic = nullptr;
    ZoneRecord* records = nullptr;
    Grid conc = nullptr;
    int position = 0;
    std::string statfile, gridfile;
  };
  struct ControlRecord {
    int64_t year, month, day, hour;
    double* values;
  };

  // ---- set-up (gwflow.cpp) ----
  void ReadSection();
  // Reads the optional Use-Pond-Flag line; returns the first heads file name when the line holds that instead.
  std::string ReadPondFlag();
  void BindModelGrids();
  void BindLayerInputs();
  // Every own cell of the basin holds a valid value in the layers' parameter grids.
  void CheckLayerInputs();
  void SetLayerOneThickness();
  void CreateLayerGrids();
  // A new grid over the instance's rows (all rows on instance 0), own model cells ownValue, others -9999.
  Grid NewGrid(double ownValue);
  // Registers a grid at the next free grid-list position and returns the position.
  int Register(Grid grid, const std::string& fileName, const std::string& shortName, int writeCode);
  // Name with a suffix before the extension (the part from the last ".").
  static std::string Derived(const std::string& name, const std::string& suffix);
  // Head of layer 1 from the surface: elevation + distance, plus ponded water at the surface.
  double SurfaceHead(int r, int c) const;
  void Exchange(Grid g, int position);

  // ---- cell predicates ----
  // A value of an input grid that says something: neither missing in a grid
  // file nor the control file's "none" (-9999), whatever the zone grid's nodata.
  bool Given(double v) const { return v > std::max(nodata, -9999.0); }
  bool InModel(int r, int c) const { return zone[r] && zone[r][c] > nodata; }
  bool Own(int r, int c) const {
    return r >= firstrow && r <= lastrow &&
           (!MPIRegions || !MPIRegions[r] || static_cast<int>(MPIRegions[r][c]) == mpirank);
  }
  // Glaciated share of a cell, 0 ... 1 (0 without the grid or a value).
  double Glacier(int r, int c) const {
    if (!glacier) return 0.0;
    const double g = glacier[r][c];
    if (!(g > nodata)) return 0.0;
    return g < 0.0 ? 0.0 : g > 1.0 ? 1.0 : g;
  }
  bool TakesPart(int r, int c) const { return InModel(r, c) && Own(r, c) && Glacier(r, c) < 1.0; }
  // Cells of a face carry flow: both in the model and, under flow control 3, of one zone.
  bool SameZone(int r, int c, int r2, int c2) const {
    return flowcontrol != 3 || static_cast<int>(zone[r][c]) == static_cast<int>(zone[r2][c2]);
  }
  double Dx(int r, int c) const { return cellsizex ? cellsizex[r][c] : cellsize; }
  double Dy(int r, int c) const { return cellsizey ? cellsizey[r][c] : cellsize; }

  // ---- storage (gwflow_step.cpp) ----
  // The water a cell of layer l holds above the layer's top (m over the cell,
  // negative below it): its storage coefficient S above the top (confined),
  // its drainable porosity below (unconfined), and nothing more below its
  // base (a dry cell). The solvers and the balances take it alike, so that
  // a layer's water is the one its heads say. Layer 1, the saturated part of
  // the soil column, has the coefficient the soil model sets throughout.
  struct CellStorage {
    double top, confined, drainable, base;
  };
  CellStorage StorageOf(int l, int r, int c) const;
  double Stored(int l, int r, int c, double h) const;
  // The head at which the cell holds w (its base for less than a dry cell).
  double HeadOf(int l, int r, int c, double w) const;
  // The head h with a x Stored(h) + b x h = k (a, b >= 0: a cell's storage
  // per time and its conductance towards its neighbours), the base where a
  // cell without conductance cannot give what k asks; false where no head
  // is determined (no storage and no conductance).
  bool SolveStorage(int l, int r, int c, double a, double b, double k, double& h) const;
  // The same with the leakages that move with the level (coef > 0, A x coef
  // per m of drive, towards level, each drive at most kMaxLeakHead): the
  // head at which the water the cell gains equals what flows in.
  bool SolveLeaking(int l, int r, int c, double a, double b, double k, double A, const double coef[2],
                    const double level[2], double h0, double& h) const;

  // ---- step (gwflow_step.cpp) ----
  double StepSeconds() const;
  void Leakage();
  // Layer 1's level for the leakage: the soil column's table once it has
  // taken what the groundwater booked for it (at, own cells row by row).
  double LayerOneLevel(int r, int c, size_t at) const;
  // The drive d (m) of the leakage between layers l and l + 1 (k: leakage
  // factor, open: layer 1's open share) within the water the layer it
  // leaves holds (leaked: layer 1's leakage in the step's earlier
  // sub-steps, m over its open share).
  double LimitedDrive(int l, int r, int c, double d, double k, double open, double hu, double hd, double leaked,
                      double dt) const;
  // Layer l below the first: k x open share where its leakage with the
  // layer above moves with its level in its solve, else 0; the level of the
  // layer above in level.
  double LeakCoefficient(int l, int r, int c, double& level) const;
  // Layer l: where its leakage with the layer below moves with its level in
  // its solve, k x open share (1/s), and the level of the layer below
  // (layer 1: raised by oneoffset), else 0.
  double LeakCoefficientBelow(int l, int r, int c, double& level) const;
  // After a pass over the layers: the largest change of the levels of the
  // layers above that the leakage moves with (m, all instances), each taken
  // for the next pass.
  double LeakLevelsMove();
  // After the solve of layer l: the leakage with the layer above at its solved levels.
  void ImplicitLeakage(int l, double dt);
  void StartLayers();
  void Transmissivities(int l);
  double EffectiveThickness(int l, int r, int c) const;
  // All over-relaxation sweeps of layer l up to convergence or maxiter; sets
  // itercount and the factor sums, returns the last sweep's largest change.
  double SolveMethod1(int l, double dt);
  // One colour of row r; adds the row's adaptive factors to rowsum and
  // rowcount and returns the row's largest change.
  double SweepRow(int l, double dt, int r, int colour, double* rowsum, double* rowcount);
  // The line solver's passes of layer l up to convergence or maxiter; sets
  // itercount, returns the last pass's largest change of all instances.
  double SolveMethod2(int l, double dt);
  void CountOscillations(int l);
  void FinishLayers(int l);
  // Flow rates (m3/s) into cell (r, c) of layer l through its faces (north,
  // east, south, west) at the heads the solver used; each face's rate is the
  // same for both of its cells.
  void FaceInflows(int l, int r, int c, double q[4]) const;
  // The line solve of row r from its equations per column (flag 1: a cell
  // with an equation; head: the known heads of the others); writes the
  // heads of the instance's own cells, each kept within the range where its
  // equation is exact (floor ... ceiling), and returns their largest change.
  double SolveRow(int l, int r, const double* lower, const double* main, const double* upper, const double* rhs,
                  const double* flag, const double* head, const double* zones, const double* floor,
                  const double* ceiling, double* work, int* segment);
  // The equations of row r's own cells per column (see SolveRow).
  void RowEquations(int l, double dt, int r, double* lower, double* main, double* upper, double* rhs, double* flag,
                    double* head, double* zones, double* floor, double* ceiling);
  void Baseflow(double dt);
  // A layer below the first: the share of each cell's outflow through its
  // faces that the cell can give in the step (what it holds above its base,
  // with what its faces, its leakage and its fixed inflow bring), so that
  // no cell gives more than it has. The shares of all cells together, the
  // same on any number of threads and instances. Layer 2: what a cell cannot
  // return of the water the soil column did not give stays with the column,
  // whose exchange asks for it again.
  void LimitOutflows(int l, double dt);
  void Balances(int l, double dt);
  void ReportLayer(int l);

  // ---- outputs (gwflow_output.cpp) ----
  void CreateControlPoint();
  void RecordControlPoint();
  void WriteControlPointFluxes(const std::string& fileName, int64_t& count, ControlRecord* records);
  void FlushControlPointFile(const std::string& fileName, int64_t& count, ControlRecord* records);
  bool ReportDue() const;

  int method = 0;
  int maxiter = 0;
  double maxerror_allowed = 0;
  double alpha = 0;
  double sor = 0;
  int adaptive = 0;
  int gridread = 0;
  bool soilstateread = false;  // SetSoilStateRead
  int L = 0;
  int control_row = 0;
  int control_col = 0;
  std::string controlfile_name;
  int pondflag_read = 0;
  int ponduse = 0;
  int itercount = 0;
  double factorsum = 0;
  double factorcount = 0;
  long osc_count = 0;
  double osc_sum = 0;
  double osc_max = 0;
  double lasterror = 0;
  int lakeflag = 0;
  int lakemethod = 0;
  Grid lake_codes = nullptr;

  std::vector<ControlRecord> records;  // 0 ... capacity, record 0 never filled
  std::vector<double> recordvalues;
  int64_t capacity = 0;
  int64_t recordcount = 0;

  RiverflowTable* riverflow = nullptr;
  double* qg = nullptr;

  std::vector<Layer> layers;  // 1 ... L
  int lowrow = 0;             // rows of the model's own grids
  int highrow = 0;
  Grid zone = nullptr;
  int pzone = 0;
  Grid elevation = nullptr;
  Grid recharge = nullptr;
  Grid distance = nullptr;
  int pdistance = 0;
  Grid soil_types = nullptr;
  Grid baseflow = nullptr;
  int pbaseflow = 0;
  Grid givable = nullptr;  // the water (mm) the soil column can give in the next step
  int pgivable = 0;
  Grid notgiven = nullptr;  // the exchange (mm) the soil column could not give in its last call
  Grid cellsizex = nullptr;
  Grid cellsizey = nullptr;
  Grid glacier = nullptr;
  Grid thawdepth = nullptr;
  int pthaw = 0;
  Grid frozen = nullptr;
  int pfrozen = 0;
  Grid siltstorage = nullptr;
  Grid ponding = nullptr;
  int pponding = 0;
  std::vector<Grid> owned;  // grids allocated by the model
  // Work arrays of the solvers, made once: per-row factor sums, per-thread
  // largest changes, per-thread row systems.
  std::vector<double> factorrows, countrows, sweepmax, linework;
  std::vector<int> blockstart, rowcells;  // rows of each thread's block in the fused sweeps
  // Oscillating cells' head changes, per row from the row's first column on, and their number per row.
  std::vector<double> oscvalues;
  std::vector<int> oscrows;
  std::vector<int> linesegment;
  // The sub-step within the step (1 ... substeps) and the sum of the
  // sub-steps' exchanges with the soil (own cells, row by row).
  int substep_of_step = 0;
  std::vector<double> exchangesum;
  // The water layer 1 leaked down in the step's sub-steps so far (mm over
  // the column, own cells, row by row).
  std::vector<double> leaksum;
  // Layer 1's head less its level for the leakage: the exchange it has
  // still to take over its storage coefficient (m, own cells, row by row).
  std::vector<double> oneoffset;
  // What the soil column could not give of layer 1's exchange, taken back
  // from the layer below, which got it (m/s in the sub-step, own cells).
  std::vector<double> giveback;
  // The outflow shares of the next pass, and what a cell of layer 2 could
  // not return of the water the soil column did not give (m3), own cells,
  // row by row.
  std::vector<double> nextshare, unreturned;
  double GiveBack(int r, int c) const {
    return giveback.empty() ? 0.0
                            : giveback[static_cast<size_t>(r - firstrow) * (static_cast<size_t>(ncols) + 1) +
                                       static_cast<size_t>(c)];
  }
  // Of it, what layer 2 cannot return (m3 in the sub-step, own cells): it
  // stays with the soil column.
  double Unreturned(int r, int c) const {
    return unreturned.empty() ? 0.0
                              : unreturned[static_cast<size_t>(r - firstrow) * (static_cast<size_t>(ncols) + 1) +
                                           static_cast<size_t>(c)];
  }

  // Tracers: [tracer][layer], tracers 1 ... count, layers 1 ... L.
  std::vector<std::vector<LayerTracer>> layertracers;
  std::vector<Grid> concflux;
  // Layer 1 is the soil column's saturated zone: the soil model writes its
  // concentration into layer 1's grid and its water (mm over the column)
  // into satwater; each step the faces of layer 1 move the tracer at the
  // concentration of the cell the water leaves (outconc: no cell gives more
  // than its saturated zone holds), and the soil model adds what each
  // column gained (exchange, mm x concentration over the column) to it.
  // The column takes what the faces brought it with the water of the
  // exchange, in the next step (exchange, written with the tracer's grids:
  // the state of a warm start); with sub-steps the step's sum (exchangeacc,
  // per tracer, own cells row by row).
  std::vector<Grid> outconc, exchange;
  std::vector<double> exchangeacc;
  std::vector<int> outconcpos, exchangepos;
  std::vector<std::vector<Grid>> newconc;  // [tracer][layer]: the deeper layers' concentrations after the balance
  std::vector<std::vector<int>> newconcpos;
  // [tracer][layer]: the deeper layers' tracer of each cell's balance (mm x
  // concentration in the step; at a boundary the tracer it gave or took).
  std::vector<std::vector<Grid>> boundarytracer;
  std::vector<std::vector<int>> boundarytracerpos;
  // The deeper layers' tracers: each cell's water leaves at the
  // concentration of the water it held and took in the step (its own at
  // the start mixed with what its neighbours gave at theirs), so that a
  // cell its outflows empty gives all its tracer. The concentrations of all
  // cells and deeper layers at once, iterated to convergence (newconc),
  // before the balances.
  void DeepTracers(double dt);
  // Per deeper layer and own cell (row by row): the water held at the
  // step's start plus all it took in (m3), the volumes it took in through
  // its four faces, from the layer above and from the layer below (m3);
  // per tracer the mass it held and took from layer 1; the next iterate.
  std::vector<double> deepwater, deepinflow, deepmass, deepnext;
  Grid satwater = nullptr;
  int psatwater = 0;
  void LayerOneOutflow(double dt);
  // The water a cell of layer l holds at the head h above the layer's base
  // (m, per m2).
  double Held(int l, int r, int c, double h) const {
    return Stored(l, r, c, h) - Stored(l, r, c, StorageOf(l, r, c).base);
  }
  std::vector<double> decay;   // per-step decay factor of each tracer
  Grid tracerwater = nullptr;  // water of each cell after the balance (m3), weight of the tracer statistics
  std::vector<int> concfluxpos;
};

// The storage relations, inline: the sweeps call them for every cell and pass.
inline gwflowclass::CellStorage gwflowclass::StorageOf(int l, int r, int c) const {
  const Layer& y = layers[l];
  const double top = y.top[r][c];
  if (l == 1) return {top, y.storage[r][c], y.storage[r][c], -std::numeric_limits<double>::infinity()};
  return {top, y.storage[r][c], y.drainable[r][c], top - std::max(0.0, y.thick[r][c])};
}

inline double gwflowclass::Stored(int l, int r, int c, double h) const {
  const CellStorage s = StorageOf(l, r, c);
  if (h >= s.top) return s.confined * (h - s.top);
  return s.drainable * (std::max(h, s.base) - s.top);
}

inline bool gwflowclass::SolveStorage(int l, int r, int c, double a, double b, double k, double& h) const {
  // a x Stored(h) + b x h rises with h: the root lies in the one part of
  // the storage function where the part's line meets k.
  const CellStorage s = StorageOf(l, r, c);
  const double above = a * s.confined + b;
  if (above > 0) {
    const double x = (k + a * s.confined * s.top) / above;
    if (x >= s.top) {
      h = x;
      return true;
    }
  }
  const double below = a * s.drainable + b;
  if (below > 0) {
    const double x = (k + a * s.drainable * s.top) / below;
    if (x >= s.base) {
      h = std::min(x, s.top);
      return true;
    }
  }
  if (b > 0) {
    // A dry cell: the neighbours' levels alone.
    h = std::min((k + a * s.drainable * (s.top - s.base)) / b, s.base);
    return true;
  }
  // Asked for more than it holds above its base, with no neighbour to set
  // a level below it: the cell is dry, at its base (any lower head would do
  // as well and keep whatever the iteration left).
  if (a > 0 && s.drainable > 0) {
    h = s.base;
    return true;
  }
  return false;
}
