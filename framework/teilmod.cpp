#include "framework/teilmod.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <memory>
#include <new>

#include "framework/diagstream.h"
#include "framework/zonalstatistic.h"

namespace {
// Equation of time in minutes at the first day of December (index 0), January
// (1) ... December (12) and January of the next year (13).
constexpr double kEquationOfTime[14] = {11.3, -3.2, -13.6, -12.6, -4.2, 2.8,  2.5,
                                        -3.5, -6.3, -0.3,  10.0,  16.4, 11.3, -3.2};

// "<path><first 3 of tracer><first 5 of module>.<first 3 of extension>"
std::string TracerFileName(const TracerRecord& t, const std::string& module, const std::string& extension) {
  char name[1201];
  std::snprintf(name, sizeof name, "%s%.3s%.5s.%.3s", t.path.c_str(), t.name.c_str(), module.c_str(),
                extension.c_str());
  return name;
}
}  // namespace

teilmodellklasse::teilmodellklasse(DiagStream* diagnostics, const std::string& moduleName,
                                   const std::string& controlFileName, int unused, const SubModelArgs& common,
                                   int subSteps, bool mustExist)
    : modelobject(diagnostics, controlFileName, unused, common.object) {
  // The sub-step count divides the step of the soil, surface and groundwater models.
  if (subSteps < 1) {
    *diag << "FATAL: the number of sub-steps for " << moduleName.c_str() << " is " << subSteps
          << "; it has to be at least 1 ([soil_surface_groundwater_substeps])"
          << "[end-entry]";
    throw 17;
  }
  substeps = subSteps;
  if (!common.zoneIndex) return;

  outputlistcount = common.outputListCount;
  outputlist = common.outputList;
  if (outputlist) outputlist[0] = outputlistcount;
  // The report interval divides the hour of the time stamps.
  SetReportInterval(std::max(1, common.reportInterval));
  latitude = common.latitude;
  longitude = common.longitude;
  meridian = common.meridian;
  SetMinToIntEnd(common.minToIntEnd);
  SetGeometry(common.ncols, common.nrows, common.xllcorner, common.yllcorner, common.cellsize, common.nodata);
  SetRowRange(common.firstRow, common.lastRow);
  SetDataColumns(common.dataColumns);
  endhour = common.endHour;
  endday = common.endDay;
  endmonth = common.endMonth;
  endyear = common.endYear;
  enddatekey = DateKey(endyear, endmonth, endday, endhour);
  SetGridList(common.gridlist);
  zonegrid = gridlist ? gridlist[1].grid : nullptr;
  zoneindex = common.zoneIndex;
  zonerecords = common.zoneRecords;
  zonecount = common.zoneCount;
  maxzonecode = common.maxZoneCode;
  timeshift = common.timeShift;
  landusetable = common.landuseTable;
  soiltable = common.soilTable;
  multilayertable = common.multilayerTable;

  if (FindGrid("RelCellArea", false) > 0) relcellarea = gridlist[GetGrid("RelCellArea")].grid;
  // The relative cell areas also weight the statistics in the headers of binary grid files.
  RelCellArea = relcellarea;

  pi = 3.141592653;
  radtodeg = 57.29577952383886;
  std::copy(std::begin(kEquationOfTime), std::end(kEquationOfTime), eqtime);
  modulname = moduleName;
  *diag << "DEBUG: initializing module " << modulname.c_str() << "[end-entry]";

  if (!controlfile.Open(controlfilename, diag)) {
    *diag << "FATAL: error opening " << controlfilename.c_str() << "[end-entry]";
    throw 28;
  }
  sectionheader = "[" + modulname + "]";
  // An optional module without its section is off: a warning, since the run
  // goes on (a FATAL entry in a run that succeeds would be read as a failure).
  if (!FindSection(sectionheader, mustExist)) {
    *diag << ("WARNING: the section " + sectionheader + " is missing in the control file " + controlfile.SourceName() +
              ": module off")
                 .c_str()
          << "[end-entry]";
    flowcontrol = 0;
    controlfile.Close();
    return;
  }
  ReadValue(controlfile, "\t%d", &flowcontrol, "flow control parameter for ", linebuffer);
  ReadValue(controlfile, "\t%lf", &timeinterval, "time interval for ", linebuffer);
  timeintervalwhere = controlfile.Where();

  if (mintointendhours > timeinterval / 60 + 0.00001) {
    *diag << "FATAL: \n-------- error --------\n\nthe time step " << timeinterval
          << " minutes as given in the section for the module " << modulname.c_str()
          << " \nis shorter than the parameter min_to_int_end with " << mintointend
          << " minutes\nfrom the [program_output]-section which gives the shift from \nthe hour entry of meteo-data "
             "to the time step end\nthis parameter (the 4-th in the section [program_output])\nshould be set to 0 if "
             "the hour markes the end of the time step\ne.g. like in \"1984 01 01 24\" for daily time steps -> "
             "parameter set to 0\nand it should set to the variable $time, if the hour marks the time step "
             "start\ne.g. like in \"1984 01 01 00\" for daily time steps -> parameter set to 1440 or $time\n\n"
             "-------- error --------"
          << "[end-entry]";
    throw 63;
  }
  // The interval divides the day and is the length of every step of the module.
  if (flowcontrol != 0 && !(timeinterval > 0)) {
    *diag << "FATAL: error in control file, time interval for " << modulname.c_str() << ": " << timeinterval
          << " minutes (" << controlfile.Where().c_str() << "); it has to be greater than 0"
          << "[end-entry]";
    throw 17;
  }
  stepsperday = timeinterval > 0 ? 1440.0 / timeinterval : 0.0;

  if (flowcontrol == 0 && !controlfile.Close()) {
    *diag << "FATAL: error closing " << controlfilename.c_str() << "[end-entry]";
    throw 11;
  }
}

void teilmodellklasse::SetSubSteps(int count) {
  if (count < 1) {
    *diag << "FATAL: the number of sub-steps for " << modulname.c_str() << " is " << count
          << "; it has to be at least 1"
          << "[end-entry]";
    throw 17;
  }
  substeps = count;
}

void teilmodellklasse::ReportFPE(int i1, int i2, int i3, int i4, double a1, double a2, double a3, double a4,
                                 double a5) {
  if (fpe == 1) {
    *diag << "INFO: fpe in i1: " << i1 << ", i2: " << i2 << ", i3: " << i3 << ", i4: " << i4 << "\na1: " << a1
          << " a2: " << a2 << " a3: " << a3 << " a4: " << a4 << " a5: " << a5 << " "
          << "[end-entry]";
    fpe = 2;
  } else {
    fpe = 0;
  }
}

double teilmodellklasse::WeightedMean(double a, double b, double wa, double wb) {
  const double w = wa + wb;
  return w == 0 ? 0.0 : (a * wa + b * wb) / w;
}

double teilmodellklasse::Ratio(double a, double b, double c) {
  return b == c ? 0.0 : a * b / (b - c);
}

void teilmodellklasse::SetDate(int64_t y, int64_t m, int64_t d, int64_t h) {
  modelobject::SetDate(y, m, d, h);
  endyear = y;
  endmonth = m;
  endday = d;
  endhour = h;
  enddatekey = DateKey(y, m, d, h);
}

void teilmodellklasse::run(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  if (flowcontrol == 0) return;
  // The step's date; the date held by SetDate stays the end of the run.
  SetStepDate(stepYear, stepMonth, stepDay, stepHour);
  const int interval = std::max(1, reportinterval);
  if (interval == 1 || (static_cast<int64_t>(mintointendhours) + stepHour) % interval == 0) {
    *diag << std::setw(20) << modulname.c_str() << " " << static_cast<long>(stepDay) << "."
          << static_cast<long>(stepMonth) << "." << static_cast<long>(stepYear) << " " << static_cast<long>(stepHour)
          << ". h "
          << "(time of meteo data)"
          << "[end-entry]";
  }
}

int teilmodellklasse::FreeGridPosition() {
  if (gridlist) {
    for (int k = 1; k < kGridListMax; ++k)
      if (gridlist[k].shortname.empty() && !gridlist[k].registered) return k;
  }
  *diag << "FATAL: no free grid left. Please contact the author to set the number of available grids to a larger "
           "value "
        << kGridListMax << "[end-entry]";
  throw 12;
}

void teilmodellklasse::ReleaseRegisteredGrid(int& position, Grid& grid) {
  if (!grid) return;
  const int64_t first = gridlist[position].firstrow;
  const int64_t last = gridlist[position].lastrow;
  UnregisterGrid(position);
  FreeMatrix(grid, first, last, 1, ncols);
  grid = nullptr;
  position = 0;
}

void teilmodellklasse::InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* registry,
                                       int capacity) {
  int ignored = 0;
  if (!error) error = &ignored;
  *error = 0;
  if (count < 1 || !settings) return;
  try {
    tracergrids.assign(count + 1, TracerGrids{});
  } catch (const std::bad_alloc&) {
    *error = 103;
    return;
  }
  tracers = settings;
  tracercount = count;
  for (int i = 1; i <= count; ++i) {
    TracerRecord& t = settings[i];
    TracerGrids& g = tracergrids[i];
    if (t.radioactive == 1 && t.half_time > 0)
      t.decay = std::exp(-(timeinterval / 60 / 24) / (1.442695041111 * t.half_time));

    try {
      const int zones = zonerecords ? std::max(0, zonecount) : 0;
      g.subbasins = static_cast<ZoneRecord*>(Alloc(static_cast<int>(sizeof(ZoneRecord)) * (zones + 1), 1));
      for (int k = 0; k <= zones; ++k)
        g.subbasins[k] = ZoneRecord{0, 0, zonerecords[k].zonenwert, zonerecords[k].rel, 0};
      g.statfile = TracerFileName(t, modulname, t.statext);
      int code = 0;
      // Concentrations span orders of magnitude: six significant digits.
      g.statistic = new zonalstatistic(code, diag, registry, capacity, relcellarea, nrows, ncols, g.subbasins, zones,
                                       t.statcode, 99, g.statfile, DefaultOutputDirectory, outputlistcount, outputlist);
      if (code != 0) throw code;
      char text[160];
      std::snprintf(text, sizeof text, "%s for tracer %d (%s) ", TracerStatisticLabel(t), i, t.name.c_str());
      g.statistic->WriteHeader(text, modulname, registry, capacity);
    } catch (int code) {
      *error = code;
      return;
    } catch (...) {
      *error = 103;
      return;
    }

    const int storeposition = FreeGridPosition();
    g.gridfile = TracerFileName(t, modulname, t.gridext);
    if (readgrids == 1) {
      RequireTracerState(g.gridfile, i, t);
      ReadTracerStorageGrid(g.gridfile, g.store, g.storefirst, g.storelast);
    } else {
      g.store = matrix(1, nrows, 1, ncols, 0);
      g.storefirst = 1;
      g.storelast = nrows;
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) g.store[r][c] = StoreCell(r, c) ? 0.0 : nodata;
    }
    RegisterGrid(storeposition, g.gridfile, g.store, nullptr, 0,
                 "concstor_tracer_" + std::to_string(i) + "_" + modulname, t.gridcode, g.storefirst, g.storelast);
    g.storeindex = storeposition;

    g.flux = matrix(1, nrows, 1, ncols, 0);
    // The next free position: the one after the storage grid in a list without gaps.
    const int fluxposition = FreeGridPosition();
    RegisterGrid(fluxposition, g.gridfile, g.flux, nullptr, 0, "concflux_tracer_" + std::to_string(i) + "_" + modulname,
                 0, 1, nrows);
    g.fluxindex = fluxposition;
  }
}

void teilmodellklasse::FreeTracerArrays() {
  for (size_t i = 1; i < tracergrids.size(); ++i) {
    TracerGrids& g = tracergrids[i];
    if (g.storeindex > 0) UnregisterGrid(g.storeindex);
    if (g.store) FreeMatrix(g.store, g.storefirst, g.storelast, 1, ncols);
    if (g.fluxindex > 0) UnregisterGrid(g.fluxindex);
    if (g.flux) FreeMatrix(g.flux, 1, nrows, 1, ncols);
    g.store = g.flux = nullptr;
    g.storeindex = g.fluxindex = 0;
    g.gridfile.clear();
    if (g.statistic) {
      std::unique_ptr<zonalstatistic> statistic(g.statistic);
      g.statistic = nullptr;
      statistic->Finish();
    }
    g.statfile.clear();
    Free(g.subbasins);
    g.subbasins = nullptr;
  }
  tracergrids.clear();
  tracercount = 0;
}

void teilmodellklasse::RequireStateRead(int soilReadParameter, int own, const std::string& label,
                                        const std::string& what) {
  if (flowcontrol == 0 || own == 1) return;
  Fatal("FATAL: " + label + " is " + std::to_string(own) +
            " but the read control parameter for storage grids of the unsaturated zone is " +
            std::to_string(soilReadParameter) + ": a warm start reads " + what +
            " with the rest of the state, which a start anew of " + modulname +
            " would lose or make (set it to 1, or start the soil anew with 0)",
        17);
}
