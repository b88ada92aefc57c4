// The snow model in the example basin run by the program: the same results on
// one and on four instances and with one and eight threads, and a warm start
// from the state grids that continues a run as if it had not stopped.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>

#include "tests/support/testutil.h"

using fluvextest::ReadFile;
using fluvextest::RunCommand;
using fluvextest::TempDir;

namespace {

namespace fs = std::filesystem;

void Replace(std::string& text, const std::string& from, const std::string& to) {
  const size_t p = text.find(from);
  ASSERT_NE(p, std::string::npos) << from;
  text.replace(p, from.size(), to);
}

struct RunSettings {
  std::string endDay = "28", endMonth = "2";
  std::string startDay = "1", startMonth = "1";
  std::string output = "out/";
  std::string state = "out/";  // directory part of the state grid names
  int stateCode = 5;           // write code of the state grids
  int readgrid = 0;
  int method = 2;
  bool glaciers = false;  // a dynamic glacier on the highest cells, updated on 15 February
};

std::string Control(const RunSettings& run) {
  std::string c = ReadFile(std::string(FLUVEX_EXAMPLE_DIR) + "/control.txt");
  Replace(c, "WriteAsciiGrids = 1\n", "WriteAsciiGrids = 0\nWriteDoubleGrids = 1\n");
  // The snow runs need neither the soil water (with its groundwater and
  // surface routing) nor the discharge routing.
  Replace(c, "[unsatzon_model]\n1\n", "[unsatzon_model]\n0\n");
  Replace(c, "[groundwater_flow]\n1\n", "[groundwater_flow]\n0\n");
  Replace(c, "[SurfaceRoutingModel]\n1\n", "[SurfaceRoutingModel]\n0\n");
  Replace(c, "[routing_model]\n1\n", "[routing_model]\n0\n");
  Replace(c, "$set $outpath = out/", "$set $outpath = " + run.output);
  Replace(c, "1         starting day\n1         starting month",
          run.startDay + "         starting day\n" + run.startMonth + "         starting month");
  Replace(c, "31        end day\n12        end month", run.endDay + " end day\n" + run.endMonth + " end month");
  std::ostringstream s;
  const std::string st = run.state;
  const int w = run.stateCode;
  s << "[snow_model]\n1\n$step\n"
    << run.method << " method\n1.0\n0.5\n0.0\n0.1\n0.05\n3.0\n1.5\n0.5\n0.005\n1.0\n3.0\n0.45\n0.9\n"
    << "rain\n0\nrain.stat 2024\nsnow\n0\nsnow.stat 2024\n"
    << st << "sdays\n"
    << w << "\nsdays.stat 1024\n"
    << st << "sage\n"
    << w << "\nsage.stat 1024\nalbedo.stat 1024\n"
    << "sout\n5\nsout.stat 4024\nsmelt\n0\nsmelt.stat 4024\n"
    << st << "ssolid\n"
    << w << "\n"
    << st << "sliquid\n"
    << w << "\nsstorage.stat 2024\n"
    << st << "stotal\n"
    << w << "\n"
    << run.readgrid << " readgrid\n";
  if (run.method > 4) {
    // Slides on slopes from 3 degrees, half of the snow to the lower row.
    s << "stemp\n0\nstemp.stat 0\nsurf\n0\nsurf.stat 0\ninput\n5\ninput.stat 2024\nmobile\n5\nmobile.stat 2024\n"
      << "depo\n5\ndepo.stat 2024\n10\n2\n3\n0.2\n1\n1\n1\n";
    Replace(c, "7         number of variable grids\n", "11        number of variable grids\n");
    Replace(c, "0         read switch: made from its default value\n",
            "0         read switch: made from its default value\n"
            "sf1.asc slidefraction1 0 0.2\n0\n0\nsf2.asc slidefraction2 0 0.1\n0\n0\n"
            "sf3.asc slidefraction3 0 0.1\n0\n0\nsf4.asc slidefraction4 0 0.6\n0\n0\n");
  }
  if (run.glaciers) {
    Replace(c, "7         number of variable grids\n", "9         number of variable grids\n");
    Replace(c, "0         read switch: made from its default value\n",
            "0         read switch: made from its default value\n"
            "glacier.asc GlacierizedCells 0 0\n0\n1\ngcodes.asc GlacierCodes 0 -9999\n0\n1\n");
    s << "\n[ice_firn]\n11\n6.0\n5.0\n3.0\n0\n0\n0\n0\n0\n48\n96\n24\n0\n0\n0\n"
      << "mfirn\n0\nqfirn.stat 1024\nmice\n5\nqice.stat 1024\nqglac.stat 1024\nqsg.stat 1024\n0\n"
      << "2 450 0.5\n15 2\n28.5 1.36 3 0\nfirnstack\n0\nfirn.stat 1024\ngmb\n5\ngmbold\n0\ngmb1.stat 1024\n"
      << "gmb2.stat 1024\n1.0\nsog.stat 1024\n";
    for (int k = 0; k < 7; ++k) s << "og" << k << "\n" << (k == 3 ? 5 : 0) << "\n";
    s << "300 0.25\n";
  }
  // The example's own snow section, up to the blank line after it, gives way to this one.
  const size_t from = c.find("[snow_model]");
  const size_t to = c.find("\n\n", from);
  EXPECT_NE(to, std::string::npos);
  c.replace(from, to + 1 - from, s.str());
  return c;
}

// A copy of the example with its inputs, run with the given instances and threads.
void RunExample(const TempDir& dir, const RunSettings& run, int instances, int threads, bool makeInputs = true) {
  if (makeInputs) {
    for (const char* f : {"dem.asc", "zones.asc", "flow_times.asc", "make_inputs.py"})
      fs::copy_file(std::string(FLUVEX_EXAMPLE_DIR) + "/" + f, dir / f, fs::copy_options::overwrite_existing);
    const auto made = RunCommand("python3 make_inputs.py .", dir.path());
    ASSERT_EQ(made.exitCode, 0) << made.output;
    if (run.glaciers) {
      // Glacier above 470 m, fully covered above 500 m; a glacier in each
      // subbasin, coded like it.
      fluvextest::WriteFile(dir / "glaciers.py",
                            "lines = open('dem.asc').read().splitlines()\n"
                            "head, rows = lines[:6], [l.split() for l in lines[6:]]\n"
                            "def frac(h):\n"
                            "    h = float(h)\n"
                            "    return -9999 if h <= -9999 else (1 if h >= 500 else (0.5 if h >= 470 else 0))\n"
                            "z = [l.split() for l in open('zones.asc').read().splitlines()[6:]]\n"
                            "f = [[frac(h) if float(zc) > -9999 else -9999 for h, zc in zip(r, zr)] for r, zr in "
                            "zip(rows, z)]\n"
                            "open('glacier.asc', 'w').write('\\n'.join(head + [' '.join(str(x) for x in r) for r in "
                            "f]) + '\\n')\n"
                            "open('gcodes.asc', 'w').write('\\n'.join(head + [' '.join(zc if x > 0 else '-9999' for "
                            "x, zc in zip(r, zr)) for r, zr in zip(f, z)]) + '\\n')\n");
      const auto g = RunCommand("python3 glaciers.py", dir.path());
      ASSERT_EQ(g.exitCode, 0) << g.output;
    }
  }
  fluvextest::WriteFile(dir / "control.txt", Control(run));
  fs::create_directories(dir / run.output);
  fs::create_directories(dir / (run.output + run.state));
  const std::string command = std::string(FLUVEX_MPIRUN) + " --oversubscribe -np " + std::to_string(instances) +
                              " -x OMP_WAIT_POLICY=passive -x OMP_NUM_THREADS=" + std::to_string(threads) + " " +
                              fluvextest::Program() + " control.txt";
  const auto r = RunCommand(command, dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.output.substr(r.output.size() > 6000 ? r.output.size() - 6000 : 0);
}

std::map<std::string, std::string> Files(const std::string& directory) {
  std::map<std::string, std::string> files;
  for (const auto& f : fs::recursive_directory_iterator(directory))
    if (f.is_regular_file()) files[fs::relative(f.path(), directory).string()] = ReadFile(f.path().string());
  return files;
}

std::vector<std::vector<double>> Numbers(const std::string& text) {
  std::vector<std::vector<double>> rows;
  std::istringstream in(text);
  std::string line;
  for (int i = 0; std::getline(in, line); ++i) {
    if (i < 3) continue;
    std::istringstream words(line);
    std::vector<double> row;
    double v;
    while (words >> v) row.push_back(v);
    rows.push_back(row);
  }
  return rows;
}

// Every result file of b equals a's: statistics within the last digit
// written (sums across instances), grids byte for byte.
void ExpectSameResults(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (const auto& [name, content] : a) {
    ASSERT_EQ(b.count(name), 1u) << name;
    if (name.size() > 5 && name.substr(name.size() - 5) == ".stat") {
      const auto ra = Numbers(content);
      const auto rb = Numbers(b.at(name));
      ASSERT_EQ(ra.size(), rb.size()) << name;
      for (size_t i = 0; i < ra.size(); ++i)
        for (size_t k = 0; k < ra[i].size(); ++k)
          EXPECT_NEAR(ra[i][k], rb[i][k], 0.0011 + 1e-9 * std::fabs(ra[i][k])) << name << " line " << i + 4;
    } else if (name.rfind("MPIRegions", 0) != 0) {
      EXPECT_TRUE(content == b.at(name)) << name << " differs";
    }
  }
}

// Temperature index with slides, which run on instance 0 between a gather
// and a scatter.
TEST(SnowRun, OneAndFourInstancesOneAndEightThreadsGiveTheSameResults) {
  TempDir one("snow_run_1");
  TempDir four("snow_run_4");
  RunSettings run;
  run.method = 8;
  RunExample(one, run, 1, 1);
  RunExample(four, run, 4, 8);
  if (HasFatalFailure()) return;
  const auto a = Files(one / "out");
  const auto b = Files(four / "out");
  // A daily snow storage grid on each day of the two months, snow on the
  // ground in January and outflow from it.
  EXPECT_EQ(a.count("out/stotal_20150131.024"), 1u);
  EXPECT_EQ(a.count("out/stotal_20150228.024"), 1u);
  const auto storage = Numbers(a.at("sstorage.stat"));
  ASSERT_EQ(storage.size(), 59u);
  double most = 0;
  for (const auto& row : storage) most = std::max(most, row.back());
  EXPECT_GT(most, 1.0);
  // Snow slid: some cell released snow.
  bool slid = false;
  for (const auto& row : Numbers(a.at("input.stat"))) slid = slid || row.back() > 0;
  EXPECT_TRUE(slid);
  ExpectSameResults(a, b);
}

// A dynamic glacier whose geometry changes at the update on instance 0.
TEST(SnowRun, GlaciersGiveTheSameResultsOnOneAndThreeInstances) {
  TempDir one("glacier_run_1");
  TempDir three("glacier_run_3");
  RunSettings run;
  run.method = 1;
  run.glaciers = true;
  RunExample(one, run, 1, 1);
  RunExample(three, run, 3, 2);
  if (HasFatalFailure()) return;
  const auto a = Files(one / "out");
  const auto b = Files(three / "out");
  ASSERT_EQ(a.count("qice.stat"), 1u);
  // Ice melted and the glacier's balance changed during the two months.
  double melt = 0, balance = 0;
  for (const auto& row : Numbers(a.at("qice.stat"))) melt = std::max(melt, row.back());
  for (const auto& row : Numbers(a.at("gmb1.stat"))) balance = std::max(balance, std::fabs(row.back()));
  EXPECT_GT(melt, 0);
  EXPECT_GT(balance, 0);
  ExpectSameResults(a, b);
}

TEST(SnowRun, AWarmStartFromTheStateGridsContinuesTheRun) {
  TempDir dir("snow_warm");
  // January and February in one run; up to 29 January (snow on the ground),
  // then the rest started from the state grids the first part left (written
  // at its end, read at the start).
  RunSettings whole;
  whole.output = "whole/";
  whole.stateCode = 3;
  RunSettings january = whole;
  january.endDay = "29";
  january.endMonth = "1";
  january.output = "./";
  RunSettings february = whole;
  february.startDay = "30";
  february.output = "february/";
  february.readgrid = 1;
  RunExample(dir, whole, 1, 2);
  RunExample(dir, january, 2, 2, false);
  RunExample(dir, february, 2, 2, false);
  if (HasFatalFailure()) return;
  for (const char* g : {"ssolid", "sliquid", "stotal", "sdays", "sage"}) {
    const std::string a = ReadFile(dir / ("whole/out/" + std::string(g)));
    const std::string b = ReadFile(dir / ("february/out/" + std::string(g)));
    EXPECT_FALSE(a.empty()) << g;
    EXPECT_TRUE(a == b) << g << " differs after the warm start";
  }
}

}  // namespace
