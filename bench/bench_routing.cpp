// Channels x sub-channels per second of the discharge routing: a chain of
// routed subbasins (each receives the one above through a 20 km channel),
// hourly steps with 4 sub-intervals and a runoff that changes every step.
// The routing runs serially on instance 0, so one process is timed.
// Usage: bench_routing [subbasins] [steps]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "routing/abfluss.h"

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::max(2, std::atoi(argv[1])) : 200;
  const int steps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2000;
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "fluvex_bench_routing";
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);

  std::ostringstream quiet;
  DiagStream diag((dir / "d.xml").string(), 0, &quiet);
  memory_handling memory(&diag);
  std::vector<GridListEntry> list(kGridListSize);
  Grid zone = memory.matrix(1, 1, 1, n, 0);
  for (int c = 1; c <= n; ++c) zone[1][c] = c;
  list[1].grid = zone;
  list[1].shortname = "zonegrid_soilmodel";
  list[1].filename = "zones.asc";
  list[1].registered = true;
  std::vector<int> index(n + 1);
  std::vector<ZoneRecord> records(n + 1);
  records[0] = ZoneRecord{0, 0, 0, double(n), 0};
  for (int s = 1; s <= n; ++s) {
    index[s] = s;
    records[s] = ZoneRecord{0, 0, double(s), 1.0 / n, 0};
  }
  SubModelArgs args;
  args.zoneIndex = index.data();
  args.zoneRecords = records.data();
  args.zoneCount = n;
  args.maxZoneCode = n;
  args.gridlist = list.data();
  args.ncols = n;
  args.nrows = 1;
  args.firstRow = 1;
  args.lastRow = 1;
  args.cellsize = 1000;
  args.endYear = 2001;
  args.endMonth = 1;
  args.endDay = 1;
  args.endHour = 1;
  args.object.DefaultOutputDirectory = dir.string() + "/";

  std::ostringstream c;
  c << "[routing_model]\n1\n60\n5 1000 20 4\nqstat.sta 0\nnone.txt\n0\n0\n";
  for (int s = 2; s <= n; ++s)
    c << "TG " << s << " (area = " << s << ", rel = 1)\nOL " << s - 1
      << " (kh = 3, kv = 10, Bh = 10, Bv = 50, Th = 1, Mh = 30, Mv = 20, I = 0.001, L = 20000, AE = " << s - 1 << ")\n";
  c << "end\n[output_interval]\n1\n1\n0\n";
  const std::string control = (dir / "bench.cntrl").string();
  {
    std::FILE* f = std::fopen(control.c_str(), "w");
    if (!f) return 1;
    std::fputs(c.str().c_str(), f);
    std::fclose(f);
  }
  std::vector<StatRecord> registry(kStatRegistryRecords);
  std::vector<TracerRecord> tracers(1);
  int error = 0;
  abflussmodellklasse model(error, &diag, registry.data(), kStatRegistryCapacity, control, args, 0, tracers.data(), 0);
  if (error != 0) {
    std::printf("routing model failed with %d\n", error);
    return 1;
  }
  std::vector<double> runoff(n + 1, 0.2);
  double* rows[1] = {runoff.data()};
  model.SetDischarges(rows);
  // The initial routing repeats the whole network as often as the travel
  // times of all routed subbasins together need: timed apart from the steps.
  const auto init = std::chrono::steady_clock::now();
  model.InitRouting();
  const double initSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - init).count();

  long subChannels = 0;
  for (int k = 1; k <= model.Routings(); ++k) subChannels += static_cast<long>(model.Routing(k)->Table(1).nSubChannels);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < steps; ++i) {
    // Wet and dry spells move the discharge through the classes.
    for (int s = 1; s <= n; ++s) runoff[s] = (i / 24) % 3 == 0 ? 1.5 + 0.01 * (s % 7) : 0.05;
    model.run(1 + i % 24, 1 + (i / 24) % 28, 1 + (i / 672) % 12, 2001);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("routed subbasins %d, channels %d, sub-channels %ld, steps %d\n", model.Routings(), model.Routings(),
              subChannels, steps);
  std::printf("initial routing %d times: %.3f s\n", model.RepetitionsOfInitialRouting(), initSeconds);
  std::printf("time %.3f s, %.1f us per step, %.3g channel sub-channels per second\n", seconds, 1e6 * seconds / steps,
              subChannels * static_cast<double>(steps) / seconds);
  model.FreeMemory();
  memory.FreeMatrix(zone, 1, 1, 1, n);
  std::filesystem::current_path(std::filesystem::temp_directory_path());
  std::filesystem::remove_all(dir);
  return 0;
}
