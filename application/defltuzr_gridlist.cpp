// Grid list sections: [zone_grid], [elevation_model], [standard_grids] and
// [variable_grids].
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "application/defltuzr.h"
#include "framework/diagstream.h"

namespace {

bool IsIdentifierChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// Position of key in text as a whole word (not inside a longer identifier), or npos.
size_t FindKey(const std::string& text, const std::string& key) {
  for (size_t pos = text.find(key); pos != std::string::npos; pos = text.find(key, pos + 1)) {
    const bool startsWord = pos == 0 || !IsIdentifierChar(text[pos - 1]);
    const size_t end = pos + key.size();
    const bool endsWord = end >= text.size() || !IsIdentifierChar(text[end]);
    if (startsWord && endsWord) return pos;
  }
  return std::string::npos;
}

// Stream over the text after the first "=" that follows key; false when the key is absent.
bool KeyValueStream(const std::string& text, const std::string& key, std::istringstream& stream) {
  const size_t pos = FindKey(text, key);
  if (pos == std::string::npos) return false;
  const size_t eq = text.find('=', pos);
  stream.clear();
  stream.str(eq == std::string::npos ? std::string() : text.substr(eq + 1));
  return true;
}

template <typename T>
void KeyValue(const std::string& text, const std::string& key, T& value, bool& found) {
  std::istringstream stream;
  found = KeyValueStream(text, key, stream);
  if (!found) return;
  T read{};
  if (stream >> read)
    value = read;
  else
    value = T{};  // a value that does not convert gives 0 or an empty word
}

// Splits off the first whitespace-separated word of text at pos.
bool NextToken(const std::string& text, size_t& pos, std::string& token) {
  const size_t start = text.find_first_not_of(" \t\r\n", pos);
  if (start == std::string::npos) return false;
  const size_t end = text.find_first_of(" \t\r\n", start);
  token = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  pos = end == std::string::npos ? text.size() : end;
  return true;
}

}  // namespace

void defaultini::ReadStandardGrids() {
  FindSection("[zone_grid]", true);
  std::string name;
  ReadValue(controlfile, "%s", &name, " Name for ", linebuffer);
  gridlist[1].filename = name;
  gridlist[1].shortname = "[zone_grid]";
  gridlist[1].outname = name;
  FindSection("[elevation_model]", true);
  ReadValue(controlfile, "%s", &name, " Name for ", linebuffer);
  gridlist[2].filename = name;
  gridlist[2].shortname = "[elevation_model]";
  gridlist[2].outname = name;

  FindSection("[standard_grids]", true);
  int n = 0;
  ReadValue(controlfile, "%d", &n, "couner/number of grids ", linebuffer);
  if (n < 1) {
    nstandardgrids = 0;
    return;
  }
  if (n + 2 >= kGridListMax) {
    *diag << "FATAL: no free grid in memory,(max. " << kGridListMax << ")!"
          << "[end-entry]";
    throw 12;
  }
  nstandardgrids = n;
  for (int i = 1; i <= n; ++i) {
    GridListEntry& e = gridlist[i + 2];
    std::string line;
    // Standard-grid lines; blank lines between them are passed over.
    do {
      if (!controlfile.GetLine(line)) line.clear();
    } while (!controlfile.Eof() && line.find_first_not_of(" \t\r\n") == std::string::npos);
    size_t pos = 0;
    std::string fileName, identifier, third;
    if (!NextToken(line, pos, fileName) || !NextToken(line, pos, identifier)) {
      char text[128];
      std::snprintf(text, sizeof text, "\nerror reading a grid name or identifier %d in\n", i);
      ControlFileError(text, modulname);
    }
    // Old form: a fill code follows the identifier as an integer.
    bool oldForm = false;
    int fillcode = 0;
    size_t afterThird = pos;
    if (NextToken(line, afterThird, third)) {
      char* end = nullptr;
      const long value = std::strtol(third.c_str(), &end, 10);
      if (end != third.c_str()) {
        oldForm = true;
        fillcode = static_cast<int>(value);
        pos = afterThird;
      }
    }
    const std::string rest = line.substr(pos);
    e.filename = fileName;
    e.shortname = identifier;
    e.readcode = 1;
    e.defaultvalue = 0;
    e.writecode = 0;
    e.outname = fileName;
    e.statfile.clear();
    e.statcode = 0;
    e.periodnumber = -1;
    e.periodunit.clear();
    e.periodsecond = -1;
    bool found = false;
    int keyFill = 0;
    KeyValue(rest, "fillcode", keyFill, found);
    if (found) {
      fillcode = keyFill;
    } else if (!oldForm) {
      char text[192];
      std::snprintf(text, sizeof text,
                    "\nerror reading the fillcode for standard grid %d (found neither in old nor in new style "
                    "standard grid definition) in\n",
                    i);
      ControlFileError(text, modulname);
    }
    e.fillcode = fillcode;
    KeyValue(rest, "readcode", e.readcode, found);
    KeyValue(rest, "defaultValue", e.defaultvalue, found);
    KeyValue(rest, "writecode", e.writecode, found);
    KeyValue(rest, "outname", e.outname, found);
    KeyValue(rest, "statfile", e.statfile, found);
    KeyValue(rest, "statcode", e.statcode, found);
    std::istringstream period;
    if (KeyValueStream(rest, "periodicity", period)) {
      int number = -1, second = -1;
      std::string unit;
      period >> number >> unit >> second;
      e.periodnumber = number;
      e.periodunit = unit;
      e.periodsecond = second;
      std::istringstream persistence;
      if (KeyValueStream(rest, "persistent", persistence)) {
        int flag = 1, steps = 0;
        persistence >> flag >> steps;
        e.persistent = flag != 0;
        e.persistentsteps = steps;
      }
    }
    if (e.filename.size() > ControlFile::kMaxLine || e.shortname.size() > 100 || e.outname.size() > 1200 ||
        e.statfile.size() > 1200 || e.periodunit.size() > 99)
      Fatal("FATAL: a name of standard grid " + std::to_string(i) + " (" + e.shortname.substr(0, 100) +
                ") is too long (identifier at most 100 characters, file names at most 1200)",
            17);
    // An active statistic code divides the steps into lines by its last three digits.
    if (e.statcode >= 1001 && (e.statcode % 1000 == 0 || e.statcode / 1000 > 6))
      Fatal("FATAL: the statcode " + std::to_string(e.statcode) + " of standard grid " + std::to_string(i) + " (" +
                e.shortname + ") in " + UserControlFile() +
                " is invalid: the thousands give the type (1 to 6) and the last three digits the number of steps "
                "per line (at least 1)",
            17);
    // The result grids of the entry are named from its output name.
    e.filename2 = e.outname;
    e.filename2marker = 0;
    e.periodcounter[0] = e.periodcounter[1] = 0;
    e.periodmark[0] = e.periodmark[1] = 9999;
    e.periodicread = 0;
  }
}

void defaultini::ReadVariableGridList() {
  if (!controlfile.Open(controlfilename, diag)) Fatal("FATAL: error opening " + controlfilename, 28);
  FindSection("[variable_grids]", true);
  int m = 0;
  ReadValue(controlfile, "%d", &m, " number of variable grids ", linebuffer);
  if (m > 0) {
    variablereadswitch.assign(static_cast<size_t>(m) + 1, 0);
    variablepositions.assign(static_cast<size_t>(m) + 1, 0);
    int position = nstandardgrids + 2;
    for (int i = 1; i <= m; ++i) {
      std::string fileName, identifier;
      int fillcode = 0;
      double defaultValue = 0;
      if (controlfile.Scan("%s%s%d%lf", {&fileName, &identifier, &fillcode, &defaultValue}) != 4) {
        char text[192];
        std::snprintf(text, sizeof text,
                      "\nfile for vargrid %d or the identifier or the fillcode or the defaultvalue (which is new in "
                      "version 7.7) in ",
                      i);
        ControlFileError(text, modulname);
      }
      controlfile.RestOfLine(linebuffer);
      if (identifier.size() > 100)
        Fatal("FATAL: the identifier of variable grid " + std::to_string(i) + " is longer than 100 characters", 17);
      int writeCode = 0;
      int readSwitch = 0;
      ReadValue(controlfile, "%d", &writeCode, "Writegrid for a variable grid ", linebuffer);
      ReadValue(controlfile, "%d", &readSwitch, "Readgrid for a variable grid ", linebuffer);
      variablereadswitch[i] = readSwitch;
      // Each variable grid takes the next free position behind the standard
      // grids; positions taken by other grids (the decomposition's) are kept.
      do {
        ++position;
      } while (position < kGridListMax && (gridlist[position].registered || !gridlist[position].filename.empty()));
      if (position >= kGridListMax) {
        *diag << "FATAL: no free grid found in memory (an Position " << kGridListMax << ")\n"
              << "[end-entry]";
        controlfile.Close();
        throw 12;
      }
      variablepositions[i] = position;
      GridListEntry& e = gridlist[position];
      e.fillcode = fillcode;
      e.defaultvalue = defaultValue;
      e.readcode = readSwitch;
      e.outname = fileName;
      Grid grid = nullptr;
      if (readSwitch != 1) {
        grid = MakeDefaultGrid(defaultValue);
      } else {
        ReadGrid(fileName, &grid, fillcode, true, true, true, true, false, true, 0.0);
      }
      RegisterGrid(position, fileName, grid, nullptr, 0, identifier, writeCode, GridFirstRow(), GridLastRow());
      if (identifier == "soil_storage") soilstorage = grid;
    }
  }
  nvariablegrids = m > 0 ? m : 0;
  if (!controlfile.Close()) Fatal("FATAL: error closing " + controlfilename, 11);
}

Grid defaultini::MakeDefaultGrid(double defaultValue) {
  const int r0 = GridFirstRow();
  const int r1 = GridLastRow();
  Grid grid = matrix(r0, r1, 1, ncols, nrows);
  Grid zone = gridlist[1].grid;
  for (int r = r0; r <= r1; ++r)
    for (int c = 1; c <= ncols; ++c) grid[r][c] = (zone && zone[r] && zone[r][c] > nodata) ? defaultValue : nodata;
  return grid;
}
