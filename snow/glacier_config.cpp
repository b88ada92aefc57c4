// Configuration of glaciers ("[ice_firn]") and permafrost ("[permafrost]"):
// parameters, statistics, the per-subbasin glacier table and the glacier and
// permafrost grids of the snow model.
#include <mpi.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <utility>

#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "framework/zonalstatistic.h"
#include "snow/snowmod.h"

namespace {
const char* const kGlacierShortNames[schneemodellklasse::kGlacierGridCount] = {"melt_from_firn",
                                                                               "melt_from_ice",
                                                                               "firn_WE_stack",
                                                                               "GlacierMassBalance",
                                                                               "OldGlacierMassBalance",
                                                                               "SolidSnowStorage_onGlacier",
                                                                               "LiquidSnowStorage_onGlacier",
                                                                               "TotalSnowStorage_onGlacier",
                                                                               "surftemp_onGlacier",
                                                                               "snowtemp_onGlacier",
                                                                               "GlacierizedCellsOld",
                                                                               "GlacierCodesOld",
                                                                               "SnowMelt_onGlacier",
                                                                               "SnowEvaporation_onGlacier",
                                                                               "firn_turned_to_ice",
                                                                               "snow_age_onGlacier"};
const char* const kGlacierHeaders[schneemodellklasse::kGlacierStatCount] = {
    "glacier_melt_from_firn_areas__",
    "glacier_melt_from_ice_areas__",
    "snow_melt_from_ice_areas__",
    "glacier_melt_total(firn+ice)__",
    "snow_storage_in_mm_WITHOUT_GLACIERS_",
    "WE_in_firn_[mm_per_subbasin]",
    "glacier_mass_balance_[mm_per_subbasin]",
    "glacier_mass_balance_[mm_GlacierPartOfSubbasin]",
    "thaw_depth_in_m_"};
}  // namespace

void schneemodellklasse::ReadGlacierSection(StatRecord* registry, int registryCapacity) {
  for (int g = 0; g < kGlacierGridCount; ++g) glac[g].shortname = kGlacierShortNames[g];
  for (int s = 0; s < kGlacierStatCount; ++s) gstats[s].header = kGlacierHeaders[s];
  if (!controlfile.Open(controlfilename, diag)) {
    *diag << "FATAL: error opening " << UserControlFile().c_str() << "[end-entry]";
    throw 28;
  }
  FindSection("[ice_firn]", true);
  controlfile.SetContext("[ice_firn]");
  ReadValue(controlfile, "%d", &glaciermethod, "Glacier-Method for ", linebuffer);
  const int m = glaciermethod;
  if (m != 1 && m != 2 && m != 11 && m != 12 && m != 13) {
    *diag << "FATAL: \n-----------Fatal Error:----------\nMethod for glacier melt must be 1(resp 11 for dynamic "
             "model; t-index)\n or 2 (resp. 12 for dynamic model; t-index with correction by radiation) or 13 "
             "(dynamic glaciers with T-Index for ice and firn and the melt method used for snow as in the snow "
             "model)"
          << " (here " << m << " in [ice_firn] of " << UserControlFile().c_str() << ")"
          << "[end-entry]";
    glaciermethod = 0;
    throw 80;
  }
  debris = BindOptional("debris_on_glaciers");
  const bool dynamic = m > 10;
  if (dynamic) {
    glacierposition = GetGrid("GlacierizedCells");
    codesposition = GetGrid("GlacierCodes");
    glaciercodes = gridlist[codesposition].grid;
  } else {
    glacierposition = GetGrid("ice_firn");
  }
  glaciergrid = gridlist[glacierposition].grid;
  if (m != 1 && m != 11) glacierradiation = gridlist[GetGridOf3("global_radiation", "Ieff_max", "Ieff_max")].grid;
  if (dynamic) CheckGlacierGrids();

  const size_t count = static_cast<size_t>(std::max(0, subbasincount)) + 1;
  qice.assign(count, 0.0);
  qfirn.assign(count, 0.0);
  qsnow.assign(count, 0.0);
  Qice = qice.data();
  Qfirn = qfirn.data();
  Qsnow = qsnow.data();
  // Melt and radiation factors of 0 or more: a negative one makes ice out of
  // nothing. A radiation maximum below its minimum is defined as well: the
  // year's sinusoid between the two runs the other way round, never below 0.
  // (The messages name the label without its trailing " for ".)
  auto named = [&](const char* label) {
    std::string name = label;
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (name.size() > 4 && name.compare(name.size() - 4, 4, " for") == 0) name.resize(name.size() - 4);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return "[ice_firn] of " + modulname + ": " + name;
  };
  auto readFactor = [&](double& f, const char* label) {
    ReadValue(controlfile, "%lf", &f, label, linebuffer);
    if (!(f >= 0)) {
      *diag << "FATAL: error in control file, " << named(label).c_str() << " must be 0 or more, here " << f << " ("
            << controlfile.Where().c_str() << ")"
            << "[end-entry]";
      throw 80;
    }
  };
  readFactor(DDFice, "DDFice  for ");
  readFactor(DDFfirn, "DDFfirn for ");
  readFactor(DDFsnow, "DDFsnow for ");
  readFactor(MF, "MF  for ");
  readFactor(Aice_min, "Aice_min for ");
  readFactor(Aice_max, "Aice_max for ");
  readFactor(Asnow_min, "Asnow_min for ");
  readFactor(Asnow_max, "Asnow_max for ");
  auto readConstant = [&](double& k, const char* label) {
    ReadValue(controlfile, "%lf", &k, label, linebuffer);
    // A constant in steps; 0 is a storage that passes its input at once.
    if (!(k >= 0)) {
      *diag << "FATAL: error in control file, " << named(label).c_str()
            << " must be 0 or more (storage constant in steps; 0: no storage), here " << k << " ("
            << controlfile.Where().c_str() << ")"
            << "[end-entry]";
      throw 80;
    }
  };
  readConstant(kice_els, "kice_els for ");
  readConstant(kfirn_els, "kfirn_els ");
  readConstant(ksnow_els, "ksnow_els for ");
  double initial[3] = {0, 0, 0};
  ReadValue(controlfile, "%lf", &initial[0], "initial Qice_els for ", linebuffer);
  ReadValue(controlfile, "%lf", &initial[1], "initial Qfirn_els ", linebuffer);
  ReadValue(controlfile, "%lf", &initial[2], "initial Qsnow_els for ", linebuffer);
  for (size_t k = 1; k < count; ++k) {
    qice[k] = initial[0];
    qfirn[k] = initial[1];
    qsnow[k] = initial[2];
  }
  ReadValue(controlfile, "%s", &glac[kMeltFirn].file, "name of the firn grid for ", linebuffer);
  ReadValue(controlfile, "%d", &glac[kMeltFirn].writecode, "write code for firn grid for ", linebuffer);
  auto statLine = [&](GlacierStatistic s, const char* label) {
    ReadValues2(controlfile, "%s%d", &gstats[s].file, &gstats[s].code, label, linebuffer);
  };
  statLine(kStatFirnMelt, "name of the qfirn-statistic-file for ");
  ReadValue(controlfile, "%s", &glac[kMeltIce].file, "name of the ice grid for ", linebuffer);
  ReadValue(controlfile, "%d", &glac[kMeltIce].writecode, "write code for ice grid for ", linebuffer);
  statLine(kStatIceMelt, "name of the qice-statistic-file for ");
  statLine(kStatGlacierTotal, "name of the qglac-statistic-file for ");

  if (!dynamic) {
    // The snow-melt statistics of the static methods take the name of the
    // total's: qglac.txt gives qglac_qsgl_.txt.
    const std::string& name = gstats[kStatGlacierTotal].file;
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) {
      *diag << "FATAL: the name of the qglac-statistic-file in [ice_firn] of " << UserControlFile().c_str()
            << " has no extension (\"" << name.c_str() << "\"); it is needed to name the snow melt statistics"
            << "[end-entry]";
      throw 103;
    }
    // Its file stays off (code 0) with the static methods.
    gstats[kStatSnowOnIce].file = name.substr(0, dot) + "_qsgl_" + name.substr(dot);
    gstats[kStatSnowOnIce].code = 0;
  } else {
    statLine(kStatSnowOnIce, "name of the qSnowOnGlac-statistic-file for ");
    ReadValue(controlfile, "%d", &glacierreadgrid, "read grid parameter for glacier model ", linebuffer);
    std::string line;
    auto plainLine = [&]() {
      line.clear();
      if (!controlfile.GetLine(line)) line.clear();
      return line.c_str();
    };
    auto where = [&]() { return " (" + controlfile.Where() + ")"; };
    // The last number of a line ends at a blank, a line end or a comment:
    // "0,25" (a decimal comma) would be read as 0. consumed: the %n of it.
    auto numbersEnd = [&](int consumed) {
      if (consumed <= 0 || consumed > static_cast<int>(line.size())) return;
      const char c = line[static_cast<size_t>(consumed)];
      if (c == '\0' || c == '#' || std::isspace(static_cast<unsigned char>(c))) return;
      size_t a = static_cast<size_t>(consumed);
      while (a > 0 && !std::isspace(static_cast<unsigned char>(line[a - 1]))) --a;
      size_t e = a;
      while (e < line.size() && !std::isspace(static_cast<unsigned char>(line[e])) && e - a < 100) ++e;
      *diag << "FATAL: unreadable value \"" << line.substr(a, e - a).c_str() << "\" for dynamic glacier modelling"
            << where().c_str() << ": a number ends at a blank, a line end or a comment (a decimal comma is no decimal "
            << "point)[end-entry]";
      throw 80;
    };
    int consumed = 0;
    if (std::sscanf(plainLine(), "%d%lf%lf%n", &firn_levels, &firn_base, &deltafirnper100m, &consumed) != 3) {
      *diag << "FATAL: \n------------- Fatal Error: -------------\n"
            << "Could not read the three parameters firn_levels (int),\n"
            << "firn_base (double), and deltafirnper100m (double)  \n"
            << "for dynamic glacier modelling " << where().c_str() << "[end-entry]";
      throw 80;
    }
    numbersEnd(consumed);
    // The level count sizes the firn stack.
    if (firn_levels < 0 || firn_levels > 1000) {
      *diag << "FATAL: firn_levels must be 0 to 1000, here " << firn_levels << where().c_str() << "[end-entry]";
      throw 80;
    }
    if (std::sscanf(plainLine(), "%d%d%n", &GMBEvalDay, &GMBEvalMonth, &consumed) != 2) {
      *diag << "FATAL: \n------------- Fatal Error: -------------\n"
            << "Could not read the two parameters GMBEvalDay (int 1...31)\n"
            << "and GMBEvalMonth (int 1..12) for dynamic glacier modelling " << where().c_str() << "[end-entry]";
      throw 80;
    }
    numbersEnd(consumed);
    // A date that never comes is how a run without yearly update is asked for;
    // the WARNING says so, in case it was a slip.
    if (GMBEvalMonth < 1 || GMBEvalMonth > 12 || GMBEvalDay < 1 || GMBEvalDay > (GMBEvalMonth == 2 ? 29 : 31) ||
        (GMBEvalDay == 31 && (GMBEvalMonth == 4 || GMBEvalMonth == 6 || GMBEvalMonth == 9 || GMBEvalMonth == 11))) {
      *diag << "WARNING: the glacier mass balance evaluation date GMBEvalDay " << GMBEvalDay << ", GMBEvalMonth "
            << GMBEvalMonth << " is no day of the year" << where().c_str()
            << ": the glaciers get no yearly update (mass balance, area and firn to ice) in this run"
            << "[end-entry]";
    }
    if (std::sscanf(plainLine(), "%lf%lf%d%d%n", &VAscaling, &VAexponent, &numElevBands, &extraWeightFactorBand0,
                    &consumed) != 4) {
      *diag << "FATAL: \n------------- Fatal Error: -------------\n"
            << "Could not read the four parameters VAscaling, VAexponent, numElevBands and extraWeightFactorBand0\n"
            << "for Volume-Area-Relation in dynamic glacier modelling " << where().c_str() << "[end-entry]";
      throw 80;
    }
    numbersEnd(consumed);
    // V = VAscaling x A^VAexponent turns the year's volume into an area: a
    // factor of 0 or less, or an exponent of 0 or less, has no area for a
    // volume (the update would divide by them) and no meaning.
    for (const auto& [name, value] :
         {std::pair<const char*, double>{"VAscaling", VAscaling}, {"VAexponent", VAexponent}})
      if (!(value > 0 && value <= std::numeric_limits<double>::max())) {
        *diag << "FATAL: " << name << " of the volume-area relation V = VAscaling x A^VAexponent must be above 0, here "
              << value << " in [ice_firn]" << where().c_str() << "[end-entry]";
        throw 80;
      }
    ReadValue(controlfile, "%s", &glac[kFirnTotal].file, "name of the firn stack for ", linebuffer);
    ReadValue(controlfile, "%d", &glac[kFirnTotal].writecode, "write code for the firn stack in ", linebuffer);
    statLine(kStatFirnWE, "name of the firn-statistic-file for ");
    ReadValue(controlfile, "%s", &glac[kMassBalance].file, "name of the glacier mass balance grid for ", linebuffer);
    ReadValue(controlfile, "%d", &glac[kMassBalance].writecode, "write code for glacier mass balance grid in ",
              linebuffer);
    ReadValue(controlfile, "%s", &glac[kOldMassBalance].file,
              "name of the glacier mass balance grid (old reference) for ", linebuffer);
    ReadValue(controlfile, "%d", &glac[kOldMassBalance].writecode,
              "write code for glacier mass balance grid (old reference) in ", linebuffer);
    statLine(kStatMassBalance, "name of the glacier mass balance statistics file (1) for ");
    statLine(kStatMassBalanceGlacierPart, "name of the glacier mass balance statistics file (2) for ");
    ReadValue(controlfile, "%lf", &debrisscaling,
              "global debris scaling factor (requirede when using a debris_on_glaciers grid) ", linebuffer);
    statLine(kStatWithoutGlaciers, "name of the sow statistics for snow on glacier for ");
    auto gridLines = [&](GlacierGrid g, const char* name, const char* code) {
      ReadValue(controlfile, "%s", &glac[g].file, name, linebuffer);
      ReadValue(controlfile, "%d", &glac[g].writecode, code, linebuffer);
    };
    gridLines(kSolidOnGlacier,
              "name of the snow storage grid (solid fraction of WE, glacierized fraction of cell) for ",
              "write code for snow storage grid (solid fraction of WE, glacierized fraction of cell) in ");
    gridLines(kLiquidOnGlacier,
              "name of the snow storage grid (liquid fraction of WE, glacierized fraction of cell) for ",
              "write code for snow storage grid (liquid fraction of WE, glacierized fraction of cell) in ");
    gridLines(kTotalOnGlacier, "name of the snow storage grid (total on glacierized fraction of cell) for ",
              "write code for snow storage grid (total on glacierized fraction of cell) in ");
    gridLines(kSnowMeltOnGlacier,
              "name of the snow snow melt grid (incl. rain, total on glacierized fraction of cell) for ",
              "write code for snow melt grid (incl. rain, total on glacierized fraction of cell) in ");
    gridLines(kSurfTempOnGlacier,
              "name of the snow surface temperature grid (incl. rain, total on glacierized fraction of cell) for ",
              "write code for snow surface temperature  (incl. rain, total on glacierized fraction of cell) in ");
    gridLines(kSnowTempOnGlacier,
              "name of the snow temperature grid (incl. rain, total on glacierized fraction of cell) for ",
              "write code for snow temperature grid (incl. rain, total on glacierized fraction of cell) in ");
    gridLines(kEvapOnGlacier,
              "name of the snow evaporation grid (incl. rain, total on glacierized fraction of cell) for ",
              "write code for snow evaporation grid (incl. rain, total on glacierized fraction of cell) in ");
    // Line 53, optional.
    double values[2] = {maxSnowPackToCreateGlacier, relSizeNewGlacier};
    consumed = 0;
    const int got = std::sscanf(plainLine(), "%lf%lf%n", &values[0], &values[1], &consumed);
    if (got == 2) numbersEnd(consumed);
    const std::string line53 = where();
    if (got >= 1) maxSnowPackToCreateGlacier = values[0];
    if (got >= 2) relSizeNewGlacier = values[1];
    if (got < 2) {
      *diag << "WARNING: \n------------- warning: -------------\n"
            << "Could not read the two optional parameters maxSnowPackToCreateGlacier (double),\n"
            << "and relSizeNewGlacier (double) for dynamic glacier modelling that will be used for creating new "
               "glaciers\n"
            << "Setting default values of 1000 and 0.35, i.e. 1000 mm SWE will rmain on a cell that is partly "
               "glacierized already, the rest is put into the glacier.\n"
            << "For cells with no existing glacier, the amount > 1000 will be used to create a glacier that "
               "encompasses 25% of the cell"
            << "[end-entry]";
    }
    // Line 54, optional: the grid of the firn that turns to ice at the yearly
    // update (mm over the cell) and its write code; without it the grid is
    // kept but not written.
    char name[1201] = "";
    int code = 0;
    if (std::sscanf(plainLine(), "%1200s%d", name, &code) == 2) {
      glac[kFirnToIce].file = name;
      glac[kFirnToIce].writecode = code;
    }
    // The snow that stays on a cell at the yearly update: a negative amount
    // would turn every cell into glacier and leave it negative snow.
    if (!(maxSnowPackToCreateGlacier >= 0 && maxSnowPackToCreateGlacier <= std::numeric_limits<double>::max())) {
      *diag << "FATAL: maxSnowPackToCreateGlacier must be 0 or more (mm water equivalent), here "
            << maxSnowPackToCreateGlacier << " in [ice_firn]" << line53.c_str() << "[end-entry]";
      throw 80;
    }
    // The size of a new glacier divides its excess snow.
    if (!(relSizeNewGlacier > 0 && relSizeNewGlacier <= 1)) {
      *diag << "FATAL: relSizeNewGlacier must lie in (0, 1], here " << relSizeNewGlacier << " in [ice_firn] of "
            << UserControlFile().c_str() << "[end-entry]";
      throw 80;
    }
  }
  CloseControlFile();

  iceradamplitude = (Aice_max - Aice_min) * 0.5;
  iceradmean = iceradamplitude + Aice_min;
  snowradamplitude = (Asnow_max - Asnow_min) * 0.5;
  snowradmean = snowradamplitude + Asnow_min;

  const int subs = std::max(0, subbasincount);
  for (GlacierStatistic s : {kStatFirnMelt, kStatIceMelt, kStatSnowOnIce, kStatGlacierTotal})
    CreateZoneStatistic(gstats[s], subbasins, subs, registry, registryCapacity);
  CreateZoneStatistic(gstats[kStatWithoutGlaciers], zonerecords, std::max(0, zonecount), registry, registryCapacity);
  BuildGlacierTable();
  if (dynamic)
    for (GlacierStatistic s : {kStatFirnWE, kStatMassBalance, kStatMassBalanceGlacierPart})
      CreateZoneStatistic(gstats[s], subbasins, subs, registry, registryCapacity);
  meltsums.assign(3 * count, ExactSum{});
  areasums.assign(count, ExactSum{});
  cellsums.assign(count, 0.0);
}

void schneemodellklasse::CheckGlacierGrids() {
  // Instance 0 checks the whole domain.
  const Grid g = WholeOnRoot(glacierposition, glaciergrid);
  const Grid codes = WholeOnRoot(codesposition, glaciercodes);
  const int zonepos = FindGrid("zonegrid_soilmodel", false);
  const Grid zone = zonepos > 0 ? WholeOnRoot(zonepos, subbasingrid) : WholeOnRoot(1, zonegrid);
  if (mpirank != 0) return;
  bool anyGlacier = false;
  bool anyCode = false;
  for (int r = 1; r <= nrows; ++r) {
    if (!g[r] || !codes[r]) continue;
    for (int c = 1; c <= ncols; ++c) {
      if (g[r][c] > 0 && !(codes[r][c] > nodata)) {
        *diag << "FATAL: \n-----------Fatal Error:----------\nThere is a cell in the GlacierizedCells-grid having "
                 "no valid value in \n"
              << "GlacierCodes"
              << " (must be an integer ID for each separate glacier) at row " << r << " and col " << c << "[end-entry]";
        throw 80;
      }
      if (g[r][c] > 0) anyGlacier = true;
      if (zone && zone[r] && !Missing(zone[r][c]) && codes[r][c] > 0) anyCode = true;
    }
  }
  if (!anyGlacier) {
    *diag << "FATAL: \n-----------Fatal Error:----------\nThere are no glacierized cells in GlacierizedCells-grid "
             "(all nodata or equal to 0)!"
          << "[end-entry]";
    throw 80;
  }
  if (!anyCode) {
    *diag << "FATAL: \n----------- Fatal Error: ----------\nThe "
          << "GlacierCodes"
          << " grid (" << gridlist[codesposition].filename.c_str() << ")contains nodata values only. \n"
          << "Dynamic glacier modelling will not be possible without \n"
          << "distinct glacier codes for each glacier"
          << "[end-entry]";
    throw 80;
  }
}

void schneemodellklasse::CreateZoneStatistic(StatisticEntry& e, const ZoneRecord* source, int count,
                                             StatRecord* registry, int registryCapacity) {
  e.records.assign(static_cast<size_t>(count) + 1, ZoneRecord{0, 0, 0, 0, 0});
  for (int k = 0; k <= count && source; ++k)
    e.records[k] = ZoneRecord{0, 0, source[k].zonenwert, source[k].rel, source[k].RelCellSum};
  int code = 0;
  e.writer =
      new zonalstatistic(code, diag, registry, registryCapacity, relcellarea, nrows, ncols, e.records.data(), count,
                         e.code, e.precision, e.file, DefaultOutputDirectory, outputlistcount, outputlist);
  if (code != 0) throw code;
  e.writer->WriteHeader(e.header, modulname, registry, registryCapacity);
}

double schneemodellklasse::GlacierFraction(int r, int c) const {
  if (!glaciergrid || !glaciergrid[r]) return 0.0;
  const double v = glaciergrid[r][c];
  if (!(v > 0)) return 0.0;
  // Static methods mark whole cells as ice (1) or firn (2).
  return glaciermethod < 10 ? 1.0 : std::min(1.0, v);
}

bool schneemodellklasse::FirnCell(int r, int c) const {
  if (glaciermethod < 10) return glaciergrid[r][c] > 1.5;
  return glac[kFirnTotal].grid && glac[kFirnTotal].grid[r] && glac[kFirnTotal].grid[r][c] > 0;
}

void schneemodellklasse::BuildGlacierTable() {
  // Every instance counts its own cells; the sums meet on instance 0, which
  // broadcasts the table, so that every instance holds the same table.
  const size_t count = static_cast<size_t>(std::max(0, subbasincount)) + 1;
  std::vector<double> sums(3 * count, 0.0);
  std::vector<ExactSum> areas(2 * count);  // (summed exactly: the same on any number of instances)
  const int first = std::max(1, firstrow);
  const int last = std::min(nrows, lastrow);
  for (int r = first; r <= last; ++r) {
    if (!subbasingrid || !subbasingrid[r] || !glaciergrid[r]) continue;
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnCell(r, c) || Missing(subbasingrid[r][c])) continue;
      const long code = std::lround(subbasingrid[r][c]);
      if (code < 0 || code > largestsubbasin) continue;
      const int k = subbasinindex[code];
      if (k < 1 || k >= static_cast<int>(count)) continue;
      // The glacierized and the free area (relative cell areas): the share
      // of the subbasin over which the runoff storages give their water.
      const double g = GlacierFraction(r, c);
      const double a = RelativeArea(r, c);
      if (g > 0) sums[3 * k] = 1;
      areas[2 * k].Add(g * a);
      areas[2 * k + 1].Add((1 - g) * a);
    }
  }
  const bool parallel = SumOnRoot(sums);
  if (parallel) ExactSum::Reduce(areas.data(), static_cast<int>(areas.size()), 0);
  for (size_t k = 1; k < count; ++k) {
    sums[3 * k + 1] = areas[2 * k].Value();
    sums[3 * k + 2] = areas[2 * k + 1].Value();
  }
  glaciertable.assign(count, GlacierTableRecord{});
  if (mpirank == 0)
    for (size_t k = 1; k < count; ++k)
      glaciertable[k] = GlacierTableRecord{sums[3 * k] > 0, sums[3 * k + 1], sums[3 * k + 2]};
  if (parallel) {
    MPI_Barrier(MPI_COMM_WORLD);
    MPI_Datatype record;
    int lengths[3] = {1, 1, 1};
    MPI_Aint displacements[3] = {offsetof(GlacierTableRecord, glacier), offsetof(GlacierTableRecord, glacierized),
                                 offsetof(GlacierTableRecord, free)};
    MPI_Datatype types[3] = {MPI_CXX_BOOL, MPI_DOUBLE, MPI_DOUBLE};
    MPI_Datatype inner;
    MPI_Type_create_struct(3, lengths, displacements, types, &inner);
    MPI_Type_create_resized(inner, 0, sizeof(GlacierTableRecord), &record);
    MPI_Type_commit(&record);
    MPI_Bcast(glaciertable.data(), static_cast<int>(count), record, 0, MPI_COMM_WORLD);
    MPI_Type_free(&record);
    MPI_Type_free(&inner);
  }
}

void schneemodellklasse::RegisterGlacierGrids() {
  int ownfirst = 0, ownlast = 0;
  InstanceRows(false, ownfirst, ownlast);
  auto create = [&](GlacierGrid g, int64_t first, int64_t last) {
    OwnGridEntry& e = glac[g];
    e.grid = matrix(first, last, 1, ncols, nrows);
    e.first = first;
    e.last = last;
    for (int64_t r = first; r <= last; ++r) {
      const double* z = subbasingrid && subbasingrid[r] ? subbasingrid[r] : nullptr;
      for (int c = 0; c <= ncols; ++c) e.grid[r][c] = (c >= 1 && z && !Missing(z[c])) ? 0.0 : nodata;
    }
  };
  const bool dynamic = glaciermethod > 10;
  // A glacier grid without a line of its own takes the name of the snow
  // model's grid o with "_onGlacier" before the extension, and its write code.
  auto nameAfter = [&](GlacierGrid g, OwnGrid o) {
    const std::string& name = own[o].file;
    const size_t slash = name.find_last_of('/');
    const size_t dot = name.rfind('.');
    const bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    glac[g].file = extension ? name.substr(0, dot) + "_onGlacier" + name.substr(dot) : name + "_onGlacier";
    glac[g].writecode = own[o].writecode;
  };
  // The static methods keep the snow of their glacier cells in the same
  // on-glacier storages as the dynamic ones. Their section has no lines for
  // them: they take the names of the snow storage grids, and are read with
  // them (readgrid 1 of the snow model), so that a warm start keeps the snow
  // of the glaciers.
  if (!dynamic)
    for (const auto& [g, o] : {std::pair<GlacierGrid, OwnGrid>{kSolidOnGlacier, kSolid},
                               {kLiquidOnGlacier, kLiquid},
                               {kTotalOnGlacier, kTotal}})
      nameAfter(g, o);
  // The age of the glacier part's snow (days), which its albedo follows
  // where the snow method's energy balance melts that snow (glacier method
  // 13): named after the snow age grid and read with the glacier state.
  const bool ownAge = glaciermethod == 13 && EnergyBalanceMethod(method);
  if (ownAge) nameAfter(kSnowAgeOnGlacier, kAge);
  const int readflag = dynamic ? glacierreadgrid : readgrid;
  auto state = [&](GlacierGrid g, double fill) {
    bool read = readflag == 1;
    if (read && (!dynamic || g == kSnowAgeOnGlacier)) {
      // State files written before the static glaciers kept their snow have
      // none: those glaciers start without snow, as they did then.
      std::string path = glac[g].file;
      MakePath(InitialStateDirectory, path);
      int present = mpirank != 0 || std::filesystem::exists(path) ? 1 : 0;
      if (mpisize > 1 && MpiRunning()) MPI_Bcast(&present, 1, MPI_INT, 0, MPI_COMM_WORLD);
      if (!present) {
        if (mpirank == 0)
          *diag << "WARNING: in module " << modulname.c_str() << ": the snow state of the glacier cells ("
                << path.c_str() << ") was not found; "
                << (g == kSnowAgeOnGlacier ? "the snow on the glaciers starts with the age of the cells' snow"
                                           : "the glacier cells start without snow")
                << "[end-entry]";
        read = false;
      }
    }
    if (read) {
      ReadGrid(glac[g].file, &glac[g].grid, 0, true, true, false, storagewhole, false, false, fill);
      glac[g].first = storagerange ? 1 : ownfirst;
      glac[g].last = storagerange ? nrows : ownlast;
    } else {
      create(g, storagefirst, storagelast);
    }
    return read;
  };
  create(kMeltFirn, ownfirst, ownlast);
  create(kMeltIce, ownfirst, ownlast);
  if (dynamic) {
    InitFirnStack();
    state(kMassBalance, 0);
    state(kOldMassBalance, 0);
    // The balances add up over the years and pass -9999 mm in time: only the
    // no-data value itself, as a grid file marks a missing cell, is missing.
    // A cell of the basin missing in one grid takes the other's value, or 0;
    // after this every cell of the basin holds a balance, and no balance is
    // ever tested against no-data again.
    Grid a = glac[kMassBalance].grid;
    Grid b = glac[kOldMassBalance].grid;
    auto missing = [&](double v) { return v == nodata || std::isnan(v); };
    for (int64_t r = glac[kMassBalance].first; r <= glac[kMassBalance].last; ++r) {
      const bool zoneRow = zonegrid && zonegrid[r];
      const bool subbasinRow = subbasingrid && subbasingrid[r];
      if (!zoneRow && !subbasinRow) continue;
      for (int c = 1; c <= ncols; ++c) {
        if (!(zoneRow && !Missing(zonegrid[r][c])) && !(subbasinRow && !Missing(subbasingrid[r][c]))) continue;
        if (missing(a[r][c])) a[r][c] = missing(b[r][c]) ? 0.0 : b[r][c];
        if (missing(b[r][c])) b[r][c] = a[r][c];
      }
    }
  }
  state(kSolidOnGlacier, 0);
  state(kLiquidOnGlacier, 0);
  state(kTotalOnGlacier, 0);
  if (dynamic && EnergyBalanceMethod(method)) {
    state(kSurfTempOnGlacier, kMeltingPoint);
    state(kSnowTempOnGlacier, kMeltingPoint);
  }
  // Not read (a cold start, or a state written without it), the age of the
  // glacier part's snow starts as that of the cell's.
  if (ownAge && !state(kSnowAgeOnGlacier, 0)) {
    const OwnGridEntry& e = glac[kSnowAgeOnGlacier];
    for (int64_t r = std::max(e.first, own[kAge].first); r <= std::min(e.last, own[kAge].last); ++r)
      for (int c = 1; c <= ncols; ++c)
        if (e.grid[r][c] > nodata) e.grid[r][c] = own[kAge].grid[r][c];
  }
  create(kGlacierizedOld, storagefirst, storagelast);
  if (dynamic) {
    create(kCodesOld, storagefirst, storagelast);
    for (int64_t r = storagefirst; r <= storagelast; ++r)
      for (int c = 1; c <= ncols; ++c) {
        glac[kGlacierizedOld].grid[r][c] = glaciergrid[r] ? glaciergrid[r][c] : nodata;
        glac[kCodesOld].grid[r][c] = glaciercodes[r] ? glaciercodes[r][c] : nodata;
      }
  }
  if (dynamic) {
    // The glacier list works on instance 0 over the whole domain.
    const int zonepos = FindGrid("zonegrid_soilmodel", false);
    glacierelevation = WholeOnRoot(2, elevation);
    glacierzone = zonepos > 0 ? WholeOnRoot(zonepos, subbasingrid) : WholeOnRoot(1, zonegrid);
    const int areapos = FindGrid("RelCellArea", false);
    glacierarea = areapos > 0 && relcellarea ? WholeOnRoot(areapos, relcellarea) : nullptr;
  }
  create(kSnowMeltOnGlacier, ownfirst, ownlast);
  if (dynamic) create(kEvapOnGlacier, ownfirst, ownlast);
  if (dynamic) create(kFirnToIce, ownfirst, ownlast);

  int next = FreeGridPosition();
  for (int g = 0; g < kGlacierGridCount; ++g) {
    OwnGridEntry& e = glac[g];
    if (!e.grid) continue;
    if (next >= kGridListMax || gridlist[next].registered || !gridlist[next].shortname.empty())
      next = FreeGridPosition();
    const bool storage = g == kSolidOnGlacier || g == kLiquidOnGlacier || g == kTotalOnGlacier;
    const bool withFile =
        (dynamic && (g != kFirnToIce || !e.file.empty())) || g == kMeltFirn || g == kMeltIce || storage;
    const bool stack = g == kFirnTotal;
    RegisterGrid(next, withFile ? e.file : std::string(), e.grid, stack ? firnstack : nullptr, stack ? firn_levels : 0,
                 e.shortname, withFile ? e.writecode : 0, e.first, e.last);
    e.position = next;
    ++next;
  }
  if (dynamic && mpirank == 0) StartGlacierList();
}

void schneemodellklasse::InitFirnStack() {
  OwnGridEntry& e = glac[kFirnTotal];
  e.first = storagefirst;
  e.last = storagelast;
  if (glacierreadgrid == 1) {
    firn_levels = ReadStack(e.file, &firnstack, storagewhole);
  } else {
    firnstack = matrix3d(storagefirst, storagelast, 1, ncols, firn_levels, nrows);
    for (int64_t r = storagefirst; r <= storagelast; ++r)
      for (int c = 0; c <= ncols; ++c) {
        double* level = firnstack[r][c];
        const bool glacier = c >= 1 && subbasingrid && subbasingrid[r] && !Missing(subbasingrid[r][c]) &&
                             glaciergrid[r] && glaciergrid[r][c] > 0 && elevation && elevation[r];
        // The water equivalent of every level grows by deltafirnper100m per
        // metre above firn_base.
        const double we = glacier ? std::max(0.0, deltafirnper100m * (elevation[r][c] - firn_base)) : 0.0;
        level[0] = glacier ? 0.0 : nodata;
        for (int k = 1; k <= firn_levels; ++k) {
          level[k] = glacier ? we : nodata;
          if (glacier) level[0] += we;
        }
      }
  }
  e.grid = matrix(e.first, e.last, 1, ncols, nrows);
  for (int64_t r = e.first; r <= e.last; ++r)
    for (int c = 0; c <= ncols; ++c) e.grid[r][c] = firnstack[r] ? firnstack[r][c][0] : nodata;
}

void schneemodellklasse::ReadPermafrostSection(StatRecord* registry, int registryCapacity) {
  int ownfirst = 0, ownlast = 0;
  InstanceRows(false, ownfirst, ownlast);
  // The day counters are created when no other model supplies them.
  auto counter = [&](int k, const char* name) -> Grid {
    const int p = FindGrid(name, false);
    if (p > 0) return gridlist[p].grid;
    OwnGridEntry& e = permafrostgrids[k];
    e.shortname = name;
    e.first = ownfirst;
    e.last = ownlast;
    e.grid = matrix(ownfirst, ownlast, 1, ncols, nrows);
    for (int64_t r = ownfirst; r <= ownlast; ++r)
      for (int c = 0; c <= ncols; ++c)
        e.grid[r][c] = (c >= 1 && zonegrid && zonegrid[r] && !Missing(zonegrid[r][c])) ? 0.0 : nodata;
    e.position = FreeGridPosition();
    RegisterGrid(e.position, std::string(), e.grid, nullptr, 0, name, 0, ownfirst, ownlast);
    return e.grid;
  };
  snowfreedays = counter(0, "SnowFreeDaysGrid");
  snowcoverdays = counter(1, "SnowCoverDaysGrid");
  thawcoeff = Bind("ThawCoeffPermaFrost");
  thawdepth = Bind("PermafrostThawDepth");
  rootdepth = Bind("root_depth1");
  if (!controlfile.Open(controlfilename, diag)) {
    *diag << "FATAL: error opening " << UserControlFile().c_str() << "[end-entry]";
    throw 28;
  }
  FindSection("[permafrost]", true);
  controlfile.SetContext("[permafrost]");
  ReadValue(controlfile, "%d", &permafrostmethod, "Permafrost-Method for ", linebuffer);
  if (permafrostmethod != 1) {
    *diag << "FATAL: method for permafrost melt must be 1 (alpha*sqrt(time))"
          << " (here " << permafrostmethod << " in [permafrost] of " << UserControlFile().c_str() << ")"
          << "[end-entry]";
    permafrostmethod = 0;
    throw 80;
  }
  ReadValue(controlfile, "%lf", &Min_Snow_Age_Refreeze, "Min_Snow_Age_Refreeze for ", linebuffer);
  ReadValue(controlfile, "%lf", &Max_SWE_SnowFree, "Max_SWE_SnowFree for ", linebuffer);
  gstats[kStatThawDepth].header = kGlacierHeaders[kStatThawDepth];
  ReadValues2(controlfile, "%s%d", &gstats[kStatThawDepth].file, &gstats[kStatThawDepth].code,
              "name of thaw depth statistics file ", linebuffer);
  ReadValue(controlfile, "%lf", &reducedksat, "reduced k_sat (in m/s)", linebuffer);
  CreateZoneStatistic(gstats[kStatThawDepth], zonerecords, std::max(0, zonecount), registry, registryCapacity);
  CloseControlFile();
}

void schneemodellklasse::FreeGlacierMemory() {
  for (StatisticEntry& s : gstats) {
    if (!s.writer) continue;
    std::unique_ptr<zonalstatistic> writer(s.writer);
    s.writer = nullptr;
    writer->Finish();
  }
  for (OwnGridEntry* list : {glac, permafrostgrids}) {
    const int n = list == glac ? static_cast<int>(kGlacierGridCount) : 2;
    for (int g = 0; g < n; ++g) {
      OwnGridEntry& e = list[g];
      if (e.position > 0) UnregisterGrid(e.position);
      if (e.grid) FreeMatrix(e.grid, e.first, e.last, 1, ncols);
      e.grid = nullptr;
      e.position = 0;
    }
  }
  glaciers.clear();
  glacierindex.clear();
  if (firnstack) FreeMatrix3d(firnstack, glac[kFirnTotal].first, glac[kFirnTotal].last);
  firnstack = nullptr;
  Qice = Qfirn = Qsnow = nullptr;
}
