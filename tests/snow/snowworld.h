// A snow model under test on one instance: a raster given as a picture of
// zone codes ('.' no data), the input grids every snow method may bind, a
// control file made from the section's values, and access to the model.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "snow/snowmod.h"
#include "tests/framework/codeof.h"
#include "tests/support/testutil.h"

// Values of "[snow_model]" by line; lines 42 to 63 only for methods above 4.
struct SnowSection {
  int flow = 1;
  int interval = 60;
  int method = 1;
  double transzone = 1, T0R = 1, T0 = 0, CWH = 0.1, CRFR = 0.05, C0 = 3, C1 = 1.5, C2 = 0.5, z0 = 0.005;
  double RMFMIN = 1, RMFMAX = 3, ALBmin = 0.45, ALBmax = 0.9;
  int readgrid = 0;
  int statcode = 0;  // of every statistics file
  std::string line42 = "stemp";
  std::string slope = "55", factor = "1", minslide = "30", fraction = "0.01", lwin = "1", lwout = "1";
  std::string line63 = "1.0";
  std::string Text() const {
    std::ostringstream s;
    s << "[snow_model]\n" << flow << "\n" << interval << "\n" << method << " method\n";
    for (double v : {transzone, T0R, T0, CWH, CRFR, C0, C1, C2, z0, RMFMIN, RMFMAX, ALBmin, ALBmax}) s << v << "\n";
    s << "rain\n0\nrain.stat " << statcode << "\nsnow\n0\nsnow.stat " << statcode << "\nsdays\n0\nsdays.stat "
      << statcode << "\nsage\n0\nsage.stat " << statcode << "\nalb.stat " << statcode << "\n"
      << "sout\n0\nsout.stat " << statcode << "\nsmelt\n0\nsmelt.stat " << statcode << "\nssolid\n0\nsliquid\n0\n"
      << "storage.stat " << statcode << "\nstotal\n0\n"
      << readgrid << " readgrid\n";
    if (method > 4) {
      s << line42 << "\n0\nstemp.stat 0\nsurf\n0\nsurf.stat 0\ninput\n0\ninput.stat 0\nmobile\n0\nmobile.stat 0\n"
        << "depo\n0\ndepo.stat 0\n";
      for (const std::string& v : {slope, factor, minslide, fraction, lwin, lwout, line63}) s << v << "\n";
    }
    return s.str();
  }
};

class SnowWorld {
 public:
  SnowWorld(const std::string& name, const std::vector<std::string>& picture)
      : dir(name), diag(dir / "d.xml", 4, &console), memory(&diag), list(kGridListSize) {
    nrows = static_cast<int>(picture.size());
    ncols = static_cast<int>(picture[0].size());
    int maxcode = 0;
    for (const std::string& row : picture)
      for (char ch : row)
        if (ch != '.') maxcode = std::max(maxcode, ch - '0');
    zoneindex.assign(maxcode + 1, 0);
    records.assign(1, ZoneRecord{0, 0, 1, 1, 0});
    for (int code = 0; code <= maxcode; ++code) {
      double cells = 0;
      for (const std::string& row : picture)
        for (char ch : row) cells += (ch - '0') == code ? 1 : 0;
      if (cells == 0) continue;
      zoneindex[code] = static_cast<int>(records.size());
      records.push_back(ZoneRecord{0, 0, static_cast<double>(code), cells, 0});
    }
    double total = 0;
    for (size_t k = 1; k < records.size(); ++k) total += records[k].rel;
    for (size_t k = 1; k < records.size(); ++k) records[k].rel /= total;
    Grid zone = Add("zones", kNodata);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) {
        const char ch = picture[r - 1][c - 1];
        zone[r][c] = ch == '.' ? kNodata : ch - '0';
      }
    Grid dem = Add("elevation", 500);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) dem[r][c] = 1000 - 10 * r - c;
    Grid soilzones = Add("zonegrid_soilmodel", kNodata);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) soilzones[r][c] = zone[r][c];
    for (auto [n, v] : std::vector<std::pair<const char*, double>>{{"albedo", 0.2},
                                                                   {"landuse1", 1},
                                                                   {"temperature", 0},
                                                                   {"temperature_night", 0},
                                                                   {"precipitation", 0},
                                                                   {"wind_speed", 2},
                                                                   {"vapor_pressure", 6},
                                                                   {"cloudiness", 0.5},
                                                                   {"air_humidity", 0.8},
                                                                   {"AspectCorrectedGlobalRadiation", 0},
                                                                   {"slope_angle", 10},
                                                                   {"slidefraction1", 0.25},
                                                                   {"slidefraction2", 0.25},
                                                                   {"slidefraction3", 0.25},
                                                                   {"slidefraction4", 0.25},
                                                                   {"deposition_index", 0}})
      Add(n, v);
    args.zoneIndex = zoneindex.data();
    args.zoneRecords = records.data();
    args.zoneCount = static_cast<int>(records.size()) - 1;
    args.maxZoneCode = maxcode;
    args.gridlist = list.data();
    args.ncols = ncols;
    args.nrows = nrows;
    args.firstRow = 1;
    args.lastRow = nrows;
    args.cellsize = 1000;
    args.latitude = 50;
    args.longitude = 6;
    args.meridian = 15;
    args.object.DefaultOutputDirectory = dir.path() + "/";
    args.object.InitialStateDirectory = dir.path() + "/";
  }
  ~SnowWorld() {
    if (model) model->FreeMemory();
    model.reset();
    for (Grid g : owned) memory.FreeMatrix(g, 1, nrows, 1, ncols);
  }

  // A grid of the world, filled with v, entered at the next free position.
  Grid Add(const std::string& name, double v) {
    Grid g = memory.matrix(1, nrows, 1, ncols, nrows);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 0; c <= ncols; ++c) g[r][c] = v;
    owned.push_back(g);
    int p = 1;
    while (list[p].registered) ++p;
    list[p].grid = g;
    list[p].filename = name + ".asc";
    list[p].shortname = name;
    list[p].registered = true;
    list[p].firstrow = 1;
    list[p].lastrow = nrows;
    return g;
  }
  // A world grid by its name (also one the model registered).
  Grid operator[](const std::string& name) const {
    for (int p = 1; p < kGridListMax && list[p].registered; ++p)
      if (list[p].shortname == name) return list[p].grid;
    return nullptr;
  }
  void Fill(const std::string& name, double v) {
    Grid g = (*this)[name];
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) g[r][c] = v;
  }
  // Builds the model from the section (and further control-file text); the
  // error code of the construction.
  int Build(const SnowSection& s, const std::string& more = std::string()) {
    const std::string path = dir / "run.cntrl.$$$";
    fluvextest::WriteFile(path, s.Text() + "\n" + more);
    int error = 0;
    model = std::make_unique<schneemodellklasse>(error, &diag, nullptr, 0, path, args);
    if (error == 0 && model->GetFlowControl() != 0) {
      model->SetPrecipitationSource(0);
      model->InitLakes("[lake_model]");
    }
    return error;
  }
  bool Said(const std::string& text) const { return console.str().find(text) != std::string::npos; }
  bool Valid(int r, int c) const { return (*this)["zones"][r][c] > kNodata; }

  fluvextest::TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  memory_handling memory;
  std::vector<GridListEntry> list;
  std::vector<Grid> owned;
  std::vector<int> zoneindex;
  std::vector<ZoneRecord> records;
  SubModelArgs args;
  std::unique_ptr<schneemodellklasse> model;
  int nrows = 0;
  int ncols = 0;
};

// Values of "[ice_firn]" by line (dynamic methods take all 53 lines).
struct IceFirnSection {
  int method = 11;
  double DDFice = 9.6, DDFfirn = 7.2, DDFsnow = 2.4, MF = 0, Aice_min = 0, Aice_max = 0, Asnow_min = 0, Asnow_max = 0;
  double kice = 10, kfirn = 10, ksnow = 10, qice0 = 0, qfirn0 = 0, qsnow0 = 0;
  std::string firnline = "0 2000 0.5";
  std::string dateline = "30 9";
  std::string line53 = "1000 0.25";
  std::string valine = "28.5 1.36 3 0";
  int qglaccode = 0;   // statistics code of the total glacier melt
  std::string line54;  // the grid of firn turned to ice and its write code
  std::string Text() const {
    std::ostringstream s;
    s << "[ice_firn]\n" << method << " method\n";
    for (double v : {DDFice, DDFfirn, DDFsnow, MF, Aice_min, Aice_max, Asnow_min, Asnow_max, kice, kfirn, ksnow, qice0,
                     qfirn0, qsnow0})
      s << v << "\n";
    s << "mfirn\n0\nqfirn.stat 0\nmice\n0\nqice.stat 0\nqglac.stat " << qglaccode << "\n";
    if (method > 10) {
      s << "qsg.stat 0\n0 readgrid\n"
        << firnline << "\n"
        << dateline << "\n"
        << valine << "\nfirnstack\n0\nfirn.stat 0\ngmb\n0\ngmbold\n0\ngmb1.stat 0\ngmb2.stat 0\n1.0\n"
        << "snowog.stat 0\n";
      for (int k = 0; k < 7; ++k) s << "grid" << k << "\n0\n";
      s << line53 << "\n" << line54 << "\n";
    }
    return s.str();
  }
};

// Adds the glacier grids of a dynamic run: fraction and code per cell.
inline void AddGlaciers(SnowWorld& w, const std::vector<double>& fraction, const std::vector<double>& code) {
  Grid g = w.Add("GlacierizedCells", 0);
  Grid k = w.Add("GlacierCodes", kNodata);
  for (int r = 1; r <= w.nrows; ++r)
    for (int c = 1; c <= w.ncols; ++c) {
      g[r][c] = fraction[(r - 1) * w.ncols + c - 1];
      k[r][c] = code[(r - 1) * w.ncols + c - 1];
    }
}
