#include "tests/meteo/meteo_world.h"

#include <gtest/gtest.h>
#include <omp.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>

namespace meteotest {

std::string StationFileText(const std::vector<Station>& stations, const std::vector<Record>& records,
                            int additionalColumns) {
  std::ostringstream out;
  out.precision(17);
  out << "station data for the test\n";
  const char* heads[3] = {"YY MM DD HH", "xx xx xx xx", "yy yy yy yy"};
  for (int line = 0; line < 3; ++line) {
    out << heads[line];
    for (int a = 0; a < additionalColumns; ++a) out << " extra" << a;
    for (const Station& s : stations) out << "\t" << (line == 0 ? s.altitude : line == 1 ? s.x : s.y);
    out << "\n";
  }
  out << "names";
  for (size_t i = 0; i < stations.size(); ++i) out << " station" << i + 1;
  out << "\n";
  for (const Record& r : records) {
    out << r.date.year << " " << r.date.month << " " << r.date.day << " " << r.date.hour;
    for (int a = 0; a < additionalColumns; ++a) out << " x" << a;
    for (double v : r.values) out << " " << v;
    out << "\n";
  }
  return out.str();
}

std::string Section::Text() const {
  std::ostringstream out;
  out.precision(17);
  out << "[" << variable << "]\n" << method << "   method\n" << stationLine << "\n";
  if (!secondStationLine.empty()) out << secondStationLine << "\n";
  out << thirdLine << "\n"
      << resultGrid << "   name of the result grid\n"
      << writeCode << "   write code\n"
      << scaling << "   scaling factor\n"
      << statLine << "   statistics\n"
      << nodata << "   nodata\n"
      << idwWeight << "   idw weight\n"
      << idwFraction << "   idw fraction\n"
      << maxDistance << "   maximum distance\n"
      << slope << "   anisotropy slope\n"
      << ratio << "   anisotropy ratio\n"
      << lowerLimit << "   lower limit\n"
      << upperLimit << "   upper limit\n"
      << lowerReplacement << "   lower replacement\n"
      << upperReplacement << "   upper replacement\n"
      << scenarioLines << "\n";
  return out.str();
}

World::World(int rowCount, int colCount, double cellSize, const std::string& name)
    : rows(rowCount), cols(colCount), cellsize(cellSize), list(kGridListSize), dir("meteo_" + name) {
  previousDirectory = std::filesystem::current_path().string();
  std::filesystem::current_path(dir.path());
  diag = std::make_unique<DiagStream>("diag.xml", 4, &console);
  zone = AddGrid("zonegrid", [](int, int) { return 1.0; });
  elevation = AddGrid("elevation", [](int, int) { return 0.0; });
  AddGrid("RelCellArea", [](int, int) { return 1.0; });
  AddGrid("CoordX", [&](int, int c) { return X(c) - cellsize / 2; });
  AddGrid("CoordY", [&](int r, int) { return Y(r) - cellsize / 2; });
  AddGrid("MPIRegions", [](int, int) { return 0.0; });
}

Grid World::AddGrid(const std::string& name, const std::function<double(int, int)>& value) {
  Grid g = memory.matrix(1, rows, 1, cols, rows);
  for (int r = 1; r <= rows; ++r)
    for (int c = 1; c <= cols; ++c) g[r][c] = value(r, c);
  owned.push_back(g);
  int free = 1;
  while (list[free].registered) ++free;
  Add(free, name, g);
  return g;
}

World::~World() {
  diag.reset();
  for (Grid g : owned) memory.FreeMatrix(g, 1, rows, 1, cols);
  std::filesystem::current_path(previousDirectory);
}

void World::Add(int position, const std::string& name, Grid grid) {
  GridListEntry& e = list[position];
  e.grid = grid;
  e.filename = name + ".grd";
  e.shortname = name;
  e.registered = true;
}

void World::Drop(const std::string& shortName) {
  // Later entries move up so that the list keeps no gap.
  for (int i = 1; i < kGridListMax; ++i) {
    if (list[i].shortname != shortName) continue;
    for (int j = i; j + 1 < kGridListMax; ++j) list[j] = list[j + 1];
    return;
  }
}

MeteoInterpolArgs World::Args(const std::string& variable, MeteoDate start, MeteoDate end) {
  MeteoInterpolArgs a;
  a.controlFileName = controlName;
  a.variableName = variable;
  a.gridList = list.data();
  int free = 1;
  while (list[free].registered) ++free;
  a.resultGridIndex = free;
  a.ncols = cols;
  a.nrows = rows;
  a.firstRow = 1;
  a.lastRow = rows;
  a.cellSize = cellsize;
  a.start = start;
  a.end = end;
  a.hruMasters = hruMasters;
  return a;
}

std::unique_ptr<meteointerpol> World::Make(const std::string& variable, MeteoDate start, MeteoDate end, int& error) {
  error = 0;
  const MeteoInterpolArgs args = Args(variable, start, end);
  try {
    return std::make_unique<meteointerpol>(error, diag.get(), args);
  } catch (int code) {
    if (error != code) error = -code;  // a mismatch shows up in the test
  }
  return nullptr;
}

std::unique_ptr<meteointerpol> World::Start(const Section& s, const std::vector<Station>& stations,
                                            const std::vector<Record>& records, int& error, int extraColumns) {
  Write("control.txt", s.Text());
  Write("stations.txt", StationFileText(stations, records, extraColumns));
  return Make(s.variable, records.front().date, records.back().date, error);
}

void World::ExpectFatal(int error, int code, const std::string& text) const {
  EXPECT_EQ(error, code) << Console();
  const std::string out = Console();
  const size_t at = out.find(text);
  EXPECT_NE(at, std::string::npos) << "missing \"" << text << "\" in:\n" << out;
  // The console shows entries without their level; the XML file keeps it.
  const std::string xml = fluvextest::ReadFile(Path("diag_0.xml"));
  EXPECT_NE(xml.find("level=\"0\""), std::string::npos);
}

void WithThreads(int threads, const std::function<void()>& body) {
  const int before = omp_get_max_threads();
  omp_set_num_threads(threads);
  body();
  omp_set_num_threads(before);
}

}  // namespace meteotest
