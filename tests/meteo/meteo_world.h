// A small model world for interpolator tests: the grid list with the zone
// grid, elevation, cell area, coordinates and owner grid, and writers of
// control sections and station files.
#pragma once

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "framework/diagstream.h"
#include "meteo/meteointerpol.h"
#include "tests/framework/codeof.h"
#include "tests/support/testutil.h"

namespace meteotest {

struct Station {
  double altitude;
  double x;
  double y;
};

struct Record {
  MeteoDate date;  // hour, day, month, year
  std::vector<double> values;
};

// The first two hourly steps of 2000.
inline const MeteoDate kStep0{0, 1, 1, 2000};
inline const MeteoDate kStep1{1, 1, 1, 2000};
// Three stations of the 3 x 4 test raster of 1000 m cells: S1 at the centre of
// the lower left cell, S2 at the lower right, S3 at the upper left.
inline const std::vector<Station> kStations = {{100, 500, 500}, {300, 3500, 500}, {500, 500, 2500}};
// Six stations and the twelve cell elevations of the regression tests: the
// cells span the bands around the inversions at 800 ... 1200 m.
inline const double kPos[6][2] = {{500, 500}, {3500, 500}, {500, 2500}, {3500, 2500}, {1500, 1500}, {2500, 1500}};
inline const double kCellZ[12] = {100, 500, 790, 800, 850, 1000, 1150, 1200, 1250, 2000, 3000, 50};

// Station file: a title line, altitude, x and y lines after the four date
// heads (and extra columns), a names line, then the records.
std::string StationFileText(const std::vector<Station>& stations, const std::vector<Record>& records,
                            int additionalColumns = 0);

// One interpolator section; the defaults give a plain inverse-square IDW.
struct Section {
  std::string variable = "temperature";
  int method = 1;
  std::string stationLine = "stations.txt";
  std::string secondStationLine;   // methods 6 and 8
  std::string thirdLine = "none";  // regression file, regression or lapse parameters, GIF mapping
  std::string resultGrid = "result.grd";
  int writeCode = 0;
  double scaling = 1;
  std::string statLine = "stat.txt 0";
  double nodata = 9999;
  double idwWeight = 2;
  double idwFraction = 0.5;
  double maxDistance = 1e7;
  double slope = 0;
  double ratio = 1;
  double lowerLimit = -1e6;
  double upperLimit = 1e6;
  double lowerReplacement = -1e6;
  double upperReplacement = 1e6;
  std::string scenarioLines = "0";
  std::string Text() const;
};

class World {
 public:
  // rows x cols cells of size cellSize with lower left corner (0, 0); every
  // cell belongs to zone 1 and to instance 0.
  World(int rows, int cols, double cellSize, const std::string& name);
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  std::string Path(const std::string& file) const { return dir / file; }
  void Write(const std::string& file, const std::string& text) const { fluvextest::WriteFile(Path(file), text); }
  MeteoInterpolArgs Args(const std::string& variable, MeteoDate start, MeteoDate end);
  // Constructs in the test directory; returns null and sets error on failure.
  std::unique_ptr<meteointerpol> Make(const std::string& variable, MeteoDate start, MeteoDate end, int& error);
  std::string Console() const { return console.str(); }
  DiagStream* Diag() const { return diag.get(); }
  // Writes the section to "control.txt" and the records to "stations.txt",
  // then constructs for the records' first to last date.
  std::unique_ptr<meteointerpol> Start(const Section& s, const std::vector<Station>& stations,
                                       const std::vector<Record>& records, int& error, int extraColumns = 0);
  // Checks the thrown code and that a FATAL entry holds the text.
  void ExpectFatal(int error, int code, const std::string& text) const;
  // The point of a cell, where it is interpolated: its centre (CoordX and
  // CoordY hold its lower left corner).
  double X(int c) const { return (c - 0.5) * cellsize; }
  double Y(int r) const { return (rows - r + 0.5) * cellsize; }
  // Removes an entry from the grid list (for the missing-grid cases).
  void Drop(const std::string& shortName);
  // A grid of value(r, c) registered under name at the first free position.
  Grid AddGrid(const std::string& name, const std::function<double(int, int)>& value);

  int rows;
  int cols;
  double cellsize;
  Grid zone = nullptr;
  Grid elevation = nullptr;
  std::vector<GridListEntry> list;
  std::vector<HruMasterCell> hruMasters;
  std::string controlName = "control.txt";

 private:
  void Add(int position, const std::string& name, Grid grid);
  fluvextest::TempDir dir;
  std::string previousDirectory;
  std::ostringstream console;
  std::unique_ptr<DiagStream> diag;
  memory_handling memory;
  std::vector<Grid> owned;
};

// Runs body in a chosen number of threads.
void WithThreads(int threads, const std::function<void()>& body);

}  // namespace meteotest
