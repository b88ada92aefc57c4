// Per-column kernels of the one-dimensional Richards solver of the unsaturated
// zone: heads, fluxes between layers (Darcy flux, interflow, drainage, flux
// limiter), the water-content updates, the lower boundary, infiltration, water
// content over a depth range and root water uptake.
//
// Every kernel works on plain arrays of one soil column, indexed by layer
// 1..n from the top (index 0 is the soil surface where an array has it). The
// column solve fills a `Column` per cell with the values of the cell that
// several kernels share, and hands in work arrays that belong to its thread:
// the kernels allocate nothing and write only the arrays they are given.
//
// Sign conventions: a flux q_i is the flux across the lower boundary of layer
// i in m/s, positive upward (q_0 across the soil surface, negative when water
// enters the soil); suction is a positive length in m; z_i is the geodetic
// height of the lower boundary of layer i, z_0 the top of the column.
#pragma once

#include <mpi.h>

#include <vector>

#include "framework/types.h"
#include "parameters/soil_table_entry.h"

namespace uzk {

// Suction (m) below which a layer's water drains freely by gravity: interflow,
// drainage and baseflow take only the water above theta(3.45 m).
constexpr double kDrainableSuction = 3.45;
// Conductivity of the air in the soil pores, W/(m K).
constexpr double kLambdaAir = 0.0262;

// Values of one soil type that the kernels would otherwise compute per cell
// and step: theta at 3.45 m suction and the two powers of the saturated form
// of the thermal conductivity. Built once per soil type before the parallel
// loops; read-only afterwards.
struct SoilConstants {
  const soil_table_entry* soil = nullptr;
  int layers = 0;
  std::vector<double> thetaDrainable;  // theta(3.45 m) per layer
  std::vector<double> solidPower;      // lambda_s^(1 - theta_s)
  std::vector<double> waterPower;      // lambda_w^theta_s
  std::vector<double> lambdaSolid;     // conductivity of the dry solids, W/(m K)
  // 1 where the layer's suction table falls as the water content rises (no
  // suction below 0, nothing that is not a number): the flux limiter may then
  // bound the heads over a range of water contents by its two ends.
  std::vector<char> suctionFalls;
  // 1 where layer i and layer i + 1 are of different material (another
  // horizon: any of the hydraulic parameters differs).
  std::vector<char> materialBelow;

  // lambdaWater: conductivity of water; lambdaDrySoil replaces a negative dry
  // solid conductivity of the entry (a value of exactly 0 stays).
  void Build(const soil_table_entry& entry, double lambdaWater, double lambdaDrySoil);
};

// Constants of every entry 0..count of a soil table.
std::vector<SoilConstants> BuildSoilConstants(const soil_table_entry* table, int count, double lambdaWater,
                                              double lambdaDrySoil);

struct RiverCell;

// The values of one cell that several kernels share, and the thread's work
// array. The column solve sets the cell values before the kernels of a cell
// run; none of them changes during a substep except where noted.
struct Column {
  // Soil of the cell.
  const soil_table_entry* soil = nullptr;
  const SoilConstants* constants = nullptr;
  int maxLayers = 0;  // layer count of the module; bounds every layer loop

  // Groundwater.
  int g = 1;                       // layer that holds the groundwater table
  double groundwaterDistance = 0;  // table height minus surface height (m, negative below)
  bool groundwaterActive = false;  // the groundwater model is coupled
  bool externalTable = false;      // the table comes from an external groundwater model
  double baseflow = 0;             // "baseflow" rate at the cell (m/s)
  int surfaceInteraction = 0;      // 0, 1 (exfiltration only) or 2 (also infiltration from rivers)
  RiverCell* river = nullptr;      // river exchange of the cell; null without river data

  // Interflow and drainage.
  double tanBeta = 0;             // "tangens_beta" at the cell
  double channelDensity = 0;      // channel network density of the subbasin (1/m)
  bool drainageModelled = false;  // the grid "drainage_depth" exists
  int drainageLevel = 0;          // layer holding the drains
  double drainageDistance = 0;    // m; 0, negative or missing: no drains
  double drainageDepth = 0;       // m below the surface; the drains work while the table lies deeper
  double cellsize = 0;            // m; also the river's length in a river cell
  double cellArea = 0;            // m2, the cell's own area (0: cellsize squared)

  // Clay layer and frozen ground.
  int clayLayer = 0;                  // 0: none
  double clayConductivity = 0;        // m/s
  bool clayDepthGrid = false;         // the grid "clay_depth" exists (infiltration)
  double thawDepth = kNodata;         // permafrost thaw depth (m); missing when not above no-data
  double reducedConductivity = 1e-9;  // conductivity of frozen ground (m/s)

  // Infiltration state of the cell ("infiltration_saturation"), in/out.
  double infiltrationSaturation = 0;

  // Work array of maxLayers + 1 values of the thread (conductivities).
  double* work = nullptr;
  // Optional: conductance K_i / ((d_i + d_{i+1}) / 2) of every boundary of the
  // last ComputeFluxes call (1/s), and 4 (maxLayers + 2) values of scratch for
  // the implicit flux correction; both per thread, maxLayers + 2 values each.
  double* conductance = nullptr;
  double* solveWork = nullptr;
  // Optional: 3 (maxLayers + 2) table intervals of the last look-ups per
  // layer (the flux limiter's two water contents, the heads), kept over the
  // passes of a substep so that a look-up tries them first; 0 at the start of
  // a cell. Only the speed depends on them, never a result.
  int* intervals = nullptr;

  // Set by a kernel that produced a value that is not finite (also by those
  // that take the column as const); each thread has its own column, and the
  // column solve reports the flag after its parallel loop.
  mutable bool fpe = false;
};

// Flux between layers i and i+1 (m/s, positive upward) for the conductivity K
// between them: a head that falls with depth gives a negative flux.
inline double DarcyFlux(double K, double Hi, double Hj, double di, double dj) {
  return K * (Hi - Hj) / (-(di + dj) / 2.0);
}

// The flux q_i across the lower boundary of layer i limited so that layer i
// is not filled above saturation by an upward flux and the new heads of the
// two layers do not change their order by more than 1 mm. When it bisects it
// writes the reduced outflow into S[i]. H holds the heads of the iteration and
// stays unchanged: the heads that the limited flux would give are only a
// prediction, and writing one into H[i+1] would make it the old head of the
// next boundary's test and of the state kept for the next step. F: the
// liquid share of each layer's water in frozen soil (null: none), as in
// ComputeHeads.
double LimitFlux(const Column& c, double thetaOldI, double thetaOldJ, double qAbove, double q, double qBelow, double dt,
                 int i, const double* z, double* S, const double* H, const double* F = nullptr);

// Water in metres (mode 1) or mean relative saturation (any other mode)
// between the depths top and bottom (m below the surface; bottom 9999: the
// whole column). No-data for bottom <= 0 or top < -0.0001, 1.0 for an empty range.
double WaterContentInDepthRange(const soil_table_entry& soil, int layers, const double* d, const double* theta,
                                int mode, double top, double bottom);
// The same from the surface, without the range test.
double WaterContentToDepth(const soil_table_entry& soil, int layers, const double* d, const double* theta, int mode,
                           double bottom);

// Inputs of the root water uptake of one vegetation layer in one substep.
struct RootUptake {
  double rootDepth = 0;   // R, m
  double shape = 0;       // a of the root distribution (1 + a z/R)(1 - z/R)
  double drySuction = 0;  // suction of the dry reduction (m)
  // Water content of each layer at drySuction when the caller has it (else looked up).
  const double* thetaDry = nullptr;
  double wetLimit = 1;      // share of theta_s above which the wet reduction starts
  double wetReduction = 1;  // reduction factor at saturation
  int passLimit = 0;        // withheld weight is not passed on from this layer on
  double coverage = 0;      // u: vegetation coverage degree
  double demand = 0;        // D: potential transpiration rate (m/s)
  double evaporation = 0;   // Ev: evaporation demand added to the unmet transpiration (m/s)
  double evapDepth = 0;     // De: depth from which soil evaporation is taken (m)
  double dt = 0;            // length of the substep (s)
};

// Root weights (normalised to sum 1, then reduced by water stress and passed
// on downward), extraction e_i = u D w_i (added to sum[i]) and soil
// evaporation per layer (evaporation[i], its total added to sum[0]).
// thetaLow: per-layer water content at which uptake stops. Returns the number
// of root layers N; w, e and evaporation hold layers 1..N.
int RootExtraction(const Column& c, const RootUptake& r, const double* d, const double* theta, const double* thetaLow,
                   double* relThickness, double* w, double* e, double* evaporation, double* sum);

// Hydraulic heads of the active layers from the mean of the old and the
// current suction. oldSuctionKnown 0: the old suctions are looked up first
// (psiOld out). F: per layer the liquid share of the water in frozen soil,
// null for none. Frozen soil holds its ice like air in the pores: the
// suction and the conductivity of a layer are those of its liquid water
// alone, F_i theta_i (ComputeFluxes, LimitFlux and CorrectFluxes alike).
void ComputeHeads(const Column& c, int oldSuctionKnown, int L, double& meanSuction, const double* thetaOld,
                  const double* theta, const double* A, const double* B, double* psiOld, double* H, const double* z,
                  const double* F);

// Fluxes q (1..active boundaries, q_0 = -topInflow) and lateral outflows S
// (interflow plus drainage) of one iteration; thetaA and thetaB give the mean
// water content of the conductivities, thetaB that of the outflows, thetaOld
// is the start of the substep. With the groundwater model coupled and river
// data present the lateral river exchange fills A and B first (inflowSum,
// outflowSum out). topInflow: positive downward, m/s.
void ComputeFluxes(Column& c, int L, double topInflow, double dt, const double* thetaOld, const double* thetaA,
                   const double* thetaB, double* A, double* B, const double* thetaSat, const double* z, double* H,
                   const double* d, double* S, double* q, double& drainageFlow, const double* F, double* tracer,
                   double& inflowSum, double& outflowSum);

// New water contents from the fluxes; excess water of oversaturated layers is
// pushed out through their fluxes and deficits below theta_r are made up, in
// passes from the bottom up, until a pass changes nothing or passLimit passes
// have run. Updates thetaNew, q, S, A, B and the sums of A and B.
void UpdateThetaWithExcess(const Column& c, int passLimit, int L, double* A, double* B, const double* thetaOld,
                           double* thetaNew, const double* thetaSat, const double* thetaRes, double* q, double* S,
                           const double* d, double& sumA, double& sumB, double dt);

// Newton correction of the fluxes of one iteration. The plain update of the
// water contents from fluxes evaluated at the previous iterate is a fixed-point
// iteration that diverges (layers flipping between saturation and residual
// content) wherever dt K dpsi/dtheta / d^2 is large, and that amplifies
// round-off in a column at rest. The correction adds to q_i the linear change
// of the Darcy fluxes that makes the next iterate solve the water balance
// theta - thetaOld = dt (q_i - q_{i-1} - S_i - B_i + A_i) / d_i with the heads
// linearised at the current iterate (one tridiagonal solve). It vanishes when
// the iteration has converged, so the solution is the one of the plain
// iteration; only its convergence changes. A flux that the correction would
// turn keeps the value the heads give it. Needs c.conductance from
// ComputeFluxes and c.solveWork; does nothing without them.
void CorrectFluxes(const Column& c, int L, const double* A, const double* B, const double* theta,
                   const double* thetaOld, double* q, const double* S, const double* d, double dt,
                   const double* F = nullptr);

// Plain update of the iterate from the fluxes with the relaxed mean of the
// iterations, at which the next pass takes its heads and conductivities;
// returns the largest absolute change. count gets iteration - 3 from the
// fourth iteration on.
double UpdateTheta(const Column& c, int iteration, int L, const double* A, const double* B, double* theta, double* mean,
                   const double* thetaOld, const double* q, const double* S, const double* d, int& count, double dt);

// Layers 1..m that UpdateTheta updates: down to two below the table's layer,
// further where layers exchange water with a river; layers below keep
// their content of the substep's start.
int UpdatedLayers(const Column& c, int L, const double* A, const double* B);

// A layer counts as saturated above this share of its saturated water content.
constexpr double kSaturatedShare = 0.9995;
// Layer that holds the groundwater table: searching from the lowest layer
// up, the lowest whose water content is not above 0.9995 theta_s (layer 1
// when all are saturated).
int GroundwaterLevelLayer(const double* theta, const double* thetaSat, int n);
// Share of a layer that its water above theta(3.45 m) (thetaDrainable) would
// fill from its bottom, 1 from 0.9995 theta_s on: (theta - theta_d) /
// (0.9995 theta_s - theta_d) within 0 and 1.
double FilledShare(double theta, double thetaSat, double thetaDrainable);
// Height of the groundwater table of a column of n layers (z: layer
// boundaries, z[0] the surface; arrays by layer 1..n), continuous in the
// water contents. From the bottom up each layer adds its filled share s of
// its thickness, weighted by what the layers below it pass on: a layer
// passes on nothing up to s = 0.75 and all from s = 1 (0.9995 theta_s) on,
// linearly in between. So the table stands at z_g + d_g s_g in the lowest
// layer g that is not saturated as long as g is at most three quarters
// filled, and as g fills further it rises on into the layers above, until
// at s_g = 1 it stands where it would with g saturated. The table thus
// moves from one layer into the next with the water, instead of jumping by
// the filled part of the layer above when a layer falls below 0.9995
// theta_s (while a layer's water moves between three quarters and full, the
// table moves by that water and by the filled part of the layers above).
double WaterTableHeight(const double* z, const double* theta, const double* thetaSat, const double* thetaDrainable,
                        int n);

// Groundwater recharge of a substep (mm): the water that crossed into the
// layer of the water table g from above, -f[g-1] over the substep of dtms
// milliseconds (f positive upward; f[0] the soil surface when the table lies
// in layer 1). Negative when the saturated zone feeds the layers above it.
double LowerBoundaryFlux(int g, const double* f, double dtms);

// MPI reduction operator over ZoneRecords: adds n and RelCellSum of each input
// record into the in/out record and sets its sx to 0; zonenwert and rel stay.
void SumZoneRecords(void* in, void* inout, int* len, MPI_Datatype* datatype);

}  // namespace uzk
