// Construction, control-file section, grids and statistics of the silting-up
// model; the time step is in siltingup_step.cpp.
#include "surface/siltingup.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "framework/diagstream.h"
#include "framework/zonalstatistic.h"
#include "parameters/multilayer_landuse_entry.h"
#include "surface/vegetationlayers.h"

namespace {

const char* const kGridNames[siltingupclass::kOwnGrids] = {"SiltingUpDisposition", "RainPause", "KineticEnergy",
                                                           "TimeSinceLastSoilTillage", "DirectRunoffSiltingUp"};

const char* const kRainPauseHelp =
    "\npossible error by using the same parameters\nfor groups of subbasins:\nat least the first AND the last "
    "subbasin code have\nto be specified with all their parameters like this:\n(if the smallest code is 1 and the "
    "largest code is 8)\n1\t8\n3\t3\n8\t8\n14\t14\n0.4\t0.4\n0.01\t0.01\n0.1\t0.1\n..\t..\nThen, to all "
    "subcatchments with zone-codes ranging from 1 to 7 the \nparameters of subbasin 1 will be assigned!";

bool OnlyBlank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

std::string WithoutBlanks(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') out += c;
  return out;
}

}  // namespace

siltingupclass::siltingupclass(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                               const std::string& workFileName, const SubModelArgs& common, int subSteps)
    : teilmodellklasse(diagnostics, "SiltingUpModel", workFileName, 0, common, subSteps, false) {
  error = 0;
  if (flowcontrol == 0) return;
  try {
    Construct(registry, registryCapacity);
  } catch (int code) {
    error = code;
  } catch (...) {
    error = 103;
  }
}

siltingupclass::~siltingupclass() {
  // A run that stopped before the release frees the grids here; the grid list
  // may be gone already, so it is not touched.
  if (freed) return;
  try {
    for (int k = 0; k < kOwnGrids; ++k)
      if (own[k]) FreeMatrix(own[k], ownfirst, ownlast, 1, ncols);
  } catch (...) {
  }
}

void siltingupclass::Construct(StatRecord* registry, int capacity) {
  *diag << "DEBUG: " << __FILE__ << ", build " << __DATE__ << " " << __TIME__ << "[end-entry]";
  BindMPIRegionGrids();
  if (FindGrid("GlacierizedCells", false) > 0 || FindGrid("GlacierCodes", false) > 0) {
    *diag << "FATAL: error: Silting-Up module cannot be used when glacier model is active. Remove grids for glacier "
             "codes and glaciated cell fractions from the grid list"
          << "[end-entry]";
    throw 2;
  }
  elevation = gridlist[2].grid;
  layers = BindVegetationLayers(*this, multilayertable, landuse, vegcover);
  soil = gridlist[GetGrid("soil_types")].grid;
  surfacestorage = gridlist[GetGrid("SurfStorSiltingUp")].grid;

  ReadSection();
  if (!controlfile.Close()) {
    *diag << "FATAL: error closing control file \"" << UserControlFile().c_str() << "\""
          << "[end-entry]";
    throw 11;
  }
  CreateStatistics(registry, capacity);
  CreateGrids();
}

// ------------------------------------------------------------ control file

void siltingupclass::ReadSection() {
  const std::string labelDisposition = "name of the statistics for silting disposition SDISP ";
  // The method line is optional: a first line that does not start with an
  // integer is already the statistics line of the silting disposition.
  std::string line;
  if (!controlfile.GetLine(line)) ControlFileError(labelDisposition, modulname);
  const std::string methodLine = controlfile.Where();
  int value = 0;
  char text[1201];
  if (std::sscanf(line.c_str(), "%d", &value) == 1) {
    method = value;
    ReadValues2(controlfile, "%s%d", &statistic[0].file, &statistic[0].code, labelDisposition, linebuffer);
  } else if (std::sscanf(line.c_str(), "%1200s%d", text, &value) == 2) {
    method = 1;
    statistic[0].file = text;
    statistic[0].code = value;
  } else {
    *diag << "--> In ."
          << "\n"
          << "  Next line in Fluvex control file: "
          << "[end-entry]";
    *diag << line.c_str() << "[end-entry]";
    ControlFileError(labelDisposition, modulname);
  }
  // Another method number runs as method 1, the built-in formula.
  if (method < 1 || method > 3) {
    *diag << "WARNING: " << modulname.c_str() << ": method " << method << " (" << methodLine.c_str()
          << ") is none of 1, 2 and 3: it runs as method 1[end-entry]";
    method = 1;
  }
  ReadValues2(controlfile, "%s%d", &statistic[1].file, &statistic[1].code,
              "name of the statistics for direct runoff from silting up model (QDSU) ", linebuffer);
  const char* const names[kOwnGrids] = {"silting-up-disposition-grid, ", "RAINPAUSE-grid, ", "EKIN-grid, ",
                                        "TSBB-grid, ", "QDSU-grid, "};
  for (int k = 0; k < kOwnGrids; ++k) {
    ReadValue(controlfile, "%s", &gridfile[k], std::string("name of the ") + names[k], linebuffer);
    ReadValue(controlfile, "%d", &writecode[k], std::string("Writegrid for ") + names[k], linebuffer);
  }
  ReadRainPauseTable();
  ReadValue(controlfile, "%d", &readgrids, "read control parameter for storage grids for ", linebuffer);
  if (method == 2) {
    const char* const labels[8] = {"parameter A for method 2 (I_0) ",   "parameter B for method 2 (I_inf) ",
                                   "parameter C for method 2 (I_inf) ", "parameter D for method 2 (I_inf) ",
                                   "parameter E for method 2 (C_v) ",   "parameter F for method 2 (C_v) ",
                                   "parameter G for method 2 (C_v) ",   "parameter H for method 2 (C_v) "};
    for (int k = 0; k < 8; ++k) {
      ReadValue(controlfile, "%lf", &parameter[k], labels[k], linebuffer);
      // A (the capacity of fresh soil), B (that of the sealed soil) and E
      // (the disposition) are amounts: below 0 the capacity turns negative
      // and more water runs off than there is. The exponents take any sign.
      const bool amount = k == 0 || k == 1 || k == 4;
      const double v = parameter[k];
      if (!std::isfinite(v) || (amount && v < 0)) {
        *diag << "FATAL: error in control file, " << labels[k] << modulname.c_str() << ": " << v << " ("
              << controlfile.Where().c_str() << "); "
              << (amount ? "it has to be a number of 0 or more" : "it has to be a number") << "[end-entry]";
        throw 17;
      }
    }
  } else if (method == 3) {
    ReadExpressions();
  }
}

void siltingupclass::RainPauseError(const std::string& what) {
  *diag << ("FATAL: \n-----------------error------------\n" + what + kRainPauseHelp + "\n(" + controlfile.Where() + ")")
               .c_str()
        << "[end-entry]";
  throw 10;
}

void siltingupclass::ReadRainPauseTable() {
  const int n = zonecount;
  rainpausecode.assign(n + 1, 0);
  minrainpause.assign(n + 1, 0.0);
  if (n < 1) return;
  const int smallest = static_cast<int>(zonerecords[1].zonenwert);
  int previous = smallest;
  int count = 0;
  for (;;) {
    int code = 0;
    ++count;
    if (controlfile.Scan("%d", {&code}) != 1)
      RainPauseError("error reading code[" + std::to_string(count) + "] for " + modulname);
    const bool known = code >= 1 && code <= maxzonecode && zoneindex[code] >= 1 && zoneindex[code] <= n &&
                       static_cast<int>(zonerecords[zoneindex[code]].zonenwert) == code;
    if (!known)
      RainPauseError("error! there is no code " + std::to_string(code) + " (from " + UserControlFile() +
                     ") for a subbasin in " + modulname);
    const int index = zoneindex[code];
    const int before = zoneindex[previous];
    rainpausecode[index] = code;
    if (index - before > 1) {
      if (previous == smallest && rainpausecode[1] == 0) {
        // The first column serves the smallest code and every code up to this one.
        rainpausecode[before] = smallest;
        for (int i = before + 1; i <= index; ++i) rainpausecode[i] = -1;
      } else {
        for (int i = before + 1; i < index; ++i) rainpausecode[i] = -1;
      }
    }
    previous = code;
    if (code == maxzonecode) break;
  }
  controlfile.RestOfLine(linebuffer);
  for (int i = 1; i <= n; ++i) {
    if (rainpausecode[i] >= 1) {
      if (controlfile.Scan("%lf", {&minrainpause[i]}) != 1)
        RainPauseError("error reading RainPause[" + std::to_string(rainpausecode[i]) + "] for " + modulname +
                       " (minimum rainpause)");
    } else {
      minrainpause[i] = minrainpause[i - 1];
    }
  }
  controlfile.RestOfLine(linebuffer);
}

void siltingupclass::ReadExpressions() {
  const std::string keyword = "SiltingUpExpressions";
  auto notFound = [&] {
    *diag << "FATAL: no SiltingUpExpressios found (at least X, Y and Z must be initialized) in control file \""
          << UserControlFile().c_str() << "\" (searched up to " << controlfile.Where().c_str() << ")"
          << "[end-entry]";
    throw 402;
  };
  expressions.clear();
  std::string line;
  for (;;) {
    // The keyword line: the search ends at the end of the file, an empty line
    // or a last line without line end.
    if (!controlfile.GetLine(line) || line.empty() || line.back() != '\n' || line == "\n" || line == "\r\n") notFound();
    if (line.compare(0, keyword.size(), keyword) != 0) continue;
    std::string block = line.substr(keyword.size());
    size_t brace = block.find('{');
    while (brace == std::string::npos) {
      std::string next;
      const bool got = controlfile.GetLine(next);
      if (got && OnlyBlank(next)) continue;
      const size_t first = got ? next.find_first_not_of(" \t\r\n") : std::string::npos;
      if (!got || next[first] != '{') {
        *diag << "FATAL: error looking for opening bracket \"{\" after \"SiltingUpExpressions\" in control file \""
              << UserControlFile().c_str() << "\" (" << controlfile.Where().c_str() << ")"
              << "[end-entry]";
        throw 400;
      }
      block = next;
      brace = first;
    }
    block = block.substr(brace + 1);
    while (block.find('}') == std::string::npos) {
      std::string next;
      if (!controlfile.GetLine(next)) {
        *diag << "FATAL: error looking for closing bracket \"}\" after \"SiltingUpExpressions\" in control file \""
              << UserControlFile().c_str() << "\""
              << "[end-entry]";
        throw 401;
      }
      block += next;
    }
    block.erase(block.find('}'));
    // A block without ";" holds no formula: the search goes on after it.
    if (block.find(';') == std::string::npos) continue;
    size_t from = 0;
    for (size_t semicolon = block.find(';'); semicolon != std::string::npos; semicolon = block.find(';', from)) {
      expressions.push_back(WithoutBlanks(block.substr(from, semicolon - from)));
      from = semicolon + 1;
    }
    break;
  }
  // The formulas are translated once; the capacity formula and those after
  // it run after the kinetic energy of the step is known.
  programs.assign(expressions.size(), ExpressionParser::Program());
  secondgroup = expressions.size();
  for (size_t i = 0; i < expressions.size(); ++i) {
    ExpressionParser::Compile(expressions[i].c_str(), programs[i]);
    if (secondgroup == expressions.size() && expressions[i].find("V=") != std::string::npos) secondgroup = i;
  }
}

// ------------------------------------------------------------ statistics and grids

void siltingupclass::CreateStatistics(StatRecord* registry, int capacity) {
  const char* const titles[2] = {"Silting_up_disposition_", "Direct_Discharge_Silting_Up"};
  for (int k = 0; k < 2; ++k) {
    Statistic& s = statistic[k];
    s.zones.assign(zonecount + 1, ZoneRecord{0, 0, 0, 0, 0});
    for (int i = 0; i <= zonecount; ++i)
      s.zones[i] = ZoneRecord{0, 0, zonerecords[i].zonenwert, zonerecords[i].rel, zonerecords[i].RelCellSum};
    int code = 0;
    s.writer = std::make_unique<zonalstatistic>(code, diag, registry, capacity, relcellarea, nrows, ncols,
                                                s.zones.data(), zonecount, s.code, 4, s.file, DefaultOutputDirectory,
                                                outputlistcount, outputlist);
    if (code != 0) throw code;
    s.writer->WriteHeader(titles[k], modulname, registry, capacity);
  }
}

void siltingupclass::CreateGrids() {
  int next = 1;
  for (int k = 0; k < kOwnGrids; ++k) {
    while (next < kGridListMax && (gridlist[next].registered || !gridlist[next].shortname.empty())) ++next;
    if (next >= kGridListMax) {
      *diag << "FATAL: no free grid left, allowed number of grids is (contact the author)" << kGridListMax << "!"
            << " (grid " << kGridNames[k] << " of " << modulname.c_str() << ")"
            << "[end-entry]";
      throw 12;
    }
    if (readgrids == 1 && k != kDirectRunoff) {
      // The grid of a warm start covers this instance's rows like a new one.
      ReadGrid(gridfile[k], &own[k], 0, true, false, false, false, false, false, 0.0);
    } else {
      own[k] = matrix(firstrow, lastrow, 1, ncols, nrows);
      for (int r = firstrow; r <= lastrow; ++r)
        for (int c = 1; c <= ncols; ++c) own[k][r][c] = (zonegrid && zonegrid[r][c] > nodata) ? 0.0 : nodata;
    }
    ownfirst = firstrow;
    ownlast = lastrow;
    RegisterGrid(next, gridfile[k], own[k], nullptr, 0, kGridNames[k], writecode[k], firstrow, lastrow);
    position[k] = next;
  }
}

// ------------------------------------------------------------ links and release

void siltingupclass::SetPrecipitationSource(int interceptionFirst) {
  if (flowcontrol == 0) return;
  option = interceptionFirst;
  if (input) return;
  const std::string throughfall = "throughfall0";
  inputposition = interceptionFirst ? GetGridOf3("snowcover_outflow", throughfall, "precipitation")
                                    : GetGridOf3(throughfall, "snowcover_outflow", "precipitation");
  input = gridlist[inputposition].grid;
}

void siltingupclass::InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* registry,
                                     int capacity) {
  int ignored = 0;
  if (!error) error = &ignored;
  *error = 0;
  if (flowcontrol == 0) return;
  teilmodellklasse::InitTracerGrids(error, count, settings, registry, capacity);
  if (*error != 0) throw *error;
  upstream.assign(tracercount + 1, nullptr);
  for (int k = 1; k <= tracercount; ++k) {
    char names[4][200];
    // The water input's module: the snow's outflow when the interception
    // runs first, else the throughfall.
    const char* sources[4] = {"interception_model", "snow_model", "irrigation", "input"};
    if (option) std::swap(sources[0], sources[1]);
    for (int i = 0; i < 4; ++i) std::snprintf(names[i], sizeof names[i], "concflux_tracer_%1d_%s", k, sources[i]);
    upstream[k] = gridlist[GetGridOf4(names[0], names[1], names[2], names[3])].grid;
  }
}

void siltingupclass::WriteStatistics() {
  if (flowcontrol == 0) return;
  for (Statistic& s : statistic)
    if (s.writer) s.writer->Flush();
  for (size_t k = 1; k < tracergrids.size(); ++k)
    if (tracergrids[k].statistic) tracergrids[k].statistic->Flush();
}

void siltingupclass::FreeTracerArrays() {
  if (flowcontrol == 0) return;
  teilmodellklasse::FreeTracerArrays();
  upstream.clear();
}

void siltingupclass::ReleaseGrids() {
  for (int k = 0; k < kOwnGrids; ++k) {
    if (position[k] > 0) UnregisterGrid(position[k]);
    position[k] = 0;
    if (own[k]) FreeMatrix(own[k], ownfirst, ownlast, 1, ncols);
    own[k] = nullptr;
  }
}

void siltingupclass::FreeMemory() {
  if (flowcontrol != 0 && !freed) {
    minrainpause.clear();
    rainpausecode.clear();
    for (Statistic& s : statistic) {
      if (s.writer) s.writer->Finish();
      s.writer.reset();
      s.zones.clear();
      s.file.clear();
    }
    ReleaseGrids();
    landuse.clear();
    vegcover.clear();
    expressions.clear();
    programs.clear();
    parsers.clear();
    freed = true;
  }
  teilmodellklasse::FreeMemory();
}
