// General sections of the control file: model time, output settings, output
// list, coordinates, meteorological variables, radiation switch, sub-steps.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "application/defltuzr.h"
#include "framework/diagstream.h"

namespace {

// The switch value of a key line: one whole number, nothing but blanks or a
// comment after it; false when the text is no such number.
bool SwitchValue(const std::string& text, int& value) {
  const char* start = text.c_str();
  char* end = nullptr;
  const long v = std::strtol(start, &end, 10);
  if (end == start) return false;
  if (*end != '\0' && *end != ' ' && *end != '\t' && *end != '\r') return false;
  value = static_cast<int>(v);
  return true;
}

std::string FirstWord(const std::string& text) {
  const size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return std::string();
  const size_t end = text.find_first_of(" \t\r\n", start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// A number as a user writes it (1e+30, not 31 digits).
std::string ShortNumber(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

}  // namespace

void defaultini::ReadModelTime() {
  FindSection("[model_time]", true);
  const char* const labels[8] = {"starting hour in ", "starting day in ", "starting month in ", "starting year in ",
                                 "end hour in ",      "and day in ",      "end month in ",      "end year in "};
  int64_t* const values[8] = {&starthour, &startday, &startmonth, &startyear, &endhour, &endday, &endmonth, &endyear};
  int firstLine = 0;
  std::string where[8];
  for (int i = 0; i < 8; ++i) {
    ReadValue(controlfile, "%ld", values[i], labels[i], linebuffer);
    if (i == 0) firstLine = controlfile.LineNumber();
    where[i] = controlfile.Where();
  }
  // A step's hour stamp runs from 0 (the start of a day's first step) to 24
  // (the end of its last); the station records carry the same stamps.
  for (int i : {0, 4}) {
    if (*values[i] >= 0 && *values[i] <= 24) continue;
    Fatal("FATAL: error in control file, [model_time]: the " + std::string(i == 0 ? "starting" : "end") + " hour is " +
              std::to_string(*values[i]) + " (" + where[i] +
              "); an hour of the day from 0 to 24, as the records of the station files are stamped, is expected",
          17);
  }
  // Years below 1000 stand for 1900 + the year (two-digit years of old files).
  for (int i : {3, 7}) {
    if (*values[i] > 999) continue;
    *diag << ("WARNING: [model_time]: the " + std::string(i == 3 ? "starting" : "end") + " year " +
              std::to_string(*values[i]) + " (" + where[i] + ") is read as " + std::to_string(*values[i] + 1900) +
              " (a year below 1000 is taken as 1900 + the year); write the year with its century")
                 .c_str()
          << "[end-entry]";
    *values[i] += 1900;
  }
  // Months and days out of the calendar are moved into it; the user is told,
  // since the run then covers other dates than the ones written.
  auto clamp = [&](int64_t& value, int64_t low, int64_t high, const char* what) {
    const int64_t read = value;
    value = std::min(std::max(value, low), high);
    if (value != read)
      *diag << ("WARNING: [model_time] of " + controlfile.SourceName() + ": " + what + " " + std::to_string(read) +
                " is out of range and is read as " + std::to_string(value))
                   .c_str()
            << "[end-entry]";
  };
  clamp(startmonth, 1, 12, "start month");
  clamp(endmonth, 1, 12, "end month");
  // The day checks use the calendar of each date's own year, so that a start
  // date of 29 February in a leap year stays valid whatever the end year is.
  clamp(endday, 1, DaysInMonth(endyear, endmonth), "end day");
  clamp(startday, 1, DaysInMonth(startyear, startmonth), "start day");
  monthlength[2] = DaysInMonth(endyear, 2);
  // An end before the start leaves no time to simulate.
  auto key = [](int64_t y, int64_t m, int64_t d, int64_t h) { return y * 93000 + m * 7750 + d * 250 + h; };
  if (key(endyear, endmonth, endday, endhour) < key(startyear, startmonth, startday, starthour)) {
    auto date = [](int64_t y, int64_t m, int64_t d, int64_t h) {
      return std::to_string(d) + "." + std::to_string(m) + "." + std::to_string(y) + " " + std::to_string(h) + " h";
    };
    Fatal("FATAL: error in control file, [model_time]: the end " + date(endyear, endmonth, endday, endhour) +
              " lies before the start " + date(startyear, startmonth, startday, starthour) + " (" +
              controlfile.WhereLines(firstLine) + "); the end has to be the start or later",
          17);
  }
}

void defaultini::ReadGeneralSections(const std::string& fileName, int& outputControl, int& secondSwitch,
                                     int& thirdSwitch, double& minToIntEnd, int& meteoCount,
                                     std::vector<std::string>& meteoNames, double& lat, double& lon, double& mer,
                                     double& shift, int& outputListCount, std::vector<int>& outputList) {
  if (!controlfile.Open(fileName, diag)) Fatal("FATAL: Error opening " + fileName, 28);

  FindSection("[output_interval]", true);
  secondSwitch = 0;
  if (controlfile.Scan("%d", {&outputControl}) != 1) ControlFileError("output control", "");
  controlfile.RestOfLine(linebuffer);
  // Taken as read: every user of the report interval takes values below 1 as 1.
  int value = 0;
  if (controlfile.Scan("%d", {&value}) == 1) secondSwitch = (value == 0 || value == 1) ? value : 1;
  controlfile.RestOfLine(linebuffer);
  value = 0;
  thirdSwitch = 0;
  if (controlfile.Scan("%d", {&value}) == 1) thirdSwitch = (value == 0 || value == 1) ? value : 0;
  controlfile.RestOfLine(linebuffer);
  double minutes = 0;
  if (controlfile.Scan("%lf", {&minutes}) == 1) minToIntEnd = minutes < 0 ? 0 : minutes;
  controlfile.RestOfLine(linebuffer);

  // Key lines up to the first empty line, or a line without a line end.
  std::string line;
  while (controlfile.GetLine(line)) {
    if (line.empty() || line.back() != '\n') break;
    line.pop_back();
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) break;
    line.erase(0, start);
    if (line.empty() || line == "\r") break;
    const size_t eq = line.find('=');
    const std::string valueText = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    // A misspelt key would silently leave a switch off; a switch without a number likewise.
    auto readSwitch = [&](bool& target, const char* key) {
      int v = 0;
      if (!SwitchValue(valueText, v))
        Fatal("FATAL: error in control file, the value of " + std::string(key) + " in [output_interval] (" +
                  controlfile.Where() + ": \"" + FirstWord(valueText) + "\") is no whole number (0 = off, 1 = on)",
              17);
      target = v != 0;
    };
    if (line.find("WriteAsciiGrids") != std::string::npos) {
      readSwitch(WriteAsciiGrids, "WriteAsciiGrids");
    } else if (line.find("WriteDoubleGrids") != std::string::npos) {
      readSwitch(WriteDoubleGrids, "WriteDoubleGrids");
    } else if (line.find("InitialStateDirectory") != std::string::npos) {
      InitialStateDirectory = FirstWord(valueText);
    } else if (line.find("DefaultOutputDirectory") != std::string::npos) {
      DefaultOutputDirectory = FirstWord(valueText);
    } else {
      *diag << ("WARNING: unknown key line \"" + FirstWord(line) + "\" in [output_interval] (" + controlfile.Where() +
                ") is ignored; the keys are WriteAsciiGrids, WriteDoubleGrids, InitialStateDirectory and "
                "DefaultOutputDirectory")
                   .c_str()
            << "[end-entry]";
    }
  }

  FindSection("[output_list]", true);
  int n = 0;
  if (controlfile.Scan("%d", {&n}) != 1) ControlFileError("number of subbasins in output list", "");
  controlfile.RestOfLine(linebuffer);
  if (n < 0) {
    // A negative count reads as an empty list.
    *diag << ("WARNING: the number of subbasins in [output_list] (" + controlfile.Where() + ") is " +
              std::to_string(n) + " and is read as 0")
                 .c_str()
          << "[end-entry]";
    n = 0;
  }
  outputListCount = n;
  outputList.assign(static_cast<size_t>(n) + 1, 0);
  for (int i = 1; i <= n; ++i) {
    if (controlfile.Scan("%d", {&outputList[i]}) != 1) ControlFileError("codes in output-list", "");
    controlfile.RestOfLine(linebuffer);
  }
  for (int i = 2; i <= n; ++i) {
    if (outputList[i] <= outputList[i - 1]) {
      *diag << "FATAL: \nError in control file: order of subbasin codes in output_list!\nif output should be "
               "written for a specified set of subbasins,\n(specified by a statcode of 5 for averaging in time or 6 "
               "for summing in time)\nthan the codes has to be arranged in ascendend order\n.look in "
               "[output_list]\n"
            << "[end-entry]";
      throw 97;
    }
  }

  FindSection("[coordinates]", true);
  const char* const coordinateLabels[4] = {"geographic latitude", "geographic longitude", "reference meridian",
                                           "time shift of data time to lokal time"};
  double* const coordinates[4] = {&lat, &lon, &mer, &shift};
  for (int i = 0; i < 4; ++i) {
    if (controlfile.Scan("%lf", {coordinates[i]}) != 1) ControlFileError(coordinateLabels[i], "");
    // The latitude enters the sun's path: beyond a pole it has no meaning;
    // longitudes lie within -180 ... 180 degrees, and a shift of the data's
    // clock to local time is less than a day.
    const double limit = i == 0 ? 90 : i == 3 ? 24 : 180;
    if (!(std::fabs(*coordinates[i]) <= limit))
      Fatal("FATAL: error in control file, the " + std::string(coordinateLabels[i]) + " in [coordinates] (" +
                controlfile.Where() + ": " + ShortNumber(*coordinates[i]) + ") has to lie within -" +
                std::to_string(static_cast<int>(limit)) + " ... " + std::to_string(static_cast<int>(limit)) +
                (i == 3 ? " hours" : " degrees"),
            17);
    controlfile.RestOfLine(linebuffer);
  }

  FindSection("[meteo_data_count]", true);
  int m = 0;
  if (controlfile.Scan("%d", {&m}) != 1) ControlFileError("number of meteorological variables", "");
  if (m < 0) {
    *diag << ("WARNING: the number of meteorological variables in [meteo_data_count] (" + controlfile.Where() +
              ") is " + std::to_string(m) + " and is read as 0")
                 .c_str()
          << "[end-entry]";
    m = 0;
  }
  controlfile.RestOfLine(linebuffer);
  meteoCount = m;

  FindSection("[meteo_names]", true);
  meteoNames.assign(static_cast<size_t>(m) + 1, std::string());
  for (int i = 1; i <= m; ++i) {
    // A missing name would leave an interpolator without a section: report it here.
    if (controlfile.Scan("%s", {&meteoNames[i]}) != 1)
      ControlFileError("name of meteorological variable " + std::to_string(i) + " in [meteo_names]", "");
    if (meteoNames[i].size() > 200)
      Fatal("FATAL: the name of meteorological variable " + std::to_string(i) + " in [meteo_names] of " + fileName +
                " is longer than 200 characters",
            17);
    controlfile.RestOfLine(linebuffer);
  }
  if (!controlfile.Close()) Fatal("FATAL: error closing " + fileName, 11);
}

void defaultini::ReadRadiationCorrection() {
  FindSection("[radiation_correction]", true);
  controlfile.Scan("%d", {&radiationcorrection});
  controlfile.RestOfLine(linebuffer);
}

int defaultini::ReadSubSteps() {
  if (!controlfile.Open(controlfilename, diag)) Fatal("FATAL: Error opening " + controlfilename, 28);
  int count = 1;
  if (FindSection("[soil_surface_groundwater_substeps]", false)) {
    if (controlfile.Scan("%d", {&count}) != 1)
      ControlFileError("sub step counter from [soil_surface_groundwater_substeps]", "");
    controlfile.RestOfLine(linebuffer);
    // The count is a loop bound of every step: zero or less runs no sub-step,
    // so no soil, surface routing or groundwater model would take the water
    // that the snow and the interception pass on every step.
    if (count < 1)
      Fatal("FATAL: the sub step counter in [soil_surface_groundwater_substeps] (" + controlfile.Where() + ") is " +
                std::to_string(count) +
                ": 0 or less runs no sub-step, so the soil, surface routing and groundwater models would never run "
                "and the water the snow and the interception pass on would be lost every step; give the number of "
                "sub-steps of each step (1 or more), or leave the section out for 1",
            17);
  }
  if (!controlfile.Close()) Fatal("FATAL: error closing " + controlfilename, 11);
  substeps = count;
  return count;
}

void defaultini::IrrigationDescriptionError(int irrigationType) {
  *diag << "FATAL: irrigation description for irrigation type " << irrigationType << " is wrong "
        << "there are 4 possible ways to define irrigation rules:\n"
           "two schedule variants:\n"
           "1.: \"starting from MM DD with XX mm to MM DD with YY mm every ZZ day\"\n"
           "2.: \"starting from MM DD with XX mm AA times every ZZ days\"\n"
           " where MM and DD are Month and day, XX is the first irrigation amount \n"
           " per irrigation event in mm/day, ZZ is the time step (e.g. every 4 days..),\n"
           " YY is the last irrigation amount in mm/day (it is linearly interpolated)\n"
           " and AA is a repeat counter (only in the secound format).\n"
           " The model recognises both formats by the different formats by analysing the\n"
           " key-words \"starting from\", \"to\" and \"times\"\n"
           " note: there may be defined multiple irrigation schemes in one row,\n"
           " but they have to be of the same type (1. or 2.) \n"
           " and they have to be seperated by a semicolon (;)\n"
           " 3.: irrigation control by demand (1): suction (psi) for start and end of irrigation must be provided\n"
           " 4.: irrigation control by demand (2): ratio between ETR and ETP for irrigation start must be provided\n"
        << "[end-entry]";
  throw 29;
}
