// The water budget of the example basin between the ends of two runs of the
// program from the same cold start: a short run and a longer one. Every term
// is read from what the two runs write or computed from it, none is taken as
// the rest of the others (a term no output holds is bounded instead, and the
// rest must lie within its bounds): the storages at the end of each run from the grids,
// stacks and storage content files written at its end, the fluxes as the
// difference of the run sums of their grids or from the per-step tables
// after the short run's end. All terms are mm over the basin.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/support/modeloutput.h"

namespace fluvextest {

// What a run switches on, as far as the budget needs to know where water is.
struct BudgetModules {
  bool interception = true;
  bool snow = true;
  int glacierMethod = 0;  // 0 none, 1 and 2 static, 11 to 13 dynamic glaciers
  bool ponding = false;
  bool surfaceRouting = true;
  bool groundwaterFlow = true;
  bool lakes = false;
  bool irrigation = false;
  bool depositionIndex = false;                    // a snow method that drifts snow by a deposition index
  std::string depositionIndexGrid = "depidx.asc";  // its grid, in the run's directory
  // The snow drifted onto a cell carries the concentration of the snow's
  // water input, which is the input's but where other water joins it
  // before the snow (the fields' irrigation water; the throughfall when the
  // interception runs first). At such cells the special output
  // (out/points.txt) holds, each step, the snowfall with its drift
  // (<driftSnowfallPoints>/<column>/<row>, mm) and each tracer's
  // concentration of the snow's water input
  // (<driftConcentrationPoints><tracer number>/<column>/<row>); empty: the
  // drift carries the input's concentration everywhere.
  std::string driftSnowfallPoints, driftConcentrationPoints;
  int vegetationLayers = 1;
  // A grid of relative cell areas (RelCellArea, in the run's directory;
  // empty: every cell counts 1): the basin's area in the routing's m3 is
  // the cell size squared times its sum, and every term in mm weights each
  // cell's depth by its area.
  std::string relCellAreaGrid;
  int substeps = 1;  // sub-steps of the soil, surface routing and groundwater
  // Groundwater layers below the first: per layer its heads (written at the
  // end of each run, out/<heads>), its storage coefficient (a grid in the
  // run's directory) and its thickness (m); their water is the coefficient
  // times the head (a confined layer: a head below the layer's top takes
  // layer 1's coefficient). A tracer's concentration grid of a layer holds
  // the water above the layer's base (the layer's top lies the soil
  // column's depth below the surface of elevationGrid, in the run's
  // directory, for layer 2; each further layer below the one above it).
  struct DeepLayer {
    std::string heads, storage;
    double thickness = 0;
  };
  std::string elevationGrid = "dem.asc";
  std::vector<DeepLayer> deepLayers;
  // Groundwater boundaries of a layer (grids in the run's directory): water
  // from outside the basin, at a fixed head what its balance grid summed
  // over the steps (out/<balanceSum>: the water the cell gave its
  // neighbours), at a fixed inflow the inflow over the period. Their
  // tracer: the tracer of each step's balance at the boundary cells (mm x
  // concentration, the points of out/points.txt named
  // <tracerPoints><tracer number>/<column>/<row>; <balancePoints> names
  // those of the balance, which tell the boundary cells).
  struct GroundwaterBoundary {
    std::string fixedHeads, fixedInflows, balanceSum;
    std::string balancePoints, tracerPoints;
  };
  std::vector<GroundwaterBoundary> groundwaterBoundaries;
  int stepMinutes = 60;
  // Tables of the abstractions whose water leaves the basin (m3/s per step).
  std::vector<std::string> abstractionsLeaving = {"abstraction_1.txt"};
  // Observed discharge (m3/s, lines of year, month, day, hour and values, in
  // the run's directory) that replaces what subbasins send into their
  // channels: the observations enter the basin, the subbasins' routed
  // discharge leaves it. Per subbasin the word of its value in a line of the
  // routed discharge and of the observations.
  std::string observedFile;
  std::vector<std::pair<size_t, size_t>> observedColumns;
  // Tracers of the run: their files are named by the first three letters of
  // the name in lower case (out/<prefix>inter.asc, ...). An evaporating
  // tracer's stores hold a concentration, another's an amount (mm x
  // concentration) but in the channels, lakes and reservoirs, which hold a
  // concentration of either. The water input carries the input's
  // concentration; sources holds the concentrations of every other water
  // the run starts with or takes in (the soil's and the groundwater's first
  // water, 0 for water that starts without the tracer: glacier melt, the
  // channels' and the lakes' first water). Every store's concentration of
  // an evaporating tracer is a mix of these and the input's.
  struct Tracer {
    std::string name, prefix;
    bool evaporating = false;
    double input = 0;
    std::vector<double> sources;
  };
  std::vector<Tracer> tracers;
};

// One run of the example basin: its working directory, results in out/;
// its cells' relative areas from the grid relCellAreaGrid of its directory
// (empty: all 1).
class RunOutput {
 public:
  explicit RunOutput(std::string dir, const std::string& relCellAreaGrid = "");
  const std::string& dir() const { return directory; }
  // Basin mean (mm or the grid's unit) of a grid file in out/: the sum over
  // the cells of the zone grid whose value is not missing, each times its
  // relative area, divided by the basin's area; NaN when the file cannot be
  // read.
  double BasinMean(const std::string& file) const;
  // The same weighted per cell by weight(row, col) (the basin's area still
  // divides).
  template <typename Weight>
  double BasinMean(const GridFile& g, Weight weight) const;
  double basinArea() const { return area; }  // in cells
  bool hasCellAreas() const { return relArea.ncols > 0; }
  double CellArea(int r, int c) const {  // relative to the cell size squared
    return relArea.ncols > 0 && relArea.at(r, c) > -9999 ? relArea.at(r, c) : 1.0;
  }
  const GridFile& zones() const { return zoneGrid; }
  std::string Text(const std::string& file) const;  // a file of the run's directory

 private:
  std::string directory;
  GridFile zoneGrid, relArea;
  double area = 0;
};

struct BudgetTerm {
  std::string name;
  double mm;
};

struct Budget {
  std::vector<BudgetTerm> inputs;          // water that enters the basin
  std::vector<BudgetTerm> outputs;         // water that leaves it
  std::vector<BudgetTerm> storageChanges;  // more water in a store is positive
  std::vector<std::string> unread;         // terms that could not be read, with why
  // How far the terms read from printed tables (their values to the
  // decimals printed, multiplied step by step) may lie from the model's
  // own figures, mm: the residual may differ from 0 by this much beyond the
  // tolerance (tracer budgets).
  double rounding = 0;
  // A term no output holds, bounded instead: what left with water (mm)
  // lies between low and high (mm x concentration: the water times the
  // lowest and the highest concentration its sources hold); estimate is a
  // figure for information only. The budget closes when the residual
  // without it, the mass it implies, lies between them (beyond the
  // tolerance and the rounding).
  struct Bounded {
    std::string name;
    double water = 0, low = 0, high = 0, estimate = 0;
  };
  std::vector<Bounded> bounded;
  // The scale of the relative checks: the inputs' sizes summed (an input
  // that takes water, a fixed head below the table, counts by its size:
  // a net input below 0 would let every check pass).
  double Input() const;
  double Residual() const;  // inputs - outputs - storage changes
  std::string Report() const;
};

// A quantity that shows that a case's option moved water, read from what
// the two runs write, and whether it is as the option makes it.
struct Signature {
  std::string name;
  double value;
  bool ok;
};

// Sum over the period (the lines of run end dated after the last line of
// run start) of a column of a per-step table in out/: the last column (the
// basin value of a statistics file) when column is negative. NaN when the
// table has no line of the period.
double PeriodSum(const RunOutput& start, const RunOutput& end, const std::string& table, int column = -1);

// The lines of a per-step table in out/ of the period (as PeriodSum's).
int PeriodLines(const RunOutput& start, const RunOutput& end, const std::string& table);

// River water the irrigation took, in transit to the fields of the next
// step at the end of a run, summed over the routing subbasins: m3 (index
// 0), or the mass of tracer index (m3 x concentration).
double IrrigationInTransit(const RunOutput& run, int index);

// A budget term by its name (the first whose name starts with it); NaN when
// the budget has none.
double Term(const Budget& budget, const std::string& name);

// The budget between the end of run start and the end of run end: the same
// control file but for its end date, or, when warmStart is set, run end
// continues run start from its state (its run sums then hold the period's
// fluxes alone).
Budget BasinBudget(const RunOutput& start, const RunOutput& end, const BudgetModules& modules, bool warmStart = false);

// The mass budget of a tracer between the same two runs, built like the
// water's: in mm x concentration over the basin, every store read from
// what the runs write at their ends, what entered and left from the water
// terms of the water budget and the concentrations the runs write.
Budget TracerBudget(const RunOutput& start, const RunOutput& end, const BudgetModules& modules,
                    const BudgetModules::Tracer& tracer, const Budget& water, bool warmStart = false);

// Edits of the example's control file that make a run write what the budget
// reads (double grids, run sums, the stores at the end).
std::vector<std::pair<std::string, std::string>> BudgetOutputEdits();

}  // namespace fluvextest
