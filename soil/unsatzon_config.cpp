// Construction of the unsaturated zone: the section "[unsatzon_model]" with
// its per-subbasin table, "[unsatzon_tuning]" and "[permafrost]".
#include <mpi.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "framework/diagstream.h"
#include "framework/zonalstatistic.h"
#include "parameters/multilayer_landuse_entry.h"
#include "parameters/soil_table_entry.h"
#include "soil/unsatzon.h"

namespace {
// Appended to every error of the per-subbasin table.
const char* const kHelp =
    "\npossible error by using the same parameters\nfor groups of subbasins:\nat least the first AND the last "
    "subbasin code have\nto be specified with all their parameters like this:\n(if the smallest code is 1 and the "
    "largest code is 8)\n1\t8\n3\t3\n8\t8\n14\t14\n0.4\t0.4\n0.01\t0.01\n0.1\t0.1\n..\t..\nThen, to all "
    "subcatchments with zone-codes ranging from 1 to 7 the \nparameters of subbasin 1 will be assigned!";

// Labels of the statistics lines, in reading order.
const char* const kStatLabels[unsatzonmodellklasse::kStatLineCount] = {
    "name of the QDRAINstatfiles in ", "name of the GWSTANDstatfiles in ", "name of the GWNstatfiles in ",
    "name of the SB_1_statfiles in ",  "name of the SB_2_statfiles in ",   "name of the ROOTstatfiles in ",
    "name of the INFEXstatfiles in ",  "name of the PONDstatfiles in ",    "name of the QDstatfiles in ",
    "name of the QIstatfiles in ",     "name of the QBstatfiles in ",      "name of the Qgstatfiles in ",
    "name of the GWINstatfiles in ",   "name of the GWEXstatfiles in ",    "name of the MACROstatfiles in ",
    "name of the INFILTstatfiles in "};

// Labels of the output file name and write code lines, in reading order.
const char* const kOutLabels[unsatzonmodellklasse::kOutFileCount][2] = {
    {"name of the SB05-Grids in ", "Writegrid SB05-Grid in   "},
    {"name of the SB1_-Grids in ", "Writegrid SB1_-Grid in   "},
    {"name of the WURZ-Grids in ", "Writegrid WURZ-Grid in   "},
    {"name of the Theta_stacks in ", "Writecode Theta in "},
    {"name of the hh-stacks in ", "Writecode hh in "},
    {"name of the hgeo-stacks in ", "Writecode hgeo in "},
    {"name of the q_unten-stacks in ", "Writecode qunten in "},
    {"name of the GWSTAND-Grids in ", "Writegrid GWSTAND-Grid in   "},
    {"name of the GWtheta-Grids in ", "Writegrid GWtheta-Grid in   "},
    {"name of the GWN-Grids in ", "Writegrid GWN-Grid in   "},
    {"name of the MACROPORE-Infiltration-Grids in ", "Writegrid MACROPORE-Infiltration-Grid in   "},
    {"name of the GWN-Uprise-Grids in ", "Writegrid GWN-Uprise-Grid in   "},
    {"name of the GWN-PERCOL-Grids in ", "Writegrid GWN-PERCOL-Grid in   "},
    {"name of the GWLEVEL-Grids in ", "Writegrid GWLEVEL-Grid in   "},
    {"name of the infiltration excess grid in ", "Writegrid INFEX in   "},
    {"name of the saturation grid in ", "Writegrid Satt-Merker in   "},
    {"name of the QD-Grids in ", "Writegrid QD-Grid in   "},
    {"name of the QI-Grids in ", "Writegrid QI-Grid in   "},
    {"name of the DELTAGW-Grids in ", "Writegrid DELTAGW-Grid in   "},
    {"name of the GWIN-Grids in ", "Writegrid GWIN-Grid in   "},
    {"name of the GWEX-Grids in ", "Writegrid GWEX-Grid in   "},
    {"name of the POND-Grids in ", "Writegrid POND-Grid in   "},
    {"name of the QDRAIN-Grids in ", "Writegrid QDRAIN-Grid in   "},
    {"name of the IRRIG-Grids in ", "Writegrid IRRIG-Grid in   "}};

const char* const kPointLabels[6] = {"Name of the Qbottom-file in ",    "Name of the Theta-file in ",
                                     "Name of the hhyd-file in ",       "Name of the Otherdata file in ",
                                     "Name of the etr-detail file in ", "Name of the interflow file in "};

// Names of at most this many characters fit the module's name buffers.
constexpr size_t kMaxName = 1199;
// A value as the user wrote it, in the shortest form ("-5", "1e-08").
std::string FormatValue(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}
}  // namespace

unsatzonmodellklasse::unsatzonmodellklasse(int& error, DiagStream* diagnostics, StatRecord* registry,
                                           int registryCapacity, const std::string& workFileName,
                                           const SubModelArgs& common, IrrigationTable* irrigationTable, int subSteps)
    : teilmodellklasse(diagnostics, "unsatzon_model", workFileName, 0, common, subSteps, false),
      irrigationtable(irrigationTable) {
  error = 0;
  if (flowcontrol == 0) return;
  try {
    Configure(registry, registryCapacity);
  } catch (int code) {
    error = code;
  } catch (...) {
    error = 103;
  }
}

unsatzonmodellklasse::~unsatzonmodellklasse() {
  if (!freed) {
    try {
      FreeMemory();
    } catch (...) {
    }
  }
}

void unsatzonmodellklasse::ModuleFatal(const std::string& text, int code) {
  Fatal("FATAL: in modul " + modulname + ":\n" + text, code);
}

void unsatzonmodellklasse::Configure(StatRecord* registry, int registryCapacity) {
  statregistry = registry;
  statregistrycapacity = registryCapacity;
  *diag << "file " << __FILE_NAME__ << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  BindMPIRegionGrids();
  first_own_row = std::max(1, firstrow - 1);
  last_own_row = std::min(nrows, lastrow + 1);

  if (multilayertable && multilayertable[0].code >= 1)
    vegetation_layers = std::max(1, multilayertable[1].GetLayerCount());
  ReadZoneGrid(soilzonegrid, soilzonerecords, soilzoneindex, zonecount, maxzonecode);
  // From here on the module works with the subbasins of its own zone grid.
  zonerecords = soilzonerecords;
  zoneindex = soilzoneindex;
  zonegrid = soilzonegrid;

  ReadSectionLines();

  if (surface_interaction > 1 && mpisize > 1)
    ModuleFatal("parameter for surface_interaction (actual value: " + std::to_string(surface_interaction) +
                    ") can only be 0 or 1 for MPI version when running more than one instance!",
                9);
  // Indices inside the grid; an index of 0 (as in "0 0") means no control cell.
  if (control_row < 0 || control_row > nrows)
    ModuleFatal("row index (" + std::to_string(control_row) + ") for output-cell must be between 1 and " +
                    std::to_string(nrows) + " (Input as row col) or 0 0 ",
                8);
  if (control_col < 0 || control_col > ncols)
    ModuleFatal("column index (" + std::to_string(control_col) + ") for output-cell must be between 1 and " +
                    std::to_string(ncols) + " (Input as row col) ",
                9);
  if (control_row == 0 || control_col == 0) control_row = control_col = 0;
  if (method != 2 && method != 3)
    ModuleFatal("invalid method (" + std::to_string(method) +
                    ")\npossible values are:\n 2 for Finite Differences with fixed timestep\n 3 for Finite "
                    "Differences with dynamically calculated timestep\n",
                91);

  ReadSubbasinTable();

  ReadValue(controlfile, "%d", &storage_read_parameter, "read control parameter for storage grids for ", linebuffer);
  ReadName(storage_file_name, "name of the storage content file ");
  storage_file_name += '_';
  storage_file_name += std::to_string(mpirank);
  if (storage_file_name.size() > kMaxName)
    Fatal("FATAL: error in control file, name of the storage content file " + storage_file_name + " is longer than " +
              std::to_string(kMaxName) + " characters",
          17);

  if (method == 3) {
    ReadValue(controlfile, "%lf", &dParameterMinStep, "minimum dynamic time step in secounds ", linebuffer);
    // (It bounds the stable step from below; 0 or less: no bound.)
    ReadStatLine(statfiles[kStatSUBSTEPS], "name of the SUBSTEPSstatfiles in ");
    ReadName(outfiles[kOutSUBSTEPS].name, "name of SUBSTEPS-Grids for ");
    ReadValue(controlfile, "%d", &outfiles[kOutSUBSTEPS].code, "Writegrid SUBSTEPS-Grid in   ", linebuffer);
  }

  ReopenControlFile();
  ReadHeatTransferSection();
  ReopenControlFile();
  ReadTuningSection();
  CloseControlFile();
  if (heat_transfer_flow_control <= 0 && FindGrid("PermafrostThawDepth", true) > 0 &&
      FindGrid("SnowFreeDaysGrid", true) > 0 && FindGrid("ThawCoeffPermaFrost", true) > 0)
    ReadPermafrostSection();

  layers = 0;
  for (int s = 1; s <= SoilTableCount(); ++s) layers = std::max(layers, soiltable[s].layers);
  if (layers < 1)
    Fatal("FATAL: the soil table holds no soil type with layers; " + modulname + " needs at least one layer", 17);

  soilconstants = uzk::BuildSoilConstants(soiltable, SoilTableCount(), dTModLamWat, dTModLamDrySoil);
  BindGrids();
  CreateStatistics(registry, registryCapacity);
  RegisterModuleGrids();
  GlacierSetup(registry, registryCapacity);
  OpenPointFiles();
  WriteStartWaterContent();
  InitLakes("[lake_model]");
}

void unsatzonmodellklasse::ReadName(std::string& name, const char* label) {
  ReadValue(controlfile, "%s", &name, label, linebuffer);
  if (name.size() > kMaxName)
    Fatal(std::string("FATAL: error in control file, ") + label + name + " is longer than " + std::to_string(kMaxName) +
              " characters",
          17);
}

void unsatzonmodellklasse::ReadStatLine(FileSpec& spec, const char* label) {
  ReadValues2(controlfile, "%s%d", &spec.name, &spec.code, label, linebuffer);
  if (spec.name.size() > kMaxName)
    Fatal(std::string("FATAL: error in control file, ") + label + spec.name + " is longer than " +
              std::to_string(kMaxName) + " characters",
          17);
}

void unsatzonmodellklasse::ReadOutputPair(FileSpec& spec, const char* nameLabel, const char* codeLabel) {
  ReadName(spec.name, nameLabel);
  ReadValue(controlfile, "%d", &spec.code, codeLabel, linebuffer);
}

int unsatzonmodellklasse::FindSection(const std::string& header, bool fatal) {
  const int found = modelobject::FindSection(header, fatal);
  if (found) readingsection = header;
  return found;
}

int unsatzonmodellklasse::ReadValue(ControlFile& stream, const char* format, ScanTarget destination,
                                    const std::string& label, std::string& lineBuffer) {
  const std::string where = stream.Where();
  if (stream.Scan(format, {destination}) == 1) {
    stream.RestOfLine(lineBuffer);
    return 1;
  }
  // The failed conversion left the reading position at the word it could not read.
  const std::string at = stream.Where();
  const std::string word = stream.NextWord(1000);
  if (word.empty()) ControlFileFatal(label, modulname, " (" + where + ": end of file)");
  const size_t first = label.find_first_not_of(' ');
  const std::string name =
      first == std::string::npos ? label : label.substr(first, label.find_last_not_of(' ') - first + 1);
  const bool whole = std::strcmp(format, "%d") == 0 || std::strcmp(format, "%ld") == 0;
  Fatal("FATAL: error in control file, " + (readingsection.empty() ? "[" + modulname + "]" : readingsection) + ": " +
            name + " = " + word + " (" + at + "); it has to be " + (whole ? "a whole number" : "a number"),
        17);
}

void unsatzonmodellklasse::ReadSectionLines() {
  ReadValue(controlfile, "%d", &method, " methode of ", linebuffer);
  ReadValue(controlfile, "%d", &surface_interaction, " surface water interaction parameter of ", linebuffer);
  ReadValue(controlfile, "%d", &pond, " pond parameter of ", linebuffer);
  ReadValue(controlfile, "%d", &drainage, " drainage parameter of ", linebuffer);
  ReadValue(controlfile, "%d", &clay, " clay parameter ", linebuffer);
  ReadValue(controlfile, "%lf", &k_sat_clay, " k_sat. for clay  ", linebuffer);
  // The clay layer's conductivity (used with the clay layer only): a negative
  // one drives the water uphill; 0 is a layer that holds all water.
  if (clay == 1) CheckConductivity(k_sat_clay, " k_sat. for clay  ");
  ReadValue(controlfile, "%lf", &ini_gw_level, " ini_gw_level  ", linebuffer);
  // The number of initially unsaturated layers is (layers - 1) / ini_gw_level + 1.
  if (!(ini_gw_level > 0))
    Fatal("FATAL: error in control file, ini_gw_level  " + std::to_string(ini_gw_level) + " of " + modulname + " (" +
              controlfile.Where() + "); it has to be greater than 0",
          17);
  for (int k = 0; k < kStatLineCount; ++k) ReadStatLine(statfiles[k], kStatLabels[k]);
  for (int k = 0; k < kOutFileCount; ++k) ReadOutputPair(outfiles[k], kOutLabels[k][0], kOutLabels[k][1]);
  ReadValues2(controlfile, "%d%d", &control_row, &control_col, "control_row/column for control point in ", linebuffer);
  for (int k = 0; k < 6; ++k) {
    ReadName(pointfiles[k], kPointLabels[k]);
    MakePath(DefaultOutputDirectory, pointfiles[k]);
  }
}

void unsatzonmodellklasse::SubbasinTableError(const std::string& what, const std::string& where) {
  Fatal("FATAL: \n-----------------error------------\n" + what + kHelp + "\n" + where, 10);
}

std::string unsatzonmodellklasse::WhereAndWord() {
  // The failed conversion left the reading position at the word it could not read.
  const std::string where = controlfile.Where();
  const std::string word = controlfile.NextWord(100);
  return "(" + where + (word.empty() ? std::string(": end of file") : ": \"" + word + "\"") + ")";
}

std::string unsatzonmodellklasse::LargestZoneText() {
  // The code line is read up to the largest code of the zone grid: a zone
  // code the table does not list makes the reading run into the next line.
  const int p = FindGrid("zonegrid_soilmodel", false);
  std::string text = "\nthe line of subbasin codes has to list the codes of the zone grid";
  if (p > 0 && !gridlist[p].filename.empty()) text += " " + gridlist[p].filename;
  text += " up to its largest code, " + std::to_string(maxzonecode);
  // Every instance reads the same table and fails here alike: the first cell
  // of that code (from the top) over all instances.
  int64_t local = INT64_MAX;
  for (int r = firstrow; r <= lastrow && zonegrid && local == INT64_MAX; ++r)
    for (int c = 1; zonegrid[r] && c <= ncols; ++c)
      if (!Missing(zonegrid[r][c]) && static_cast<int>(zonegrid[r][c]) == maxzonecode &&
          (!MPIRegions || static_cast<int>(MPIRegions[r][c]) == mpirank)) {
        local = static_cast<int64_t>(r) * (ncols + 1) + c;
        break;
      }
  int64_t first = local;
  if (mpisize > 1) MPI_Allreduce(&local, &first, 1, MPI_INT64_T, MPI_MIN, MPI_COMM_WORLD);
  if (first != INT64_MAX)
    text += " (found in row " + std::to_string(first / (ncols + 1)) + ", column " +
            std::to_string(first % (ncols + 1)) + ")";
  return text;
}

void unsatzonmodellklasse::ReadSubbasinTable() {
  const int n = zonecount;
  for (auto* a : {&codes, &kelsqd, &kelsqi, &channel_density, &kelsqlat, &qb_reduction_factor, &SnowRunoff_fraction})
    a->assign(static_cast<size_t>(n) + 1, 0.0);
  const int firstCode = static_cast<int>(std::lround(zonerecords[1].zonenwert));

  // Codes in ascending order up to the largest zone code; indexes skipped
  // between two listed codes are marked -1 and take the values of the
  // listed subbasin before them.
  int p = 1;
  int code = 0;
  bool firstRead = true;
  do {
    const int last = code;
    if (controlfile.Scan("%d", {&code}) != 1)
      SubbasinTableError("error reading code[" + std::to_string(last) + "] for " + modulname,
                         WhereAndWord() + LargestZoneText());
    if (code < 1 || code > maxzonecode || zoneindex[code] < 1 || zoneindex[code] > n) {
      std::string where = "(";
      where += controlfile.Where();
      where += ")";
      SubbasinTableError("error! there is no code " + std::to_string(code) + " (from " + UserControlFile() +
                             ") for a subbasin in " + modulname,
                         where);
    }
    const int i = zoneindex[code];
    codes[i] = code;
    for (int j = p + 1; j < i; ++j) codes[j] = -1;
    // A first listed code above the first zone's code makes the first zone
    // listed: it keeps its own parameters (the first values read) instead of
    // the empty index 0.
    if (firstRead && code > firstCode && !(codes[1] > 0)) codes[1] = firstCode;
    firstRead = false;
    p = i;
  } while (code != maxzonecode);
  controlfile.RestOfLine(linebuffer);

  struct Column {
    std::vector<double>* values;
    const char* name;
    int conversion;  // 0 as read, 1 hours to minutes, 2 reciprocal
    double low;      // smallest valid value (kelsqlat: any number)
    double high;     // largest valid value
    const char* expected;
  };
  // A negative channel density gives interflow out of nothing; 0 is no
  // interflow into the channels. A storage constant below 0.001 h is no
  // delay (0.06 minutes); a negative baseflow factor is groundwater rising
  // into the column.
  constexpr double kAny = std::numeric_limits<double>::max();
  const Column columns[6] = {
      {&kelsqd, "kelsqd[", 1, -kAny, kAny, "a storage constant has to be a number (h)"},
      {&kelsqi, "kelsqi[", 1, -kAny, kAny, "a storage constant has to be a number (h)"},
      {&channel_density, "channel network density[", 0, 0, 1,
       "a channel network density has to lie within 0 ... 1 (1/m: channel length per area, 1 is channels 1 m apart)"},
      {&kelsqlat, "kelsqlat[", 2, -kAny, kAny, ""},
      {&qb_reduction_factor, "QB-Red.Faktor[", 0, -kAny, kAny, "the baseflow factor has to be a number (mm per time step)"},
      {&SnowRunoff_fraction, "SnowRunoff_fraction[", 0, 0, 1, "a fraction has to lie within 0 ... 1"}};
  for (const Column& column : columns) {
    std::vector<double>& v = *column.values;
    for (int i = 1; i <= n; ++i) {
      if (!(codes[i] > 0)) {
        v[i] = v[i - 1];
        continue;
      }
      double x = 0;
      if (controlfile.Scan("%lf", {&x}) != 1) {
        std::string what = std::string("error reading ") + column.name + std::to_string(static_cast<int>(codes[i])) +
                           "] for " + modulname;
        if (column.values == &qb_reduction_factor) {
          Fatal("FATAL: \n-----------------error------------\n" + what + kHelp + "\n" + WhereAndWord(), 10);
        }
        SubbasinTableError(what, WhereAndWord());
      }
      // "kelsqd[2] = -5 in the section [unsatzon_model] (control file ..., line ...)"
      auto value = [&] {
        return std::string(column.name) + std::to_string(static_cast<int>(codes[i])) + "] = " + FormatValue(x) +
               " in the section [" + modulname + "] (" + controlfile.Where() + ")";
      };
      if (column.conversion != 2 && !(x >= column.low && x <= column.high))
        ModuleFatal(value() + ": " + column.expected, 10);
      // Without the groundwater model a negative factor is groundwater rising into the column.
      if (column.values == &qb_reduction_factor && x < 0)
        *diag << ("WARNING: in modul " + modulname + ":\n" + value() +
                  " is negative: without the groundwater model it is groundwater rising into the soil column of the "
                  "subbasin (" +
                  FormatValue(-x) +
                  " mm per time step with the table at the surface; the water no layer holds runs off directly), "
                  "no baseflow leaves the column; with the groundwater model the factor is not used")
                     .c_str()
              << "[end-entry]";
      if (column.conversion == 1 && x < 0.001)
        *diag << ("WARNING: in modul " + modulname + ":\n" + value() +
                  " is below 0.001 h: the storage constant 0.06 minutes (no delay) is used")
                     .c_str()
              << "[end-entry]";
      if (column.conversion == 1) x = x < 0.001 ? 0.06 : x * 60.0;
      // The baseflow falls with the groundwater distance over this storage
      // constant: 0 has no reciprocal (a negative value keeps the baseflow
      // at its maximum whatever the distance).
      if (column.conversion == 2 && x == 0) {
        std::string text = "kelsqlat[";
        text += std::to_string(static_cast<int>(codes[i]));
        text += "] is 0 in the section [";
        text += modulname;
        text += "] (";
        text += controlfile.Where();
        text += ")";
        text +=
            ": the storage constant of the baseflow has to be above 0 (or negative to keep the baseflow at its "
            "maximum)";
        ModuleFatal(text, 10);
      }
      if (column.conversion == 2) x = x < 0 ? 0.0 : 1.0 / x;
      v[i] = x;
    }
    controlfile.RestOfLine(linebuffer);
  }
  for (int i = 1; i <= n; ++i) codes[i] = zonerecords[i].zonenwert;
}

void unsatzonmodellklasse::CloseControlFile() {
  if (!controlfile.Close()) Fatal("FATAL: control file \"" + UserControlFile() + "\" cannot be closed", 11);
}

void unsatzonmodellklasse::ReopenControlFile() {
  CloseControlFile();
  if (!controlfile.Open(controlfilename, diag)) Fatal("FATAL: error opening " + UserControlFile(), 28);
}

void unsatzonmodellklasse::ReadTuningSection() {
  if (FindSection("[unsatzon_tuning]", false) == 0) return;
  std::string line;
  while (controlfile.GetLine(line)) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) start = line.size();
    std::string text = line.substr(start);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.empty()) break;
    double* target = nullptr;
    const char* key = nullptr;
    if (text.find("max_error") != std::string::npos) {
      target = &max_error;
      key = "max_error";
    } else if (text.find("max_iterations") != std::string::npos) {
      target = &max_iterations;
      key = "max_iterations";
    } else {
      continue;
    }
    const size_t eq = text.find('=');
    char* end = nullptr;
    const double value = eq == std::string::npos ? 0.0 : std::strtod(text.c_str() + eq + 1, &end);
    // The tolerance and the iteration limit end the iteration of every cell:
    // both must be positive numbers.
    const bool read = eq != std::string::npos && end != text.c_str() + eq + 1;
    const bool valid = read && (target == &max_error ? value > 0 : value >= 1);
    if (!valid)
      Fatal("FATAL: error in control file, [unsatzon_tuning]; " + std::string(key) + " = <value> not found! (" +
                controlfile.Where() + ": \"" + text + "\"; " +
                (target == &max_error ? "a number greater than 0" : "a number not below 1") + " expected)",
            17);
    *target = value;
  }
}

void unsatzonmodellklasse::ReadPermafrostSection() {
  PermafrostThawDepth = gridlist[GetGrid("PermafrostThawDepth")].grid;
  if (!controlfile.Open(controlfilename, diag)) Fatal("FATAL: error opening " + UserControlFile(), 28);
  FindSection("[permafrost]", true);
  int permafrostMethod = 0;
  double ignored = 0;
  std::string name;
  int code = 0;
  ReadValue(controlfile, "%d", &permafrostMethod, "Permafrost-Method for ", linebuffer);
  ReadValue(controlfile, "%lf", &ignored, "Min_Snow_Age_Refreeze for ", linebuffer);
  ReadValue(controlfile, "%lf", &ignored, "Max_SWE_SnowFree for ", linebuffer);
  ReadValues2(controlfile, "%s%d", &name, &code, "name of thaw depth statistics file ", linebuffer);
  ReadValue(controlfile, "%lf", &reduced_k_sat, "reduced k_sat (in m/s)", linebuffer);
  CheckConductivity(reduced_k_sat, "reduced k_sat (in m/s) in [permafrost] ");
  CloseControlFile();
}

void unsatzonmodellklasse::CheckConductivity(double value, const char* label) {
  if (value >= 0 && value <= std::numeric_limits<double>::max()) return;
  Fatal("FATAL: error in control file, " + std::string(label) + FormatValue(value) + " of " + modulname + " (" +
            controlfile.Where() + "); a saturated conductivity has to be 0 or more (m/s)",
        17);
}

int unsatzonmodellklasse::SoilTableCount() const {
  return soiltable ? soiltable[0].code : 0;
}
