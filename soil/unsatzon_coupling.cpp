// Lake cells of the unsaturated zone and the groundwater table imposed by an
// external program.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "framework/diagstream.h"
#include "parameters/soil_table_entry.h"
#include "soil/cellnote.h"
#include "soil/unsatzon.h"
#include "soil/uzkernels.h"

void unsatzonmodellklasse::InitLakes(const std::string& section) {
  if (FindGrid("lake_codes", false) <= 0) {
    *diag << "INFO: no LAKE-grid was found in " << modulname.c_str() << "\n"
          << "Lake modelling is switched off for " << modulname.c_str() << "."
          << "[end-entry]";
    return;
  }
  if (!controlfile.Open(controlfilename, diag)) Fatal("FATAL: error opening " + UserControlFile(), 28);
  FindSection(section, true);
  ReadValue(controlfile, "%d", &lake_flow_control, "flow control parameter for ", linebuffer);
  if (flowcontrol == 0) lake_flow_control = 0;
  if (lake_flow_control == 0) {
    controlfile.Close();
    return;
  }
  if (pond == 0) {
    controlfile.Close();
    *diag << "ERROR:\n\n=======================================\n"
          << "!!!! ERROR !!!! \n\n"
          << "Error in initialization method for " << section << ".\n"
          << "pond_use must be set in " << modulname << "\n"
          << "for using the " << section << "\n\n=======================================\n"
          << "[end-entry]";
    throw 215;
  }
  ReadValue(controlfile, "%d", &lake_method, "initialization method for ", linebuffer);
  const int methodLine = controlfile.LineNumber();
  const std::string methodWhere = controlfile.WhereBetween(methodLine, methodLine);
  if (!controlfile.Close()) {
    *diag << "FATAL: error closing " << UserControlFile() << " after reading initialization method for " << section
          << "[end-entry]";
    throw 11;
  }
  Grid lakes = gridlist[GetGrid("lake_codes")].grid;
  lake_codes = lakes;
  if (lake_method != 1 && lake_method != 2) {
    *diag << "FATAL: \n\n=======================================\n"
          << "!!!! ERROR !!!! \n\n "
          << "Error in initialization method for " << section << ".\n"
          << "Allowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN).\n"
          << "In either case, theta_soil will be set to saturation,\n"
          << "if the cell is marked as lake and POND is > 0. Also, the groudwater level\n"
          << "will be set to 0."
          << "\n\n=======================================\n"
          << " (read: " << lake_method << ", " << methodWhere << ")"
          << "[end-entry]";
    throw 215;
  }
  const int R = storage_read_parameter;
  const double threshold = lake_method == 1 ? 1.0 : 0.3;
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnValidCell(r, c) || !lakes[r] || !(lakes[r][c] >= 0)) continue;
      // A warm start that reads the soil column (1, 3) keeps it as read: a
      // column the run before left unsaturated under the lake (frozen soil
      // that took no water) would otherwise gain water from nowhere. One that
      // starts the column from the groundwater table (2) saturates it where
      // the cell holds open water.
      bool saturate = R == 0;
      if (R == 2) saturate = ponding_storage && ponding_storage[r][c] > threshold;
      if (saturate) {
        groundwater_distance[r][c] = 0;
        groundwater_level[r][c] = 1;
        soil_table_entry* soil = SoilOf(r, c);
        const int n = soil ? std::min(layers, soil->layers) : 0;
        for (int i = 1; i <= n - 1; ++i) theta[r][c][i] = soil->theta_sat[i];
        if (lake_method == 2) {
          if (drainage_level) drainage_level[r][c] = -1;
          if (irrigation_amounts) irrigation_amounts[r][c] = 0;
        }
      }
      // The lake surface forms in the terrain.
      if (lake_method == 2 && max_ponding_storage && max_ponding_storage[r] &&
          max_ponding_storage[r][c] > std::max(nodata, -9999.0))
        elevation[r][c] -= max_ponding_storage[r][c] / 1000.0;
    }
  if (lake_method == 2 && mpisize > 1) MPIGatherGrid(2);
}

void unsatzonmodellklasse::CheckRiverBeds() {
  // A river cell whose bed has no leakage coefficient, depth or width above 0
  // (or none at all) exchanges no water with its river; a value that is no
  // number has no meaning and ends the run as a missing grid does (33).
  struct Bed {
    const char* name;
    Grid grid;
    const char* what;  // what the value is, and its unit, for the messages
    const char* unit;
  };
  const Bed beds[] = {{"kolmation", kolmation, "leakage coefficient", "1/s"},
                      {"river_depth", river_depth, "depth below the surface", "m"},
                      {"river_width", river_width, "width", "m"}};
  for (const Bed& bed : beds) {
    const int p = FindGrid(bed.name, false);
    const std::string grid =
        std::string("the grid ") + bed.name + (p > 0 ? " (" + gridlist[p].filename + ")" : std::string());
    uzk::CellNote closed;
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!OwnValidCell(r, c) || !river_links[r] || !(river_links[r][c] > 0)) continue;
        const double v = bed.grid[r][c];
        if (v > 0 && v <= std::numeric_limits<double>::max()) continue;
        if (v <= 0) {
          closed.Add(r, c, v);
          continue;
        }
        char value[32];
        std::snprintf(value, sizeof value, "%g", v);
        ModuleFatal(grid + " holds " + value + " in row " + std::to_string(r) + ", column " + std::to_string(c) +
                        ", a river cell of the basin; the " + bed.what + " of a river bed has to be a number (" +
                        bed.unit + ")",
                    33);
      }
    closed.Reduce(ncols, mpisize);
    if (closed.count > 0 && mpirank == 0)
      *diag << "WARNING: in modul " << modulname.c_str() << ":\n"
            << (grid + " " + closed.Where(nodata) + ": a river cell of the basin without a " + bed.what +
                " above 0 exchanges no water with its river")
                   .c_str()
            << "[end-entry]";
  }
}

void unsatzonmodellklasse::ApplyExternalGWTable(int externalStepMinutes) {
  (void)externalStepMinutes;
  if (flowcontrol == 0) return;
  if (!external_table_applied) {
    const int p = FindGrid("gw_storage_coeff_1", true);
    if (p > 0) gw_storage_coeff = gridlist[p].grid;
    external_table_applied = 1;
  }
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!ValidZone(r, c)) {
        Balance[r][c] = baseflow[r][c] = groundwater_distance[r][c] = nodata;
        continue;
      }
      double G = GWTableExtern[r][c];
      if (!(G > nodata)) {
        Balance[r][c] = 0;
        continue;
      }
      soil_table_entry* soil = SoilOf(r, c);
      if (!soil) {
        Balance[r][c] = 0;
        continue;
      }
      const int n = std::min(layers, soil->layers);
      double* th = theta[r][c];
      const double* z = geodetic_heads[r][c];
      const double* d = soil->thickness.data();
      const double* ts = soil->theta_sat.data();
      const double S = z[0];
      const int L = std::clamp(static_cast<int>(groundwater_level[r][c]), 1, n);
      const double P = groundwater_distance[r][c] + S;
      double W = 0;
      int k = L;
      if (P <= G) {
        // Rising: the layers up to the one holding G fill; G cannot rise above the surface.
        G = std::min(G, S);
        while (k > 1 && G > z[k - 1]) --k;
        // The booked water is what the layers gained.
        if (k == L) {
          const double before = th[L];
          th[L] = std::min(ts[L], th[L] + (G - P) * (ts[L] - th[L]) / d[L]);
          W = (th[L] - before) * d[L];
        } else {
          W = (ts[L] - th[L]) * d[L];
          th[L] = ts[L];
          for (int i = k + 1; i < L; ++i) {
            W += (ts[i] - th[i]) * d[i];
            th[i] = ts[i];
          }
          const double gain = (G - z[k]) * (ts[k] - th[k]) / d[k];
          if (th[k] + gain >= ts[k]) {
            W += (ts[k] - th[k]) * d[k];
            th[k] = ts[k];
          } else {
            W += gain * d[k];
            th[k] += gain;
          }
        }
        Balance[r][c] = 1000.0 * W;
      } else {
        // Falling: the layers down to the one holding G drain to field capacity.
        while (k <= n && z[k] > G) ++k;
        if (k > n) {
          k = n;
          G = z[n];
          GWTableExtern[r][c] = G;
        }
        auto drainable = [&](int i) { return ts[i] - soil->InterpolateTableInverse(i, uzk::kDrainableSuction); };
        if (k == L) {
          W = drainable(L) * (P - G);
          th[L] -= W / d[L];
        } else {
          double loss = drainable(L) * (P - z[L]);
          th[L] -= loss / d[L];
          W = loss;
          for (int i = L + 1; i < k; ++i) {
            loss = drainable(i) * d[i];
            th[i] -= drainable(i);
            W += loss;
          }
          loss = drainable(k) * (z[k - 1] - G);
          th[k] -= loss / d[k];
          W += loss;
        }
        Balance[r][c] = -1000.0 * W;
      }
      groundwater_level[r][c] = k;
      baseflow[r][c] = 0;
      groundwater_distance[r][c] = G - S;
    }
}
