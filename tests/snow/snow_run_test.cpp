// The snow model in the example basin run by the program: the same results on
// one and on four instances and with one and eight threads, and a warm start
// from the state grids that continues a run as if it had not stopped.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
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
  std::string update = "15 2";
  bool staticGlaciers = false;  // firn on the highest cells, ice below (glacier method 1)
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
    // With state grids written at the end (write code 3) the glacier state
    // is written like the snow's and read with the snow's read switch.
    const bool state = w == 3;
    const std::string end = state ? "3" : "0";
    s << "\n[ice_firn]\n11\n6.0\n5.0\n3.0\n0\n0\n0\n0\n0\n48\n96\n24\n0\n0\n0\n"
      << "mfirn\n0\nqfirn.stat 1024\nmice\n5\nqice.stat 1024\nqglac.stat 1024\nqsg.stat 1024\n"
      << run.readgrid << "\n2 450 0.5\n"
      << run.update << "\n28.5 1.36 3 0\n"
      << st << "firnstack\n"
      << end << "\nfirn.stat 1024\n"
      << st << "gmb\n"
      << (state ? "3" : "5") << "\n"
      << st << "gmbold\n"
      << end << "\ngmb1.stat 1024\ngmb2.stat 1024\n1.0\nsog.stat 1024\n";
    for (int k = 0; k < 7; ++k) s << st << "og" << k << "\n" << (k == 3 ? "5" : k < 3 ? end : "0") << "\n";
    s << "300 0.25\n";
  }
  if (run.staticGlaciers) {
    Replace(c, "7         number of variable grids\n", "8         number of variable grids\n");
    Replace(c, "0         read switch: made from its default value\n",
            "0         read switch: made from its default value\nicefirn.asc ice_firn 0 0\n0\n1\n");
    s << "\n[ice_firn]\n1\n6.0\n5.0\n3.0\n0\n0\n0\n0\n0\n48\n96\n24\n0\n0\n0\n"
      << "mfirn\n0\nqfirn.stat 1024\nmice\n0\nqice.stat 1024\nqglac.stat 1024\n";
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
    if (run.glaciers || run.staticGlaciers) {
      // Glacier above 470 m, fully covered above 500 m; a glacier in each
      // subbasin, coded like it. Static glaciers: firn above 500 m, ice
      // above 470 m.
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
                            "x, zc in zip(r, zr)) for r, zr in zip(f, z)]) + '\\n')\n"
                            "open('icefirn.asc', 'w').write('\\n'.join(head + [' '.join(str(2 if x == 1 else 1 if x "
                            "== 0.5 else x) for x in r) for r in f]) + '\\n')\n");
      const auto g = RunCommand("python3 glaciers.py", dir.path());
      ASSERT_EQ(g.exitCode, 0) << g.output;
    }
  }
  fluvextest::WriteFile(dir / "control.txt", Control(run));
  fs::create_directories(dir / run.output);
  fs::create_directories(dir / (run.output + run.state));
  fluvextest::FixedSplit(dir.path());
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
  run.endDay = "31";  // January
  run.endMonth = "1";
  RunExample(one, run, 1, 1);
  RunExample(four, run, 4, 8);
  if (HasFatalFailure()) return;
  const auto a = Files(one / "out");
  const auto b = Files(four / "out");
  // A daily snow storage grid on each day of January, snow on the ground
  // and outflow from it.
  EXPECT_EQ(a.count("out/stotal_20150101.024"), 1u);
  EXPECT_EQ(a.count("out/stotal_20150131.024"), 1u);
  const auto storage = Numbers(a.at("sstorage.stat"));
  ASSERT_EQ(storage.size(), 31u);
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

// A grid written as doubles: twelve header values, then the rows from the
// top, one value per column.
std::vector<double> DoubleGrid(const std::string& path) {
  const std::string bytes = ReadFile(path);
  std::vector<double> v(bytes.size() / sizeof(double));
  std::memcpy(v.data(), bytes.data(), v.size() * sizeof(double));
  return v;
}

void WriteDoubleGrid(const std::string& path, const std::vector<double>& v) {
  fluvextest::WriteFile(path, std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(double)));
}

// Statistics lines by their date.
std::map<std::vector<int>, std::vector<double>> Dated(const std::string& text) {
  std::map<std::vector<int>, std::vector<double>> lines;
  for (const auto& row : Numbers(text))
    if (row.size() > 4) lines[{int(row[0]), int(row[1]), int(row[2]), int(row[3])}] = row;
  return lines;
}

TEST(SnowRun, AWarmStartFromTheStateGridsContinuesTheRun) {
  // January and February in one run; up to 29 January (snow on the ground),
  // then the rest started from the state grids the first part left (written
  // at its end, read at the start): without glaciers, with static glaciers
  // (the snow of their cells kept with the snow's state) and with dynamic
  // glaciers whose cumulative mass balance has passed -9999 mm (a glacier
  // that lost 1 m a year for eleven years; last year's reference above it),
  // which the warm start keeps and the statistics count.
  enum Glaciers { kNone, kStatic, kDynamic };
  for (const Glaciers glaciers : {kNone, kStatic, kDynamic}) {
    SCOPED_TRACE(glaciers);
    TempDir dir("snow_warm" + std::to_string(glaciers));
    RunSettings whole;
    whole.output = "whole/";
    whole.stateCode = 3;
    whole.staticGlaciers = glaciers == kStatic;
    whole.glaciers = glaciers == kDynamic;
    whole.update = "15 3";  // after the run: the balances only add up
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
    if (HasFatalFailure()) return;
    const double shift = -11000, oldShift = -9000;
    std::vector<double> glacier;
    if (glaciers == kDynamic) {
      // The balance of every glacier cell, and its reference, lowered.
      glacier = DoubleGrid(dir / "whole/out/gmb");
      const std::string text = ReadFile(dir / "glacier.asc");
      std::istringstream in(text);
      std::string word;
      for (int k = 0; k < 12; ++k) in >> word;
      std::vector<double> fraction(12, 0.0);
      double f;
      while (in >> f) fraction.push_back(f);
      for (const auto& [name, by] : {std::pair<const char*, double>{"out/gmb", shift}, {"out/gmbold", oldShift}}) {
        std::vector<double> v = DoubleGrid(dir / name);
        ASSERT_EQ(v.size(), fraction.size()) << name;
        for (size_t k = 12; k < v.size(); ++k)
          if (fraction[k] > 0) v[k] += by;
        WriteDoubleGrid(dir / name, v);
      }
      glacier = fraction;
    }
    RunExample(dir, february, 2, 2, false);
    if (HasFatalFailure()) return;
    std::vector<std::string> state = {"ssolid", "sliquid", "stotal", "sdays", "sage"};
    if (glaciers == kStatic)
      for (const char* g : {"ssolid_onGlacier", "sliquid_onGlacier", "stotal_onGlacier"}) state.push_back(g);
    if (glaciers == kDynamic)
      for (const char* g : {"og0", "og1", "og2"}) state.push_back(g);
    for (const std::string& g : state) {
      const std::string a = ReadFile(dir / ("whole/out/" + g));
      const std::string b = ReadFile(dir / ("february/out/" + g));
      EXPECT_FALSE(a.empty()) << g;
      EXPECT_TRUE(a == b) << g << " differs after the warm start";
    }
    if (glaciers == kStatic) {
      // Snow lay on the glaciers at the restart, and their melt goes on.
      double snow = 0;
      const std::vector<double> onGlacier = DoubleGrid(dir / "out/stotal_onGlacier");
      for (size_t k = 12; k < onGlacier.size(); ++k) snow = std::max(snow, onGlacier[k]);
      EXPECT_GT(snow, 1.0);
      for (const char* s : {"qice.stat", "qfirn.stat"}) {
        const auto a = Dated(ReadFile(dir / ("whole/" + std::string(s))));
        const auto b = Dated(ReadFile(dir / ("february/" + std::string(s))));
        ASSERT_EQ(b.size(), 30u) << s;
        for (const auto& [date, row] : b)
          for (size_t k = 4; k < row.size(); ++k) EXPECT_NEAR(row[k], a.at(date)[k], 0.0011) << s << " " << date[2];
      }
    }
    if (glaciers == kDynamic) {
      const std::vector<double> a = DoubleGrid(dir / "whole/out/gmb");
      const std::vector<double> b = DoubleGrid(dir / "february/out/gmb");
      const std::vector<double> oldA = DoubleGrid(dir / "whole/out/gmbold");
      const std::vector<double> oldB = DoubleGrid(dir / "february/out/gmbold");
      const std::vector<double> firnA = DoubleGrid(dir / "whole/out/firnstack");
      const std::vector<double> firnB = DoubleGrid(dir / "february/out/firnstack");
      ASSERT_EQ(a.size(), glacier.size());
      ASSERT_EQ(b.size(), glacier.size());
      ASSERT_EQ(firnA.size(), firnB.size());
      const size_t levels = (firnA.size() - 12) / (glacier.size() - 12);
      int cells = 0;
      for (size_t k = 12; k < a.size(); ++k) {
        if (!(glacier[k] > 0)) continue;
        ++cells;
        // The snow evaporation of the first night after the restart differs
        // a little (the evapotranspiration keeps the day's sunshine, which the
        // state does not hold: a warm start continues exactly only at dawn);
        // the snow forgets it once it has melted, the balance keeps it (up to
        // 5e-4 mm). A balance taken for missing would be 2000 mm off.
        EXPECT_NEAR(b[k], a[k] + shift, 0.01) << k;
        EXPECT_NEAR(oldB[k], oldA[k] + oldShift, 1e-9) << k;
        for (size_t l = 0; l < levels; ++l)
          EXPECT_NEAR(firnB[12 + (k - 12) * levels + l], firnA[12 + (k - 12) * levels + l], 0.01) << k;
      }
      EXPECT_GT(cells, 0);
      // Over the glacier part of each subbasin the balance is lower by the
      // shift; the statistics give it to three decimals.
      const auto sa = Dated(ReadFile(dir / "whole/gmb2.stat"));
      const auto sb = Dated(ReadFile(dir / "february/gmb2.stat"));
      ASSERT_EQ(sb.size(), 30u);
      for (const auto& [date, row] : sb)
        for (size_t k = 4; k < row.size(); ++k) {
          const double expected = sa.at(date)[k] == -9999 ? -9999 : sa.at(date)[k] + shift;
          EXPECT_NEAR(row[k], expected, 0.0011) << date[2] << " column " << k;
        }
    }
  }
}

}  // namespace
