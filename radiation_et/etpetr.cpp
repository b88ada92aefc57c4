// Evapotranspiration model: construction (section, checks, input and result
// grids, statistics), links, small numeric operations and release.
#include "radiation_et/etpetr.h"

#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "framework/strutil.h"
#include "framework/zonalstatistic.h"
#include "parameters/multilayer_landuse_entry.h"

namespace {
const char* const kMethodTag[5] = {"", "(Penman/Monteith)_", "(HAMON)_", "(WENDLING)_", "(HAUDE)_"};
const char* const kRule = "\n\n-----------------------------------------------------------------------\n";
const char* const kHead = "FATAL: \n---------------------- error in evapotranspiration model ------------------- \n";
}  // namespace

verdunstungsmodellklasse::verdunstungsmodellklasse(int& error, DiagStream* diagnostics, StatRecord* statRegistry,
                                                   int registryCapacity, const std::string& workFileName,
                                                   const SubModelArgs& common, int subSteps)
    : teilmodellklasse(diagnostics, "evapotranspiration", workFileName, 0, common, subSteps, false),
      registry(statRegistry),
      registrycapacity(registryCapacity) {
  error = 0;
  if (flowcontrol == 0 || !gridlist) return;
  try {
    *diag << "DEBUG: file "
          << "etpetr"
          << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
    BindMPIRegionGrids();
    LayerCount = VegetationLayerCount(multilayertable);
    const size_t n = static_cast<size_t>(LayerCount) + 1;
    for (auto* v : {&GridFileETP, &GridFileETR, &GridFileEIP, &StatFileETP, &StatFileETR, &StatFileEIP})
      v->assign(n, std::string());
    for (auto* v : {&landuse, &lai, &rootdepth, &coverage, &canopyres, &interceptres, &roughness, &etp, &etr, &eip})
      v->assign(n, nullptr);
    for (auto* v : {&etppos, &etrpos, &eippos}) v->assign(n, 0);
    etrfirst.assign(n, 0);
    etrlast.assign(n, 0);
    for (auto* v : {&etpstat, &etrstat, &eipstat}) v->assign(n, nullptr);
    for (auto* v : {&etpzones, &etrzones, &eipzones}) v->resize(n);

    ReadSection();
    CheckCoefficients();
    if (!controlfile.Close()) {
      *diag << "FATAL: error closing " << UserControlFile().c_str() << "[end-entry]";
      throw 11;
    }
    BindInputs();
    RegisterResults();
    if (FindGrid("GlacierizedCells", false) > 0)
      glacier = GridAt("GlacierizedCells");
    else if (FindGrid("ice_firn", false) > 0)
      glacier = GridAt("ice_firn");
    sigma = (timeinterval / 60) * 5.67e-08;
    if (hru) {
      hrugrid = GridAt("HydrologicResponseUnits");
      hrumaster = GridAt("MasterHydrologicResponseUnits");
      ForOwnCells([&](int r, int c) {
        if (hrumaster[r][c] > 0) hrumax = std::max(hrumax, static_cast<int64_t>(hrumaster[r][c]));
      });
    }
  } catch (int code) {
    error = code;
  } catch (...) {
    error = 103;
  }
}

verdunstungsmodellklasse::~verdunstungsmodellklasse() {
  // Statistics writers left by a construction that failed half-way.
  for (auto* v : {&etpstat, &etrstat, &eipstat})
    for (zonalstatistic*& s : *v) {
      delete s;
      s = nullptr;
    }
  for (zonalstatistic** s : {&evapstat, &evarstat, &evrsstat, &rgexstat, &cloudstat}) {
    delete *s;
    *s = nullptr;
  }
}

void verdunstungsmodellklasse::ReadSection() {
  ReadValue(controlfile, "%d", &Method, "Methode fuer ", linebuffer);
  // No other method computes a potential: the run would end later with a
  // message about sunshine or daily steps that does not name the method.
  if (Method < 1 || Method > 4) {
    *diag << "FATAL: error in control file, section [evapotranspiration]: the method " << Method << " ("
          << controlfile.Where().c_str() << ") is not 1 (Penman-Monteith), 2 (Hamon), 3 (Wendling) or 4 (Haude)"
          << "[end-entry]";
    throw 46;
  }
  if (Method > 1 && LayerCount > 1) {
    *diag << kHead
          << "\nModelling evapotranspiration after HAMON, WENDLING or HAUDE is only possible\nfor unlayered "
             "Vegetation. Actual parameters: method: "
          << Method << ", number of layers: " << LayerCount << kRule << "[end-entry]";
    throw 44;
  }
  if (Method > 1 && timeinterval < 1440) {
    *diag << kHead
          << "\nModelling evapotranspiration after HAMON, WENDLING or HAUDE is only possible\nfor daily time steps or "
             "larger. The actual time step is less than 1440 min.\nactual parameters: method: "
          << Method << ", timestep: " << timeinterval << " minutes" << kRule << "[end-entry]";
    throw 44;
  }
  // The monthly factors of Hamon and Haude: 24 numbers in a row, line ends count as blanks.
  auto twelve = [&](double* target, const char* name, const char* method) {
    int count = 0;
    for (int m = 1; m <= 12; ++m) {
      if (controlfile.Scan("%lf", {&target[m]}) != 1) break;
      ++count;
    }
    if (count < 12) {
      *diag << kHead << "there have to be 12 (monthly) values for the " << name << "-parameter for \n"
            << method << "-evaporation in the control file." << kRule << " (" << count << " values read before "
            << controlfile.Where().c_str() << ")"
            << "[end-entry]";
      throw 45;
    }
    target[0] = target[12];
    target[13] = target[1];
  };
  twelve(PEC, "PEC", "HAMON");
  twelve(fh, "fh", "HAUDE");
  ReadValue(controlfile, "%lf", &fk, "fk - Coastfactor (WENDLING) for", linebuffer);
  ReadValue(controlfile, "%s", &GridFileETP[0], "Name of the ETP-Grids for ", linebuffer);
  ReadValue(controlfile, "%d", &WriteCodeETP, "Writegrid ETP for ", linebuffer);
  ReadValues2(controlfile, "%s%d", &StatFileETP[0], &StatCodeETP, "Name of ETP-stat.file for ", linebuffer);
  ReadValue(controlfile, "%s", &GridFileETR[0], "Name of the ETR-Grids for ", linebuffer);
  ReadValue(controlfile, "%d", &WriteCodeETR, "Writegrid ETR for    ", linebuffer);
  ReadValues2(controlfile, "%s%d", &StatFileETR[0], &StatCodeETR, "Name of the ETR-stat.file for ", linebuffer);
  ReadValue(controlfile, "%s", &GridFileEVAP, "Name of the evaporation_potential-grid for ", linebuffer);
  ReadValue(controlfile, "%d", &WriteCodeEVAP, "Writegrid EVAP for    ", linebuffer);
  ReadValues2(controlfile, "%s%d", &StatFileEVAP, &StatCodeEVAP, "Name of the evaporation_potential-stat.files for ",
              linebuffer);
  ReadValue(controlfile, "%s", &GridFileEVAR, "Name of the evaporation_real grid for ", linebuffer);
  ReadValue(controlfile, "%d", &WriteCodeEVAR, "Writegrid evaporation real for    ", linebuffer);
  ReadValues2(controlfile, "%s%d", &StatFileEVAR, &StatCodeEVAR, "Name of the evaporation_real-stat.files for ",
              linebuffer);
  ReadValue(controlfile, "%s", &GridFileEVRS, "Name of the snow evaporation grid for ", linebuffer);
  ReadValue(controlfile, "%d", &WriteCodeEVRS, "Writegrid snow evaporation for    ", linebuffer);
  ReadValues2(controlfile, "%s%d", &StatFileEVRS, &StatCodeEVRS, "Name of the evaporation_real-stat.files for ",
              linebuffer);
  ReadValue(controlfile, "%s", &GridFileEIP[0], "Name of the EIP-Grids for ", linebuffer);
  ReadValue(controlfile, "%d", &WriteCodeEIP, "Writegrid ETP for ", linebuffer);
  ReadValues2(controlfile, "%s%d", &StatFileEIP[0], &StatCodeEIP, "Name of EIP-stat.file for ", linebuffer);
  ReadValues2(controlfile, "%s%d", &StatFileRGEX, &StatCodeRGEX, "Name of the RGEX-stat.file for ", linebuffer);

  // Unlabelled coefficient lines: each holds its numbers and nothing else
  // but a comment.
  std::string rest;
  auto coefficients = [&](int read, int expected, const char* what) {
    if (read == expected) return;
    const std::string where = controlfile.Where();
    const std::string word = controlfile.NextWord(100);
    *diag << "FATAL: error in control file, section [evapotranspiration]: the line of " << what << " needs " << expected
          << " numbers; " << (read < 0 ? 0 : read) << " read, then \"" << word.c_str() << "\", which is no number ("
          << where.c_str() << ")"
          << "[end-entry]";
    throw 10;
  };
  coefficients(controlfile.Scan("%lf%lf%lf%lf", {&RGCoeff[0], &RGCoeff[1], &RGCoeff[2], &RGCoeff[3]}), 4,
               "the radiation coefficients");
  WhereRGCoeff = "section [evapotranspiration], " + controlfile.Where();
  controlfile.RestOfLine(rest);
  coefficients(controlfile.Scan("%lf%lf%lf%lf", {&CS[0], &CS[1], &CS[2], &CS[3]}), 4,
               "the coefficients of the sunshine duration");
  WhereCS = "section [evapotranspiration], " + controlfile.Where();
  controlfile.RestOfLine(rest);
  coefficients(controlfile.Scan("%lf%lf", {&TransmissivityMean, &TransmissivityAmplitude}), 2,
               "the mean transmissivity and its amplitude");
  // The transmissivity of the atmosphere over the year is a share of the
  // radiation outside it: mean +- amplitude within 0 ... 1.
  if (!(TransmissivityMean - std::fabs(TransmissivityAmplitude) >= 0) ||
      !(TransmissivityMean + std::fabs(TransmissivityAmplitude) <= 1)) {
    *diag << "FATAL: error in control file, section [evapotranspiration]: the mean transmissivity "
          << TransmissivityMean << " and its amplitude " << TransmissivityAmplitude << " ("
          << controlfile.Where().c_str()
          << ") give values outside 0 ... 1 in the year; a transmissivity is a share of the radiation"
          << "[end-entry]";
    throw 10;
  }
  controlfile.RestOfLine(rest);
  coefficients(controlfile.Scan("%lf", {&AmplitudeHeightScale}), 1, "the amplitude height scale");
  // The daily temperature amplitude falls with elevation over this height (a
  // divisor); only daily Penman-Monteith splits the day's temperature.
  if (Method == 1 && timeinterval > 720 && !(AmplitudeHeightScale > 0)) {
    *diag << "FATAL: error in control file, section [evapotranspiration]: the height scale of the daily "
             "temperature amplitude is "
          << AmplitudeHeightScale << " m (" << controlfile.Where().c_str() << "); it has to be greater than 0"
          << "[end-entry]";
    throw 10;
  }
  controlfile.RestOfLine(rest);
  int monthly = 0;
  while (monthly < 12 && controlfile.Scan("%lf", {&MonthlyAmplitude[monthly + 1]}) == 1) ++monthly;
  coefficients(monthly, 12, "the monthly temperature amplitudes");
  controlfile.RestOfLine(rest);
  MonthlyAmplitude[0] = MonthlyAmplitude[12];
  MonthlyAmplitude[13] = MonthlyAmplitude[1];
  const int amplitudes = controlfile.Scan("%lf%lf", {&amplitude_fraction_day, &AnnualVariability});
  WhereAmplitude = "section [evapotranspiration], " + controlfile.Where();
  if (amplitudes != 2) {
    *diag << "FATAL: error reading fraction for temperature amplitude for day/night\n"
          << "or the annual variability\n"
          << " (" << controlfile.Where().c_str() << ")"
          << "[end-entry]";
    throw 10;
  }
  controlfile.RestOfLine(rest);
  // Optional cloudiness statistics: the next whole line.
  std::string line;
  if (controlfile.GetLine(line) && line.size() >= 3) {
    char word[1201] = {0};
    int code = 0;
    const int n = std::sscanf(line.c_str(), "%1200s%d", word, &code);
    if (n >= 1) {
      StatFileCloud = word;
      StatCodeCloud = n == 2 ? code : 0;
    }
  }

  // Names of the deeper layers from those of layer 0.
  for (int l = 1; l <= LayerCount; ++l) {
    GridFileETP[l] = LayerFileName(GridFileETP[0], l);
    GridFileETR[l] = LayerFileName(GridFileETR[0], l);
    GridFileEIP[l] = LayerFileName(GridFileEIP[0], l);
    StatFileETP[l] = LayerFileName(StatFileETP[0], l);
    StatFileETR[l] = LayerFileName(StatFileETR[0], l);
    StatFileEIP[l] = LayerFileName(StatFileEIP[0], l);
    for (const std::string* s :
         {&GridFileETP[l], &GridFileETR[l], &GridFileEIP[l], &StatFileETP[l], &StatFileETR[l], &StatFileEIP[l]})
      if (s->size() > kMaxPathLength) {
        *diag << "FATAL: error in control file, section [evapotranspiration] of " << UserControlFile().c_str()
              << ": the file name of vegetation layer " << l << " would be longer than " << kMaxPathLength
              << " characters: " << s->substr(0, 80).c_str() << "..."
              << "[end-entry]";
        throw 17;
      }
  }
}

void verdunstungsmodellklasse::CheckCoefficients() {
  if (amplitude_fraction_day < 0 || amplitude_fraction_day > 1) {
    *diag << "FATAL: \n---------------------------- error in control file --------------------\n\nThe splitting of the "
             "temperature amplitude between day and night\nhas to be done in a way that the fraction for the bright "
             "day is between 0..1\nread: amplitude_fraction_day: "
          << amplitude_fraction_day << kRule << " (" << WhereAmplitude.c_str() << ")"
          << "[end-entry]";
    throw 10;
  }
  AmplitudeFractionNight = 1 - amplitude_fraction_day;
  if (RGCoeff[0] < 0.05) {
    *diag << "FATAL: fraction of diffuse radiation is too small: " << RGCoeff[0] << " (should be 0.05 ... 0.5)\n"
          << " (" << WhereRGCoeff.c_str() << ")"
          << "[end-entry]";
    throw 10;
  }
  if (RGCoeff[0] > 0.5) {
    *diag << "FATAL: fraction of diffuse radiation is too large: " << RGCoeff[0] << " (should be 0.05 ... 0.5)\n"
          << " (" << WhereRGCoeff.c_str() << ")"
          << "[end-entry]";
    throw 10;
  }
  const double sum = RGCoeff[0] + RGCoeff[1] + RGCoeff[2] + RGCoeff[3];
  if (std::fabs(sum - 1) > 0.01) {
    *diag << "FATAL: die Koeffizienten fuer die Modellierung der Globalstrahlung muessen in ihrer Summe 1 ergeben\n"
          << " derzeitige Summe: " << RGCoeff[0] << " + " << RGCoeff[1] << " + " << RGCoeff[2] << " + " << RGCoeff[3]
          << " = " << sum << " (" << WhereRGCoeff.c_str() << ")"
          << "[end-entry]";
    throw 10;
  }
  if (CS[3] == 0 && CS[2] == 0 && CS[1] == 0) {
    *diag << "FATAL: The coefficients for sunshine duration modelling are wrong!\nThere must be at minimum a linear "
             "relationship\nbetween radiation and sunshine duration\nCS[0]="
          << CS[0] << ", CS[1]=" << CS[1] << ", CS[2]=" << CS[2] << ", CS[3]=" << CS[3] << "\n\n"
          << " (" << WhereCS.c_str() << ")"
          << "[end-entry]";
    throw 10;
  }
  auto inside = [](double x) { return x >= 0 && x <= 1; };
  bool found = false;
  auto pick = [&](int roots, double x1, double x2) {
    if (roots == 0) return;
    if (inside(x2)) {
      CSRoot = x2;
      found = true;
    } else if (inside(x1)) {
      CSRoot = x1;
      found = true;
    }
  };
  double x1 = 0, x2 = 0;
  if (CS[3] == 0 && CS[2] == 0) {
    const double x = -CS[0] / CS[1];
    if (inside(x)) {
      CSRoot = x;
      found = true;
    }
  } else if (CS[3] == 0) {
    const int roots = SolveQuadratic(CS[1] / CS[2], CS[0] / CS[2], x1, x2);
    pick(roots, x1, x2);
  } else {
    // The threshold of the cubic is the turning point of the polynomial.
    const int roots = SolveQuadratic(2 * CS[2] / (3 * CS[3]), CS[1] / (3 * CS[3]), x1, x2);
    pick(roots, x1, x2);
  }
  if (!found) {
    *diag << "FATAL: \n----------------------------!! Error !! -----------------------\nThe coefficients for sunshine "
             "duration modelling are wrong!\nNo null point (root) was found between 0 and 1!\nCS[0]="
          << CS[0] << ", CS[1]=" << CS[1] << ", CS[2]=" << CS[2] << ", CS[3]=" << CS[3]
          << "\n\nuse e.g.: CS[0]=0.072, CS[1]=-0.808, CS[2]=1.749, CS[3]=-0.239\n"
             "----------------------------------------------------------------"
          << " (" << WhereCS.c_str() << ")"
          << "[end-entry]";
    throw 10;
  }
}

void verdunstungsmodellklasse::BindInputs() {
  auto has = [&](const char* name) { return FindGrid(name, false) > 0; };
  InputFlags = 0;
  if (Method == 1) {
    if (has("air_pressure")) InputFlags += kAirPressure;
    if (has("landuse0")) InputFlags += kLanduse0;
    if (has("wind_speed")) InputFlags += kWind;
    if (has("air_humidity")) InputFlags += kHumidity;
    if (has("vapor_pressure")) InputFlags += kVapour;
  }
  if (Method == 4) {
    // Haude's monthly factors are made for the values at 14 o'clock:
    // temperature_14 and air_humidity_14 or vapor_pressure_14. A run
    // without them takes the step's grids in their place (a WARNING names
    // them): with daily means the evapotranspiration comes out lower.
    const bool humidity14 = has("air_humidity_14") || has("vapor_pressure_14");
    HumidityName = humidity14 ? "air_humidity_14" : "air_humidity";
    VapourName = humidity14 ? "vapor_pressure_14" : "vapor_pressure";
    if (has(HumidityName.c_str())) InputFlags += kHumidity;
    if (has(VapourName.c_str())) InputFlags += kVapour;
    TemperatureName = has("temperature_14")     ? "temperature_14"
                      : has("corr_temperature") ? "corr_temperature"
                      : has("temperature")      ? "temperature"
                                                : "";
    if (TemperatureName.empty()) {
      *diag << "FATAL: evapotranspiration after HAUDE (method 4 in section [evapotranspiration] of "
            << UserControlFile().c_str()
            << ") needs the air temperature at 14 o'clock, a grid named temperature_14 (else the step's temperature "
               "or corr_temperature); none of them is present"
            << "[end-entry]";
      throw 33;
    }
    std::string standin;
    if (TemperatureName != "temperature_14") standin += TemperatureName + " for temperature_14";
    if (!humidity14 && (InputFlags & (kHumidity | kVapour)))
      standin += (standin.empty() ? "" : ", ") +
                 std::string(InputFlags & kHumidity ? "air_humidity" : "vapor_pressure") + " for " +
                 (InputFlags & kHumidity ? "air_humidity_14" : "vapor_pressure_14");
    if (!standin.empty())
      *diag << "WARNING: evapotranspiration after HAUDE (method 4 in section [evapotranspiration] of "
            << UserControlFile().c_str() << ") takes the values at 14 o'clock, which are not given: " << standin.c_str()
            << " stand in for them; Haude's monthly factors are made for the values at 14 o'clock, with the step's "
               "means the evapotranspiration comes out lower"
            << "[end-entry]";
  }
  if (Method == 1 || Method == 3) {
    if (has("net_radiation")) {
      UseNetRadiation = 1;
      InputFlags += kRadiation;
    } else {
      UseNetRadiation = 0;
      if (has("global_radiation")) InputFlags += kRadiation;
    }
    if (has("sunshine_duration")) InputFlags += kSunshine;
  }
  if (Method != 2 && Method != 4 && !(InputFlags & (kRadiation | kSunshine))) {
    *diag << "FATAL: --------------------------- ERROR ----------------------------------------\n"
          << "Evapotranspiration requires at least one of the following entities\n"
          << "erlative sunshine duration (SSD, in 1/1)  or global radiation  (RG, in Wh/m^2).\n"
          << "or net radiation (RN, in Wh/m^2) (either RG or RN!)\n"
          << "-------------------------------------------------------------------\n"
          << " (method " << Method << " in section [evapotranspiration] of " << UserControlFile().c_str() << ")"
          << "[end-entry]";
    throw 46;
  }
  if (!(InputFlags & (kHumidity | kVapour))) {
    if (Method == 1 || Method == 4) {
      *diag << "FATAL: ---------------------------- ERROR ---------------------------------------\n"
            << "Evapotranspiration requires at least one of the following entities\n"
            << "vapor pressure (e, in mbar) or relative air humidity (RLF, in 1/1).\n"
            << "-------------------------------------------------------------------\n"
            << " (method " << Method << " in section [evapotranspiration] of " << UserControlFile().c_str()
            << (Method == 4 ? "; HAUDE takes the values at 14 o'clock, grids named air_humidity_14 or "
                              "vapor_pressure_14 with temperature_14, else the step's air_humidity or vapor_pressure "
                              "with temperature; none of the humidity grids is present)"
                            : "; the grids are named air_humidity or vapor_pressure; neither is present)")
            << "[end-entry]";
      throw 46;
    }
  }
  if (Method == 4 || GetGridOf3("corr_temperature", "temperature", "temperature") > 0) InputFlags += kTemperature;

  temperature = Method == 4 ? GridAt(TemperatureName)
                            : gridlist[GetGridOf3("corr_temperature", "temperature", "temperature")].grid;
  elevation = GridAt("[elevation_model]");
  if (LayerCount > 1) landuse[0] = GridAt("landuse");
  for (int l = 1; l <= LayerCount; ++l) landuse[l] = GridAt(Numbered("landuse", l).c_str());
  if (Method == 1) {
    wind = GridAt("wind_speed");
    for (int l = 1; l <= LayerCount; ++l) {
      lai[l] = GridAt(Numbered("leaf_area_index", l));
      rootdepth[l] = GridAt(Numbered("root_depth", l));
      coverage[l] = GridAt(Numbered("vegetation_coverage_degree", l));
      canopyres[l] = GridAt(Numbered("SurfaceCanopyResistance", l));
      interceptres[l] = GridAt(Numbered("SurfaceIntercepResistance", l));
      roughness[l] = GridAt(Numbered("RoughnessLength", l));
    }
    evaporationres = GridAt("SurfaceEvaporationResistance");
  }
  if (Method == 1 || Method == 3) albedo = GridAt("albedo");
  nighttemperature = (Method == 1 && timeinterval > 720) ? GridAt("temperature_night") : temperature;
  if (InputFlags & kRadiation) radiation = GridAt(UseNetRadiation ? "net_radiation" : "global_radiation");
  if (InputFlags & kSunshine) sunshine = GridAt("sunshine_duration");
  if (InputFlags & kVapour) vapour = GridAt(VapourName);
  if (InputFlags & kHumidity) humidity = GridAt(HumidityName);
  if (InputFlags & kAirPressure) airpressure = GridAt("air_pressure");
}

void verdunstungsmodellklasse::ColumnsOf(int r, int& c0, int& c1) const {
  c0 = 1;
  c1 = ncols;
  if (datacols) {
    c0 = std::max(1, datacols[r].first);
    c1 = std::min(ncols, datacols[r].last);
  }
}

int verdunstungsmodellklasse::ZoneOf(int r, int c) const {
  const double code = zonegrid[r][c];
  if (zoneindex && code >= 0 && code <= maxzonecode) return zoneindex[static_cast<int>(code)];
  return 0;
}

Grid verdunstungsmodellklasse::NewResultGrid(int first, int last, double value) {
  Grid g = matrix(first, last, 1, ncols, nrows);
  for (int r = first; r <= last; ++r)
    for (int c = 0; c <= ncols; ++c) g[r][c] = (c > 0 && OwnCell(r, c)) ? value : nodata;
  return g;
}

zonalstatistic* verdunstungsmodellklasse::NewStatistics(std::vector<ZoneRecord>& records, const std::string& file,
                                                        int code, int decimals, const std::string& header,
                                                        const std::string& second) {
  const int zones = zonerecords ? std::max(0, zonecount) : 0;
  records.assign(static_cast<size_t>(zones) + 1, ZoneRecord{0, 0, 0, 0, 0});
  if (zonerecords)
    for (int k = 0; k <= zones; ++k) {
      records[k] = zonerecords[k];
      records[k].n = 0;
      records[k].sx = 0;
    }
  int error = 0;
  auto s = std::make_unique<zonalstatistic>(error, diag, registry, registrycapacity, relcellarea, nrows, ncols,
                                            records.data(), zones, code, decimals, file, DefaultOutputDirectory,
                                            outputlistcount, outputlist);
  if (error != 0) throw error;
  s->WriteHeader(header, second, registry, registrycapacity);
  return s.release();
}

void verdunstungsmodellklasse::RegisterResults() {
  // Positions are taken in order among the free ones; an occupied one is never overwritten.
  int p = 1;
  auto next = [&](const char* message, const char* tail) {
    while (p < kGridListMax && (!gridlist[p].shortname.empty() || gridlist[p].registered)) ++p;
    if (p >= kGridListMax) {
      *diag << message << kGridListMax << tail << "[end-entry]";
      throw 12;
    }
    return p++;
  };
  const std::string tag = kMethodTag[Method >= 1 && Method <= 4 ? Method : 0];
  for (int l = 0; l <= LayerCount; ++l) {
    std::string name = Numbered("pot_transpiration", l);
    int q = next("FATAL: no free grid left", "");
    etp[l] = NewResultGrid(firstrow, lastrow, 0.0);
    RegisterGrid(q, GridFileETP[l], etp[l], nullptr, 0, name, WriteCodeETP, firstrow, lastrow);
    etppos[l] = q;
    etpstat[l] = NewStatistics(etpzones[l], StatFileETP[l], StatCodeETP, 5, name + tag, modulname);

    name = Numbered("real_transpiration", l);
    q = next("FATAL: no free grid left of ", "!\n");
    etrfirst[l] = mpirank == 0 ? 1 : firstrow;
    etrlast[l] = mpirank == 0 ? nrows : lastrow;
    etr[l] = NewResultGrid(static_cast<int>(etrfirst[l]), static_cast<int>(etrlast[l]), 0.0);
    RegisterGrid(q, GridFileETR[l], etr[l], nullptr, 0, name, WriteCodeETR, etrfirst[l], etrlast[l]);
    etrpos[l] = q;
    etrstat[l] =
        NewStatistics(etrzones[l], StatFileETR[l], StatCodeETR, 5,
                      l == 0 ? "total_Evapotranspiration_as_sum_of_ETR1..n_EI1..n_EVAR_and_EVRS_" : name, modulname);

    name = Numbered("potential_InterceptionEvap", l);
    q = next("FATAL: no free ghrid left of ", "!\n");
    eip[l] = NewResultGrid(firstrow, lastrow, 0.0);
    RegisterGrid(q, GridFileEIP[l], eip[l], nullptr, 0, name, WriteCodeEIP, firstrow, lastrow);
    eippos[l] = q;
    eipstat[l] = NewStatistics(eipzones[l], StatFileEIP[l], StatCodeEIP, 5, name, modulname);
  }
  auto single = [&](Grid& g, int& position, const std::string& file, const char* name, int code, double value) {
    position = FreeGridPosition();
    g = NewResultGrid(firstrow, lastrow, value);
    RegisterGrid(position, file, g, nullptr, 0, name, code, firstrow, lastrow);
  };
  single(evap, evappos, GridFileEVAP, "potential_evaporation", WriteCodeEVAP, 0.0);
  single(evar, evarpos, GridFileEVAR, "real_evaporation", WriteCodeEVAR, 0.0);
  single(evrs, evrspos, GridFileEVRS, "snow_evaporation", WriteCodeEVRS, 0.0);
  single(rgex, rgexpos, GridFileRGEX, "AspectCorrectedGlobalRadiation", WriteCodeRGEX, 0.0);
  single(cloud, cloudpos, GridFileCloud, "cloudiness", WriteCodeCloud, 0.0);
  single(ssdtemp, ssdtemppos, "SSDTemp", "SSDTemp", 0, 0.5);
  // Daily Penman-Monteith keeps the step's temperature to put it back after the day part has served the snow.
  if (Method == 1 && timeinterval > 720) steptemperature = NewResultGrid(firstrow, lastrow, 0.0);
  evapstat = NewStatistics(evapzones, StatFileEVAP, StatCodeEVAP, 5, "potential_evaporation", "");
  evarstat = NewStatistics(evarzones, StatFileEVAR, StatCodeEVAR, 5, "real_evaporation", "");
  evrsstat = NewStatistics(evrszones, StatFileEVRS, StatCodeEVRS, 5, "snow_evaporation", "");
  rgexstat =
      NewStatistics(rgexzones, StatFileRGEX, StatCodeRGEX, 2, "Global_Radiation_corrected_by_Exposition_", modulname);
  cloudstat = NewStatistics(cloudzones, StatFileCloud, StatCodeCloud, 2, "cloudiness", modulname);
}

zonalstatistic* verdunstungsmodellklasse::GetStatistics(const std::string& kind, int layer) const {
  auto at = [&](const std::vector<zonalstatistic*>& v) {
    return layer >= 0 && layer < static_cast<int>(v.size()) ? v[layer] : nullptr;
  };
  if (kind == "ETP") return at(etpstat);
  if (kind == "ETR") return at(etrstat);
  if (kind == "EIP") return at(eipstat);
  if (kind == "EVAP") return evapstat;
  if (kind == "EVAR") return evarstat;
  if (kind == "EVRS") return evrsstat;
  if (kind == "RGEX") return rgexstat;
  if (kind == "Cloud") return cloudstat;
  return nullptr;
}

// ---------------------------------------------------------------- small operations

void verdunstungsmodellklasse::SetSubSteps(int count) {
  teilmodellklasse::SetSubSteps(count);
}

void verdunstungsmodellklasse::InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* reg,
                                               int capacity) {
  teilmodellklasse::InitTracerGrids(error, count, settings, reg, capacity);
}

void verdunstungsmodellklasse::FreeTracerArrays() {
  teilmodellklasse::FreeTracerArrays();
}

int verdunstungsmodellklasse::SolveQuadratic(double p, double q, double& x1, double& x2) {
  const double D = p * p / 4 - q;
  if (D > 0) {
    x1 = -p / 2 - std::sqrt(D);
    x2 = -p / 2 + std::sqrt(D);
    return 2;
  }
  if (D == 0) {
    x1 = x2 = -p / 2;
    return 1;
  }
  x1 = x2 = 0;
  return 0;
}

double verdunstungsmodellklasse::SatVapPressure(double T) {
  return 6.1078 * std::exp(17.269 * T / (237.3 + T));
}

Grid verdunstungsmodellklasse::LinkSoilStorage() {
  if (flowcontrol == 0) return nullptr;
  soilstorage = GridAt("soil_storage");
  availablesoil = GridAt("available_soil_moisture");
  return availablesoil;
}

int verdunstungsmodellklasse::SetSolidSnowStorageGrid(Grid grid) {
  if (flowcontrol != 0) solidsnow = grid;
  return flowcontrol;
}

int verdunstungsmodellklasse::SetRadiationCorrectionGrid(Grid grid) {
  if (flowcontrol != 0) radiationcorrection = grid;
  return flowcontrol;
}

void verdunstungsmodellklasse::SetSnowMethod(int method) {
  snowmethod = method;
}

void verdunstungsmodellklasse::SubStepHook(int64_t, int64_t, int64_t, int64_t) {}

void verdunstungsmodellklasse::WriteStatistics() {
  if (flowcontrol == 0) return;
  for (size_t l = 0; l < etpstat.size(); ++l)
    for (zonalstatistic* s : {etpstat[l], eipstat[l], etrstat[l]})
      if (s) s->Flush();
  for (zonalstatistic* s : {rgexstat, cloudstat, evarstat, evapstat, evrsstat})
    if (s) s->Flush();
}

void verdunstungsmodellklasse::Log(const char* text, int64_t stepHour, int64_t stepDay, int64_t stepMonth,
                                   int64_t stepYear) {
  if (omp_in_parallel()) return;
  const int interval = std::max(1, reportinterval);
  if (interval == 1 || (static_cast<int64_t>(mintointendhours) + stepHour) % interval == 0)
    *diag << std::setw(20) << text << " " << static_cast<long>(stepDay) << "." << static_cast<long>(stepMonth) << "."
          << static_cast<long>(stepYear) << " " << static_cast<long>(stepHour) << ". h "
          << "(time of meteo data)"
          << "[end-entry]";
}

// ---------------------------------------------------------------- release

void verdunstungsmodellklasse::FinishStatistics(zonalstatistic*& s) {
  if (!s) return;
  s->Finish();
  delete s;
  s = nullptr;
}

namespace {
constexpr const char* kSunshineSection = "[evapotranspiration]";
}  // namespace

void verdunstungsmodellklasse::ReadStorageFile(const std::string& fileName, int readParameter) {
  if (flowcontrol == 0 || fileName.empty() || readParameter == 2 || readParameter == 4) return;
  storagefile = fileName;
  if (readParameter == 0 || !ssdtemp) return;
  std::string path = fileName;
  MakePath(InitialStateDirectory, path);
  // Instance 0 reads the counters and the rows of the basin and hands them on:
  // period, counter, first and last row, then the rows' values.
  std::vector<double> head(4, 0.0), values;
  if (mpirank == 0) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rt"), &std::fclose);
    if (!file) {
      *diag << "FATAL: " << modulname.c_str() << ": error opening storage content file " << path.c_str()
            << " (the relative sunshine of a warm start)"
            << "[end-entry]";
      throw 64;
    }
    char line[1202];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, file.get())) found = std::strstr(line, kSunshineSection) != nullptr;
    auto fail = [&](const std::string& what) {
      *diag << "FATAL: error in storage file content reading the section " << kSunshineSection << " in " << path.c_str()
            << ": " << what.c_str() << "[end-entry]";
      throw 71;
    };
    if (!found)
      fail(
          "the section is missing (a file cut short, or written by a run without evapotranspiration): the "
          "relative sunshine of the day so far is part of the state");
    int period = 0, counter = 0, first = 0, last = 0, cols = 0;
    if (std::fscanf(file.get(), "%d %d %d %d %d", &period, &counter, &first, &last, &cols) != 5 || period < 0 ||
        period > 1 || counter < 0)
      fail("expected the daylight period's switch (0 or 1), its steps, the first and last row and the columns");
    if (first < 1 || last > nrows || first > last + 1 || cols != ncols)
      fail("rows " + std::to_string(first) + " to " + std::to_string(last) + " of " + std::to_string(cols) +
           " columns do not fit the model grid of " + std::to_string(nrows) + " rows and " + std::to_string(ncols) +
           " columns");
    std::fgets(line, sizeof line, file.get());
    values.resize(static_cast<size_t>(last - first + 1) * ncols);
    for (size_t k = 0; k < values.size(); ++k)
      if (std::fscanf(file.get(), "%lf", &values[k]) != 1 || !std::isfinite(values[k]))
        fail(std::string(std::feof(file.get()) ? "the file ends early" : "no number") +
             " at the relative sunshine of row " + std::to_string(first + static_cast<int>(k) / ncols) + ", column " +
             std::to_string(static_cast<int>(k) % ncols + 1));
    head = {double(period), double(counter), double(first), double(last)};
  }
  if (mpisize > 1 && MpiRunning()) {
    MPI_Bcast(head.data(), 4, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    values.resize(static_cast<size_t>(head[3] - head[2] + 1) * ncols);
    MPI_Bcast(values.data(), static_cast<int>(values.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD);
  }
  ssdperiod = static_cast<int>(head[0]);
  ssdcounter = static_cast<int>(head[1]);
  const int first = static_cast<int>(head[2]), last = static_cast<int>(head[3]);
  // The own cells: another instance's cells of a shared row are its own.
  for (int r = std::max(first, firstrow); r <= std::min(last, lastrow); ++r)
    for (int c = 1; c <= ncols; ++c)
      if (OwnCell(r, c)) ssdtemp[r][c] = values[static_cast<size_t>(r - first) * ncols + (c - 1)];
}

void verdunstungsmodellklasse::WriteStorageFile() {
  if (flowcontrol == 0 || storagefile.empty() || !ssdtemp) return;
  // Every cell from the instance that owns it on instance 0 (the largest of
  // the values: the other instances give the lowest number); the cells
  // outside the zones from every instance that holds their row (all hold
  // no-data there).
  const double none = std::numeric_limits<double>::lowest();
  std::vector<double> all(static_cast<size_t>(nrows) * ncols, none), mine = all;
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c)
      if (OwnCell(r, c) || !(zonegrid[r][c] > nodata))
        mine[static_cast<size_t>(r - 1) * ncols + (c - 1)] = ssdtemp[r][c];
  if (mpisize > 1 && MpiRunning())
    MPI_Reduce(mine.data(), all.data(), static_cast<int>(all.size()), MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD);
  else
    all = mine;
  int first = nrows + 1, last = 0;
  for (int r = 1; r <= nrows; ++r)
    if (all[static_cast<size_t>(r - 1) * ncols] > none) {
      first = std::min(first, r);
      last = r;
    }
  if (last < first) first = last = 0;
  if (mpirank != 0) return;
  std::string path = storagefile;
  MakePath(DefaultOutputDirectory, path);
  std::FILE* f = std::fopen(path.c_str(), "a");
  if (!f) {
    *diag << "WARNING: the state of " << modulname.c_str() << " could not be written: error opening " << path.c_str()
          << "[end-entry]";
    return;
  }
  bool ok = std::fprintf(f,
                         "%s\n%d %d %d %d %d (daylight period running, its steps, first and last row and columns of "
                         "the relative sunshine that follows: its sum in the period, at night the mean of the last)\n",
                         kSunshineSection, ssdperiod, ssdcounter, first, last, ncols) >= 0;
  for (int r = first; ok && r >= 1 && r <= last; ++r)
    for (int c = 1; ok && c <= ncols; ++c)
      ok = std::fprintf(f, c == ncols ? "%.17g\n" : "%.17g ", all[static_cast<size_t>(r - 1) * ncols + (c - 1)]) >= 0;
  ok = std::fprintf(f, "\n") >= 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  if (!ok)
    *diag << "WARNING: the state of " << modulname.c_str() << " could not be written completely to " << path.c_str()
          << "[end-entry]";
}

void verdunstungsmodellklasse::FreeMemory() {
  if (flowcontrol > 0 && gridlist) {
    if (initialized) WriteStorageFile();
    for (auto* v : {&landuse, &lai, &rootdepth, &coverage, &canopyres, &interceptres, &roughness}) v->clear();
    for (zonalstatistic** s : {&rgexstat, &cloudstat, &evapstat, &evarstat, &evrsstat}) FinishStatistics(*s);
    for (size_t l = 0; l < etp.size(); ++l) {
      FinishStatistics(etpstat[l]);
      FinishStatistics(eipstat[l]);
      FinishStatistics(etrstat[l]);
      ReleaseRegisteredGrid(etppos[l], etp[l]);
      ReleaseRegisteredGrid(eippos[l], eip[l]);
      ReleaseRegisteredGrid(etrpos[l], etr[l]);
    }
    ReleaseRegisteredGrid(evappos, evap);
    ReleaseRegisteredGrid(evarpos, evar);
    ReleaseRegisteredGrid(evrspos, evrs);
    ReleaseRegisteredGrid(rgexpos, rgex);
    ReleaseRegisteredGrid(cloudpos, cloud);
    ReleaseRegisteredGrid(ssdtemppos, ssdtemp);
    if (steptemperature) FreeMatrix(steptemperature, firstrow, lastrow, 1, ncols);
    steptemperature = nullptr;
  }
  teilmodellklasse::FreeMemory();
}
