// Section "[groundwater_flow]" and the grids of the groundwater model.
#include "soil/gwflow.h"

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <vector>

#include "framework/diagstream.h"
#include "parameters/soil_table_entry.h"
#include "soil/cellnote.h"

namespace {
std::string Numbered(const std::string& name, int l) {
  return name + std::to_string(l);
}
}  // namespace

gwflowclass::gwflowclass(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                         const std::string& workFileName, const SubModelArgs& common, int subSteps)
    : teilmodellklasse(diagnostics, "groundwater_flow", workFileName, 0, common, subSteps, false) {
  (void)registry;
  (void)registryCapacity;
  error = 0;
  if (flowcontrol == 0 || !gridlist) {
    flowcontrol = 0;
    return;
  }
  try {
    *diag << "file " << __FILE__ << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
    ReadSection();
    BindModelGrids();
    BindLayerInputs();
    CheckLayerInputs();
    SetLayerOneThickness();
    CreateLayerGrids();
    CreateControlPoint();
    InitLakes("[lake_model]");
    if (controlfile.IsOpen() && !controlfile.Close()) Fatal("FATAL: error closing " + UserControlFile(), 11);
  } catch (int code) {
    error = code;
  } catch (...) {
    error = 103;
  }
}

void gwflowclass::ReadSection() {
  const std::string in = modulname;
  auto value = [&](const char* format, ScanTarget target, const std::string& label) {
    ReadValue(controlfile, format, target, label + in, linebuffer);
  };
  value("\t%d", &method, "method in ");
  // Method 1 sweeps, method 2 solves lines; any other number solves no layer
  // (the heads keep their start levels; the faces still carry water at them).
  if (method != 1 && method != 2)
    *diag << "WARNING: in modul " << modulname.c_str() << ": method " << method
          << " is neither 1 (over-relaxation) nor 2 (line solver): no layer is solved"
          << "[end-entry]";
  // The sweeps stop once their count reaches maxiter: 0 (or less) makes one sweep.
  value("\t%d", &maxiter, "maxiter in ");
  value("\t%lf", &maxerror_allowed, "maxerror_allowed in ");
  value("\t%lf", &alpha, "alpha in ");
  // alpha weighs the new heads against the old ones (1 - alpha): a share.
  if (!(alpha >= 0 && alpha <= 1)) {
    char number[32];
    std::snprintf(number, sizeof number, "%g", alpha);
    Fatal("FATAL: in modul " + modulname + ":\nalpha " + number + " (" + controlfile.Where() +
              "): the weight of the new heads against the old ones has to lie within 0 ... 1",
          17);
  }
  value("\t%lf", &sor, "sor-parameter in ");
  // 0 or less asks for the adaptive factor; a fixed factor of 2 or more
  // makes the sweeps diverge.
  if (!(sor < 2)) {
    char number[32];
    std::snprintf(number, sizeof number, "%g", sor);
    Fatal("FATAL: in modul " + modulname + ":\nsor-parameter " + number + " (" + controlfile.Where() +
              "): a fixed over-relaxation factor has to lie between 0 and 2 (0 or less: adaptive)",
          17);
  }
  adaptive = sor <= 0 ? 1 : 0;
  value("\t%d", &gridread, "grid read parameter in ");
  value("\t%d", &L, "number of layers in ");
  const std::string layersWhere = controlfile.Where();
  if (L < 1)
    Fatal("FATAL: in modul " + modulname + ":\nnumber of layers (" + std::to_string(L) + ") must be at least 1 (" +
              controlfile.Where() + ")",
          17);
  ReadValues2(controlfile, "\t%d%d", &control_row, &control_col, "control_row/column for control point fluxes in " + in,
              linebuffer);
  if (control_row < 0 || control_row > nrows)
    Fatal("FATAL: in modul " + modulname + ":\n" + "row index (" + std::to_string(control_row) +
              ") for output-cell must be between " + std::to_string(1) + " and " + std::to_string(nrows) +
              " (Input as row col) or 0 0 ",
          8);
  if (control_col < 0 || control_col > ncols)
    Fatal("FATAL: in modul " + modulname + ":\n" + "column index (" + std::to_string(control_col) +
              ") for output-cell must be between " + std::to_string(1) + " and " + std::to_string(ncols) +
              " (Input as row col) ",
          9);
  // A row without column (or the reverse) names no cell.
  if (control_row == 0 || control_col == 0) control_row = control_col = 0;
  value("%s", &controlfile_name, "name of the control point file  ");
  MakePath(DefaultOutputDirectory, controlfile_name);

  layers.assign(static_cast<size_t>(L) + 1, Layer{});
  const std::string firstHeads = ReadPondFlag();
  // Each layer has its four grid lines (a name and a write code each): a
  // name that opens a section means the section ends before the layers do.
  auto name = [&](int l, std::string* target, const std::string& label) {
    value("%s", target, label);
    if (target->empty() || (*target)[0] != '[') return;
    Fatal("FATAL: in modul " + modulname + ":\nthe number of layers is " + std::to_string(L) + " (" + layersWhere +
              "), but the section ends before the grids of layer " + std::to_string(l) + " (" + controlfile.Where() +
              ": " + *target + " where the " + label + "layer " + std::to_string(l) +
              " belongs); each layer needs its lines of heads, x- and y-transmissivities and balances (a grid name "
              "and a write code each)",
          17);
  };
  for (int l = 1; l <= L; ++l) {
    Layer& y = layers[l];
    if (l == 1 && !firstHeads.empty()) {
      // The line that would have held the pond flag names the first heads file.
      y.headname = firstHeads;
    } else {
      name(l, &y.headname, "name of grid with hydraulic heads in ");
    }
    value("\t%d", &y.headcode, "Writegrid (hydraulic heads) in ");
    name(l, &y.txname, "name of grid with x-transmissivities in ");
    value("\t%d", &y.txcode, "Writegrid x-transmissivities in ");
    name(l, &y.tyname, "name of grid with y-transmissivities in ");
    value("\t%d", &y.tycode, "Writegrid y-transmissivities in ");
    name(l, &y.balname, "name of grid with balances in ");
    value("\t%d", &y.balcode, "Writegrid balances in ");
  }
}

std::string gwflowclass::ReadPondFlag() {
  // The flag line is optional: its first character decides.
  std::string line;
  if (!controlfile.GetLine(line)) {
    pondflag_read = ponduse = 0;
    return "";
  }
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  const char first = line.empty() ? '\0' : line[0];
  if (first == '1') {
    pondflag_read = 1;
    ponduse = FindGrid("ponding_storage", false) > 0 ? 1 : 0;
    *diag << "INFO: in modul " << modulname.c_str() << ": Use-Pond-Flag is " << 1
          << (ponduse ? "\n POND-Grid was found --> PONDs will be used in GW-Model"
                      : "\n POND-Grid was not found --> no PONDs will be used in GW-Model")
          << "[end-entry]";
  } else if (first == '0') {
    pondflag_read = ponduse = 0;
    *diag << "INFO: in modul " << modulname.c_str() << ": Use-Pond-Flag is " << 0
          << "; --> no PONDs will be used in GW-Model"
          << "[end-entry]";
  } else {
    pondflag_read = ponduse = 0;
    *diag << "INFO: in modul " << modulname.c_str()
          << ": no POND-Grid will be used because Use-Pond-Flag is not present"
          << "[end-entry]";
    // The line belongs to the first layer: its first word is the heads file name.
    const size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos) ControlFileError("name of grid with hydraulic heads in " + modulname, modulname);
    const size_t e = line.find_first_of(" \t", b);
    return line.substr(b, e == std::string::npos ? std::string::npos : e - b);
  }
  return "";
}

std::string gwflowclass::Derived(const std::string& name, const std::string& suffix) {
  const size_t dot = name.find_last_of('.');
  const size_t slash = name.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + suffix;
  return name.substr(0, dot) + suffix + name.substr(dot);
}

void gwflowclass::BindModelGrids() {
  auto required = [&](const std::string& name) { return gridlist[GetGrid(name)].grid; };
  auto optional = [&](const std::string& name) -> Grid {
    const int p = FindGrid(name, false);
    return p > 0 ? gridlist[p].grid : nullptr;
  };
  // The soil model makes the water table and takes the baseflow: without it
  // the first grid missing would name none of the two sections.
  if (FindGrid("groundwater_distance", false) <= 0)
    Fatal("FATAL: in modul " + modulname +
              ":\nthe groundwater model is coupled to the soil model, which is off: the section [unsatzon_model] "
              "is missing in the control file " +
              UserControlFile() + " or its flow control is 0 (the grid groundwater_distance is not in memory)",
          33);
  elevation = required("[elevation_model]");
  recharge = required("groundwater_recharge");
  pdistance = GetGrid("groundwater_distance");
  distance = gridlist[pdistance].grid;
  soil_types = required("soil_types");
  pbaseflow = GetGrid("baseflow");
  baseflow = gridlist[pbaseflow].grid;
  pgivable = FindGrid("groundwater_givable", false);
  if (pgivable > 0) givable = gridlist[pgivable].grid;
  const int pnotgiven = FindGrid("groundwater_not_given", false);
  if (pnotgiven > 0) notgiven = gridlist[pnotgiven].grid;
  // The zone grid of the soil model, else the zone grid of the run.
  pzone = FindGrid("zonegrid_soilmodel", false);
  if (pzone <= 0 && gridlist[1].grid) pzone = 1;
  if (pzone <= 0) pzone = GetGrid("zonegrid_soilmodel");
  zone = gridlist[pzone].grid;
  BindMPIRegionGrids();
  cellsizex = optional("CellSizeX");
  cellsizey = optional("CellSizeY");
  if (!cellsizex || !cellsizey) cellsizex = cellsizey = nullptr;
  glacier = optional("GlacierizedCells");
  if (!glacier) glacier = optional("ice_firn");
  if (optional("PermafrostThawDepth") && optional("SnowFreeDaysGrid") && optional("ThawCoeffPermaFrost")) {
    pthaw = FindGrid("PermafrostThawDepth", false);
  } else if (optional("ThawDepthTMod")) {
    pthaw = FindGrid("ThawDepthTMod", false);
    pfrozen = FindGrid("frozenSoilInGroundwater", false);
    if (pfrozen > 0) frozen = gridlist[pfrozen].grid;
  }
  if (pthaw > 0) thawdepth = gridlist[pthaw].grid;
  if (optional("SurfStorSiltingUp") && optional("DirectRunoffSiltingUp")) siltstorage = optional("SurfStorSiltingUp");
  if (ponduse == 1) {
    pponding = FindGrid("ponding_storage", false);
    ponding = pponding > 0 ? gridlist[pponding].grid : nullptr;
    if (!ponding) ponduse = 0;
  }
  // Own grids cover the instance's rows with one halo row on each side; instance 0
  // holds whole grids, into which the gathers for output write.
  if (mpirank == 0) {
    lowrow = 1;
    highrow = nrows;
  } else {
    InstanceRows(true, lowrow, highrow);
  }
}

void gwflowclass::BindLayerInputs() {
  for (int l = 1; l <= L; ++l) {
    Layer& y = layers[l];
    auto in = [&](const char* name) { return gridlist[GetGrid(Numbered(name, l))].grid; };
    y.fixh = in("gw_boundary_fix_h_");
    y.fixq = in("gw_boundary_fix_q_");
    y.thick = in("aquifer_thickness_");
    y.kx = in("gw_k_x_");
    y.ky = in("gw_k_y_");
    y.storage = in("gw_storage_coeff_");
    // The drainable porosity of a deeper layer (below its top): its storage
    // coefficient where none is given.
    const int p = l > 1 ? FindGrid(Numbered("gw_drainable_porosity_", l), false) : 0;
    y.drainable = p > 0 ? gridlist[p].grid : y.storage;
    if (l > 1 && p <= 0 && mpirank == 0)
      *diag << "INFO: in modul " << modulname.c_str() << ": no grid " << Numbered("gw_drainable_porosity_", l).c_str()
            << ": layer " << l << " holds water by its storage coefficient also below its top[end-entry]";
  }
  for (int l = 1; l < L; ++l) layers[l].kolmation = gridlist[GetGrid(Numbered("gw_kolmation_", l))].grid;
}

void gwflowclass::CheckLayerInputs() {
  // A value out of range in a cell of the basin (a negative conductivity
  // would drive the water uphill, a storage of 0 or less divides by 0) ends
  // the run with the grid, its file and the cell (row 1 at the top), as the
  // missing grid does (33). A conductivity of 0 closes the cell's faces; a
  // missing one leaves them closed too, and is named once. Layer 1's storage
  // coefficient is set by the soil model in every step and its thickness is
  // the depth of the soil column: only a missing thickness there means
  // something (the cell holds no aquifer).
  struct Check {
    std::string name;
    Grid grid;
    double low;  // valid: low < value (lowOpen) or low <= value, and value <= high
    bool lowOpen;
    double high;
    bool missingAllowed;  // a missing value closes the cell (named in a warning)
    const char* expected;
  };
  std::vector<Check> checks;
  constexpr double kAny = std::numeric_limits<double>::max();
  for (int l = 1; l <= L; ++l) {
    const Layer& y = layers[l];
    const char* conductivity = "a hydraulic conductivity has to be 0 or more (m/s)";
    checks.push_back({Numbered("gw_k_x_", l), y.kx, 0, false, kAny, true, conductivity});
    checks.push_back({Numbered("gw_k_y_", l), y.ky, 0, false, kAny, true, conductivity});
    if (l > 1) {
      checks.push_back({Numbered("gw_storage_coeff_", l), y.storage, 0, true, 1, false,
                        "a storage coefficient has to lie within (0 ... 1]"});
      if (y.drainable != y.storage)
        checks.push_back({Numbered("gw_drainable_porosity_", l), y.drainable, 0, true, 1, false,
                          "a drainable porosity has to lie within (0 ... 1]"});
      checks.push_back({Numbered("aquifer_thickness_", l), y.thick, 0, false, kAny, false,
                        "an aquifer thickness has to be 0 or more (m)"});
    } else {
      checks.push_back({Numbered("aquifer_thickness_", l), y.thick, -kAny, false, kAny, true,
                        "an aquifer thickness has to be a number (m)"});
    }
    if (l < L)
      checks.push_back({Numbered("gw_kolmation_", l), y.kolmation, 0, false, kAny, false,
                        "a leakage factor has to be 0 or more (1/s)"});
  }
  for (const Check& k : checks) {
    const int p = FindGrid(k.name, false);
    const std::string file = p > 0 ? gridlist[p].filename : std::string();
    const std::string grid = "the grid " + k.name + (file.empty() ? std::string() : " (" + file + ")");
    uzk::CellNote missing;
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!InModel(r, c) || !Own(r, c)) continue;
        const double v = k.grid[r][c];
        if (!Given(v) && k.missingAllowed) {
          missing.Add(r, c, v);
          continue;
        }
        const bool valid = Given(v) && (k.lowOpen ? v > k.low : v >= k.low) && v <= k.high;
        if (valid) continue;
        uzk::CellNote cell;
        cell.Add(r, c, v);
        Fatal("FATAL: in modul " + modulname + ":\n" + grid + " " + cell.Where(nodata) + ", a cell of the basin; " +
                  k.expected,
              33);
      }
    missing.Reduce(ncols, mpisize);
    if (missing.count == 0 || mpirank != 0) continue;
    const bool thickness = k.name.rfind("aquifer_thickness_", 0) == 0;
    *diag << "WARNING: in modul " << modulname.c_str() << ":\n"
          << (grid + " " + missing.Where(nodata) +
              (thickness ? ", a cell of the basin: a cell without aquifer carries no groundwater flow"
                         : ", a cell of the basin: its faces in this direction carry no groundwater flow"))
                 .c_str()
          << "[end-entry]";
  }
}

void gwflowclass::SetLayerOneThickness() {
  const int position = GetGrid("aquifer_thickness_1");
  Grid thick = layers[1].thick;
  const int count = soiltable ? soiltable[0].code : 0;
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!InModel(r, c) || !Own(r, c)) continue;
      const double code = soil_types[r][c];
      if (!(thick[r][c] > nodata) || !(code > nodata)) {
        thick[r][c] = nodata;
        continue;
      }
      // Cell values of the soil grid are soil table indexes after the set-up's code check.
      const int k = static_cast<int>(code);
      if (k < 1 || k > count) {
        thick[r][c] = nodata;
        continue;
      }
      const soil_table_entry& s = soiltable[k];
      double depth = 0;
      for (int i = 1; i <= s.layers && i < static_cast<int>(s.thickness.size()); ++i) depth += s.thickness[i];
      thick[r][c] = depth;
    }
  Exchange(thick, position);
}

Grid gwflowclass::NewGrid(double ownValue) {
  Grid g = matrix(lowrow, highrow, 1, ncols, nrows);
  owned.push_back(g);
  for (int r = lowrow; r <= highrow; ++r)
    for (int c = 0; c <= ncols; ++c) g[r][c] = (c >= 1 && InModel(r, c) && Own(r, c)) ? ownValue : nodata;
  return g;
}

int gwflowclass::Register(Grid grid, const std::string& fileName, const std::string& shortName, int writeCode) {
  const int p = FreeGridPosition();
  RegisterGrid(p, fileName, grid, nullptr, 0, shortName, writeCode, lowrow, highrow);
  return p;
}

void gwflowclass::Exchange(Grid g, int position) {
  if (mpisize > 1 && g) MPIExchangeBorders(position, g);
}

double gwflowclass::SurfaceHead(int r, int c) const {
  const double d = distance[r][c];
  double v = elevation[r][c] + d;
  if (std::fabs(d) < 0.001) {
    if (ponduse == 1 && ponding) {
      v += ponding[r][c] / 1000.0;
    } else if (siltstorage && siltstorage[r][c] > 0) {
      v += siltstorage[r][c] / 1000.0;
    }
  }
  return v;
}

void gwflowclass::CreateLayerGrids() {
  // The first free position must exist before any grid is made.
  bool free = false;
  for (int k = 1; k < kGridListMax && !free; ++k) free = gridlist[k].shortname.empty() && !gridlist[k].registered;
  if (!free) {
    *diag << "FATAL: no free grid (gridmaxanzahl must be larger than " << kGridListMax << ")!\n"
          << "[end-entry]";
    throw 12;
  }
  for (int l = 1; l <= L; ++l) {
    Layer& y = layers[l];
    const std::string oldname = Derived(y.headname, "_old");
    if (gridread == 1) {
      Grid h = nullptr;
      ReadGrid(y.headname, &h, 0, true, false, false, true, false, true, 0.0);
      owned.push_back(h);
      y.h = h;
      y.ph = Register(h, y.headname, Numbered("gw_head_", l), y.headcode);
      Grid o = nullptr;
      ReadGrid(oldname, &o, 0, true, false, false, true, false, true, 0.0);
      owned.push_back(o);
      y.hold = o;
      y.phold = Register(o, oldname, Numbered("gw_head_old_", l), y.headcode);
      // Heads read for a warm start are state: a cell of the basin without one
      // would be taken as a head of -9999 m.
      for (const auto& [grid, file] : {std::pair{h, y.headname}, std::pair{o, oldname}}) {
        uzk::CellNote missing;
        for (int r = firstrow; r <= lastrow; ++r)
          for (int c = 1; c <= ncols; ++c)
            if (InModel(r, c) && Own(r, c) && !(grid[r][c] > nodata)) missing.Add(r, c, grid[r][c]);
        missing.Reduce(ncols, mpisize);
        if (missing.count > 0)
          Fatal("FATAL: in modul " + modulname + ":\nthe state grid " + file + " (heads of layer " + std::to_string(l) +
                    ") of the warm start " + missing.Where(nodata) +
                    ", a cell of the basin; a warm start reads the state of every cell of the basin (written at the "
                    "end of the run it continues)",
                33);
      }
    } else {
      y.h = NewGrid(nodata);
      y.ph = Register(y.h, y.headname, Numbered("gw_head_", l), y.headcode);
      for (int r = firstrow; r <= lastrow; ++r)
        for (int c = 1; c <= ncols; ++c)
          if (InModel(r, c) && Own(r, c)) y.h[r][c] = SurfaceHead(r, c);
      Exchange(y.h, y.ph);
      y.hold = NewGrid(nodata);
      for (int r = lowrow; r <= highrow; ++r)
        for (int c = 1; c <= ncols; ++c) y.hold[r][c] = y.h[r][c];
      y.phold = Register(y.hold, oldname, Numbered("gw_head_old_", l), y.headcode);
    }
    Exchange(y.hold, y.phold);
  }
  for (int l = 1; l <= L; ++l) {
    Layer& y = layers[l];
    y.hoo = NewGrid(nodata);
    y.hprev = NewGrid(nodata);
    for (int r = lowrow; r <= highrow; ++r)
      for (int c = 1; c <= ncols; ++c) y.hoo[r][c] = y.hprev[r][c] = y.h[r][c];
    y.phoo = Register(y.hoo, Derived(y.headname, "_oldold"), Numbered("gw_head_old_old_", l), 0);
    y.phprev = Register(y.hprev, Derived(y.headname, "_olditer"), Numbered("gw_head_olditer_", l), 0);
    y.tx = NewGrid(0.0);
    y.ty = NewGrid(0.0);
    // A cell outside the model closes its faces on every instance (the solvers read them as coefficients).
    for (int r = lowrow; r <= highrow; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (!InModel(r, c)) y.tx[r][c] = y.ty[r][c] = 0;
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!InModel(r, c) || !Own(r, c)) continue;
        // A cell without aquifer or conductivity has none.
        const double b = Given(y.thick[r][c]) ? std::max(0.0, y.thick[r][c] + distance[r][c]) : 0.0;
        y.tx[r][c] = b * std::max(0.0, y.kx[r][c]);
        y.ty[r][c] = b * std::max(0.0, y.ky[r][c]);
      }
    y.ptx = Register(y.tx, Numbered("gw_transmissivity_x_", l), Numbered("gw_transmissivity_x_", l), 0);
    y.pty = Register(y.ty, Numbered("gw_transmissivity_y_", l), Numbered("gw_transmissivity_y_", l), 0);
    y.fx = NewGrid(0.0);
    y.pfx = Register(y.fx, y.txname, Numbered("gw_flow_x_", l), y.txcode);
    y.fy = NewGrid(0.0);
    y.pfy = Register(y.fy, y.tyname, Numbered("gw_flow_y_", l), y.tycode);
    y.balance = NewGrid(0.0);
    y.pbal = Register(y.balance, y.balname, Numbered("gw_balance", l), y.balcode);
    y.leak = NewGrid(0.0);
    y.pleak = Register(y.leak, Numbered("gw_leakage_", l), Numbered("gw_leakage_", l), 0);
    y.top = NewGrid(nodata);
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!InModel(r, c) || !Own(r, c)) continue;
        if (l == 1) {
          y.top[r][c] = elevation[r][c];
        } else {
          // A cell without aquifer in the layer above: this layer starts at its top.
          const double above = layers[l - 1].thick[r][c];
          y.top[r][c] = layers[l - 1].top[r][c] - (Given(above) ? above : 0.0);
        }
      }
    y.ptop = Register(y.top, Numbered("aquifer_upper_limit", l), Numbered("aquifer_upper_limit", l), 0);
    for (int p : {y.phoo, y.phprev, y.ptx, y.pty, y.pfx, y.pfy, y.pbal, y.pleak, y.ptop}) Exchange(gridlist[p].grid, p);
    if (l > 1) {
      y.share = NewGrid(1.0);
      y.pshare = Register(y.share, Numbered("gw_outflow_share_", l), Numbered("gw_outflow_share_", l), 0);
      Exchange(y.share, y.pshare);
    }
  }
}

void gwflowclass::SetSoilStateRead(int soilReadParameter) {
  soilstateread = soilReadParameter == 1 || soilReadParameter == 3;
  // Layer 1 follows the soil's table; the heads below it are state.
  if (soilstateread && L > 1)
    RequireStateRead(soilReadParameter, gridread, "the grid read parameter in [" + modulname + "]",
                     "the heads of the layers below the first (written with write code 3 at the end of the run it "
                     "continues)");
}

void gwflowclass::SetRiverflowTable(RiverflowTable* table) {
  if (flowcontrol != 0) riverflow = table;
}

void gwflowclass::SetQg(double* runoff) {
  if (flowcontrol != 0) qg = runoff;
}
