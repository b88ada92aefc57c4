// Configuration of the snow model: the section "[snow_model]", the zone
// statistics, the input grids and the snow grids it registers.
#include "snow/snowmod.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "framework/diagstream.h"
#include "framework/zonalstatistic.h"
#include "parameters/multilayer_landuse_entry.h"

namespace {
const char* const kShortNames[schneemodellklasse::kOwnGridCount] = {
    "snowstorage_solid", "snowstorage_liquid", "snow_storage_total", "days_snow",      "snow_age",
    "snowtemp",          "surftemp",           "max_deposition",     "elev_order_row", "elev_order_col",
    "input_mass",        "mobile_mass",        "deposition",         "snow_fraction",  "rain_fraction",
    "snowcover_outflow", "melt_from_snowcover"};

struct StatisticHead {
  const char* header;
  int precision;  // decimals of the file's values
};
const StatisticHead kStatisticHeads[schneemodellklasse::kStatisticCount] = {
    {"snow_melt_(effective_outflow_from_snow_cover)___", 4},
    {"snow_melt_only(effective_outflow_from_snow_cover)___", 4},
    {"snow_storage_in_mm___", 3},
    {"snow_days____", 3},
    {"snow_age____", 3},
    {"p_snow____", 3},
    {"p_rain____", 3},
    {"albedo____", 3},
    {"snowtemp____", 3},
    {"surftemp____", 3},
    {"input_mass____", 3},
    {"mobile_mass____", 3},
    {"deposition____", 3}};
}  // namespace

schneemodellklasse::schneemodellklasse(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                                       const std::string& workFileName, const SubModelArgs& common, int subSteps)
    : teilmodellklasse(diagnostics, "snow_model", workFileName, 0, common, subSteps, false) {
  error = 0;
  for (int g = 0; g < kOwnGridCount; ++g) own[g].shortname = kShortNames[g];
  for (int s = 0; s < kStatisticCount; ++s) {
    stats[s].header = kStatisticHeads[s].header;
    stats[s].precision = kStatisticHeads[s].precision;
  }
  if (flowcontrol == 0) return;
  try {
    *diag << "file "
          << "snowmod"
          << ", compiled at " << __DATE__ << " " << __TIME__ << "[end-entry]";
    ReadZoneGrid(subbasingrid, subbasins, subbasinindex, subbasincount, largestsubbasin);
    ReadSection(registry, registryCapacity);
    BindInputGrids(registry, registryCapacity);
    RegisterOwnGrids();
    if (glaciermethod > 0) RegisterGlacierGrids();
    if (FindGrid("ThawCoeffPermaFrost", false) > 0 && FindGrid("PermafrostThawDepth", false) > 0)
      ReadPermafrostSection(registry, registryCapacity);
    if (T0R < T0) {
      *diag << "ERROR: \n-----------------------------------------------------------------------\n"
            << "   T0R (threshold temperature rain/snow) < T0 (threshold temperature snow melt)  \n"
            << "   because these thresholds are contradicting each other, T0R was set to T0!                    \n"
            << "-----------------------------------------------------------------------"
            << "[end-entry]";
      T0R = T0;
    }
    if (hru) {
      if (!hrugrid) hrugrid = Bind("HydrologicResponseUnits");
      if (!masterhrugrid) masterhrugrid = Bind("MasterHydrologicResponseUnits");
      for (int r = std::max(1, firstrow); r <= std::min(nrows, lastrow); ++r)
        for (int c = 1; c <= ncols; ++c)
          if (OwnCell(r, c) && masterhrugrid[r][c] > 0)
            hrumax = std::max(hrumax, static_cast<int64_t>(masterhrugrid[r][c]));
    }
  } catch (int code) {
    error = code;
  } catch (...) {
    error = 103;
  }
}

void schneemodellklasse::CloseControlFile() {
  if (!controlfile.Close()) {
    *diag << "FATAL: cannot close " << UserControlFile().c_str() << "[end-entry]";
    throw 11;
  }
}

void schneemodellklasse::ReadStatisticLine(Statistic s, const char* label) {
  ReadValues2(controlfile, "%s%d", &stats[s].file, &stats[s].code, label, linebuffer);
}

void schneemodellklasse::ReadGridLines(OwnGrid g, const char* nameLabel, const char* codeLabel) {
  ReadValue(controlfile, "%s", &own[g].file, nameLabel, linebuffer);
  ReadValue(controlfile, "%d", &own[g].writecode, codeLabel, linebuffer);
}

void schneemodellklasse::ReadSection(StatRecord* registry, int registryCapacity) {
  controlfile.SetContext(sectionheader);
  ReadValue(controlfile, "%d", &method, "method for ", linebuffer);
  // The method selects the melt formula and the grids; a number outside the
  // fourteen methods would silently run none of them.
  if (method < 1 || method > 14) {
    *diag << "FATAL: error in control file, method for " << modulname.c_str() << ": " << method << " ("
          << controlfile.Where().c_str() << "); it has to be 1 to 14"
          << "[end-entry]";
    throw 17;
  }
  // The snow scalars within their physical range, each checked on its own
  // line: a negative melt factor or holding capacity turns melt into snow
  // made from nothing and the liquid storage negative, an albedo outside
  // 0 ... 1 reflects more radiation than arrives.
  auto scalar = [&](double& target, const char* label, double low, double high, const char* expected) {
    ReadValue(controlfile, "%lf", &target, label, linebuffer);
    if (!(target >= low && target <= high)) {
      *diag << "FATAL: error in control file, " << label << modulname.c_str() << ": " << target << " ("
            << controlfile.Where().c_str() << "); " << expected << "[end-entry]";
      throw 17;
    }
  };
  constexpr double kAny = std::numeric_limits<double>::max();
  scalar(transzone, "transzone for ", 0, kAny, "the width of the rain/snow transition has to be 0 or more");
  ReadValue(controlfile, "%lf", &T0R, "T0R for ", linebuffer);
  ReadValue(controlfile, "%lf", &T0, "T0 for ", linebuffer);
  scalar(CWH, "CWH for ", 0, 1, "the liquid water holding capacity has to lie within 0 ... 1");
  scalar(CRFR, "CRFR for ", 0, kAny, "the refreezing coefficient has to be 0 or more");
  scalar(C0, "C0 for ", 0, kAny, "a melt factor has to be 0 or more");
  scalar(C1, "C1 for ", 0, kAny, "a melt factor has to be 0 or more");
  scalar(C2, "C2 for ", 0, kAny, "a melt factor has to be 0 or more");
  ReadValue(controlfile, "%lf", &z0, "z0 for ", linebuffer);
  scalar(RMFMIN, "RMFMIN for ", 0, kAny, "the annual melt factor has to be 0 or more");
  scalar(RMFMAX, "RMFMAX for ", RMFMIN, kAny, "the annual melt factor's maximum has to be RMFMIN or more");
  scalar(ALBsnow_min, "ALBsnow_min for ", 0, 1, "an albedo has to lie within 0 ... 1");
  scalar(ALBsnow_max, "ALBsnow_max for ", ALBsnow_min, 1,
         "an albedo has to lie within 0 ... 1, the maximum not below ALBsnow_min");
  ReadGridLines(kRainFraction, "Name of the rain-grid for ", "Writegrid of rain-grid for ");
  ReadStatisticLine(kStatRainfall, "Name of the rain statistics for ");
  ReadGridLines(kSnowFraction, "Name of the snow grid for ", "Writegrid of the snow grid for ");
  ReadStatisticLine(kStatSnowfall, "Name of the snow statistics for ");
  ReadGridLines(kDaysSnow, "Name of the snowdays grid for ", "Writegrid of the snowdays grid for ");
  ReadStatisticLine(kStatDays, "Name of the snowdays statistics for ");
  ReadGridLines(kAge, "Name of the snow age grid for ", "Writegrid of the snow age grid for ");
  ReadStatisticLine(kStatAge, "Name of the snow age statistics for ");
  ReadStatisticLine(kStatAlbedo, "name of the albedo statistics for ");
  ReadGridLines(kOutflow, "Name of the snow outflow grid for ", "Writegrid of the snow outflow grid for ");
  ReadStatisticLine(kStatOutflow, "Name of the snow outflow statistics for ");
  ReadGridLines(kMeltOutflow, "Name of the snow melt only outflow grid for ",
                "Writegrid of the snow melt only outflow grid for ");
  ReadStatisticLine(kStatMeltOutflow, "Name of the snow melt only outflow statistics for ");
  ReadGridLines(kSolid, "Name of the snow storage grids for ", "Writegrid of the snow storage grids for ");
  ReadGridLines(kLiquid, "Name of the liquid storage grids for ", "Writegrid of the liquid storage grids for ");
  ReadStatisticLine(kStatStorage, "Name of the total snow storage statistics for ");
  ReadGridLines(kTotal, "name of the total snow storage grid for ", "Writegrid of the total snow storage grid for ");
  ReadValue(controlfile, "%d", &readgrid, "readgrid forr storage grids for ", linebuffer);
  if (method > 4) ReadExtendedLines();
  CloseControlFile();
  CreateStatistics(registry, registryCapacity);

  // The annual melt factor: a sinusoid between RMFMIN and RMFMAX with its
  // maximum in summer.
  rmfamplitude = (RMFMAX - RMFMIN) * 0.5;
  rmfmean = rmfamplitude + RMFMIN;
}

void schneemodellklasse::ReadExtendedLines() {
  std::string line;
  // Line 42 must hold a file name: an empty line means the extended lines are missing.
  if (!controlfile.GetLine(line) || line.size() < 3) {
    *diag << "FATAL: cannot read additional parameters for snow model methods 5 to 11 from "
          << UserControlFile().c_str() << " (" << controlfile.Where().c_str() << "): every method above 4 reads "
          << "them (the energy-balance, slide and long wave lines, from the name of the snow pack temperature "
          << "grid on), here method " << method << "[end-entry]";
    throw 404;
  }
  {
    const size_t a = line.find_first_not_of(" \t\r\n");
    const size_t b = line.find_first_of(" \t\r\n", a == std::string::npos ? 0 : a);
    own[kSnowTemp].file = a == std::string::npos ? std::string() : line.substr(a, b - a);
  }
  ReadValue(controlfile, "%d", &own[kSnowTemp].writecode, "Writegrid of the snow pack temperature grid for ",
            linebuffer);
  ReadStatisticLine(kStatSnowTemp, "Name of the snow pack temperature statistics for ");
  ReadGridLines(kSurfTemp, "Name of the snow surface temperature grid for ",
                "Writegrid of the snow surface temperature grid for ");
  ReadStatisticLine(kStatSurfTemp, "Name of the snow surface temperature statistics for ");
  ReadGridLines(kInputMass, "Name of the input mass grid for ", "Writegrid of the input mass grid for ");
  ReadStatisticLine(kStatInputMass, "Name of the input mass statistics for ");
  ReadGridLines(kMobileMass, "Name of the mobile mass grid for ", "Writegrid of the mobile mass grid for ");
  ReadStatisticLine(kStatMobileMass, "Name of the mobile mass statistics for ");
  ReadGridLines(kDeposition, "Name of the deposition grid for ", "Writegrid of the deposition grid for ");
  ReadStatisticLine(kStatDeposition, "Name of the deposition statistics for ");

  auto at = [&]() { return " (" + controlfile.Where() + ")"; };
  auto refuse = [&](const char* text, double value, int code, const char* note = "") {
    *diag << text << value << at().c_str() << note << "[end-entry]";
    throw code;
  };
  ReadValue(controlfile, "%lf", &maxDepositionSlope, "maximum slope for deposition for ", linebuffer);
  if (!(maxDepositionSlope >= 0 && maxDepositionSlope <= 90))
    refuse("FATAL: maxDepositionSlope not within parameter bounds of [0...90] Here: ", maxDepositionSlope, 405);
  // 0 is refused only where the slope divides the maximum deposition (no
  // "max_deposition" grid is given), when the grids are made.
  depositionslopeline = at();
  ReadValue(controlfile, "%lf", &maxDepositionFactor, "maximum deposition factor for ", linebuffer);
  if (!(maxDepositionFactor > 0))
    refuse("FATAL: maxDepositionFactor not within parameter bounds of (0...inf). Here: ", maxDepositionFactor, 406);
  ReadValue(controlfile, "%lf", &minSlideSlope, "minimum slope for slides for ", linebuffer);
  if (!(minSlideSlope > 0 && minSlideSlope <= 90))
    refuse("FATAL: minSlideSlope not within parameter bounds of [0...90]. Here: ", minSlideSlope, 407,
           ": it must be above 0 and at most 90 degrees (0 itself is refused)");
  ReadValue(controlfile, "%lf", &slideMassFrac, "slide mass fraction for ", linebuffer);
  if (!(slideMassFrac > 0 && slideMassFrac <= 1.0))
    refuse("FATAL: slideMassFrac not within parameter bounds of (0...1.0]. Here: ", slideMassFrac, 408);
  ReadValue(controlfile, "%lf", &LWINcorr, "incoming long wave radiation correction factor for ", linebuffer);
  if (!(LWINcorr > 0 && LWINcorr <= 3.0))
    refuse(
        "FATAL: incoming long wave radiation correction factor LWINcorr not within parameter bounds of (0...3.0]. "
        "Here: ",
        LWINcorr, 408);
  ReadValue(controlfile, "%lf", &LWOUTcorr, "outgoing long wave radiation correction factor for ", linebuffer);
  if (!(LWOUTcorr > 0 && LWOUTcorr <= 3.0))
    refuse(
        "FATAL: outgoing long wave radiation correction factor LWOUTcorr not within parameter bounds of (0...3.0]. "
        "Here: ",
        LWOUTcorr, 408);

  // Line 63, optional: the scaling of the energy balance.
  bool scaling = false;
  if (controlfile.GetLine(line)) {
    char* end = nullptr;
    const double v = std::strtod(line.c_str(), &end);
    if (end != line.c_str()) {
      // The factor scales the melt of the energy balance: no number, or one
      // of 0 or less, would stop or reverse it.
      if (!(v > 0 && v <= std::numeric_limits<double>::max()))
        refuse(
            "FATAL: scaling factor of the energy balance EnBalScaling not within parameter bounds of (0...inf). "
            "Here: ",
            v, 408);
      EnBalScaling = v;
      scaling = true;
    }
  }
  if (!scaling) {
    EnBalScaling = 1.0;
    *diag << "WARNING: \n------------- warning: -------------\n"
          << "Could not read the optional parameter EnBalScaling (double),\n"
          << "for snow melt methods with energy baöance that will be used for scaling the energy balance (i.e. "
             "affect melt rates)\n"
          << "Setting default values of 1.0"
          << "[end-entry]";
  }
}

void schneemodellklasse::CreateStatistics(StatRecord* registry, int registryCapacity) {
  for (int s = 0; s < kStatisticCount; ++s) {
    if ((s == kStatSnowTemp || s == kStatSurfTemp) && !EnergyBalanceMethod(method)) continue;
    if (s >= kStatInputMass && !RedistributionMethod(method)) continue;
    CreateZoneStatistic(stats[s], zonerecords, std::max(0, zonecount), registry, registryCapacity);
  }
}

Grid schneemodellklasse::Bind(const std::string& name) {
  return gridlist[GetGrid(name)].grid;
}

Grid schneemodellklasse::BindOptional(const std::string& name) {
  const int p = FindGrid(name, false);
  return p > 0 ? gridlist[p].grid : nullptr;
}

void schneemodellklasse::BindInputGrids(StatRecord* registry, int capacity) {
  if (!MPIRegions || !MPIHelper) BindMPIRegionGrids();
  elevation = gridlist[2].grid;
  albedo = Bind("albedo");
  snowevaporation = BindOptional("snow_evaporation");
  landuselayers = VegetationLayerCount(multilayertable);
  landuse.assign(static_cast<size_t>(landuselayers) + 1, nullptr);
  for (int k = 1; k <= landuselayers; ++k) landuse[k] = Bind("landuse" + std::to_string(k));
  if (!landusetable) {
    // Without a land-use table the albedo of a cell without snow is the one it started with.
    int first = 0, last = 0;
    InstanceRows(false, first, last);
    barealbedo = matrix(first, last, 1, ncols, nrows);
    for (int r = first; r <= last; ++r)
      for (int c = 1; c <= ncols; ++c) barealbedo[r][c] = albedo[r] ? albedo[r][c] : nodata;
  }
  // "[ice_firn]" is read after the land-use grids.
  if (FindGrid("ice_firn", false) > 0 || FindGrid("GlacierizedCells", false) > 0)
    ReadGlacierSection(registry, capacity);
  if (method == 4) vapourpressure = Bind("vapor_pressure");
  if (!WithoutWind(method)) windspeed = Bind("wind_speed");
  const int t = GetGridOf3("corr_temperature", "temperature", "temperature_14");
  temperature = gridlist[t].grid;
  temperaturename = gridlist[t].shortname;
  temperaturenight = timeinterval > 720 ? Bind("temperature_night") : temperature;
  if (RedistributionMethod(method)) {
    for (int k = 1; k <= 4; ++k) slidefraction[k] = Bind("slidefraction" + std::to_string(k));
    slopeangle = Bind("slope_angle");
  }
  if (DepositionIndexMethod(method)) {
    depositionindex = Bind("deposition_index");
    CheckDepositionIndex();
  }
  if (EnergyBalanceMethod(method)) {
    cloudiness = Bind("cloudiness");
    airhumidity = Bind("air_humidity");
    globalradiation = Bind("AspectCorrectedGlobalRadiation");
    surfacetemperature = BindOptional("surfacetemperature");
  }
}

void schneemodellklasse::CheckDepositionIndex() {
  // The wind adds D x snowfall to a cell's snowfall: -1 blows all of it away,
  // a value below -1 would make negative snowfall. A missing value (nodata)
  // adds nothing.
  int first = 0, last = 0;
  InstanceRows(false, first, last);
  for (int r = first; r <= last; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnCell(r, c)) continue;
      const double D = depositionindex[r][c];
      if (D <= nodata || (D >= -1 && D <= std::numeric_limits<double>::max())) continue;
      const int p = FindGrid("deposition_index", false);
      const std::string file = p > 0 ? gridlist[p].filename : std::string();
      char value[32];
      std::snprintf(value, sizeof value, "%g", D);
      Fatal("FATAL: in modul " + modulname + ":\nthe grid deposition_index" + (file.empty() ? "" : " (" + file + ")") +
                " holds " + value + " in row " + std::to_string(r) + ", column " + std::to_string(c) +
                ", a cell of the basin; a deposition index has to be -1 or more (-1: the wind takes all snowfall)",
            33);
    }
}

void schneemodellklasse::CreateGrid(OwnGrid g, int64_t first, int64_t last, double zoneValue, double elsewhere) {
  OwnGridEntry& e = own[g];
  e.grid = matrix(first, last, 1, ncols, nrows);
  e.first = first;
  e.last = last;
  for (int64_t r = first; r <= last; ++r) {
    const double* z = zonegrid && zonegrid[r] ? zonegrid[r] : nullptr;
    for (int c = 0; c <= ncols; ++c) e.grid[r][c] = (c >= 1 && z && !Missing(z[c])) ? zoneValue : elsewhere;
  }
}

void schneemodellklasse::RegisterOwnGrids() {
  int ownfirst = 0, ownlast = 0;
  InstanceRows(false, ownfirst, ownlast);
  const bool redistribution = RedistributionMethod(method);
  // Slides and dynamic glaciers work on instance 0 over the whole domain.
  storagewhole = redistribution || glaciermethod > 10;
  storagerange = storagewhole && mpirank == 0;
  storagefirst = storagerange ? 1 : ownfirst;
  storagelast = storagerange ? nrows : ownlast;

  // The state grids: read from their files or started empty.
  auto state = [&](OwnGrid g, bool wholeWhenRead, double readFill, double zoneValue) {
    if (readgrid == 1) {
      const bool keep = wholeWhenRead && storagewhole;
      ReadGrid(own[g].file, &own[g].grid, 0, true, true, false, keep, false, false, readFill);
      const bool whole = keep && mpirank == 0;
      own[g].first = whole ? 1 : ownfirst;
      own[g].last = whole ? nrows : ownlast;
    } else {
      CreateGrid(g, storagefirst, storagelast, zoneValue, nodata);
    }
  };
  state(kSolid, true, 0, 0);
  state(kLiquid, true, 0, 0);
  state(kTotal, true, 0, 0);
  state(kDaysSnow, false, 0, 0);
  state(kAge, false, 0, 0);
  if (EnergyBalanceMethod(method)) {
    state(kSnowTemp, false, kMeltingPoint, nodata);
    state(kSurfTemp, false, kMeltingPoint, nodata);
  }
  if (redistribution && !(maxDepositionSlope > 0) && FindGrid("max_deposition", false) <= 0) {
    *diag << "FATAL: maxDepositionSlope not within parameter bounds of (0...90] Here: " << maxDepositionSlope
          << depositionslopeline.c_str()
          << "; it divides the maximum deposition of a cell when no grid max_deposition is given"
          << "[end-entry]";
    throw 405;
  }
  if (redistribution) GatherSlideGrids();
  if (redistribution && mpirank == 0) {
    if (inputmaxdeposition) {
      own[kMaxDeposition].grid = inputmaxdeposition;
    } else {
      // What a cell can take up falls with its slope, to 0 at maxDepositionSlope.
      CreateGrid(kMaxDeposition, 1, nrows, 0, nodata);
      maxdepositionowned = true;
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c)
          if (slidezone[r] && !Missing(slidezone[r][c]))
            own[kMaxDeposition].grid[r][c] = maxDepositionFactor * (1.0 - slideslope[r][c] / maxDepositionSlope);
    }
    CreateGrid(kElevOrderRow, 1, nrows, nodata, nodata);
    CreateGrid(kElevOrderCol, 1, nrows, nodata, nodata);
    BuildElevationOrder();
  }
  if (redistribution) {
    CreateGrid(kInputMass, storagefirst, storagelast, 0, nodata);
    CreateGrid(kMobileMass, storagefirst, storagelast, 0, nodata);
    CreateGrid(kDeposition, storagefirst, storagelast, 0, nodata);
  }
  for (OwnGrid g : {kSnowFraction, kRainFraction, kOutflow, kMeltOutflow}) CreateGrid(g, ownfirst, ownlast, 0, nodata);

  // Consecutive positions from the first free one.
  int next = FreeGridPosition();
  for (int g = 0; g < kOwnGridCount; ++g) {
    OwnGridEntry& e = own[g];
    if (!e.grid || (g == kMaxDeposition && !maxdepositionowned)) continue;
    if (next >= kGridListMax || gridlist[next].registered || !gridlist[next].shortname.empty())
      next = FreeGridPosition();
    const bool withFile = g != kMaxDeposition && g != kElevOrderRow && g != kElevOrderCol;
    RegisterGrid(next, withFile ? e.file : std::string(), e.grid, nullptr, 0, e.shortname, withFile ? e.writecode : 0,
                 e.first, e.last);
    e.position = next;
    ++next;
  }
}

void schneemodellklasse::BuildElevationOrder() {
  struct Cell {
    int r;
    int c;
    double z;
  };
  std::vector<Cell> cells;
  const Grid zone = slidezone;
  for (int r = 1; r <= nrows; ++r) {
    if (!zone[r]) continue;
    for (int c = 1; c <= ncols; ++c)
      if (!Missing(zone[r][c])) cells.push_back(Cell{r, c, slideelevation[r][c]});
  }
  std::stable_sort(cells.begin(), cells.end(), [](const Cell& a, const Cell& b) { return a.z < b.z; });
  // Read from the end: the k-th zone cell in row-major order gets the k-th highest cell.
  size_t k = cells.size();
  for (int r = 1; r <= nrows; ++r) {
    if (!zone[r]) continue;
    for (int c = 1; c <= ncols; ++c) {
      if (Missing(zone[r][c])) continue;
      --k;
      own[kElevOrderRow].grid[r][c] = cells[k].r;
      own[kElevOrderCol].grid[r][c] = cells[k].c;
    }
  }
}
