// A routing model under test: a basin of four subbasins (codes 1 to 4, one
// cell of 1 km2 each plus a second cell for subbasin 4), a control file
// written into a temporary directory that is also the working directory while
// the model is built (the channel table files go there), and runoff tables
// handed in directly.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "routing/abfluss.h"
#include "routing/rules.h"
#include "tests/framework/codeof.h"
#include "tests/support/testutil.h"

class RoutingFixture : public ::testing::Test {
 protected:
  explicit RoutingFixture(const std::string& name)
      : dir(name), diag(dir / "d.xml", 4, &console), memory(&diag), list(kGridListSize) {
    zone = memory.matrix(1, 1, 1, 5, 0);
    const double codes[5] = {1, 2, 3, 4, 4};
    for (int c = 1; c <= 5; ++c) zone[1][c] = codes[c - 1];
    list[1].grid = zone;
    list[1].filename = "zones.asc";
    list[1].shortname = "zonegrid_soilmodel";
    list[1].registered = true;
    // rel: entry 0 the total area [km2], entry s the subbasin's share.
    records[0] = ZoneRecord{0, 0, 0, 5.0, 0};
    for (int s = 1; s <= 4; ++s) records[s] = ZoneRecord{0, 0, double(s), (s == 4 ? 2.0 : 1.0) / 5.0, 0};
    args.zoneIndex = zoneindex;
    args.zoneRecords = records;
    args.zoneCount = 4;
    args.maxZoneCode = 4;
    args.gridlist = list.data();
    args.ncols = 5;
    args.nrows = 1;
    args.firstRow = 1;
    args.lastRow = 1;
    args.cellsize = 1000;
    args.endYear = 2001;  // the start date of the run
    args.endMonth = 1;
    args.endDay = 1;
    args.endHour = 1;
    args.object.DefaultOutputDirectory = dir.path() + "/";
    args.object.InitialStateDirectory = dir.path() + "/";
    tracerRecords.resize(3);
  }
  ~RoutingFixture() override {
    if (model) model->FreeMemory();
    model.reset();
    memory.FreeMatrix(zone, 1, 1, 1, 5);
  }

  // "[routing_model]" with its head; descriptions follow, then a line that ends them.
  static std::string Head(const std::string& qline = "0.1 1000 20 1", int flow = 1, int dt = 60,
                          const std::string& observed = "none.txt", const std::string& descriptors = "0\n") {
    return "[routing_model]\n" + std::to_string(flow) + "\tflow control parameter for\n" + std::to_string(dt) +
           "\ttime interval for\n" + qline +
           "\tqmin qmax intervals subintervals\nqstat.sta 2001\tname of the "
           "Qstatfiles for\n" +
           observed + "\tname of spec.discharge files for\n" + descriptors + "0\tZeitoffset\n";
  }
  // A channel of the given storage constant and length that hardly delays.
  static std::string Channel(double kh = 1, double L = 1000, double AE = 1, double Th = 5) {
    std::ostringstream s;
    s << " (kh = " << kh << ", kv = 1, Bh = 10, Bv = 50, Th = " << Th << ", Mh = 30, Mv = 20, I = 0.001, L = " << L
      << ", AE = " << AE << ")";
    return s.str();
  }

  // Builds the model from the control file text; returns the constructor's code.
  int Build(const std::string& body, int tracers = 0, int readParameter = 0) {
    if (model) model->FreeMemory();
    model.reset();
    const std::string path = dir / "run.cntrl";
    fluvextest::WriteFile(path, body + "[output_interval]\n1\n1\n" + std::to_string(unit) + "\n");
    char old[4096];
    if (!getcwd(old, sizeof old)) return -1;
    if (chdir(dir.path().c_str()) != 0) return -1;
    int error = 0;
    try {
      model = std::make_unique<abflussmodellklasse>(error, &diag, registry, kStatRegistryCapacity, path, args, tracers,
                                                    tracerRecords.data(), readParameter);
    } catch (int code) {
      error = code;
    }
    if (chdir(old) != 0) return -1;
    if (error != 0) model.reset();
    return error;
  }
  // Runoff of every subbasin [mm per step] handed to the model; tracer rows
  // carry the concentration c.
  void SetRunoff(const std::vector<double>& q, int tracers = 0, double c = 0) {
    runoff.assign(tracers + 1, std::vector<double>(5, c));
    rows.assign(tracers + 1, nullptr);
    for (int t = 0; t <= tracers; ++t) rows[t] = runoff[t].data();
    Runoff(q);
    model->SetDischarges(rows.data());
  }
  // Hands in the runoff and initialises the routing.
  void Start(const std::vector<double>& q = {0, 0, 0, 0}, int tracers = 0, double c = 0) {
    SetRunoff(q, tracers, c);
    model->InitRouting();
  }
  void Runoff(const std::vector<double>& q) {
    for (int s = 1; s <= 4; ++s) runoff[0][s] = q[s - 1];
  }
  // Step i (from 0) of the run, hourly from the start date.
  void Step(int i) { model->run(1 + i % 24, 1 + i / 24, 1, 2001); }
  // Routed discharge of subbasin s after the last step.
  double Routed(int s) { return model->Tables().runoff[0][s]; }
  bool Said(const std::string& text) const { return console.str().find(text) != std::string::npos; }
  std::string File(const std::string& name) const { return fluvextest::ReadFile(dir / name); }

  fluvextest::TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  memory_handling memory;
  std::vector<GridListEntry> list;
  Grid zone = nullptr;
  int zoneindex[5] = {0, 1, 2, 3, 4};
  ZoneRecord records[5];
  SubModelArgs args;
  StatRecord registry[kStatRegistryRecords] = {};
  std::vector<TracerRecord> tracerRecords;
  int unit = 0;
  std::unique_ptr<abflussmodellklasse> model;
  std::vector<std::vector<double>> runoff;
  std::vector<double*> rows;
};
