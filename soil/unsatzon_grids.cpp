// Grids, stacks, statistics files and the initial soil state of the
// unsaturated zone.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "framework/diagstream.h"
#include "framework/irrigationtable.h"
#include "framework/zonalstatistic.h"
#include "parameters/landuse_table_entry.h"
#include "parameters/soil_table_entry.h"
#include "soil/cellnote.h"
#include "soil/unsatzon.h"

namespace {
std::string Numbered(const char* name, int k) {
  char text[128];
  std::snprintf(text, sizeof text, "%s%d", name, k);
  return text;
}
}  // namespace

bool unsatzonmodellklasse::ValidZone(int r, int c) const {
  return zonegrid && r >= 1 && r <= nrows && zonegrid[r] && !Missing(zonegrid[r][c]);
}

bool unsatzonmodellklasse::OwnValidCell(int r, int c) const {
  if (r < firstrow || r > lastrow || !ValidZone(r, c)) return false;
  // Without a decomposition grid every cell of the instance's rows is its own.
  return !MPIRegions || !MPIRegions[r] || static_cast<int>(MPIRegions[r][c]) == mpirank;
}

soil_table_entry* unsatzonmodellklasse::SoilOf(int r, int c) const {
  if (!soil_types || !soil_types[r]) return nullptr;
  const double v = soil_types[r][c];
  // Cell values are soil table indexes after the set-up's code check.
  if (!(v >= 1) || v >= SoilTableCount() + 1.0) return nullptr;
  return &soiltable[static_cast<int>(v)];
}

int unsatzonmodellklasse::NextPosition() {
  for (int k = 1; k < kGridListMax; ++k)
    if (gridlist[k].filename.empty() && !gridlist[k].registered) return k;
  Fatal("FATAL: no more free grids in memeory, (max. " + std::to_string(kGridListMax) + ")!", 12);
}

void unsatzonmodellklasse::BindGrids() {
  auto required = [&](const std::string& name) { return gridlist[GetGrid(name)].grid; };
  auto optional = [&](const std::string& name) -> Grid {
    const int p = FindGrid(name, true);
    return p > 0 ? gridlist[p].grid : nullptr;
  };
  const int V = vegetation_layers;
  for (auto* v : {&landuse, &root_depth, &vegetation_coverage_degree, &leaf_area_index, &SurfaceCanopyResistance,
                  &SurfaceIntercepResistance, &RoughnessLength, &pot_transpiration, &real_transpiration})
    v->assign(static_cast<size_t>(V) + 1, nullptr);
  for (int k = 1; k <= V; ++k) {
    landuse[k] = required(Numbered("landuse", k));
    root_depth[k] = required(Numbered("root_depth", k));
    vegetation_coverage_degree[k] = required(Numbered("vegetation_coverage_degree", k));
    leaf_area_index[k] = required(Numbered("leaf_area_index", k));
    SurfaceCanopyResistance[k] = required(Numbered("SurfaceCanopyResistance", k));
    SurfaceIntercepResistance[k] = required(Numbered("SurfaceIntercepResistance", k));
    RoughnessLength[k] = required(Numbered("RoughnessLength", k));
  }
  for (int k = 0; k <= V; ++k) {
    pot_transpiration[k] = required(Numbered("pot_transpiration", k));
    real_transpiration[k] = required(Numbered("real_transpiration", k));
  }
  SurfaceEvaporationResistance = required("SurfaceEvaporationResistance");
  albedo = required("albedo");
  potential_evaporation = required("potential_evaporation");
  real_evaporation = required("real_evaporation");
  slope_angle = required("slope_angle");
  soil_types = required("soil_types");
  elevation = gridlist[2].grid;
  if (!elevation) Fatal("FATAL: no elevation model at grid list position 2 for " + modulname, 33);
  gw_storage_coeff = optional("gw_storage_coeff_1");
  gw_k_x = optional("gw_k_x_1");
  gw_k_y = optional("gw_k_y_1");

  if (pond == 1) {
    const int p = GetGrid("max_ponding_storage");
    max_ponding_storage = gridlist[p].grid;
    // m to mm on the whole grid of instance 0, which then hands every instance its cells.
    // A basin cell without a maximum ponding storage holds no pond: all its
    // surface water runs off (one warning counts such cells).
    if (mpirank == 0) {
      long missing = 0;
      for (int r = 1; r <= nrows; ++r) {
        if (!max_ponding_storage[r]) continue;
        for (int c = 1; c <= ncols; ++c) {
          if (!ValidZone(r, c)) continue;
          if (max_ponding_storage[r][c] > std::max(nodata, -9999.0)) {
            max_ponding_storage[r][c] *= 1000.0;
          } else {
            max_ponding_storage[r][c] = 0.0;
            ++missing;
          }
        }
      }
      if (missing > 0)
        *diag << "WARNING: in modul " << modulname.c_str() << ":\nthe grid max_ponding_storage holds no value in "
              << missing << " basin cells: no water ponds there, it runs off[end-entry]";
    }
    if (mpisize > 1) {
      MPI_Barrier(MPI_COMM_WORLD);
      MPIScatterGrid(p);
      MPI_Barrier(MPI_COMM_WORLD);
    }
  }
  if (drainage == 1) {
    drainage_depth = required("drainage_depth");
    drainage_distance = required("drainage_distance");
  }
  if (clay == 1) clay_depth = required("clay_depth");
  snowstorage_solid = optional("snowstorage_solid");
  flow_times = optional("flow_times");
  if (irrigationtable) irrigation_codes = required("irrigation_codes");
  if (Grid g = optional("DirectRunoffSiltingUp")) {
    silting_up = g;
    silting_up_storage = 0;
  } else if (Grid s = optional("SurfStorSiltingUp")) {
    silting_up = s;
    silting_up_storage = 1;
  }

  if (!flow_times)
    *diag << "INFO: \n------------------------------------------------------------------------\n\nWarning! There was "
             "no flow travel time grid for surface runoff read in\nAll surface runoof will be routed immediately to "
             "the outlet of the sub-basin\n(except the effects of a linear reservoir).\nA flow travel time grid may "
             "be created by Morquel, writing the\nflow travel times for each grid cell to the sub basins outlet in "
             "secounds\nwhich are reclassified into model time steps in Fluvex.\n\n----------------------------------"
             "--------------------------------------\n"
          << "[end-entry]";

  options_tag.clear();
  if (flow_times) options_tag += "+ft,";
  if (irrigationtable) options_tag += "+ir,";
  if (surface_interaction == 1) options_tag += "+srf1";
  if (surface_interaction > 1) options_tag += "+srf2,";
  if (drainage == 1) options_tag += "+dr,";
  if (clay == 1) options_tag += "+cl,";
  if (pond == 1) options_tag += "+po,";
  options_tag = options_tag.substr(0, 29);
}

zonalstatistic* unsatzonmodellklasse::NewStatistic(int line, int precision, const char* title, StatRecord* registry,
                                                   int capacity, const std::string& fileName) {
  ZoneRecord* records = static_cast<ZoneRecord*>(Alloc(static_cast<int>(sizeof(ZoneRecord)) * (zonecount + 1), 1));
  statrecords[line] = records;
  for (int k = 0; k <= zonecount; ++k) records[k] = ZoneRecord{0, 0, zonerecords[k].zonenwert, zonerecords[k].rel, 0};
  int code = 0;
  auto statistic = std::make_unique<zonalstatistic>(code, diag, registry, capacity, relcellarea, nrows, ncols, records,
                                                    zonecount, statfiles[line].code, precision, fileName,
                                                    DefaultOutputDirectory, outputlistcount, outputlist);
  if (code != 0) throw code;
  statistic->WriteHeader(modulname, title, registry, capacity);
  return statistics[line] = statistic.release();
}

void unsatzonmodellklasse::CreateStatistics(StatRecord* registry, int capacity) {
  struct Made {
    int line;
    int precision;
    const char* title;
  };
  const Made always[12] = {{kStatGWSTAND, 5, "groundwater level [m below surface] (GWSTAND)"},
                           {kStatGWN, 5, "groundwater recharge per zone [mm] (GWN)"},
                           {kStatSB1, 5, "rel. soil moisture 0..root depth per zone "},
                           {kStatSB2, 5, "abs. soil moisture 0..profile depth per zone "},
                           {kStatROOT, 5, "root depth [mm per zone] "},
                           {kStatINFEX, 5,
                            "infiltration excess [mm per zone] (INFEX: the water that did not infiltrate, less the "
                            "water standing on the surface that the soil took up)"},
                           {kStatQD, 6,
                            "direct runoff [mm per zone] (QD: the water newly left on the surface, through the "
                            "flow-time zones)"},
                           {kStatQI, 6, "Interflow [mm per zone]"},
                           {kStatQB, 6, "base flow [mm per Zone]"},
                           {kStatQg, 6, "total runoff [mm per zone] (Qg: the sum of QD, QI and QB)"},
                           {kStatMACRO, 6, "macropore_infiltration_per_zone_[mm] "},
                           {kStatINFILT, 6, "total_infiltration_per_zone_[mm] "}};
  for (const Made& m : always) NewStatistic(m.line, m.precision, m.title, registry, capacity, statfiles[m.line].name);
  if (method == 3)
    NewStatistic(kStatSUBSTEPS, 6, "Number_of_Substeps_per_Time_Step[-] ", registry, capacity,
                 statfiles[kStatSUBSTEPS].name);
  // The temperature statistics come with the heat transfer set-up.
  if (drainage_depth && drainage_distance)
    NewStatistic(kStatQDRAIN, 5, "drainage discharge [mm per zone] (QDRAIN)", registry, capacity,
                 statfiles[kStatQDRAIN].name);
  if (max_ponding_storage)
    NewStatistic(kStatPOND, 5, "ponding water storage content [mm per zone]  ", registry, capacity,
                 statfiles[kStatPOND].name);
}

Grid unsatzonmodellklasse::NewGrid(const std::string& shortName, const FileSpec& file, double ownValue,
                                   bool wholeOnZero, bool halo) {
  int first = firstrow;
  int last = lastrow;
  if (wholeOnZero && mpirank == 0) {
    first = 1;
    last = nrows;
  } else if (halo) {
    first = first_own_row;
    last = last_own_row;
  }
  OwnedGrid o;
  o.grid = matrix(first, last, 1, ncols, nrows);
  o.first = first;
  o.last = last;
  owned.push_back(o);
  for (int r = first; r <= last; ++r)
    for (int c = 1; c <= ncols; ++c) o.grid[r][c] = OwnValidCell(r, c) ? ownValue : nodata;
  const int p = NextPosition();
  RegisterGrid(p, file.name, o.grid, nullptr, 0, shortName, file.code, first, last);
  owned.back().position = p;
  return o.grid;
}

Grid unsatzonmodellklasse::ReadStateGrid(const std::string& shortName, const FileSpec& file, bool halo) {
  Grid g = nullptr;
  ReadGrid(file.name, &g, 0, true, true, false, true, false, halo, nodata);
  int first = 1;
  int last = nrows;
  if (mpirank != 0) InstanceRows(halo, first, last);
  OwnedGrid o;
  o.grid = g;
  o.first = first;
  o.last = last;
  owned.push_back(o);
  const int p = NextPosition();
  RegisterGrid(p, file.name, g, nullptr, 0, shortName, file.code, first, last);
  owned.back().position = p;
  return g;
}

void unsatzonmodellklasse::CheckStackLevels(int levels, const std::string& fileName) {
  if (levels != layers)
    Fatal("FATAL: wrong number of levels in stack " + fileName + " (there are " + std::to_string(levels) +
              " level, it must be " + std::to_string(layers),
          13);
}

Stack unsatzonmodellklasse::NewStack(const std::string& shortName, const FileSpec& file, bool read) {
  OwnedGrid o;
  if (read) {
    const int levels = ReadStack(file.name, &o.stack, true);
    o.first = mpirank == 0 ? 1 : firstrow;
    o.last = mpirank == 0 ? nrows : lastrow;
    owned.push_back(o);
    CheckStackLevels(levels, file.name);
  } else {
    o.stack = matrix3d(firstrow, lastrow, 1, ncols, layers, nrows);
    o.first = firstrow;
    o.last = lastrow;
    owned.push_back(o);
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        const double v = OwnValidCell(r, c) ? 0.0 : nodata;
        for (int k = 0; k <= layers; ++k) o.stack[r][c][k] = v;
      }
  }
  // The companion grid of the stack, initialised as usual.
  owned.back().grid = matrix(o.first, o.last, 1, ncols, nrows);
  Grid companion = owned.back().grid;
  for (int64_t r = o.first; r <= o.last; ++r)
    for (int c = 1; c <= ncols; ++c) companion[r][c] = OwnValidCell(static_cast<int>(r), c) ? 0.0 : nodata;
  const int p = NextPosition();
  RegisterGrid(p, file.name, companion, o.stack, layers, shortName, file.code, o.first, o.last);
  owned.back().position = p;
  return o.stack;
}

void unsatzonmodellklasse::RegisterModuleGrids() {
  const bool readAll = storage_read_parameter == 1 || storage_read_parameter == 3;
  const bool readGroundwater = readAll || storage_read_parameter == 2;
  const FileSpec none{"", 0};
  auto usual = [&](const std::string& name, const FileSpec& file) { return NewGrid(name, file, 0.0, false, false); };
  auto fixed = [&](const std::string& name) { return NewGrid(name, FileSpec{name, 0}, 0.0, false, false); };

  groundwater_distance = readGroundwater ? ReadStateGrid("groundwater_distance", outfiles[kOutGWSTAND], true)
                                         : NewGrid("groundwater_distance", outfiles[kOutGWSTAND], 0.0, true, true);
  if (max_ponding_storage)
    ponding_storage = readGroundwater ? ReadStateGrid("ponding_storage", outfiles[kOutPOND], true)
                                      : NewGrid("ponding_storage", outfiles[kOutPOND], 0.0, true, true);
  geodetic_heads = NewStack("geodetic_heads", outfiles[kOutHGEO], readAll);
  theta = NewStack("theta", outfiles[kOutTheta], readAll);
  hydraulic_heads = NewStack("hydraulic_heads", outfiles[kOutHH], readAll);
  if (!readAll) InitialSoilState();
  if (heat_transfer_flow_control > 0) HeatTransferSetup();
  baseflow = readAll ? ReadStateGrid("baseflow", outfiles[kOutDELTAGW], false)
                     : NewGrid("baseflow", outfiles[kOutDELTAGW], 0.0, true, false);
  groundwater_givable = NewGrid("groundwater_givable", none, nodata, false, false);
  groundwater_not_given = NewGrid("groundwater_not_given", none, 0.0, false, false);
  groundwater_level = readAll ? ReadStateGrid("groundwater_level", outfiles[kOutGWLEVEL], false)
                              : usual("groundwater_level", outfiles[kOutGWLEVEL]);
  Theta_in_GWLEVEL = readAll ? ReadStateGrid("Theta_in_GWLEVEL", outfiles[kOutGWTHETA], false)
                             : usual("Theta_in_GWLEVEL", outfiles[kOutGWTHETA]);
  q_down = NewStack("q_down", outfiles[kOutQUNTEN], false);
  q_downext = NewGrid("q_downext", FileSpec{outfiles[kOutQUNTEN].name, 0}, 0.0, false, false);
  SB_1_grid = usual("SB_1_grid", outfiles[kOutSB05]);
  MeanThetaInRootZone = fixed("MeanThetaInRootZone");
  if (irrigationtable) {
    irrigation_amounts = usual("irrigation_amounts", outfiles[kOutIRRIG]);
    Max_Pumping = fixed("Max_Pumping");
    SBLOW_grid = fixed("SBLOW_grid");
    SBHIGH_grid = fixed("SBHIGH_grid");
    const int p = FindGrid("ETR2ETP", true);
    ETR2ETP = p > 0 ? gridlist[p].grid : NewGrid("ETR2ETP", none, 0.0, false, false);
  }
  GWTableExtern = fixed("GWTableExtern");
  Balance = fixed("Balance");
  for (Grid g : {GWTableExtern, Balance})
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) g[r][c] = 0.0;
  tangens_beta = fixed("tangens_beta");
  // Slope in radians; a cell without a slope (the border of the elevation
  // model) has no lateral outflow rather than a negative one.
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c)
      if (OwnValidCell(r, c)) tangens_beta[r][c] = slope_angle[r][c] > 0 ? slope_angle[r][c] * M_PI / 180.0 : 0.0;
  SB_2_grid = usual("SB_2_grid", outfiles[kOutSB1]);
  macropore_infiltration = usual("macropore_infiltration", outfiles[kOutMACRO]);
  if (method == 3) number_of_substeps = usual("number_of_substeps", outfiles[kOutSUBSTEPS]);
  ROOTgrid = usual("ROOTgrid", outfiles[kOutWURZ]);
  groundwater_recharge = usual("groundwater_recharge", outfiles[kOutGWN]);
  Capillar_Uprise = usual("Capillar_Uprise", outfiles[kOutUPRISE]);
  Percolation = usual("Percolation", outfiles[kOutPERCOL]);
  directflow = usual("directflow", outfiles[kOutQD]);
  // A zeroed grid of the module's own, not in the grid list.
  auto ownZeroed = [&]() {
    OwnedGrid o;
    o.grid = matrix(firstrow, lastrow, 1, ncols, nrows);
    o.first = firstrow;
    o.last = lastrow;
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) o.grid[r][c] = 0.0;
    owned.push_back(o);
    return o.grid;
  };
  // The standing water each call takes up from the surface.
  surface_taken = ownZeroed();
  if (silting_up_storage == 0) {
    if (const int p = FindGrid("SurfStorSiltingUp", true); p > 0) {
      // The part of the step's input that stood on the surface.
      silting_surface = gridlist[p].grid;
      standing_input = ownZeroed();
    }
  }
  interflow = usual("interflow", outfiles[kOutQI]);
  infiltration_excess = usual("infiltration_excess", outfiles[kOutINFEX]);
  total_infiltration = fixed("total_infiltration");
  infiltration_saturation = usual("infiltration_saturation", outfiles[kOutSATT]);
  if (heat_transfer_flow_control > 0) HeatTransferGrids();
  if (drainage_depth && drainage_distance) {
    drainage_flow = usual("drainage_flow", outfiles[kOutQDRAIN]);
    drainage_level = fixed("drainage_level");
    DrainageLevels();
  }
  if (!readAll) InitialGroundwaterGrids();
  if (irrigationtable) IrrigationStartGrids();

  if (readGroundwater) CheckStateGrids();

  if (hru && (!HydrologicResponseUnits || !MasterHydrologicResponseUnits)) {
    HydrologicResponseUnits = gridlist[GetGrid("HydrologicResponseUnits")].grid;
    MasterHydrologicResponseUnits = gridlist[GetGrid("MasterHydrologicResponseUnits")].grid;
  }
}

void unsatzonmodellklasse::CheckStateGrids() {
  // A warm start continues every cell: a read state without a value in a cell
  // of the basin would start that cell from nothing (a table at -9999 m, a
  // layer without water), and the run would go on with other results. The
  // first such cell of the whole grid is named on every instance.
  const bool readAll = storage_read_parameter == 1 || storage_read_parameter == 3;
  struct State {
    const char* name;
    const FileSpec& file;
    Grid grid;
    Stack stack;
  };
  const State states[] = {
      {"groundwater_distance", outfiles[kOutGWSTAND], groundwater_distance, nullptr},
      {"ponding_storage", outfiles[kOutPOND], ponding_storage, nullptr},
      {"theta", outfiles[kOutTheta], nullptr, readAll ? theta : nullptr},
      {"hydraulic_heads", outfiles[kOutHH], nullptr, readAll ? hydraulic_heads : nullptr},
      {"geodetic_heads", outfiles[kOutHGEO], nullptr, readAll ? geodetic_heads : nullptr},
      {"Soil_Temperature_Stack", outfiles[kOutTEMPER], nullptr, readAll ? Soil_Temperature_Stack : nullptr},
      {"baseflow", outfiles[kOutDELTAGW], readAll ? baseflow : nullptr, nullptr},
      {"groundwater_level", outfiles[kOutGWLEVEL], readAll ? groundwater_level : nullptr, nullptr},
      {"Theta_in_GWLEVEL", outfiles[kOutGWTHETA], readAll ? Theta_in_GWLEVEL : nullptr, nullptr}};
  for (const State& state : states) {
    if (!state.grid && !state.stack) continue;
    uzk::CellNote missing;
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        soil_table_entry* soil = OwnValidCell(r, c) ? SoilOf(r, c) : nullptr;
        if (!soil) continue;
        if (state.grid) {
          if (!(state.grid[r][c] > nodata)) missing.Add(r, c, state.grid[r][c]);
          continue;
        }
        const int n = std::min(layers, soil->layers);
        for (int k = 1; k <= n; ++k)
          if (!(state.stack[r][c][k] > nodata)) {
            missing.Add(r, c, state.stack[r][c][k], k);
            break;
          }
      }
    missing.Reduce(ncols, mpisize);
    if (missing.count == 0) continue;
    std::string what = std::string("the state ") + (state.stack ? "stack " : "grid ") + state.file.name + " (" +
                       state.name + ") of the warm start ";
    if (state.stack) what += "at level " + std::to_string(missing.level) + " ";
    what += missing.Where(nodata);
    ModuleFatal(what +
                    ", a cell of the basin; a warm start reads the state of every cell of the basin (written at the "
                    "end of the run it continues)",
                33);
  }
}

void unsatzonmodellklasse::InitialSoilState() {
  const bool fromDistance = storage_read_parameter == 2;
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      double* hgeo = geodetic_heads[r][c];
      double* th = theta[r][c];
      double* hh = hydraulic_heads[r][c];
      soil_table_entry* soil = OwnValidCell(r, c) ? SoilOf(r, c) : nullptr;
      if (!soil || !elevation[r] || !(elevation[r][c] > nodata)) {
        for (int k = 1; k <= layers; ++k) hgeo[k] = nodata;
        for (int k = 0; k <= layers; ++k) th[k] = hh[k] = nodata;
        if (OwnValidCell(r, c))
          Fatal("FATAL: the cell row " + std::to_string(r) + ", column " + std::to_string(c) + " of " + modulname +
                    " has no soil type in the soil table (soil_types value " +
                    std::to_string(soil_types[r] ? soil_types[r][c] : nodata) + ") or no elevation",
                33);
        continue;
      }
      const int n = std::min(layers, soil->layers);
      const std::vector<double>& dz = soil->thickness;
      hgeo[0] = elevation[r][c];
      for (int k = 1; k <= layers; ++k) hgeo[k] = hgeo[k - 1] - (k <= n ? dz[k] : 0.0);

      th[0] = soil->theta_sat[1];
      if (fromDistance) {
        TableProfile(*soil, n, hgeo, th, hgeo[0] + groundwater_distance[r][c],
                     soilconstants[static_cast<int>(soil_types[r][c])].thetaDrainable.data());
      } else {
        EquilibriumProfile(*soil, n, hgeo, th, static_cast<int>(std::floor((n - 1) / ini_gw_level)) + 1);
      }
      for (int k = n + 1; k <= layers; ++k) th[k] = soil->theta_sat[n];
      hh[0] = hgeo[0];
      for (int k = 1; k <= layers; ++k)
        hh[k] = (hgeo[k - 1] + hgeo[k]) / 2 - soil->InterpolateTable(std::min(k, n), th[k]);
    }
}

void unsatzonmodellklasse::EquilibriumProfile(const soil_table_entry& soil, int n, const double* hgeo, double* th,
                                              int g) {
  g = std::clamp(g, 0, n);
  const std::vector<double>& dz = soil.thickness;
  // Hydrostatic equilibrium with the middle of the first saturated layer; a
  // water table at or below the last layer takes the profile bottom instead.
  const double reference = g < n ? hgeo[g + 1] + dz[g + 1] / 2 : hgeo[n];
  for (int k = 1; k <= n; ++k)
    th[k] = k <= g ? soil.InterpolateTableInverse(k, hgeo[k] + dz[k] / 2 - reference) : soil.theta_sat[k];
}

void unsatzonmodellklasse::TableProfile(const soil_table_entry& soil, int n, const double* hgeo, double* th, double T,
                                        const double* thetaDrainable) {
  // The table of a read groundwater distance, within the profile.
  T = std::clamp(T, hgeo[n], hgeo[0]);
  // Layer m holds it: z_m <= T < z_(m-1) (the top of the profile in layer 1).
  int m = 1;
  while (m < n && hgeo[m] > T) ++m;
  for (int k = 1; k <= n; ++k) {
    if (k > m) {
      th[k] = soil.theta_sat[k];  // below the table
    } else if (k < m) {
      // Above it: in equilibrium with the table, the suction the height of the layer's middle above it.
      th[k] = soil.InterpolateTableInverse(k, (hgeo[k - 1] + hgeo[k]) / 2 - T);
    }
  }
  // The layer of the table holds the water from which the step finds the
  // table where it was read: between its content at 3.45 m suction (the
  // table at its bottom) and saturation (the table at its top or above,
  // where the wet layers above it carry it), the table rises with it.
  const double ts = soil.theta_sat[m];
  double lo = std::min(thetaDrainable[m], ts), hi = ts;
  for (int k = 0; k < 60 && hi - lo > 1e-12; ++k) {
    th[m] = (lo + hi) / 2;
    (uzk::WaterTableHeight(hgeo, th, soil.theta_sat.data(), thetaDrainable, n) < T ? lo : hi) = th[m];
  }
  th[m] = (lo + hi) / 2;
}

void unsatzonmodellklasse::InitialGroundwaterGrids() {
  const bool fromDistance = storage_read_parameter == 2;
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      soil_table_entry* soil = OwnValidCell(r, c) ? SoilOf(r, c) : nullptr;
      if (!soil) {
        Theta_in_GWLEVEL[r][c] = groundwater_level[r][c] = nodata;
        if (!fromDistance) groundwater_distance[r][c] = nodata;
        continue;
      }
      // The groundwater surface of the initial profile as the step finds it.
      const double* hgeo = geodetic_heads[r][c];
      const double* th = theta[r][c];
      const int n = std::min(layers, soil->layers);
      const int g = uzk::GroundwaterLevelLayer(th, soil->theta_sat.data(), n);
      groundwater_level[r][c] = g;
      Theta_in_GWLEVEL[r][c] = th[g];
      const double T = uzk::WaterTableHeight(
          hgeo, th, soil->theta_sat.data(), soilconstants[static_cast<int>(soil_types[r][c])].thetaDrainable.data(), n);
      if (!fromDistance) groundwater_distance[r][c] = T - hgeo[0];
    }
}

void unsatzonmodellklasse::DrainageLevels() {
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      soil_table_entry* soil = OwnValidCell(r, c) ? SoilOf(r, c) : nullptr;
      if (!soil) {
        drainage_level[r][c] = nodata;
        continue;
      }
      const double depth = drainage_depth[r] ? drainage_depth[r][c] - 0.01 : 0.0;
      const double* hgeo = geodetic_heads[r][c];
      const int n = std::min(layers, soil->layers);
      // A drain below the profile lies in the last layer.
      int level = 0;
      if (depth > 0) {
        level = n;
        for (int k = 1; k <= n; ++k)
          if (hgeo[0] - hgeo[k] >= depth) {
            level = k;
            break;
          }
      }
      drainage_level[r][c] = level;
    }
}

double unsatzonmodellklasse::GroundwaterIrrigation(int r, int c) const {
  if (!irrigation_amounts || !irrigation_codes || !irrigationtable || !irrigation_amounts[r] || !irrigation_codes[r])
    return 0.0;
  // The set-up has replaced the irrigation codes by their records' indices.
  const int i = static_cast<int>(irrigation_codes[r][c]);
  if (i < 1 || i > irrigationtable[0].code || irrigationtable[i].origin != 1) return 0.0;
  return std::max(0.0, irrigation_amounts[r][c]);
}

void unsatzonmodellklasse::IrrigationStartGrids() {
  const int rules = irrigationtable[0].code;
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      SBLOW_grid[r][c] = SBHIGH_grid[r][c] = nodata;
      soil_table_entry* soil = OwnValidCell(r, c) ? SoilOf(r, c) : nullptr;
      if (!soil) continue;
      const double* hgeo = geodetic_heads[r][c];
      const double* th = theta[r][c];
      const int n = std::min(layers, soil->layers);
      // Mean water content of the root zone of vegetation layer 1.
      const double R = root_depth[1][r] ? root_depth[1][r][c] : 0.0;
      double sb = th[1];
      if (R > 0) {
        double water = 0;
        for (int k = 1; k <= n; ++k) {
          const double top = hgeo[0] - hgeo[k - 1];
          const double bottom = std::min(R, hgeo[0] - hgeo[k]);
          if (bottom > top) water += th[k] * (bottom - top);
        }
        sb = water / R;
      }
      SB_1_grid[r][c] = sb;
      MeanThetaInRootZone[r][c] = soil->InterpolateTable(1, sb);
      const double code = irrigation_codes[r] ? irrigation_codes[r][c] : nodata;
      if (!(code > nodata)) continue;
      // The set-up has replaced the codes of the grid by their records' indices.
      const int index = static_cast<int>(code);
      if (index < 1 || index > rules) continue;
      const IrrigationTable* rule = &irrigationtable[index];
      const int L = std::min(2, n);
      // An irrigation starts below the water content of the dry suction and
      // fills the root zone up to that of the wet suction (method 4: the
      // suction where the plants' dry stress begins).
      double wet = rule->psi_wet;
      if (rule->method == 4 && landusetable && landuse[1][r] && landuse[1][r][c] >= 1)
        wet = landusetable[static_cast<int>(landuse[1][r][c])].GetHReduDry();
      SBLOW_grid[r][c] = soil->InterpolateTableInverse(L, rule->psi_dry);
      SBHIGH_grid[r][c] = soil->InterpolateTableInverse(L, wet);
    }
}

void unsatzonmodellklasse::GlacierSetup(StatRecord* registry, int capacity) {
  const int iceFirn = FindGrid("ice_firn", true);
  const int massBalance = FindGrid("GlacierMassBalance", true);
  if (iceFirn <= 0 && massBalance <= 0) return;
  const int cells = FindGrid("GlacierizedCells", true);
  const bool dynamic = cells > 0 && massBalance > 0;
  if (dynamic) {
    glacier_fraction = gridlist[cells].grid;
    GlacierMassBalance = gridlist[massBalance].grid;
    GlacierizedCellsOld = gridlist[GetGrid("GlacierizedCellsOld")].grid;
    const std::string& sb2 = statfiles[kStatSB2].name;
    const size_t dot = sb2.rfind('.');
    // The name of the glacier statistics derives from the SB_2_ name and its extension.
    if (dot == std::string::npos)
      Fatal("FATAL: the name of the SB_2_ statistics file " + sb2 + " of " + modulname +
                " has no extension; the statistics of the glacier resizing are named from it",
            103);
    statfiles[kStatIMMO].name = sb2.substr(0, dot) + "_immo" + sb2.substr(dot);
    statfiles[kStatIMMO].code = statfiles[kStatSB2].code;
    NewStatistic(kStatIMMO, 5, "immobilised or mobilised soil water by glacier resizing 0..profile depth per zone ",
                 registry, capacity, statfiles[kStatIMMO].name);
  } else {
    glacier_fraction = gridlist[GetGrid("ice_firn")].grid;
  }
  glacier_records = static_cast<GlacierRecord*>(Alloc(static_cast<int>(sizeof(GlacierRecord)) * (zonecount + 1), 1));
  // The snow model writes the glacier runoff of the step into Qg when it
  // keeps glaciers (its grid "melt_from_ice" exists); without it nothing is
  // added to the soil runoff.
  glacier_runoff_source = FindGrid("melt_from_ice", true) > 0;
  CountGlacierRecords();
  if (dynamic) KeepGlacierFractions();
  if (dynamic && storage_read_parameter == 1) ReadGlacierShares();
}

void unsatzonmodellklasse::KeepGlacierFractions() {
  const size_t rows = lastrow >= firstrow ? static_cast<size_t>(lastrow - firstrow + 1) : 0;
  glacier_before.assign(rows * (static_cast<size_t>(ncols) + 1), 0.0);
  glacier_immo.assign(glacier_before.size(), 0.0);
  covered_tracer.assign(static_cast<size_t>(layers) + 2, 0.0);
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c)
      if (OwnValidCell(r, c))
        glacier_before[static_cast<size_t>(r - firstrow) * (ncols + 1) + c] = GlacierFraction(r, c);
}

namespace {
constexpr const char* kGlacierSharesSection = "[glacier shares of the soil columns]";
}  // namespace

void unsatzonmodellklasse::WriteGlacierShares() {
  if (glacier_before.empty()) return;
  // The own cells of every instance on instance 0.
  const double none = std::numeric_limits<double>::lowest();
  std::vector<double> all(static_cast<size_t>(nrows) * ncols, none), mine = all;
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c)
      if (r >= 1 && r <= nrows && OwnValidCell(r, c))
        mine[static_cast<size_t>(r - 1) * ncols + (c - 1)] =
            glacier_before[static_cast<size_t>(r - firstrow) * (ncols + 1) + c];
  if (mpisize > 1)
    MPI_Reduce(mine.data(), all.data(), static_cast<int>(all.size()), MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD);
  else
    all = mine;
  if (mpirank != 0) return;
  std::string path = storage_file_name;
  MakePath(DefaultOutputDirectory, path, 64);
  std::FILE* f = std::fopen(path.c_str(), "a");
  if (!f) Fatal("FATAL: error opening storage content file " + path + " for writing", 64);
  bool ok = std::fprintf(f, "%s\n%d %d (rows and columns of the glacierized share of each soil column, -1: none)\n",
                         kGlacierSharesSection, nrows, ncols) >= 0;
  for (size_t k = 0; ok && k < all.size(); ++k)
    ok = std::fprintf(f, (k + 1) % ncols == 0 ? "%.17g\n" : "%.17g ", all[k] > none ? all[k] : -1.0) >= 0;
  ok = std::fputs("\n", f) >= 0 && ok;
  const bool closed = std::fclose(f) == 0;
  if (!ok || !closed) Fatal("FATAL: error writing storage content file " + path, 64);
}

void unsatzonmodellklasse::ReadGlacierShares() {
  if (glacier_before.empty()) return;
  std::string path = storage_file_name;
  MakePath(InitialStateDirectory, path, 64);
  // Instance 0 reads the shares and hands them on (the first value: whether
  // the section is there).
  const size_t cells = static_cast<size_t>(nrows) * ncols;
  std::vector<double> values(cells + 1, 0.0);
  if (mpirank == 0) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rt"), &std::fclose);
    if (!file) Fatal("FATAL: error opening storage content file " + path, 64);
    char line[1202];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, file.get()))
      found = std::strncmp(line, kGlacierSharesSection, std::strlen(kGlacierSharesSection)) == 0;
    auto fail = [&](const std::string& what) {
      Fatal("FATAL: error in storage file content reading the section " + std::string(kGlacierSharesSection) +
                " in " + path + ": " + what,
            71);
    };
    if (found) {
      int rows = 0, cols = 0;
      if (std::fscanf(file.get(), "%d %d", &rows, &cols) != 2 || rows != nrows || cols != ncols)
        fail("expected the " + std::to_string(nrows) + " rows and " + std::to_string(ncols) +
             " columns of the model grid");
      if (!std::fgets(line, sizeof line, file.get())) fail("the file ends early");
      for (size_t k = 0; k < cells; ++k) {
        double& v = values[k + 1];
        if (std::fscanf(file.get(), "%lf", &v) != 1 || !(v == -1 || (v >= 0 && v <= 1)))
          fail(std::string(std::feof(file.get()) ? "the file ends early" : "no share of 0 ... 1") + " at row " +
               std::to_string(1 + static_cast<int>(k) / ncols) + ", column " +
               std::to_string(static_cast<int>(k) % ncols + 1));
      }
      values[0] = 1;
    } else {
      *diag << "WARNING: " << modulname.c_str() << ": the storage content file " << path.c_str()
            << " has no section " << kGlacierSharesSection
            << ": the soil columns take the glacierized shares read (an update at the end of the run before is not "
               "counted as soil water the glaciers covered or left)[end-entry]";
    }
  }
  if (mpisize > 1) MPI_Bcast(values.data(), static_cast<int>(values.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD);
  if (values[0] == 0) return;
  for (int r = std::max(1, firstrow); r <= std::min(nrows, lastrow); ++r)
    for (int c = 1; c <= ncols; ++c) {
      const double v = values[static_cast<size_t>(r - 1) * ncols + c];
      if (OwnValidCell(r, c) && v >= 0) glacier_before[static_cast<size_t>(r - firstrow) * (ncols + 1) + c] = v;
    }
}

void unsatzonmodellklasse::GlacierResizing() {
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnValidCell(r, c)) continue;
      const size_t k = static_cast<size_t>(r - firstrow) * (ncols + 1) + c;
      const double now = GlacierFraction(r, c);
      const double before = glacier_before[k];
      if (before < 1 && now >= 1 && groundwatercoupling && baseflow && baseflow[r] && baseflow[r][c] > nodata &&
          baseflow[r][c] != 0)
        TakeExchangeUnderGlacier(r, c);
      glacier_immo[k] = before != now ? (before - now) * ColumnWater(r, c) : 0.0;
      // The groundwater's exchange of the step before (mm over the open
      // share the cell had then) reaches the column in this step: over the
      // open share the update left, the same water.
      if (before != now && groundwatercoupling && baseflow && baseflow[r] && before < 1 && now < 1 &&
          baseflow[r][c] > nodata)
        baseflow[r][c] *= (1 - before) / (1 - now);
      // (And the tracer the groundwater model's faces moved with it.)
      for (int t = 1; t <= ntracers && groundwatercoupling && before != now && before < 1 && now < 1; ++t) {
        Grid e = soiltracers[t].exchange;
        if (e && e[r] && e[r][c] > nodata) e[r][c] *= (1 - before) / (1 - now);
      }
      glacier_before[k] = now;
    }
}

void unsatzonmodellklasse::TakeExchangeUnderGlacier(int r, int c) {
  // The column's water and the exchange are both mm over the column. The
  // glacier left no open share to spread the exchange over (the soil solves
  // no wholly covered column): water from below fills the layers from the
  // lowest up to saturation; water that the column gives leaves the
  // saturated zone from its top down, then the layers above it, down to
  // the residual content. What no layer can take or give stays in the
  // exchange.
  const soil_table_entry* soil = SoilOf(r, c);
  if (!soil) return;
  const int n = std::min(layers, soil->layers);
  if (n < 1) return;
  double* th = theta[r][c];
  const double* d = soil->thickness.data();
  const int g = std::clamp(static_cast<int>(groundwater_level[r][c]), 1, n);
  // (An evaporating tracer's store holds a concentration of the layer's
  // water as it was.)
  for (int t = 1; t <= ntracers; ++t) {
    Grid e = soiltracers[t].exchange;
    if (!e || !e[r] || !(e[r][c] > nodata) || e[r][c] == 0) continue;
    double* v = soiltracers[t].store[r][c];
    for (int k = 1; k <= n; ++k) {
      const double x = v[k] > nodata ? v[k] : 0.0;
      covered_tracer[k] = tracersettings[t].evaporating == 1 ? x * th[k] * d[k] * 1000.0 : x;
    }
    // (The amounts follow the water below: kept per tracer in the store's
    // own unit once the water has moved.)
    for (int k = 1; k <= n; ++k) v[k] = covered_tracer[k];
  }
  double rest = -baseflow[r][c] / 1000.0;  // m into the column
  auto move = [&](int k, double bound) {
    const double x = rest > 0 ? std::min(rest, std::max(0.0, (bound - th[k]) * d[k]))
                              : std::max(rest, std::min(0.0, (bound - th[k]) * d[k]));
    if (d[k] > 0) th[k] += x / d[k];
    rest -= x;
  };
  if (rest > 0) {
    for (int k = n; k >= 1 && rest > 0; --k) move(k, soil->theta_sat[k]);
  } else {
    for (int k = g; k <= n && rest < 0; ++k) move(k, soil->theta_res[k]);
    for (int k = g - 1; k >= 1 && rest < 0; --k) move(k, soil->theta_res[k]);
  }
  baseflow[r][c] = -rest * 1000.0;
  for (int t = 1; t <= ntracers; ++t) {
    Grid e = soiltracers[t].exchange;
    if (!e || !e[r] || !(e[r][c] > nodata) || e[r][c] == 0) continue;
    double* v = soiltracers[t].store[r][c];
    covered_tracer[0] = covered_tracer[n + 1] = 0;
    for (int k = 1; k <= n; ++k) covered_tracer[k] = v[k];
    TakeGroundwaterTracer(e[r][c], g, n, th, d, covered_tracer.data());
    e[r][c] = 0;
    for (int k = 1; k <= n; ++k) {
      const double water = th[k] * d[k] * 1000.0;
      v[k] = tracersettings[t].evaporating != 1 ? covered_tracer[k] : water > 0 ? covered_tracer[k] / water : 0.0;
    }
  }
}

double unsatzonmodellklasse::ColumnWater(int r, int c) const {
  const soil_table_entry* soil = SoilOf(r, c);
  if (!soil) return 0.0;
  const double* hgeo = geodetic_heads[r][c];
  const double* th = theta[r][c];
  const int n = std::min(layers, soil->layers);
  double water = 0;
  for (int k = 1; k <= n; ++k) water += th[k] * (hgeo[k - 1] - hgeo[k]);
  return water * 1000.0;
}

void unsatzonmodellklasse::CountGlacierRecords() {
  if (!glacier_records) return;
  // Each instance counts its own cells; the sums meet on every instance, so
  // that all hold the same records.
  const size_t n = static_cast<size_t>(zonecount) + 1;
  std::vector<double> sums(3 * n, 0.0);
  for (int r = firstrow; r <= lastrow; ++r) {
    if (!glacier_fraction[r]) continue;
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnValidCell(r, c)) continue;
      const int k = SubbasinOf(r, c);
      if (k < 1) continue;
      // Static glaciers mark ice and firn cells with 1 and 2: whole cells.
      const double f = GlacierFraction(r, c);
      if (f > 0) {
        sums[3 * k] += 1;
        sums[3 * k + 1] += f;
        sums[3 * k + 2] += 1 - f;
      } else {
        sums[3 * k + 2] += 1;
      }
    }
  }
  if (mpisize > 1)
    MPI_Allreduce(MPI_IN_PLACE, sums.data(), static_cast<int>(sums.size()), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
  for (size_t k = 0; k < n; ++k)
    glacier_records[k] = GlacierRecord{k > 0 && sums[3 * k] > 0, sums[3 * k + 1], sums[3 * k + 2]};
}

void unsatzonmodellklasse::OpenPointFiles() {
  // Instance 0 holds the whole zone grid: a control cell outside the basin has
  // no soil column to record.
  if (control_row > 0 && mpirank == 0 && !ValidZone(control_row, control_col))
    *diag << "WARNING: in modul " << modulname.c_str() << ":\nthe control point (row " << control_row << ", column "
          << control_col << ") lies outside the basin: no control point files are written"
          << "[end-entry]";
  control_here =
      control_row > 0 && control_row >= firstrow && control_row <= lastrow &&
      (!MPIRegions || !MPIRegions[control_row] || static_cast<int>(MPIRegions[control_row][control_col]) == mpirank);
  if (!control_here) return;
  point_buffer_lines = 2097152 / (32 + 8 * (static_cast<int64_t>(layers) + 1));
  auto create = [&](const std::string& path, const std::string& head, int from, const char* message) {
    std::FILE* f = std::fopen(path.c_str(), "wt");
    if (!f) Fatal(std::string(message) + " (" + path + ")", 62);
    std::string text = head;
    char cell[64];
    for (int k = from; from >= 0 && k <= layers; ++k) {
      std::snprintf(cell, sizeof cell, "[%d]\t", k);
      text += cell;
    }
    text += "\n";
    const bool written = std::fputs(text.c_str(), f) >= 0;
    if (std::fclose(f) != 0 || !written) Fatal(std::string(message) + " (" + path + ")", 62);
  };
  auto head = [&](const char* what) {
    char text[256];
    std::snprintf(text, sizeof text, "YY\tMM\tDD\tHH\t%s[%d][%d]", what, control_row, control_col);
    return std::string(text);
  };
  const char* const hydraulic =
      "FATAL: error opening file for hydraulic head (single point) \n-> check disk space or user rights";
  create(pointfiles[kPointHHYD], head("hhyd"), 1, hydraulic);
  std::string other =
      head("otherdata") +
      "QD\tQI\tDELTAGW/QB\tQINF\tGWIN\tGWEX\tGWN\tUPRISE\tPERCOL\tMACR\tQDRAIN\tACT_POND\tINFEX\tGWST\tGWLEVEL"
      "\tROOT\tAlbedo\tRSE";
  for (int v = 1; v <= vegetation_layers; ++v) {
    char text[128];
    std::snprintf(text, sizeof text, "\tLAI_%d\tVCF_%d\tRSC_%d\tRSI_%d\tROOT_%d\tZ0_%d", v, v, v, v, v, v);
    other += text;
  }
  create(pointfiles[kPointOTHER], other, -1,
         "FATAL: error opening file for other detail data (single point) \n-> check disk space or user rights");
  create(pointfiles[kPointTHETA], head("theta"), 1,
         "FATAL: error opening file for soil theta (single point) \n-> check disk space or user rights");
  create(pointfiles[kPointQBOTTOM], head("q_bottom"), 1, hydraulic);
  create(pointfiles[kPointETR], head("etr") + "(etr[0] is evaporation from first layer)", 0,
         "FATAL: error opening file for transpiration/evaporation per layer (single point) \n-> check disk space or "
         "user rights");
  create(pointfiles[kPointINTERFLOW], head("interflow_per_layer"), 1,
         "FATAL: error opening file for interflow (single point) \n-> check disk space or user rights");
  if (heat_transfer_flow_control > 0)
    create(pointfiles[kPointTEMPER], head("temper"), 1,
           "FATAL: error opening file for soil temperatures (single point details) \n-> check disk space or user "
           "rights");
}

void unsatzonmodellklasse::WriteStartWaterContent() {
  char name[64];
  std::snprintf(name, sizeof name, "modell_%d.log", mpirank);
  auto append = [&](const std::string& text) {
    std::FILE* log = std::fopen(name, "a+");
    if (!log)
      Fatal(std::string("FATAL: error opening ") + name + " (the log file of instance " + std::to_string(mpirank) +
                ") for " + modulname,
            5);
    const bool written = std::fputs(text.c_str(), log) >= 0;
    if (std::fclose(log) != 0 || !written)
      Fatal(std::string("FATAL: error writing ") + name + " (the log file of instance " + std::to_string(mpirank) +
                ") for " + modulname,
            5);
  };
  char text[512];
  if (control_here) {
    double sum = 0;
    soil_table_entry* soil = SoilOf(control_row, control_col);
    if (soil && theta[control_row][control_col][1] > nodata) {
      const int n = std::min(layers, soil->layers);
      for (int k = 1; k <= n; ++k) sum += theta[control_row][control_col][k] * soil->thickness[k] * 1000.0;
    }
    std::snprintf(text, sizeof text, "soil water content (for control point r=%d c=%d) at model-start: %lf mm\n",
                  control_row, control_col, sum);
    append(text);
  }
  // Water (m) of the glacier-free and the glacierised shares of the cells and
  // their areas; the area-weighted water of the whole cells and their area.
  double sums[6] = {0, 0, 0, 0, 0, 0};
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnValidCell(r, c) || !(zonegrid[r][c] > 0)) continue;
      soil_table_entry* soil = SoilOf(r, c);
      if (!soil) continue;
      double f = glacier_fraction && glacier_fraction[r] ? glacier_fraction[r][c] : 0.0;
      f = std::clamp(f > nodata ? f : 0.0, 0.0, 1.0);
      const int n = std::min(layers, soil->layers);
      double free = 0, glacier = 0;
      for (int k = 1; k <= n; ++k) {
        free += theta[r][c][k] * soil->thickness[k] * (1 - f);
        glacier += soil->theta_sat[k] * soil->thickness[k] * f;
      }
      const double area = RelativeArea(r, c);
      sums[0] += free;
      sums[1] += glacier;
      sums[2] += area * (1 - f) + f;
      sums[3] += area * f + (1 - f);
      sums[4] += area * (free + glacier);
      sums[5] += area;
    }
  AppendMeanWaterContent(sums, "model-start", append);
}

// Reduces the water (m) and areas of the glacier-free and glacierised shares
// and of the whole cells to instance 0 and appends the three mean water
// content lines for `when`. The mean of all cells is the area-weighted mean
// of their whole columns (the glacierised share holds a saturated column).
void unsatzonmodellklasse::AppendMeanWaterContent(const double sums[6], const char* when,
                                                  const std::function<void(const char*)>& append) {
  double local[6], total[6];
  for (int k = 0; k < 6; ++k) local[k] = total[k] = sums[k];
  if (mpisize > 1) MPI_Reduce(local, total, 6, MPI_DOUBLE, MPI_SUM, 0, MPI_COMM_WORLD);
  if (mpirank != 0) return;
  const double unglacierized = total[2] > 0 ? total[0] / total[2] : 0.0;
  const double glacierized = total[3] > 0 ? total[1] / total[3] : 0.0;
  const double all = total[5] > 0 ? total[4] / total[5] : 0.0;
  char text[600];
  std::snprintf(text, sizeof text,
                "mean soil water content for all cells at %s: %lf m^3/m^2\n"
                "mean soil water content for unglacierized or only partly unglacierized cells at %s: %lf "
                "m^3/m^2\n"
                "mean soil water content for partly or completely glacierized cells at %s: %lf m^3/m^2\n",
                when, all, when, unglacierized, when, glacierized);
  append(text);
}
