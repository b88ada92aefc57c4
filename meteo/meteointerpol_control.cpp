// The interpolator's section of the control file.
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "framework/diagstream.h"
#include "meteo/linetokens.h"
#include "meteo/meteointerpol.h"

void meteointerpol::ReadControlSection() {
  if (!controlfile.Open(controlfilename, diag)) {
    *diag << "FATAL: error opening " << controlfilename.c_str() << "[end-entry]";
    throw 28;
  }
  FindSection("[" + VariableName + "]", true);
  const std::string v = VariableName;
  std::string& rest = linebuffer;

  ReadValue(controlfile, "%d", &Method,
            "1 [idw], 2 [regress], [3] [idw+regr], 4 [thiessen] 5 [bilinear] 6 [BIGRES] 7 [bicubic spline] 8 "
            "[SPLINERES] 9 [ReadGrid] 10 [EDR from station data] 11 [IDW + EDR from station data] 12 [Thiessen "
            "combines with elevation gradient] for " +
                v,
            rest);
  // The method decides which lines follow, so it is checked before they are read.
  if (Method < 1 || Method > 12) {
    *diag << "FATAL: error! interpolation method has to range from 1..12 (here: " << Method << ")\n"
          << "[end-entry]";
    throw 53;
  }
  StationFileCount = (Method == 6 || Method == 8) ? 2 : 1;
  // The lines read whole (station files, the method's parameters) skip blank
  // lines, as every value read does; an indented comment is one after the
  // preprocessing.
  auto nextLine = [&](std::string& line) {
    while (controlfile.GetLine(line))
      if (!LineTokens(line).AtEnd()) return true;
    return false;
  };
  // A number of such a line ends its word: "0,5" or "127.5" for a whole
  // number would be read as 0 or 127 and the rest as the next value.
  auto numberEndsWord = [&](const std::string& line, const LineTokens& t, const char* what) {
    const size_t at = t.Position();
    if (at >= line.size() || std::isspace(static_cast<unsigned char>(line[at]))) return;
    size_t from = at;
    while (from > 0 && !std::isspace(static_cast<unsigned char>(line[from - 1]))) --from;
    size_t to = at;
    while (to < line.size() && !std::isspace(static_cast<unsigned char>(line[to]))) ++to;
    *diag << "FATAL: the " << what << " of " << v.c_str() << " is unreadable: \""
          << line.substr(from, to - from).c_str() << "\" (" << controlfile.Where().c_str()
          << "): a number is expected, written with a decimal point"
          << "[end-entry]";
    throw 49;
  };
  // NaN has no meaning, neither has an infinite height, rate or factor.
  auto finite = [&](double value, const char* what) {
    if (std::isfinite(value)) return;
    *diag << "FATAL: the " << what << " of " << v.c_str() << " is " << value << " (" << controlfile.Where().c_str()
          << "): a finite number is expected"
          << "[end-entry]";
    throw 49;
  };

  for (int k = 0; k < StationFileCount; ++k) {
    std::string line;
    std::string name;
    const bool got = nextLine(line);
    LineTokens tokens(line);
    if (!got || !tokens.Word(name)) {
      *diag << "FATAL: error reading station data file name nr. " << k << " for interpolation of " << v.c_str() << " ("
            << controlfile.Where().c_str() << (got ? ")" : ": end of file)") << "[end-entry]";
      throw 49;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    StationFileName[k] = name;
    StationFileLine[k] = line;
    AdditionalColumns[k] = 0;
    const std::string key = "AdditionalColumns=";
    const size_t at = line.find(key);
    if (at != std::string::npos) {
      LineTokens count(line, at + key.size());
      long n = 0;
      if (!count.Integer(n) || n < 0 || n > 100000) {
        *diag << "FATAL: error reading the number after \"AdditionalColumns=\" in the line of station data file "
              << name.c_str() << " for interpolation of " << v.c_str() << " (expected a whole number of 0 or more)"
              << "[end-entry]";
        throw 49;
      }
      AdditionalColumns[k] = static_cast<int>(n);
    }
  }

  if (Method <= 8) {
    ReadValue(controlfile, "%s", &RegressionFileName, "name of the regression file in " + v, rest);
  } else if (Method == 10 || Method == 11) {
    std::string line;
    nextLine(line);
    LineTokens t(line);
    int n = 0;
    double values[6] = {0, 0, 0, 0, 0, 0};
    const char* names[6] = {
        "regression parameter <lower inversion>", "regression parameter <upper inversion>",
        "regression parameter <tolerance>",       "regression parameter <overlap>",
        "regression parameter <cluster range>",   "regression parameter <lapse rate above the upper inversion>"};
    for (int i = 0; i < 6; ++i) {
      const bool ok = (i == 3) ? t.ScanInt(Overlap) : t.ScanDouble(values[i]);
      if (!ok) break;
      numberEndsWord(line, t, names[i]);
      ++n;
    }
    if (n < 5) {
      *diag << "FATAL: error reading the required 5 or 6 regression parameters <lower inversion> <upper "
               "inversion> <tolerance> <overlap> <clusterrange> [<lapse rate above upper inversion>] for "
               "interpolation of "
            << v.c_str() << "[end-entry]";
      throw 49;
    }
    // NaN has no meaning anywhere; neither has an infinite inversion height,
    // cluster range or lapse rate (an infinite tolerance is no limit).
    for (int i = 0; i < n; ++i)
      if (i != 3 && !(i == 2 && values[i] > 0)) finite(values[i], names[i]);
    LowerInversion = values[0];
    UpperInversion = values[1];
    Tolerance = values[2];
    ClusterRange = values[4];
    UpperLapseRate = n == 6 ? values[5] : -9999;
  } else if (Method == 12) {
    std::string line;
    nextLine(line);
    LineTokens t(line);
    double values[3] = {-9999, -9999, -9999};
    int n = 0;
    const char* names[3] = {"lapse rate", "inversion height", "fixed lapse rate above the inversion"};
    while (n < 3 && t.ScanDouble(values[n])) numberEndsWord(line, t, names[n++]);
    // The word "P-type" may follow the single rate or the three values.
    std::string word;
    if (n == 1 || n == 3) t.Word(word);
    if (n == 0 || n == 2) {
      *diag << "FATAL: error reading the required parameter \"lapse rate\" and/or optional parameters "
               "inversion_hight and fix upper lapse rate for interpolation of "
            << v.c_str() << "[end-entry]";
      throw 49;
    }
    for (int i = 0; i < n; ++i) finite(values[i], names[i]);
    UpperLapseRate = values[0];
    UpperInversion = n >= 3 ? values[1] : -9999;
    FixUpperLapseRate = n >= 3 ? values[2] : -9999;
    PType = word.find("P-type") != std::string::npos ? 1 : 0;
  } else {
    std::string line;
    nextLine(line);
    LineTokens t(line);
    const char* names[5] = {"GIF-Mapping parameter f1", "GIF-Mapping parameter x1", "GIF-Mapping parameter threshold",
                            "GIF-Mapping parameter f2", "GIF-Mapping parameter x2"};
    double* factors[5] = {&GifF1, &GifX1, nullptr, &GifF2, &GifX2};
    bool ok = true;
    for (int i = 0; i < 5 && ok; ++i) {
      ok = factors[i] ? t.ScanDouble(*factors[i]) : t.ScanInt(GifThreshold);
      if (ok) numberEndsWord(line, t, names[i]);
    }
    if (!ok) {
      *diag << "FATAL: error reading the required 5 GIF-Mapping parameters f1 (default=8.916787e-5), x1 "
               "(0.0767528404), threshold (127), f2 (default=6.00e-006), x2 (0.098) for interpolation of "
            << v.c_str() << "[end-entry]";
      throw 49;
    }
    for (int i = 0; i < 5; ++i)
      if (factors[i]) finite(*factors[i], names[i]);
    // The images carry no geometry of their own: one pixel per model cell,
    // the image's lower-left corner at the model's, no mask.
    SetGifGeometry(xllcorner, yllcorner, cellsize, nullptr);
  }

  ReadValue(controlfile, "%s", &ResultGridName, "name of the result grid in " + v, rest);
  ReadValue(controlfile, "%d", &WriteCode, "grid write code for result grid in " + v, rest);
  ReadValue(controlfile, "%lf", &ScalingFactor, "scaling factor for " + v, rest);
  ReadValues2(controlfile, "%s%d", &StatFileName, &StatCode, "name of the statistic result file in " + v, rest);
  ReadValue(controlfile, "%lf", &Nodata, "nodata value in " + v, rest);
  // The nodata value is a bound: values beyond +-Nodata are missing. A
  // negative one names the same bound, so its absolute value is taken.
  if (Nodata < 0) {
    *diag << "WARNING: the nodata value in " << v.c_str() << " is " << Nodata << " (" << controlfile.Where().c_str()
          << "): it is given as a positive number, values beyond +-" << -Nodata << " are missing; " << -Nodata
          << " is taken"
          << "[end-entry]";
    Nodata = -Nodata;
  }
  // A nodata of 0 bounds nothing but 0: every value, a dry hour's 0 too,
  // would be missing. 0 is a measured value of every variable, so it cannot
  // mark missing ones; the run ends naming the line.
  if (Nodata == 0) {
    *diag << "FATAL: the nodata value in " << v.c_str() << " is 0 (" << controlfile.Where().c_str()
          << "): values beyond +-nodata and the nodata value itself are missing, so every value would be; a bound "
             "beyond every measured value is expected (9999, say)"
          << "[end-entry]";
    throw 17;
  }
  NodataInt = static_cast<int>(std::fmax(std::fmin(Nodata, 2147483647.0), -2147483647.0));
  ReadValue(controlfile, "%lf", &IdwWeight, "idw-weight in " + v, rest);
  // A negative power would weigh far stations most.
  if (!(IdwWeight >= 0)) {
    *diag << "FATAL: the idw-weight in " << v.c_str() << " is " << IdwWeight << " (" << controlfile.Where().c_str()
          << "): a power of 0 or more is expected"
          << "[end-entry]";
    throw 17;
  }
  ReadValue(controlfile, "%lf", &IdwFraction, "fraction of idw on weighted interpolation (method 3)", rest);
  // Methods 3 and 11 blend the inverse-distance value and the regression's
  // with this share; outside 0 ... 1 the blend leaves both values' range.
  if ((Method == 3 || Method == 11) && !(IdwFraction >= 0 && IdwFraction <= 1)) {
    *diag << "FATAL: the idw fraction in " << v.c_str() << " is " << IdwFraction << " (" << controlfile.Where().c_str()
          << "): method " << Method
          << " weighs the inverse-distance value with it and the regression with the rest, a share of 0 ... 1 is "
             "expected"
          << "[end-entry]";
    throw 17;
  }
  ReadValue(controlfile, "%lf", &MaxDistance, "maximum distance in " + v, rest);
  // The inverse distances take only stations within this distance (also where
  // the bilinear and spline methods fall back on them): a distance of 0 or
  // less would leave every cell without a value. +inf is no limit.
  const bool usesDistance = Method == 1 || Method == 3 || (Method >= 5 && Method <= 8) || Method == 11;
  if (usesDistance && !(MaxDistance > 0)) {
    *diag << "FATAL: the maximum distance in " << v.c_str() << " is " << MaxDistance << " ("
          << controlfile.Where().c_str() << "): method " << Method
          << " takes the stations within this distance of a cell, a distance above 0 (m) is expected"
          << "[end-entry]";
    throw 17;
  }
  ReadValue(controlfile, "%lf", &AnisoSlope, "slope of the main axis of the anisotropy ellipse in " + v, rest);
  AnisoSlopeWhere = controlfile.Where();
  ReadValue(controlfile, "%lf", &AnisoRatio, "anisotropy b/a in " + v, rest);
  AnisoRatioWhere = controlfile.Where();
  ReadValue(controlfile, "%lf", &LowerLimit, "lower limit of results in " + v, rest);
  const std::string lowerWhere = controlfile.Where();
  ReadValue(controlfile, "%lf", &UpperLimit, "upper limit of results in " + v, rest);
  // Values below the lower limit and above the upper one are replaced: an
  // upper limit not above the lower one replaces every value (but one).
  if (!(UpperLimit > LowerLimit)) {
    *diag << "FATAL: the upper limit of results in " << v.c_str() << " is " << UpperLimit << " ("
          << controlfile.Where().c_str() << "), the lower limit " << LowerLimit << " (" << lowerWhere.c_str()
          << "): values beyond the limits are replaced, an upper limit above the lower one is expected"
          << "[end-entry]";
    throw 17;
  }
  ReadValue(controlfile, "%lf", &LowerReplacement, "lower replacement for limit-exceeding results in " + v, rest);
  if (std::isnan(LowerReplacement)) {
    *diag << "FATAL: the lower replacement for limit-exceeding results in " << v.c_str() << " is nan ("
          << controlfile.Where().c_str() << "): a number is expected"
          << "[end-entry]";
    throw 17;
  }
  ReadValue(controlfile, "%lf", &UpperReplacement, "upper replacement for limit-exceeding results in " + v, rest);
  if (std::isnan(UpperReplacement)) {
    *diag << "FATAL: the upper replacement for limit-exceeding results in " << v.c_str() << " is nan ("
          << controlfile.Where().c_str() << "): a number is expected"
          << "[end-entry]";
    throw 17;
  }
  ReadValue(controlfile, "%d", &SzenUse, "SzenUse in " + v, rest);

  if (SzenUse == 1) {
    ReadValue(controlfile, "%d", &SzenMeth, "SzenMeth in " + v, rest);
    if (SzenMeth == 5 || SzenMeth == 6) {
      for (int m = 1; m <= 12; ++m) {
        std::string name;
        // A name that opens a section is the next section, not a grid.
        if (controlfile.Scan("%s", {&name}) != 1 || name.empty() || name[0] == '[') {
          *diag << "FATAL: error in control file: scenario grid for month " << m << " in " << v.c_str()
                << " not found!\nThere have to be exactly 12 filenames after the sceario application mode\nreferring "
                   "to each of the 12 months if using scenario method 5.\nHowever, if methods 0..4 are used, NO "
                   "FILENAMES are allowed there\n (for backwards compatibility reasons)"
                << "[end-entry]";
          throw 17;
        }
        controlfile.RestOfLine(rest);
        ScenarioGridName[m] = name;
      }
    } else {
      ReadValue(controlfile, "%d", &SzenNum, "SzenNum in " + v, rest);
      // No rows: no scenario, the values stay as they are.
      if (SzenNum < 1) {
        *diag << "WARNING: SzenNum in " << v.c_str() << " is " << SzenNum << " (" << controlfile.Where().c_str()
              << "): no scenario rows are read, the values of " << v.c_str() << " stay as they are (scenario method "
              << SzenMeth << " without rows changes nothing)"
              << "[end-entry]";
        SzenNum = 0;
      }
      ScenarioTable.assign(static_cast<size_t>(SzenNum) + 1, std::vector<double>(16, 0.0));
      for (int r = 1; r <= SzenNum; ++r) {
        // The 14 numbers of a row may run over line ends.
        for (int c = 1; c <= 14; ++c) {
          double value = 0;
          if (controlfile.Scan("%lf", {&value}) != 1) {
            *diag << "FATAL: error! scenario-data row " << r << ", column " << c << " in " << v.c_str()
                  << ": read error!"
                  << "[end-entry]";
            throw 48;
          }
          // Method 3 gives the monthly values as percentages of change.
          if (SzenMeth == 3 && c >= 3) value = value / 100.0 + 1.0;
          ScenarioTable[r][c] = value;
        }
        controlfile.RestOfLine(rest);
      }
    }
  }
  if (ScenarioTable.empty()) ScenarioTable.assign(1, std::vector<double>(16, 0.0));

  // With the inverse-square weight the kernels compare squared distances.
  if (IdwWeight == 2.0) MaxDistance = MaxDistance * MaxDistance;
  IdwLimitSquared = IdwWeight == 2.0 ? MaxDistance : MaxDistance * MaxDistance;
  IdwLimit = IdwWeight == 2.0 ? std::sqrt(MaxDistance) : MaxDistance;

  if (!controlfile.Close()) {
    *diag << "FATAL: error closing " << controlfilename.c_str() << "[end-entry]";
    throw 11;
  }
}
