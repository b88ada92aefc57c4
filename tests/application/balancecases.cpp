#include "tests/application/balancecases.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "tests/support/heldcores.h"
#include "tests/support/testutil.h"

namespace fluvextest {

namespace {

namespace fs = std::filesystem;

const char* const kExampleTime =
    "[model_time]\n1         starting hour\n1         starting day\n1         starting month\n"
    "2015      starting year\n24        end hour\n31        end day\n12        end month\n2015      end year\n";

// A warm start: the first run writes the state of the soil, snow and
// interception at its end (the storages the budget reads and the snow,
// interception and surface water that the example writes are there anyway),
// the second reads them and the storage content files.
const Edits kWriteState = {
    {"\nuzgrid4.asc\n0\n", "\nuzgrid4.asc\n3\n"},
    {"\nuzgrid7.asc\n0\n", "\nuzgrid7.asc\n3\n"},
    {"\nuzgrid8.asc\n0\n", "\nuzgrid8.asc\n3\n"},
    {"\nuzgrid13.asc\n0\n", "\nuzgrid13.asc\n3\n"},
    {"\nuzgrid18.asc\n0\n", "\nuzgrid18.asc\n3\n"},
    {"\nsdays.asc\n0\n", "\nsdays.asc\n3\n"},
    {"\nsage.asc\n0\n", "\nsage.asc\n3\n"},
    // The velocities of the surface flow, each sub-time-step's start.
    {"\nsrvelocity.stk\n0\n", "\nsrvelocity.stk\n3\n"},
    // The albedo the snow leaves for the evapotranspiration of the next step.
    {"albedo.asc albedo 0 0.2\n0         write code: not written", "albedo.asc albedo 0 0.2\n3         write code"},
    // The storage coefficient of the groundwater's first layer as the soil
    // left it: the water below the table that the soil's tracers mix with.
    {"gw_storage_coeff.asc gw_storage_coeff_1 fillcode = 0",
     "gw_storage_coeff.asc gw_storage_coeff_1 writecode = 3 outname = gwsc_end.asc fillcode = 0"}};
const Edits kReadState = {
    {"0         readgrid: the snow cover starts empty", "1         readgrid: the snow state of the run before"},
    {"storage capacity per leaf area (mm)\n0\n", "storage capacity per leaf area (mm)\n1\n"},
    {"0       read control parameter for storage grids", "1       read control parameter for storage grids"},
    {"0         read control parameter for storage grids (1: a warm start reads the velocities",
     "1         read control parameter for storage grids (1: a warm start reads the velocities"},
    {"surfstor.asc SurfStorSiltingUp 0 0\n3\n0\n", "surfstor.asc SurfStorSiltingUp 0 0\n3\n1\n"},
    {"0         read switch: made from its default value\nsurfstor.asc", "1         read switch\nsurfstor.asc"},
    {"gw_storage_coeff.asc gw_storage_coeff_1 fillcode = 0 readcode = 0 defaultValue = 0.1",
     "$inpath//gwsc_end.asc gw_storage_coeff_1 fillcode = 0 readcode = 1"}};
const std::pair<std::string, std::string> kSiltingUpGrids = {
    "sdisp.asc\n0\nrainpause.asc\n0\nekin.asc\n0\ntsbb.asc\n0\n",
    "sdisp.asc\n3\nrainpause.asc\n3\nekin.asc\n3\ntsbb.asc\n3\n"};
const char* const kStateFiles[] = {
    "uzgrid3.asc", "uzgrid4.asc", "uzgrid5.asc", "uzgrid7.asc", "uzgrid8.asc", "uzgrid13.asc", "uzgrid18.asc",
    "uzgrid21.asc", "albedo.asc", "ssolid.asc", "sliquid.asc", "sdays.asc", "sage.asc", "stotal.asc", "stemp.asc",
    "surft.asc", "sgsolid.asc", "sgliquid.asc", "si.asc", "si_Layer_1.asc", "si_Layer_2.asc", "soiltemp.stk",
    "surfstor.asc", "srvelocity.stk",
    // The snow of static glaciers.
    "ssolid_onGlacier.asc", "sliquid_onGlacier.asc", "stotal_onGlacier.asc",
    // Dynamic glaciers: their firn, balances, snow and share.
    "firn.stk", "gmb.asc", "gmbold.asc", "sgtotal.asc", "sgsurft.asc", "sgtemp.asc", "gfrac_end.asc", "gcode_end.asc",
    // The silting-up's.
    "sdisp.asc", "rainpause.asc", "ekin.asc", "tsbb.asc",
    // Groundwater heads of two layers.
    "gwhead.asc", "gwhead_old.asc", "gwhead2.asc", "gwhead2_old.asc", "gwsc_end.asc",
    // The stores of the tracers Nitrate and Oxygen: the leaves', the snow's
    // (of the open and the glacier part), the soil's, the surface water's (of
    // the surface routing and of the silting-up) and those of the
    // groundwater's two layers, with what the groundwater's faces moved to
    // the soil columns, which take it in the next step.
    "nitinter.asc", "oxyinter.asc", "nitsnow_.asc", "oxysnow_.asc", "nitsnowg.asc", "oxysnowg.asc", "nitunsat.asc",
    "oxyunsat.asc", "nitSurfa.asc", "oxySurfa.asc", "nitSilti.asc", "oxySilti.asc", "nit1grou.asc", "oxy1grou.asc",
    "nit2grou.asc", "oxy2grou.asc", "nitgwex.asc", "oxygwex.asc",
    // Oxygen's in the firn of dynamic glaciers.
    "oxyfirng.asc"};

// At most this many fluvex instances at once: ctest runs other tests beside.
// Of the runs waiting, that of the earliest case goes first (the callers put
// the longest chains of runs first), so a chain's next run does not queue
// behind every shorter case's.
class Slots {
 public:
  explicit Slots(int n) : free(n) {}
  void Take(int n, size_t rank) {
    std::unique_lock<std::mutex> lock(m);
    const auto me = waiting.insert(rank);
    cv.wait(lock, [&] { return free >= n && *waiting.begin() == rank; });
    waiting.erase(me);
    free -= n;
    lock.unlock();
    cv.notify_all();
  }
  void Give(int n) {
    {
      std::lock_guard<std::mutex> lock(m);
      free += n;
    }
    cv.notify_all();
  }

 private:
  std::mutex m;
  std::condition_variable cv;
  int free;
  std::multiset<size_t> waiting;
};

// Each case runs on one instance with one thread, and on two instances
// (one when the case cannot run on two) with two threads each (the
// balance test; the option matrix likewise).
struct Layout {
  int instances, threads;
};

struct Outcome {
  std::string failure;  // empty when every run ended with exit 0
  std::vector<std::unique_ptr<TempDir>> dirs;
  std::vector<std::string> withoutDirs;  // the comparison runs' directories
  std::vector<Layout> layouts;
  std::vector<Budget> budgets;                     // per layout
  std::vector<std::vector<Budget>> tracerBudgets;  // per layout, per tracer
  std::vector<std::vector<Signature>> signatures;
  double seconds = 0;  // the program's runs took (wall time, once they had their slots)
};

// The Release fluvex of the build, or FLUVEX_PROGRAM when it names one
// (another build's, such as the program before a fix).
std::string Fluvex() {
  const char* program = std::getenv("FLUVEX_PROGRAM");
  return program && *program ? program : FLUVEX_YEAR_BINARY;
}

std::string Tail(const std::string& s) {
  return s.substr(s.size() > 4000 ? s.size() - 4000 : 0);
}

// The last day of the step that holds the yearly glacier update
// (GMBEvalDay GMBEvalMonth of the long run's control file: the last step of
// that day, or the step of several days that holds it) when the update falls
// inside the long run's period, after the short run's day (a warm start's
// own first day included) and its step ends before the period's last: the
// budget then splits there (year 0: no such update). The update changes the
// glacierized shares that weigh the fluxes of the cells' parts, and the soil
// takes the water of its columns under the changed shares as they are at the
// end of that step: one budget up to the update's step and one from there on
// each weigh their fluxes by one share.
Date UpdateInsideThePeriod(const Case& c, const Date& first, const std::string& dir) {
  const Date none{0, 0, 0};
  if (c.modules.glacierMethod < 11) return none;
  std::smatch m;
  const std::string control = ReadFile(dir + "/control.txt");
  if (!std::regex_search(control, m, std::regex(R"((\d+)\s+(\d+)\s+GMBEvalDay GMBEvalMonth)"))) return none;
  const int day = std::stoi(m[1]), month = std::stoi(m[2]);
  auto key = [](const Date& d) { return std::tuple(d.year, d.month, d.day); };
  // (A warm start's first day is the long run's own: an update at its end
  // falls inside.)
  // (Steps of several days end on every n-th day from the run's first.)
  const int n = std::max(1, c.modules.stepMinutes / 1440);
  for (int year : {c.start.year, c.end.year}) {
    const Date u{year, month, day};
    if (!(c.warmStart ? key(first) <= key(u) : key(first) < key(u))) continue;
    Date stepEnd = first;
    while (key(stepEnd) < key(u))
      for (int d = 0; d < n; ++d) stepEnd = NextDay(stepEnd);
    if (key(stepEnd) < key(c.end)) return stepEnd;
  }
  return none;
}

// Two budgets one after the other: their terms added.
Budget Added(const Budget& a, const Budget& b) {
  Budget sum = a;
  auto add = [&](std::vector<BudgetTerm>& x, const std::vector<BudgetTerm>& y) {
    bool same = x.size() == y.size();
    for (size_t i = 0; same && i < x.size(); ++i) {
      same = x[i].name == y[i].name;
      x[i].mm += y[i].mm;
    }
    if (!same) sum.unread.push_back("the terms of the budgets before and after the yearly glacier update differ");
  };
  add(sum.inputs, b.inputs);
  add(sum.outputs, b.outputs);
  add(sum.storageChanges, b.storageChanges);
  bool same = sum.bounded.size() == b.bounded.size();
  for (size_t i = 0; same && i < sum.bounded.size(); ++i) {
    auto& x = sum.bounded[i];
    const auto& y = b.bounded[i];
    same = x.name == y.name;
    x.water += y.water;
    x.low += y.low;
    x.high += y.high;
    x.estimate += y.estimate;
  }
  if (!same) sum.unread.push_back("the bounded terms of the budgets before and after the yearly glacier update differ");
  sum.rounding += b.rounding;
  sum.unread.insert(sum.unread.end(), b.unread.begin(), b.unread.end());
  return sum;
}

// Runs one case: short and long run on each layout.
Outcome RunCase(const Case& c, Slots& slots, const RunSettings& settings, size_t rank) {
  Outcome o;
  o.layouts = {{1, 1}, {c.twoInstances ? 2 : 1, settings.threads}};
  std::vector<Case::Comparison> comparisons = c.comparisons;
  if (c.compared) comparisons.insert(comparisons.begin(), {"without", c.without, c.compared});
  // The comparison runs (k >= 2) follow the first layout's two runs. A
  // cold start's short run and its run up to a yearly glacier update are
  // the first layout's on the second too: the long run there starts from
  // the same cold state and holds their steps, so a term that depends on
  // the layout still leaves its budget open or the terms unlike.
  std::string firstShort, firstUpToTheUpdate;
  for (const auto [instances, threads] : o.layouts) {
    std::string runs[2];
    const bool shared = !c.warmStart && !firstShort.empty();
    const int count = o.withoutDirs.empty() ? 2 + static_cast<int>(comparisons.size()) : 2;
    // After them (k = count) a run up to the yearly glacier update inside
    // the long run's period, when there is one (year 0: none): cold, or
    // after a warm start the same warm start.
    Date update{0, 0, 0};
    std::string upToTheUpdate;
    // Run k of the layout (its directory, or what failed, at k).
    std::mutex m;
    std::vector<std::string> failedRun(static_cast<size_t>(count) + 1), withoutDirs(comparisons.size());
    std::string wrongResults;
    auto run = [&](int k) {
      const bool toUpdate = k == count;
      const std::string name = settings.prefix + "_" + c.name + "_" + std::to_string(instances) + "x" +
                               std::to_string(threads) +
                               (toUpdate ? std::string("_update")
                                : k >= 2 ? "_" + comparisons[static_cast<size_t>(k - 2)].name
                                : k      ? std::string("_long")
                                         : std::string("_short"));
      auto made = std::make_unique<TempDir>(name);
      const std::string dir = made->path();
      {
        const std::lock_guard<std::mutex> lock(m);
        o.dirs.push_back(std::move(made));
      }
      Edits edits = BudgetOutputEdits();
      edits.insert(edits.end(), c.edits.begin(), c.edits.end());
      // A cold run over the long run's period, or for a warm start over both
      // runs' periods in one.
      if (k >= 2 && !toUpdate) {
        const Edits& without = comparisons[static_cast<size_t>(k - 2)].without;
        edits.insert(edits.end(), without.begin(), without.end());
      }
      // (A warm start reads the short run's state; so does its run up to
      // the update.)
      const bool continuing = c.warmStart && k >= 2 && !toUpdate && comparisons[static_cast<size_t>(k - 2)].continues;
      const bool warm = c.warmStart && (k == 1 || toUpdate || continuing);
      // A warm start begins with the step after the short run's last.
      Date restart = c.start;
      const int hour = c.warmStart ? c.restartHour : 0;
      const int days = hour > 0 ? std::max(1, c.restartDays) : std::max(1, c.modules.stepMinutes / 1440);
      for (int d = 0; d < days; ++d) restart = NextDay(restart);
      const int link = continuing ? comparisons[static_cast<size_t>(k - 2)].link : 0;
      const bool linked = link > 0 && std::any_of(comparisons.begin(), comparisons.end(),
                                                  [&](const Case::Comparison& x) { return x.link == link + 1; });
      for (int d = 1; d < link; ++d) restart = NextDay(restart);
      if (hour > 1 && (k == 0 || linked))
        edits.push_back({kExampleTime, ModelTime(k ? restart : c.start, k ? NextDay(restart) : restart,
                                                 c.modules.stepMinutes, k ? hour : 0, hour - 1)});
      else
        edits.push_back(
            {kExampleTime, ModelTime(warm ? restart : c.start, toUpdate ? update : (k ? c.end : c.start),
                                     k >= 2 && !toUpdate && comparisons[static_cast<size_t>(k - 2)].stepMinutes > 0
                                         ? comparisons[static_cast<size_t>(k - 2)].stepMinutes
                                         : c.modules.stepMinutes,
                                     warm ? hour : 0)});
      if (c.warmStart && (k < 2 || toUpdate || continuing))
        edits.insert(edits.end(), k ? kReadState.begin() : kWriteState.begin(),
                     k ? kReadState.end() : kWriteState.end());
      // (A link followed by another writes its state too.)
      if (linked) {
        edits.back().second += " writecode = 3 outname = gwsc_end.asc";
        edits.insert(edits.end(), kWriteState.begin(), kWriteState.end() - 1);
      }
      // A warm start's comparison runs take the short run's sub-steps: an
      // option's figure is its short run's (a cold run) against the same
      // steps of the run without it, solved alike (the long run continues
      // on other sub-steps, which move its figures by themselves). A
      // comparison run's own sub-step section (its edits) stays.
      const int substeps = k == 1 || toUpdate ? c.longSubsteps : c.modules.substeps;
      const bool ownSubsteps = std::any_of(edits.begin(), edits.end(), [](const auto& e) {
        return e.second.find("[soil_surface_groundwater_substeps]") != std::string::npos;
      });
      if (c.longSubsteps > 0 && substeps > 1 && !ownSubsteps) {
        const Edits steps = SubSteps(substeps);
        edits.insert(edits.end(), steps.begin(), steps.end());
      }
      const int np = k >= 2 && !toUpdate        ? link + 1
                     : k && c.longInstances > 0 ? c.longInstances
                     : k && c.longInstances < 0 ? (instances == 1 ? 2 : 1)
                                                : instances;
      std::string failed =
          c.source.empty() ? PrepareExample(FLUVEX_EXAMPLE_DIR, dir, edits) : PrepareCopy(c.source, dir, edits);
      if (failed.empty() && c.inputs) failed = c.inputs(dir);
      // The silting-up's rain pause, rain energy, tillage time and
      // disposition are its state grids: every run writes them (the one
      // run too, which the warm start is compared with), the warm start
      // reads them.
      if (failed.empty() && c.warmStart &&
          ReadFile(dir + "/control.txt").find(kSiltingUpGrids.first) != std::string::npos) {
        Edits state = {kSiltingUpGrids};
        if (warm) state.push_back({"\n0         readgrid\n", "\n1         readgrid\n"});
        failed = EditIn(dir + "/control.txt", state);
      }
      if (failed.empty() && k == 1) update = UpdateInsideThePeriod(c, c.warmStart ? restart : c.start, dir);
      if (failed.empty() && warm) {
        namespace fs = std::filesystem;
        std::error_code error;
        std::string from = runs[0];
        for (size_t j = 0; link > 1 && j < withoutDirs.size(); ++j)
          if (comparisons[j].link == link - 1) from = withoutDirs[j];
        for (const auto& f : fs::directory_iterator(from + "/out"))
          if (f.path().filename().string().rfind("storage.ftz_", 0) == 0)
            fs::copy_file(f.path(), dir + "/" + f.path().filename().string(), error);
        for (const char* f : kStateFiles)
          if (fs::exists(from + "/out/" + f)) fs::copy_file(from + "/out/" + f, dir + "/" + f, error);
        if (error) failed = "state files of the first run: " + error.message();
        // A lake (added by the case's inputs) takes its volume from the
        // ponding state too, not from its initial volume.
        const std::string control = ReadFile(dir + "/control.txt");
        if (failed.empty() && control.find("\treadgrids for\n") != std::string::npos)
          failed = EditIn(dir + "/control.txt", {{"0\treadgrids for\n", "1\treadgrids for\n"}});
        // Groundwater layers below the first keep their heads.
        if (failed.empty() && control.find("gwhead2.asc") != std::string::npos)
          failed = EditIn(dir + "/control.txt", {{"0         grid read parameter", "1         grid read parameter"}});
      }
      if (!failed.empty()) {
        failedRun[static_cast<size_t>(k)] = name + ": " + failed;
        return;
      }
      // A fixed split of the rows between the instances.
      WriteFile(dir + "/MpiSpeedFactor.dat", "1\n");
      slots.Take(np, rank);
      // (The cores of the machine held for the run, shared with the other
      // tests that ctest runs beside; the time counts from there.)
      auto began = std::chrono::steady_clock::now();
      const auto r = [&] {
        const HeldCores cores(np);
        began = std::chrono::steady_clock::now();
        // The many short runs give way to the example's year-long runs, the
        // longest chain of the suite, when ctest runs them side by side.
        // Rows dealt out in turn: no thread solves a cell after the one
        // that precedes it on one thread, so state a cell leaves in a
        // thread's work arrays shows in the terms every time.
        const std::string env = " OMP_WAIT_POLICY=passive OMP_NUM_THREADS=" + std::to_string(threads) +
                                (threads > 1 ? " OMP_SCHEDULE=static,1" : "");
        // One instance runs as an MPI singleton without a daemon, in a session
        // directory of its own (mpirun and its daemon took a fifth of the CPU
        // of such a run).
        if (np == 1)
          return RunCommand("nice -n 10 env OMPI_MCA_ess_singleton_isolated=1 OMPI_MCA_orte_tmpdir_base=" + dir +
                                "/mpi" + env + " " + Fluvex() + " control.txt",
                            dir);
        return RunCommand("nice -n 10 " + std::string(FLUVEX_MPIRUN) + " --oversubscribe -np " + std::to_string(np) +
                              std::regex_replace(env, std::regex(" "), " -x ") + " " + Fluvex() + " control.txt",
                          dir);
      }();
      {
        const std::lock_guard<std::mutex> lock(m);
        o.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
      }
      slots.Give(np);
      if (r.exitCode != 0) {
        // The first FATAL line beside the code: the verdict's line.
        const size_t fatal = r.output.find("FATAL: ");
        const std::string why =
            fatal == std::string::npos ? "" : " (" + r.output.substr(fatal, r.output.find('\n', fatal) - fatal) + ")";
        failedRun[static_cast<size_t>(k)] =
            name + ": exit code " + std::to_string(r.exitCode) + why + "\n" + Tail(r.output);
        return;
      }
      if (toUpdate) {
        upToTheUpdate = dir;
        return;
      }
      if (k >= 2) {
        withoutDirs[static_cast<size_t>(k - 2)] = dir;
        return;
      }
      runs[k] = dir;
      if (k == 1 && c.results) {
        const std::string wrong = c.results(dir);
        if (!wrong.empty()) wrongResults = name + ": " + wrong + "\n";
      }
    };
    // The short run first; then side by side the long run and each
    // comparison run, which read no other's state but the short run's (a
    // chain of warm starts, each reading the link before, in one); then the
    // run up to the yearly glacier update that the long run found.
    auto failedFirst = [&] {
      for (const std::string& f : failedRun)
        if (!f.empty()) return f;
      return std::string();
    };
    if (shared)
      runs[0] = firstShort;
    else
      run(0);
    if (failedFirst().empty()) {
      std::vector<std::future<void>> side;
      side.push_back(std::async(std::launch::async, run, 1));
      std::vector<int> chain;
      for (int k = 2; k < count; ++k) {
        if (comparisons[static_cast<size_t>(k - 2)].link > 0)
          chain.push_back(k);
        else
          side.push_back(std::async(std::launch::async, run, k));
      }
      if (!chain.empty())
        side.push_back(std::async(std::launch::async, [&, chain] {
          for (int k : chain)
            if (run(k), !failedRun[static_cast<size_t>(k)].empty()) break;
        }));
      for (auto& f : side) f.get();
      if (failedFirst().empty() && update.year != 0) {
        if (shared)
          upToTheUpdate = firstUpToTheUpdate;
        else
          run(count);
      }
    }
    if (const std::string f = failedFirst(); !f.empty()) {
      o.failure = f;
      return o;
    }
    o.failure += wrongResults;
    if (count > 2) o.withoutDirs = withoutDirs;
    if (firstShort.empty()) {
      firstShort = runs[0];
      firstUpToTheUpdate = upToTheUpdate;
    }
    const RunOutput start(runs[0], c.modules.relCellAreaGrid), end(runs[1], c.modules.relCellAreaGrid);
    o.tracerBudgets.emplace_back();
    if (upToTheUpdate.empty()) {
      o.budgets.push_back(BasinBudget(start, end, c.modules, c.warmStart));
      for (const auto& t : c.modules.tracers)
        o.tracerBudgets.back().push_back(TracerBudget(start, end, c.modules, t, o.budgets.back(), c.warmStart));
    } else {
      const RunOutput middle(upToTheUpdate, c.modules.relCellAreaGrid);
      // (After a warm start both sum from the restart.)
      const Budget before = BasinBudget(start, middle, c.modules, c.warmStart),
                   after = BasinBudget(middle, end, c.modules);
      o.budgets.push_back(Added(before, after));
      for (const auto& t : c.modules.tracers)
        o.tracerBudgets.back().push_back(Added(TracerBudget(start, middle, c.modules, t, before, c.warmStart),
                                               TracerBudget(middle, end, c.modules, t, after)));
    }
    o.signatures.push_back(c.signature ? c.signature(start, end, o.budgets.back()) : std::vector<Signature>());
    std::vector<RunOutput> others;
    others.reserve(o.withoutDirs.size());
    std::map<std::string, const RunOutput*> byName;
    for (size_t k = 0; k < comparisons.size() && k < o.withoutDirs.size(); ++k) {
      others.emplace_back(o.withoutDirs[k], c.modules.relCellAreaGrid);
      byName[comparisons[k].name] = &others.back();
    }
    for (size_t k = 0; k < others.size(); ++k) {
      const Signatures differ = comparisons[k].comparedWithOthers
                                    ? comparisons[k].comparedWithOthers(start, end, byName)
                                    : comparisons[k].compared(start, end, others[k]);
      o.signatures.back().insert(o.signatures.back().end(), differ.begin(), differ.end());
    }
  }
  return o;
}

// A residual line of the verdict ("... residual R mm..., S of the input" or
// "of the mass that entered") whose share S is at most upTo (0: any share);
// any other line.
bool WithinShare(const std::string& line, double upTo) {
  const size_t residual = line.find("residual ");
  if (!(upTo > 0) || residual == std::string::npos) return true;
  const size_t comma = line.find(", ", residual);
  return comma == std::string::npos || std::strtod(line.c_str() + comma + 2, nullptr) <= upTo;
}

// The verdict on one case's runs, printed with its budgets and signatures.
// Returns, for each known fault of the case, whether it shows in the
// verdict (explains one of its lines).
std::vector<bool> Judge(const Case& c, Outcome& o, const RunSettings& settings) {
  const std::string title = c.description.empty() ? c.name : c.name + " (" + c.description + ")";
  std::string problem;
  // The folder that keeps the runs is made when missing; a copy that fails
  // is reported with the case.
  if (const char* keep = settings.keepVariable.empty() ? nullptr : std::getenv(settings.keepVariable.c_str())) {
    std::error_code error;
    fs::create_directories(keep, error);
    for (const auto& d : o.dirs)
      if (!error)
        fs::copy(d->path(), std::string(keep) + "/" + fs::path(d->path()).filename().string(),
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing, error);
    if (error) problem += settings.keepVariable + "=" + keep + ": " + error.message() + "\n";
  }
  double worst = 0;
  std::string signs;
  for (size_t k = 0; k < o.budgets.size(); ++k) {
    const Budget& b = o.budgets[k];
    char layout[80];
    std::snprintf(layout, sizeof layout, "%d instance(s) x %d thread(s)", o.layouts[k].instances, o.layouts[k].threads);
    std::printf("case %s on %s\n%s", title.c_str(), layout, b.Report().c_str());
    for (const auto& u : b.unread) problem += "term not read: " + u + "\n";
    const double relative = std::fabs(b.Residual()) / b.Input();
    worst = std::max(worst, relative);
    if (b.unread.empty() && !(relative <= kTolerance)) {
      char text[200];
      std::snprintf(text, sizeof text, "residual %.3g mm, %.3g of the input (at most %g) on %s\n", b.Residual(),
                    relative, kTolerance, layout);
      problem += text;
    }
    const double unmet = Term(b, "withdrawals the river could not give");
    if (!c.expectsShortfall && std::fabs(unmet) > kTolerance * b.Input()) {
      char text[200];
      std::snprintf(text, sizeof text, "withdrawals the river could not give %.3g mm (none expected) on %s\n", unmet,
                    layout);
      problem += text;
    }
    // Each tracer's mass closes like the water (of the mass that entered).
    for (size_t t = 0; k < o.tracerBudgets.size() && t < o.tracerBudgets[k].size(); ++t) {
      const Budget& tb = o.tracerBudgets[k][t];
      const std::string name = c.modules.tracers[t].name;
      std::printf("case %s on %s, the mass of %s (mm x concentration)\n%s", title.c_str(), layout, name.c_str(),
                  tb.Report().c_str());
      for (const auto& u : tb.unread) problem += name + " term not read: " + u + "\n";
      // (Beyond the tolerance, the rounding of the printed tables its terms
      // were read from.)
      const double allowed = kTolerance + tb.rounding / tb.Input();
      if (tb.bounded.empty()) {
        const double off = std::fabs(tb.Residual()) / tb.Input();
        if (tb.unread.empty() && !(off <= allowed)) {
          char text[240];
          std::snprintf(text, sizeof text,
                        "%s residual %.3g mm x concentration, %.3g of the mass that entered (at most %.3g) on %s\n",
                        name.c_str(), tb.Residual(), off, allowed, layout);
          problem += text;
        }
        continue;
      }
      // A term bounded, not read: the mass the rest leaves for it lies
      // within its bounds, widened by the tolerance. Its mean
      // concentration, the bounds' and the estimate's tell how tight.
      double water = 0, low = 0, high = 0, estimate = 0;
      for (const auto& x : tb.bounded) {
        water += x.water;
        low += x.low;
        high += x.high;
        estimate += x.estimate;
      }
      const double implied = tb.Residual();
      const double beyond = std::max({0.0, low - implied, implied - high}) / tb.Input();
      char mean[160] = "no water";
      if (water > 0)
        std::snprintf(mean, sizeof mean, "at %.6g on average within %.6g to %.6g (the estimate %.6g)", implied / water,
                      low / water, high / water, estimate / water);
      char text[480];
      std::snprintf(text, sizeof text,
                    "%s with the soil's evaporation and transpiration (and the snow's under slides) of %.6g mm: %.6g "
                    "mm x concentration within %.6g "
                    "to %.6g, %s; %.3g of the mass that entered outside (at most %.3g) on %s\n",
                    name.c_str(), water, implied, low, high, mean, beyond, allowed, layout);
      std::printf("case %s: %s", c.name.c_str(), text);
      if (tb.unread.empty() && !(beyond <= allowed)) problem += text;
    }
    for (const Signature& s : o.signatures[k]) {
      char value[64];  // (the value after the whole name, however long)
      std::snprintf(value, sizeof value, " %.6g%s", s.value, s.ok ? "" : " (NOT as the option makes it)");
      const std::string text = s.name + value;
      if (k == 0) signs += (signs.empty() ? "" : "; ") + text;
      if (!s.ok) problem += "signature on " + std::string(layout) + ": " + text + "\n";
    }
  }
  // Both layouts give the same terms (sums over the instances to 1e-9 of
  // the input).
  if (o.budgets.size() == 2) {
    const Budget &a = o.budgets[0], &b = o.budgets[1];
    auto same = [&](const std::vector<BudgetTerm>& x, const std::vector<BudgetTerm>& y) {
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i)
        if (x[i].name != y[i].name || !(std::fabs(x[i].mm - y[i].mm) <= 1e-9 * a.Input())) return false;
      return true;
    };
    if (!same(a.inputs, b.inputs) || !same(a.outputs, b.outputs) || !same(a.storageChanges, b.storageChanges))
      problem += "the terms differ between the two layouts\n";
    for (size_t t = 0; o.tracerBudgets.size() == 2 && t < o.tracerBudgets[0].size() && t < o.tracerBudgets[1].size();
         ++t) {
      const Budget &x = o.tracerBudgets[0][t], &y = o.tracerBudgets[1][t];
      auto alike = [&](const std::vector<BudgetTerm>& u, const std::vector<BudgetTerm>& v) {
        if (u.size() != v.size()) return false;
        for (size_t i = 0; i < u.size(); ++i)
          if (u[i].name != v[i].name || !(std::fabs(u[i].mm - v[i].mm) <= 1e-9 * x.Input())) return false;
        return true;
      };
      bool bounds = x.bounded.size() == y.bounded.size();
      for (size_t i = 0; bounds && i < x.bounded.size(); ++i)
        bounds = x.bounded[i].name == y.bounded[i].name &&
                 std::fabs(x.bounded[i].low - y.bounded[i].low) <= 1e-9 * x.Input() &&
                 std::fabs(x.bounded[i].high - y.bounded[i].high) <= 1e-9 * x.Input();
      if (!bounds || !alike(x.inputs, y.inputs) || !alike(x.outputs, y.outputs) ||
          !alike(x.storageChanges, y.storageChanges))
        problem += c.modules.tracers[t].name + ": the mass terms differ between the two layouts\n";
    }
  }
  // (The verdict's lines: the budgets', the signatures' and the first of a
  // failed run's, which names its code.)
  const std::string verdict = problem + o.failure.substr(0, o.failure.find('\n') + 1);
  problem += o.failure;
  if (problem.empty()) {
    std::printf("case %s: closes, residual %.2e of the input\n", c.name.c_str(), worst);
  } else {
    std::printf("case %s: %s\n", title.c_str(), problem.c_str());
  }
  if (!signs.empty()) std::printf("case %s: signature: %s\n", c.name.c_str(), signs.c_str());
  std::printf("case %s: its program runs took %.0f s\n", c.name.c_str(), o.seconds);
  std::fflush(stdout);
  std::string issues;
  for (int n : c.openIssues) issues += (issues.empty() ? "" : ", ") + std::to_string(n);
  // The lines of the verdict that no known fault explains, and the issues
  // whose faults no longer show (a case without known faults: its open
  // issues explain every line and close when none is left).
  std::string unexplained, closed;
  std::istringstream lines(verdict);
  for (std::string line; std::getline(lines, line);) {
    bool explained = c.knownFaults.empty();
    for (const auto& f : c.knownFaults) {
      explained = explained || f.shows.empty();
      for (const std::string& text : f.shows)
        explained = explained || (line.find(text) != std::string::npos && WithinShare(line, f.upTo));
    }
    if (!explained) unexplained += line + "\n";
  }
  if (c.knownFaults.empty() && problem.empty()) closed = issues;
  // (A run that ended early shows no budget, nor does one that a fault
  // makes another run whole: their other marks stand.)
  const bool whole = std::any_of(c.knownFaults.begin(), c.knownFaults.end(),
                                 [](const Case::KnownFault& f) { return f.shows.empty(); });
  std::string shownIssues;
  std::vector<bool> shows;
  for (const auto& f : c.knownFaults) {
    bool shown = !problem.empty();
    if (!f.shows.empty() && o.failure.empty() && !whole) {
      shown = f.somewhere;
      for (const std::string& text : f.shows) shown = shown || verdict.find(text) != std::string::npos;
    }
    if (!shown && closed.find(std::to_string(f.issue)) == std::string::npos)
      closed += (closed.empty() ? "" : ", ") + std::to_string(f.issue);
    bool appears = f.shows.empty() && !problem.empty();
    for (const std::string& text : f.shows) appears = appears || verdict.find(text) != std::string::npos;
    // (It shows where it explains a line: a residual within its share.)
    bool explains = f.shows.empty() && !problem.empty();
    std::istringstream each(verdict);
    for (std::string line; !explains && std::getline(each, line);)
      for (const std::string& text : f.shows)
        explains = explains || (line.find(text) != std::string::npos && WithinShare(line, f.upTo));
    shows.push_back(explains);
    if (appears && shownIssues.find(std::to_string(f.issue)) == std::string::npos)
      shownIssues += (shownIssues.empty() ? "" : ", ") + std::to_string(f.issue);
  }
  if (c.knownFaults.empty()) shownIssues = issues;
  if (c.openIssues.empty()) {
    EXPECT_EQ(problem, "") << "case " << title;
  } else if (!closed.empty()) {
    ADD_FAILURE() << "case " << title << " closes now: remove its mark of issues " << closed;
  } else if (!unexplained.empty()) {
    ADD_FAILURE() << "case " << title << " fails beyond the faults of issues " << issues << ":\n" << unexplained;
  } else if (!problem.empty()) {
    std::printf("case %s: known fault, issues %s\n", c.name.c_str(), shownIssues.c_str());
  }
  return shows;
}

}  // namespace

std::map<std::string, std::vector<bool>> RunAndJudge(std::vector<Case> cases, const RunSettings& settings) {
  if (const char* only = settings.selectVariable.empty() ? nullptr : std::getenv(settings.selectVariable.c_str())) {
    const std::regex pattern(only);
    std::erase_if(cases, [&](const Case& c) { return !std::regex_search(c.name + " " + c.description, pattern); });
  }
  Slots slots(settings.slots);
  std::vector<std::future<Outcome>> running;
  for (size_t i = 0; i < cases.size(); ++i)
    running.push_back(
        std::async(std::launch::async, RunCase, std::cref(cases[i]), std::ref(slots), std::cref(settings), i));
  std::map<std::string, std::vector<bool>> shown;
  for (size_t i = 0; i < cases.size(); ++i) {
    Outcome o = running[i].get();
    shown[cases[i].name] = Judge(cases[i], o, settings);
  }
  return shown;
}

std::string ModelTime(const Date& start, const Date& end, int stepMinutes, int startHour, int endHour) {
  // Hourly steps start with hour 1 and end with hour 24; daily steps carry
  // hour 24 (the end of the day) throughout.
  const int first = stepMinutes >= 1440 ? 24 : startHour > 0 ? startHour : 1;
  const int last = endHour > 0 ? endHour : 24;
  char text[512];
  std::snprintf(text, sizeof text,
                "[model_time]\n%d         starting hour\n%d         starting day\n%d         starting month\n"
                "%d      starting year\n%d        end hour\n%d         end day\n%d         end month\n"
                "%d      end year\n",
                first, start.day, start.month, start.year, last, end.day, end.month, end.year);
  return text;
}

Date NextDay(const Date& d) {
  const bool leap = (d.year % 4 == 0 && d.year % 100 != 0) || d.year % 400 == 0;
  const int days[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (d.day < days[d.month - 1]) return {d.year, d.month, d.day + 1};
  return d.month < 12 ? Date{d.year, d.month + 1, 1} : Date{d.year + 1, 1, 1};
}

std::string WriteBasinGrid(const std::string& dir, const std::string& file,
                           const std::function<double(int, int, int)>& value) {
  const auto rows = Rows(ReadFile(dir + "/zones.asc"));
  if (rows.size() < 7) return "zones.asc unreadable";
  std::string text;
  for (size_t i = 0; i < 6; ++i) text += rows[i][0] + " " + rows[i][1] + "\n";
  for (size_t r = 6; r < rows.size(); ++r) {
    if (rows[r].empty()) continue;
    for (size_t c = 0; c < rows[r].size(); ++c) {
      const double zone = std::stod(rows[r][c]);
      char number[32];
      std::snprintf(
          number, sizeof number, "%.10g",
          zone > -9999 ? value(static_cast<int>(r) - 5, static_cast<int>(c) + 1, static_cast<int>(zone)) : -9999.0);
      if (c > 0) text += ' ';
      text += number;
    }
    text += "\n";
  }
  WriteFile(dir + "/" + file, text);
  return "";
}

std::string EditIn(const std::string& path, const Edits& edits) {
  std::string missing;
  WriteFile(path, Edited(ReadFile(path), edits, missing));
  return missing.empty() ? "" : "not in " + path + ": " + missing;
}

// Station files of daily steps: each day's record stamped with hour 24, the
// sums of precipitation and radiation (Wh/m2 per day), the means of the rest.
std::string AddStandardGrids(const std::string& dir, const std::string& lines) {
  const std::string path = dir + "/control.txt";
  std::string text = ReadFile(path);
  const std::string label = "number of standard grids\n";
  const size_t at = text.find(label);
  const size_t line = at == std::string::npos ? at : text.rfind('\n', at);
  if (line == std::string::npos) return "no number of standard grids in " + path + "\n";
  const int count = std::atoi(text.c_str() + line + 1) + CountOf(lines, "\n");
  char number[16];
  std::snprintf(number, sizeof number, "%-10d", count);
  text.replace(line + 1, at - line - 1, number);
  text.insert(at + label.size(), lines);
  WriteFile(path, text);
  return "";
}

std::string PointsOf(const std::string& dir, const std::string& id, const std::string& symbol,
                     const std::vector<std::pair<int, int>>& cells) {
  double xll = NAN, yll = NAN, size = NAN;
  int nrows = 0;
  for (const auto& row : Rows(ReadFile(dir + "/dem.asc"))) {
    if (row.size() < 2) continue;
    if (row[0] == "xllcorner") xll = std::atof(row[1].c_str());
    if (row[0] == "yllcorner") yll = std::atof(row[1].c_str());
    if (row[0] == "cellsize") size = std::atof(row[1].c_str());
    if (row[0] == "nrows") nrows = std::atoi(row[1].c_str());
  }
  if (!(size > 0) || nrows <= 0) return "dem.asc without its grid measures";
  std::string x, y;
  for (const auto& [r, c] : cells) {
    char text[64];
    std::snprintf(text, sizeof text, "%s%.1f", x.empty() ? "" : ", ", xll + size * (c - 0.5));
    x += text;
    std::snprintf(text, sizeof text, "%s%.1f", y.empty() ? "" : ", ", yll + size * (nrows - r + 0.5));
    y += text;
  }
  const std::string entity =
      "entity { ID = " + id + "; Symbol = " + symbol + "; Xcoords = " + x + "; Ycoords = " + y + "; }\n";
  const std::string file = "filename = points.txt; header = points;\n";
  const std::string control = ReadFile(dir + "/control.txt");
  if (control.find(file) != std::string::npos) return EditIn(dir + "/control.txt", {{file, file + entity}});
  // (Static glaciers write a file of their own.)
  const std::string on = "[special_output]\n1\n$step\nnumfiles = ";
  const size_t at = control.find(on);
  if (at != std::string::npos) {
    const int files = std::atoi(control.c_str() + at + on.size());
    const std::string count = on + std::to_string(files) + ";\n";
    return EditIn(dir + "/control.txt", {{count, on + std::to_string(files + 1) + ";\n{\n" + file + entity + "}\n"}});
  }
  return EditIn(dir + "/control.txt", {{"[special_output]\n0\n$step\n",
                                        "[special_output]\n1\n$step\nnumfiles = 1;\n{\n" + file + entity + "}\n"}});
}

std::vector<double> PointSeries(const RunOutput& run, const std::string& symbol, int row, int col) {
  const auto rows = Rows(run.Text("out/points.txt"));
  std::vector<double> values;
  if (rows.empty()) return values;
  const std::string head = symbol + "/" + std::to_string(col) + "/" + std::to_string(row);
  const auto at = std::find(rows[0].begin(), rows[0].end(), head);
  if (at == rows[0].end()) return values;
  const size_t k = static_cast<size_t>(at - rows[0].begin());
  for (const auto& r : rows)
    if (r.size() > k && !r[0].empty() && std::isdigit(static_cast<unsigned char>(r[0][0])))
      values.push_back(std::atof(r[k].c_str()));
  return values;
}

Maker Chained(std::vector<Maker> makers) {
  return [makers](const std::string& dir) {
    for (const auto& m : makers) {
      const std::string failed = m ? m(dir) : std::string();
      if (!failed.empty()) return failed;
    }
    return std::string();
  };
}

std::string TwoDayStations(const std::string& dir) {
  const auto r = RunCommand("python3 " + std::string(FLUVEX_TEST_DATA) + "/balance/daily_stations.py . 2", dir);
  return r.exitCode == 0 ? "" : r.output;
}

std::string DailyStations(const std::string& dir) {
  const auto r = RunCommand("python3 " + std::string(FLUVEX_TEST_DATA) + "/balance/daily_stations.py .", dir);
  return r.exitCode == 0 ? "" : r.output;
}

const Edits kDaily = DailySteps();

Edits SubSteps(int k) {
  return {{"[zone_grid]\n", "[soil_surface_groundwater_substeps]\n" + std::to_string(k) +
                                "         sub-steps of soil, surface routing and groundwater\n\n[zone_grid]\n"}};
}

const std::pair<std::string, std::string> kSurfaceRoutingOff = {"[SurfaceRoutingModel]\n1\n",
                                                                "[SurfaceRoutingModel]\n0\n"};

// Silting-up by method 1 on grassland tilled in July, with little cover.
const Edits kSiltingUp = {
    {"[SiltingUpModel]\n0\n$step\n",
     "[SiltingUpModel]\n1\n$step\n1        method\nsdisp.stat 0\nqdsu.stat 4024\nsdisp.asc\n0\nrainpause.asc\n0\n"
     "ekin.asc\n0\ntsbb.asc\n0\nqdsu.asc\n0\n1 2 3     RainPause table: subbasin codes\n"
     "0.25 0.25 0.25   minimum rain pause (d)\n0         readgrid\n"},
    {"SR_K_ST = 5;\n  JulDays = 15 105 135 258 288;",
     "SR_K_ST = 5; SoilTillage = 180;\n  JulDays = 15 105 135 258 288;"},
    {"VCF = 0.8 0.9 0.95 0.95 0.8;", "VCF = 0.1 0.1 0.1 0.1 0.1;"}};

std::string JulyStorm(const std::string& dir) {
  return StormOn(dir, 7, 6, 4);
}

std::string StormOn(const std::string& dir, int month, int day, double factor) {
  const std::string path = dir + "/precipitation.dat";
  std::string out;
  for (const auto& row : Rows(ReadFile(path))) {
    std::string line;
    const bool storm =
        row.size() > 4 && row[0] == "2015" && row[1] == std::to_string(month) && row[2] == std::to_string(day);
    for (size_t i = 0; i < row.size(); ++i) {
      std::string w = row[i];
      if (storm && i >= 4 && std::stod(w) > -9999) w = std::to_string(factor * std::stod(w));
      line += (i ? " " : "") + w;
    }
    out += line + "\n";
  }
  WriteFile(path, out);
  return "";
}

// Snow by the energy balance (method 6, with slides on slopes above 0.1
// degrees, 5 % of the snow of a slide cell each step); the snow that
// slides released summed over the run.
const Edits kEnergyBalanceSlides = {
    {"1         method: degree-day", "6         method: energy balance with slides"},
    {"0         readgrid: the snow cover starts empty\n",
     "0         readgrid: the snow cover starts empty\nstemp.asc\n0\nstemp.stat 0\nsurft.asc\n0\nsurft.stat 0\n"
     "inmass.asc\n10\ninmass.stat 0\nmobmass.asc\n0\nmobmass.stat 0\ndepos.asc\n0\ndepos.stat 0\n"
     "55        maxDepositionSlope (degrees)\n5.0       maxDepositionFactor (mm per step)\n"
     "0.1       minSlideSlope (degrees)\n0.05      slideMassFrac\n1.0       LWINcorr\n1.0       LWOUTcorr\n"
     "1.0       EnBalScaling\n"},
    {"7         number of variable grids\n",
     "12        number of variable grids\nsf1.asc slidefraction1 0 0.25\n0\n0\nsf2.asc slidefraction2 0 0.25\n0\n0\n"
     "sf3.asc slidefraction3 0 0.25\n0\n0\nsf4.asc slidefraction4 0 0.25\n0\n0\n"
     "depidx.asc deposition_index 0 0\n0\n0\n"}};

// The glacier section: method m; the glacier runoff leaves through linear
// storages of hours (ice), days (snow) and a week (firn); the melt of firn
// and ice summed over the run.
std::string GlacierSection(int method) {
  return "[ice_firn]\n" + std::to_string(method) +
         "         glacier method\n6.0       DDFice (mm/(K day))\n4.0       DDFfirn\n3.0       DDFsnow\n"
         "2.0       MF\n0.0010    Aice_min\n0.0020    Aice_max\n0.0005    Asnow_min\n0.0010    Asnow_max\n"
         "10        kice_els (steps)\n150       kfirn_els\n40        ksnow_els\n0         initial Qice_els\n"
         "0         initial Qfirn_els\n0         initial Qsnow_els\nmfirn.asc\n10\nqfirn.stat 4024\nmice.asc\n10\n"
         "qice.stat 4024\nqglac.stat 4024\n";
}

// Glacier cells on the highest ground: firn at (6, 22), ice at (7, 22) and
// (11, 25) in subbasin 1 and at (39, 11) in subbasin 2.
const std::vector<GlacierCell> kGlacierCells = {{6, 22, 2}, {7, 22, 1}, {11, 25, 1}, {39, 11, 1}};

Maker StaticGlaciers(int method) {
  return StaticGlaciersOn(method, kGlacierCells);
}

// Static glaciers: the ice and firn grid and, for the snow on the glaciers
// (a grid the program keeps but does not write), the point output of every
// glacier cell.
Maker StaticGlaciersOn(int method, std::vector<GlacierCell> cells) {
  return [method, cells](const std::string& dir) {
    std::string failed = WriteBasinGrid(dir, "ice_firn.asc", [&](int r, int c, int) {
      for (const auto& g : cells)
        if (g.row == r && g.col == c) return double(g.code);
      return 0.0;
    });
    std::string xs, ys;
    for (const auto& g : cells) {
      // Cell centres: 1 km cells, lower-left corner (49000, 56000), 84 rows.
      xs += (xs.empty() ? "" : ", ") + std::to_string(49000 + (g.col - 0.5) * 1000);
      ys += (ys.empty() ? "" : ", ") + std::to_string(56000 + (84 - g.row + 0.5) * 1000);
    }
    failed += AddStandardGrids(dir, "$inpath//ice_firn.asc ice_firn fillcode = 0 readcode = 1\n");
    const std::string points =
        "{\nfilename = glacierpoints.txt; header = points;\nentity { ID = "
        "SolidSnowStorage_onGlacier; Symbol = SolidS; Xcoords = " +
        xs + "; Ycoords = " + ys + "; }\nentity { ID = LiquidSnowStorage_onGlacier; Symbol = Liquid; Xcoords = " + xs +
        "; Ycoords = " + ys + "; }\n}\n";
    // (The special output of another maker may be on already: one file more.)
    const std::string control = ReadFile(dir + "/control.txt"), on = "[special_output]\n1\n$step\nnumfiles = ";
    const size_t at = control.find(on);
    const int files = at == std::string::npos ? 0 : std::atoi(control.c_str() + at + on.size());
    failed += EditIn(dir + "/control.txt",
                     {{at == std::string::npos ? "[special_output]\n0\n$step\n" : on + std::to_string(files) + ";\n",
                       GlacierSection(method) + "\n" + on + std::to_string(files + 1) + ";\n" + points}});
    return failed;
  };
}

Maker DynamicGlaciers(int method, int updateDay, bool drift, bool emptied) {
  // With emptied, glacier 2 has a second, smaller cell at (39, 12), which
  // its shrinking at the yearly update empties.
  std::vector<DynamicGlacierCell> cells = {
      {6, 22, 1.0, 1, 1}, {7, 22, 0.5, 1, 1}, {6, 23, 0.5, 1, 1}, {39, 11, 0.2, 2, 30}};
  if (emptied) cells.push_back({39, 12, 0.05, 2, 30});
  return DynamicGlaciersOn(method, updateDay, drift, cells, 29, 30);
}

Maker DynamicGlaciersOn(int method, int updateDay, bool drift, std::vector<DynamicGlacierCell> cells, int driftRow,
                        int driftCol) {
  return [=](const std::string& dir) {
    auto at = [&](int r, int c, auto value, double otherwise) {
      for (const auto& g : cells)
        if (g.row == r && g.col == c) return value(g);
      return otherwise;
    };
    std::string failed;
    failed += WriteBasinGrid(dir, "glac_frac.asc", [&](int r, int c, int) {
      return at(
          r, c, [](const DynamicGlacierCell& g) { return g.share; }, 0.0);
    });
    failed += WriteBasinGrid(dir, "glac_code.asc", [&](int r, int c, int) {
      return at(
          r, c, [](const DynamicGlacierCell& g) { return double(g.code); }, -9999);
    });
    failed += WriteBasinGrid(dir, "debris.asc", [&](int r, int c, int) {
      return at(
          r, c, [](const DynamicGlacierCell& g) { return g.debris; }, 1);
    });
    if (drift)
      failed += WriteBasinGrid(dir, "depidx.asc",
                               [&](int r, int c, int) { return r == driftRow && c == driftCol ? 20.0 : 0.0; });
    const std::string depositionGrid = drift ? "$inpath//depidx.asc deposition_index fillcode = 0 readcode = 1\n" : "";
    // A warm start (the snow state read) reads the glacier state of the run
    // before as well: its firn stack, balances, snow, glacierized share and
    // glacier codes (the yearly update changes both).
    const bool warm = ReadFile(dir + "/control.txt").find(kReadState[0].second) != std::string::npos;
    failed += AddStandardGrids(
        dir, std::string(warm ? "$inpath//gfrac_end.asc" : "$inpath//glac_frac.asc") +
                 " GlacierizedCells writecode = 3 outname = gfrac_end.asc fillcode = 0 readcode = 1\n" +
                 (warm ? "$inpath//gcode_end.asc" : "$inpath//glac_code.asc") +
                 " GlacierCodes writecode = 3 outname = gcode_end.asc fillcode = 0 readcode = 1\n"
                 "$inpath//debris.asc debris_on_glaciers fillcode = 0 readcode = 1\n" +
                 depositionGrid);
    // The runoff storages start with water (mm per step over the glaciers),
    // so that the glacier runoff of a cold January week is some 1.5 % of its
    // precipitation (the melt alone gives a fifth of that): a fault of 1 %
    // in the glacier's water shows far above the tolerance.
    std::string section = GlacierSection(method);
    const std::string empty = "0         initial Qice_els\n0         initial Qfirn_els\n0         initial Qsnow_els\n";
    section.replace(section.find(empty), empty.size(),
                    "0.5       initial Qice_els\n2         initial Qfirn_els\n1         initial Qsnow_els\n");
    failed += EditIn(
        dir + "/control.txt",
        {{"[special_output]\n",
          section + "qsnowglac.stat 4024\n" + (warm ? "1" : "0") +
              "         read grid parameter for glacier model\n"
              "3 515 5            firn_levels, firn_base (m), deltafirnper100m\n" +
              std::to_string(updateDay) +
              " 1               GMBEvalDay GMBEvalMonth\n0.01 1.36 2 0          VAscaling VAexponent numElevBands "
              "extraWeightFactorBand0\nfirn.stk\n3\nfirnwe.stat 4024\ngmb.asc\n3\ngmbold.asc\n3\ngmb1.stat 4024\n"
              "gmb2.stat 4024\n1.0       global debris scaling factor\nsnownoglac.stat 4024\nsgsolid.asc\n3\n"
              "sgliquid.asc\n3\nsgtotal.asc\n3\nsgmelt.asc\n10\nsgsurft.asc\n3\nsgtemp.asc\n3\nsgevap.asc\n10\n"
              "150 0.25           maxSnowPackToCreateGlacier relSizeNewGlacier\n"
              "firnice.asc 10     the firn that turns to ice at the yearly update\n\n[special_output]\n"},
         // The soil water that glaciers cover or leave at the yearly update:
         // each day's sum.
         {"sb2.stat 2024", "sb2.stat 4024"}});
    return failed;
  };
}

// Heat transfer in the soil (explicit method), with the air 3 K colder
// than the stations measured, so that the top layers freeze; the soil
// temperatures at the end.
const Edits kFrozenSoil = {
    {"50        replacement above the upper limit\n0         scenarios off\n",
     "50        replacement above the upper limit\n1         scenarios on\n1         SzenMeth: add\n1         SzenNum\n"
     "75000 90000 -3 -3 -3 -3 -3 -3 -3 -3 -3 -3 -3 -3   x y and the offsets January..December (K)\n"},
    {"[special_output]\n",
     "[heat_transfer]\n1         heat transfer on\n1         method (explicit)\n0\n0\n12.0      dTModLowBoundBase\n"
     "-0.007    dTModLapseRate\n800       dTModCDrySoil\n1500      dTModRhoDrySoil\n0.58      dTModLamDrySoil\n"
     "1e-10     dTModKmin\n0.5562    dTModLamWat\n2.33      dTModLamIce\n4187      dTModCWater\n"
     "1940      dTModCIce20\n2090      dTModCIce0\n334000    dTModLatHeat\n1000      dTModRhoWater\n"
     "1.22      dTModFactor\n0.5       dTModSEForStat\n60        dTModShortestStep\n1800      dTModLongestStep\n"
     "1.0       dTModNFactorFreezing\n1.0       dTModNFactorThawing\nsoiltemp.txt\nsoiltemp.stat 0\n"
     "soiltemp.stk\n3\nthawdepth.asc\n0\n\n[special_output]\n"}};

std::string Lake(const std::string& dir) {
  return LakeAt(14, 14, 0)(dir);
}

// 3 m deep at its deepest cell; the lake code 1 of the reservoir.
Maker LakeAt(int row, int col, double lift) {
  return [=](const std::string& dir) {
    const auto original = Rows(ReadFile(dir + "/dem.asc"));
    auto dem = original;
    auto inLake = [&](int r, int c) { return r >= row && r <= row + 2 && c >= col && c <= col + 2; };
    auto read = [&](int r, int c) {
      return std::stod(original[static_cast<size_t>(r + 5)][static_cast<size_t>(c - 1)]);
    };
    // The lifted cell: the lake's highest bottom.
    int liftRow = row, liftCol = col;
    for (int r = row; r <= row + 2; ++r)
      for (int c = col; c <= col + 2; ++c)
        if (read(r, c) > read(liftRow, liftCol)) liftRow = r, liftCol = c;
    auto elevation = [&](int r, int c) { return read(r, c) + (r == liftRow && c == liftCol ? lift : 0); };
    double top = -1e9;
    for (int r = row; r <= row + 2; ++r)
      for (int c = col; c <= col + 2; ++c) top = std::max(top, elevation(r, c));
    top += 3;
    std::string failed;
    if (lift != 0) {
      char number[32];
      std::snprintf(number, sizeof number, "%.10g", elevation(liftRow, liftCol));
      dem[static_cast<size_t>(liftRow + 5)][static_cast<size_t>(liftCol - 1)] = number;
      std::string text;
      for (const auto& line : dem) {
        for (size_t j = 0; j < line.size(); ++j) text += (j ? " " : "") + line[j];
        text += "\n";
      }
      WriteFile(dir + "/dem.asc", text);
    }
    failed += WriteBasinGrid(dir, "lake_codes.asc", [&](int r, int c, int) { return inLake(r, c) ? 1.0 : -9999.0; });
    // The lake's depth below its surface (m).
    failed += WriteBasinGrid(dir, "maxpond.asc",
                             [&](int r, int c, int) { return inLake(r, c) ? top - elevation(r, c) : 0.0; });
    failed += AddStandardGrids(dir,
                               "$inpath//lake_codes.asc lake_codes fillcode = 0 readcode = 1\n"
                               "$inpath//maxpond.asc max_ponding_storage fillcode = 0 readcode = 1\n");
    failed += EditIn(dir + "/control.txt",
                     {{"0         ponding\n", "1         ponding\n"},
                      {"0         no ponds", "1         ponds: the lake cells pond"},
                      {"[special_output]\n",
                       "[lake_model]\n1\tflow control parameter for\n1\tinitialization method for\n"
                       "0.05\tAlbedo_OpenWater for\n0.001\tz0_OpenWater for\n0\treadgrids for\n\n[special_output]\n"}});
    return failed;
  };
}

// Irrigation of the fields of subbasin 3 from the groundwater and of rows 45
// to 50 of subbasin 2 from the river, 12 mm a day on 2 to 4 January.
std::string Irrigation(const std::string& dir) {
  std::string failed = WriteBasinGrid(dir, "irrigation_codes.asc", [](int r, int, int zone) {
    return zone == 3 ? 1.0 : zone == 2 && r >= 45 && r <= 50 ? 2.0 : 0.0;
  });
  failed += AddStandardGrids(dir, "$inpath//irrigation_codes.asc irrigation_codes fillcode = 0 readcode = 1\n");
  failed +=
      EditIn(dir + "/control.txt",
             {{"[irrigation]\n0\n$step\n",
               "[irrigation]\n1\n$step\nirr_gw.stat 4001\tirrigation from groundwater\n"
               "irr_sw.stat 4001\tirrigation from surface water\n\n[irrigation_table]\n2\n"
               "1 field_gw 1 1 20 3.45 3 1 2 12 1 3 12 1 4 12\n2 field_sw 1 2 20 3.45 3 1 2 12 1 3 12 1 4 12\n"}});
  return failed;
}

// Irrigation of rows 45 to 50 of subbasin 2 from the river by one rule of
// the irrigation table (method, origin and the method's values).
Maker RiverIrrigation(const std::string& rule) {
  return [rule](const std::string& dir) {
    std::string failed = WriteBasinGrid(
        dir, "irrigation_codes.asc", [](int r, int, int zone) { return zone == 2 && r >= 45 && r <= 50 ? 1.0 : 0.0; });
    failed += AddStandardGrids(dir, "$inpath//irrigation_codes.asc irrigation_codes fillcode = 0 readcode = 1\n");
    failed += EditIn(dir + "/control.txt",
                     {{"[irrigation]\n0\n$step\n",
                       "[irrigation]\n1\n$step\nirr_gw.stat 4001\tirrigation from groundwater\n"
                       "irr_sw.stat 4001\tirrigation from surface water\n\n[irrigation_table]\n1\n1 field " +
                           rule + "\n"}});
    return failed;
  };
}

// Cells that no station reaches: a meteorological section's search radius
// of 5 km (the stations lie 10 km and more apart).
Maker NearStationsOnly(const std::string& section) {
  return [section](const std::string& dir) {
    const std::string path = dir + "/control.txt";
    std::string text = ReadFile(path);
    const size_t at = text.find("[" + section + "]\n");
    const std::string radius = "100000    maximum distance";
    const size_t line = at == std::string::npos ? at : text.find(radius, at);
    if (line == std::string::npos) return "no maximum distance in section " + section;
    text.replace(line, radius.size(), "5000      maximum distance");
    WriteFile(path, text);
    return std::string();
  };
}

// Steps of two days: station records of two days each (the sums and means
// of the hours), the radiation sums up to some 15 000 Wh/m2 (beyond the
// example's nodata bound of 9999).
const Edits kTwoDays = {
    {"$set $step    = 60", "$set $step    = 2880"},
    {"$inpath//temperature.dat", "$inpath//temperature_2days.dat"},
    {"$inpath//precipitation.dat", "$inpath//precipitation_2days.dat"},
    {"$inpath//wind.dat", "$inpath//wind_2days.dat"},
    {"$inpath//humidity.dat", "$inpath//humidity_2days.dat"},
    {"$inpath//radiation.dat", "$inpath//radiation_2days.dat"},
    {"radiation.stat 1024  statistics file: basin mean of each day\n9999      nodata",
     "radiation.stat 1024  statistics file: basin mean of each day\n99999     nodata"},
    {"1400      upper limit\n0         replacement below the lower limit\n1400      replacement above",
     "30000     upper limit\n0         replacement below the lower limit\n30000     replacement above"},
    {"1         sub-intervals per step", "24        sub-intervals per step"},
    // The cloudiness of each step, a basin mean.
    {"0.6 0.1\n", "0.6 0.1\ncloud.stat 1001\n"}};

// A snow cover of 120 mm (solid) on every cell at the start, read from the
// snow state grids, a month old.
const Edits kSnowCoverAtStart = {
    {"0         readgrid: the snow cover starts empty", "1         readgrid: the snow cover of the grids"}};
std::string SnowCoverAtStart(const std::string& dir) {
  std::string failed;
  for (const auto& [file, value] : std::vector<std::pair<std::string, double>>{
           {"ssolid.asc", 120}, {"sliquid.asc", 0}, {"stotal.asc", 120}, {"sdays.asc", 30}, {"sage.asc", 30}})
    failed += WriteBasinGrid(dir, file, [value](int, int, int) { return value; });
  return failed;
}

// ---- Signatures: what shows that a case's option moved water in the period.

Signature Positive(const std::string& name, double v) {
  return {name, v, v > 0};
}
Signature Negative(const std::string& name, double v) {
  return {name, v, v < 0};
}
Signature NonZero(const std::string& name, double v) {
  return {name, v, v < 0 || v > 0};
}

// Change of a run sum grid in out/ between the two runs, mm over the basin.
double SumOver(const RunOutput& start, const RunOutput& end, const std::string& file) {
  return end.BasinMean(file) - start.BasinMean(file);
}

SignatureOf Joined(std::vector<SignatureOf> parts) {
  return [parts](const RunOutput& s, const RunOutput& e, const Budget& b) {
    Signatures all;
    for (const auto& p : parts) {
      const Signatures some = p(s, e, b);
      all.insert(all.end(), some.begin(), some.end());
    }
    return all;
  };
}

// A statistic of the period above 0: its basin value summed over the steps.
SignatureOf PositiveSum(const std::string& name, const std::string& table) {
  return [name, table](const RunOutput& s, const RunOutput& e, const Budget&) {
    return Signatures{Positive(name, PeriodSum(s, e, table))};
  };
}

const SignatureOf kSurfaceRunoff = PositiveSum("surface runoff to the rivers (mm)", "qdsr.stat");
const SignatureOf kDirectRunoff = PositiveSum("direct runoff (mm)", "qd.stat");
const SignatureOf kInfiltrationExcess = PositiveSum("infiltration excess (mm)", "infex.stat");

// Melt of ice and firn, and the glacier runoff that leaves the storages.
const SignatureOf kGlacierMelt = [](const RunOutput& s, const RunOutput& e, const Budget&) {
  return Signatures{Positive("ice and firn melt (mm)", SumOver(s, e, "mice.sum") + SumOver(s, e, "mfirn.sum")),
                    Positive("glacier runoff (mm)", PeriodSum(s, e, "qglac.stat"))};
};

// Snow that slides released (the run sum of the input mass).
// (A warm start's long run sums from its own start: every line of its
// tables follows the short run's.)
const SignatureOf kSlides = [](const RunOutput& s, const RunOutput& e, const Budget&) {
  int lines = 0;
  for (const auto& row : Rows(e.Text("out/discharge.stat")))
    lines += !row.empty() && !row[0].empty() && std::isdigit(static_cast<unsigned char>(row[0][0]));
  const bool warm = lines > 0 && PeriodLines(s, e, "discharge.stat") == lines;
  return Signatures{
      Positive("snow moved by slides (mm)", warm ? e.BasinMean("inmass.sum") : SumOver(s, e, "inmass.sum"))};
};

const SignatureOf kDrift = [](const RunOutput&, const RunOutput&, const Budget& b) {
  return Signatures{Positive("snow drift (mm)", Term(b, "snow drift"))};
};

// Frozen layers (below 0 degrees C) of the soil temperature stack at the end.
const SignatureOf kFrozenLayers = [](const RunOutput&, const RunOutput& e, const Budget&) {
  const StackFile t = ReadStackFile(e.dir() + "/out/soiltemp.stk");
  double frozen = t.ncols > 0 ? 0 : NAN;
  for (int r = 1; r <= t.nrows; ++r)
    for (int c = 1; c <= t.ncols; ++c)
      for (int k = 1; k <= t.levels; ++k)
        if (e.zones().at(r, c) > -9999 && t.at(r, c, k) > -9999 && t.at(r, c, k) < 0) frozen += 1;
  return Signatures{Positive("frozen soil layers at the end (cells x layers)", frozen)};
};

const SignatureOf kSnowmelt = [](const RunOutput& s, const RunOutput& e, const Budget& b) {
  return Signatures{Positive("outflow of the snow cover (mm)", PeriodSum(s, e, "snowoutflow.stat")),
                    Negative("snow cover change (mm)", Term(b, "snow cover"))};
};

const SignatureOf kSiltingUpRunoff = PositiveSum("direct runoff of the silting-up (mm)", "qdsu.stat");

// The lake (the reservoir's table): its storage changes, it gives out
// water and evaporates (m3 over the period).
const SignatureOf kLakeWater = [](const RunOutput& s, const RunOutput& e, const Budget&) {
  return Signatures{NonZero("lake storage change (m3)", PeriodSum(s, e, "reservoir_1.txt", 25)),
                    Positive("lake outflow (m3)", PeriodSum(s, e, "reservoir_1.txt", 10)),
                    Positive("lake evaporation (m3)", PeriodSum(s, e, "reservoir_1.txt", 19))};
};

const SignatureOf kStateRead = [](const RunOutput&, const RunOutput& e, const Budget&) {
  const std::string diag = e.Text("Fluvex_Diag_0.xml");
  double read = 0;
  for (const char* f : kStateFiles)
    if (FileExists(e.dir() + "/" + f) && diag.find(std::string("reading ") + f + " for") != std::string::npos) ++read;
  return Signatures{Positive("state grids of the short run read at the restart", read)};
};

SignatureOf StepsOfThePeriod(int expected) {
  return [expected](const RunOutput& s, const RunOutput& e, const Budget&) {
    const double steps = PeriodLines(s, e, "discharge.stat");
    return Signatures{{"steps of the period (" + std::to_string(expected) + " expected)", steps, steps == expected}};
  };
}

const Edits kGroundwaterFlows = {{"gwflowx.asc\n0\n", "gwflowx.asc\n3\n"}, {"gwflowy.asc\n0\n", "gwflowy.asc\n3\n"}};

const SignatureOf kLateralGroundwaterFlow = [](const RunOutput&, const RunOutput& e, const Budget&) {
  double flow = 0;
  for (const char* f : {"gwflowx.asc", "gwflowy.asc"}) {
    const GridFile g = ReadGridFile(e.dir() + "/out/" + f);
    if (g.ncols != e.zones().ncols) return Signatures{{std::string(f) + " unreadable", NAN, false}};
    for (int r = 1; r <= g.nrows; ++r)
      for (int c = 1; c <= g.ncols; ++c)
        if (e.zones().at(r, c) > -9999 && g.at(r, c) > -9999) flow += std::fabs(g.at(r, c));
  }
  return Signatures{Positive("lateral groundwater flow at the end (sum of |x| and |y| flows)", flow)};
};

// ---- Comparisons of per-step tables and grids.

// The lines of a per-step table in out/ of the period (dated after the
// short run's last line), by their date (year, month, day, hour): the
// values after the date.
std::map<std::string, std::vector<double>> PeriodTable(const RunOutput& s, const RunOutput& e,
                                                       const std::string& table) {
  auto read = [&](const RunOutput& run) {
    std::map<std::string, std::vector<double>> lines;
    for (const auto& row : Rows(run.Text("out/" + table))) {
      if (row.size() < 5 || row[0].empty() || !std::isdigit(static_cast<unsigned char>(row[0][0]))) continue;
      char key[64];
      std::snprintf(key, sizeof key, "%04d-%02d-%02d %02d", std::stoi(row[0]), std::stoi(row[1]), std::stoi(row[2]),
                    std::stoi(row[3]));
      std::vector<double> values;
      for (size_t i = 4; i < row.size(); ++i) values.push_back(std::stod(row[i]));
      lines[key] = values;
    }
    return lines;
  };
  auto lines = read(e);
  const auto before = read(s);
  if (!before.empty()) lines.erase(lines.begin(), lines.upper_bound(before.rbegin()->first));
  return lines;
}

// The period's sum of a statistic differs from the comparison run's (the
// value switched off) by at least share of it.
Comparing Differs(const std::string& table, const std::string& what, double share) {
  return [table, what, share](const RunOutput& s, const RunOutput& e, const RunOutput& o) {
    const double own = PeriodSum(s, e, table), other = PeriodSum(s, o, table);
    char name[160];
    std::snprintf(name, sizeof name, "%s (mm) off the %.6g mm without the value by (a share of it, at least %g)",
                  what.c_str(), other, share);
    const double off = (own - other) / std::fabs(other);
    return Signatures{{name, off, std::fabs(off) >= share}};
  };
}

// The largest difference of a grid of out/ between two runs over the basin.
double LargestDifference(const RunOutput& a, const RunOutput& b, const std::string& grid) {
  const GridFile x = ReadGridFile(a.dir() + "/out/" + grid), y = ReadGridFile(b.dir() + "/out/" + grid);
  if (x.ncols != a.zones().ncols || y.ncols != x.ncols) return NAN;
  double d = 0;
  for (int r = 1; r <= x.nrows; ++r)
    for (int c = 1; c <= x.ncols; ++c)
      if (a.zones().at(r, c) > -9999 && x.at(r, c) > -9999 && y.at(r, c) > -9999)
        d = std::max(d, std::fabs(x.at(r, c) - y.at(r, c)));
  return d;
}

// The largest relative difference of a step's values of a per-step table
// from the comparison run's.
double StepDifference(const RunOutput& s, const RunOutput& e, const RunOutput& o, const std::string& table) {
  const auto a = PeriodTable(s, e, table), b = PeriodTable(s, o, table);
  if (a.empty() || a.size() != b.size()) return NAN;
  double worst = 0;
  for (const auto& [date, values] : a) {
    const auto at = b.find(date);
    if (at == b.end() || at->second.size() != values.size()) return NAN;
    for (size_t i = 0; i < values.size(); ++i)
      worst = std::max(worst, std::fabs(values[i] - at->second[i]) / std::max(1e-12, std::fabs(at->second[i])));
  }
  return worst;
}

// Steps of a series that dip or peak more than 10 % against both
// neighbouring steps (values below 1e-3 are left out: a dry channel).
int Spikes(const std::vector<double>& q) {
  int n = 0;
  for (size_t t = 1; t + 1 < q.size(); ++t) {
    const double lo = std::min(q[t - 1], q[t + 1]), hi = std::max(q[t - 1], q[t + 1]);
    if (lo > 1e-3 && (q[t] < 0.9 * lo || q[t] > 1.1 * hi)) ++n;
  }
  return n;
}

// The basin outlet (the last column of the routed discharge) dips or peaks
// no more often than what flows into it: the two routed outlets above it
// and the runoff its own subbasin hands to the routing (that of the surface
// routing, or the soil's without it), each alone or all together (where
// the channels hardly delay against the step, a falling inflow and a rising
// one meet at the outlet in a step that neither of them dips or peaks in).
// The outlet's withdrawals (its abstraction, the irrigation of its subbasin
// from the river, which its fields receive one step later) are added back:
// a demand that changes from step to step shapes what they leave.
const SignatureOf kSmoothHydrograph = [](const RunOutput& s, const RunOutput& e, const Budget&) {
  const auto q = PeriodTable(s, e, "discharge.stat");
  std::map<std::string, double> withdrawn;  // m3/s
  for (const auto& [date, values] : PeriodTable(s, e, "abstraction_1.txt"))
    if (!values.empty()) withdrawn[date] += values[0];
  // Irrigation [mm per step over subbasin 3's share of the basin].
  double share = 0, km2 = 0, seconds = 0;
  for (const auto& row : Rows(e.Text("out/irr_sw.stat")))
    if (row.size() >= 7 && row[0] == "--") share = std::stod(row[6]);
  const GridFile& z = e.zones();
  for (int r = 1; r <= z.nrows; ++r)
    for (int c = 1; c <= z.ncols; ++c)
      if (z.at(r, c) > -9999) km2 += e.CellArea(r, c) * z.cellsize * z.cellsize / 1e6;
  if (q.size() >= 2) {
    auto time = [](const std::string& key) {
      std::tm t{};
      std::sscanf(key.c_str(), "%d-%d-%d %d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour);
      t.tm_year -= 1900;
      t.tm_mon -= 1;
      return static_cast<double>(timegm(&t));
    };
    seconds = time(std::next(q.begin())->first) - time(q.begin()->first);
  }
  std::string before;
  bool irrigated = false;
  if (seconds > 0)
    for (const auto& [date, values] : PeriodTable(s, e, "irr_sw.stat")) {
      if (values.size() >= 3 && !before.empty()) withdrawn[before] += values[2] * share * km2 * 1000 / seconds;
      irrigated = irrigated || (values.size() >= 3 && values[2] > 0);
      before = date;
    }
  std::vector<std::vector<double>> series(4);
  for (const auto& [date, values] : q)
    for (size_t i = 0; i < 3 && values.size() >= 3; ++i)
      series[i].push_back(values[values.size() - 3 + i] + (i == 2 && withdrawn.count(date) ? withdrawn.at(date) : 0.0));
  std::map<std::string, double> own;
  const bool routed = e.Text("control.txt").find("[SurfaceRoutingModel]\n0\n") == std::string::npos;
  for (const char* table : {"qdsr.stat", "qisr.stat", "qbsr.stat", "qgsr.stat", "qg.stat"})
    if ((std::string(table) != "qg.stat") == routed)
      for (const auto& [date, values] : PeriodTable(s, e, table))
        if (values.size() >= 4) own[date] += values[2];
  for (const auto& [date, value] : own) series[3].push_back(value);
  // All inflows together [m3/s]: the own runoff is mm per step over the
  // subbasin's cells (code 3).
  double ownKm2 = 0;
  for (int r = 1; r <= z.nrows; ++r)
    for (int c = 1; c <= z.ncols; ++c)
      if (z.at(r, c) == 3) ownKm2 += e.CellArea(r, c) * z.cellsize * z.cellsize / 1e6;
  std::vector<double> together;
  if (seconds > 0)
    for (const auto& [date, values] : q) {
      const auto o = own.find(date);
      if (values.size() < 3 || o == own.end()) continue;
      together.push_back(values[values.size() - 3] + values[values.size() - 2] + o->second * ownKm2 * 1000 / seconds);
    }
  // (The fields take the river water of a step in the next: the last
  // step's withdrawal lies beyond the period, so with river irrigation the
  // last step is left out of every series.)
  if (irrigated)
    for (auto* x : {&series[0], &series[1], &series[2], &series[3], &together})
      if (!x->empty()) x->pop_back();
  const int outlet = Spikes(series[2]),
            inflows = std::max(Spikes(series[0]) + Spikes(series[1]) + Spikes(series[3]), Spikes(together));
  return Signatures{
      {"steps that dip or peak > 10 % at the basin outlet (at most the " + std::to_string(inflows) + " of its inflows)",
       double(outlet), q.size() > 2 && outlet <= inflows}};
};

// The run equals its comparison run: every value of the routed discharge
// and of the statistics of real evapotranspiration, recharge and
// infiltration in every step of the period (1e-9 relative).
Signatures SameResults(const RunOutput& s, const RunOutput& e, const RunOutput& o) {
  double worst = 0;
  for (const char* table : {"discharge.stat", "etr.stat", "gwn.stat", "infilt.stat"})
    worst = std::max(worst, StepDifference(s, e, o, table));
  return Signatures{{"largest relative difference from the run with -9999", worst, worst <= 1e-9}};
}

}  // namespace fluvextest

namespace fluvextest {

namespace {

// The largest difference of each table and grid of run e's out/ from its
// like in run o (where: the table's line), the short run s before them;
// unmatched: the files without their like. A table's value within units
// units of its last digit printed of the other counts as equal (1e-9).
// With shift -1 or 1 only the dated grids count, each against o's of the step before or after.
struct Difference {
  double worst = 0;
  std::string where;
};
std::map<std::string, Difference> FileDifferences(const RunOutput& s, const RunOutput& e, const RunOutput& o,
                                                  std::string& unmatched, double units, bool sums = true,
                                                  int shift = 0) {
  std::map<std::string, Difference> files;
  std::set<std::string> others;  // o's files (a stem's dated grids in date order)
  if (shift != 0)
    for (const auto& f : fs::directory_iterator(o.dir() + "/out")) others.insert(f.path().filename().string());
  auto note = [&](double d, const std::string& file, const std::string& where = "") {
    Difference& x = files[file];
    if (!(d <= x.worst)) {
      x.worst = d;
      x.where = where.empty() ? file : where;
    }
  };
  // Cell by cell over the basin, relative to the largest value of the one
  // run's grid: equal, or a run sum that continues the short run's.
  auto grids = [&](const std::vector<double>& a, const std::vector<double>& b, const std::vector<double>& before,
                   const std::vector<bool>& basin, const std::string& file) {
    double scale = 1e-300, same = 0, continued = 0;
    for (size_t i = 0; i < b.size(); ++i)
      if (basin[i] && b[i] > -9999) scale = std::max(scale, std::fabs(b[i]));
    for (size_t i = 0; i < a.size(); ++i) {
      if (!basin[i]) continue;
      if ((a[i] > -9999) != (b[i] > -9999)) {
        same = continued = INFINITY;
        break;
      }
      if (a[i] <= -9999) continue;
      same = std::max(same, std::fabs(a[i] - b[i]) / scale);
      continued = before.size() == a.size() && before[i] > -9999
                      ? std::max(continued, std::fabs(a[i] - (b[i] - before[i])) / scale)
                      : INFINITY;
    }
    note(std::min(same, continued), file);
  };
  for (const auto& f : fs::directory_iterator(e.dir() + "/out")) {
    const std::string name = f.path().filename().string();
    // The storage content files are written per instance: the state they
    // hold continues in the tables and grids compared here.
    if (name.rfind("storage.ftz", 0) == 0) continue;
    // The instances' regions are the layout's.
    if (name.rfind("MPIRegions_", 0) == 0 || (!sums && name.find(".sum") != std::string::npos)) continue;
    std::string counterpart = name;
    if (shift != 0) {  // (stem_YYYYMMDD.HHH)
      const size_t n = name.size();
      const auto at = others.find(name);
      if (n < 14 || name[n - 13] != '_' || name[n - 4] != '.' || at == others.end() ||
          (shift < 0 ? at == others.begin() : std::next(at) == others.end()))
        continue;
      counterpart = *std::next(at, shift);
      if (counterpart.size() != n || counterpart.compare(0, n - 12, name, 0, n - 12) != 0) continue;
    }
    const std::string a = e.dir() + "/out/" + name, b = o.dir() + "/out/" + counterpart,
                      before = s.dir() + "/out/" + name;
    if (!fs::exists(b)) {
      unmatched += " " + name;
      continue;
    }
    std::vector<bool> basin;
    auto inBasin = [&](int nrows, int ncols, int levels) {
      basin.clear();
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c)
          for (int l = 0; l < levels; ++l)
            basin.push_back(r <= e.zones().nrows && c <= e.zones().ncols && e.zones().at(r, c) > -9999);
    };
    const GridFile x = ReadGridFile(a);
    if (x.ncols > 0) {
      const GridFile y = ReadGridFile(b), z = ReadGridFile(before);
      if (y.ncols != x.ncols || y.nrows != x.nrows) {
        unmatched += " " + name;
        continue;
      }
      inBasin(x.nrows, x.ncols, 1);
      grids(x.values, y.values, z.values, basin, name);
      continue;
    }
    const StackFile u = ReadStackFile(a);
    if (u.ncols > 0) {
      const StackFile v = ReadStackFile(b), w = ReadStackFile(before);
      if (v.ncols != u.ncols || v.nrows != u.nrows || v.levels != u.levels) {
        unmatched += " " + name;
        continue;
      }
      inBasin(u.nrows, u.ncols, u.levels + 1);
      grids(u.values, v.values, w.values, basin, name);
      continue;
    }
    // A per-step table: its lines of the period (after the short run's
    // last), column by column relative to the largest value of the column
    // in the one run. Tables print their values to a few digits: a value
    // that rounds the other way by one unit of its last digit (a sum over
    // the instances in another order) differs by that unit only.
    auto lines = [](const std::string& path) {
      std::map<std::string, std::vector<std::string>> out;
      for (const auto& row : Rows(ReadFile(path))) {
        if (row.size() < 5 || row[0].empty() || !std::isdigit(static_cast<unsigned char>(row[0][0]))) continue;
        std::vector<std::string> values;
        for (size_t i = 4; i < row.size() && row[i][0] != '#'; ++i) values.push_back(row[i]);
        out[row[0] + " " + row[1] + " " + row[2] + " " + row[3]] = values;
      }
      return out;
    };
    auto number = [](const std::string& w, double& v) {
      char* end = nullptr;
      v = std::strtod(w.c_str(), &end);
      return end != w.c_str();
    };
    // One unit of the last digit printed.
    auto unit = [](const std::string& w) {
      const size_t e = w.find_first_of("eE"), dot = w.find('.');
      const std::string mantissa = w.substr(0, e);
      const int decimals =
          dot == std::string::npos || dot > mantissa.size() ? 0 : static_cast<int>(mantissa.size() - dot - 1);
      return std::pow(10.0, (e == std::string::npos ? 0 : std::atoi(w.c_str() + e + 1)) - decimals);
    };
    auto p = lines(a), q = lines(b);
    const auto r = lines(before);
    auto key = [](const std::string& k) {
      int y = 0, m = 0, d = 0, h = 0;
      std::sscanf(k.c_str(), "%d %d %d %d", &y, &m, &d, &h);
      return std::tuple(y, m, d, h);
    };
    if (!r.empty()) {
      const auto last = std::max_element(r.begin(), r.end(), [&](const auto& x, const auto& y) {
                          return key(x.first) < key(y.first);
                        })->first;
      for (auto* t : {&p, &q})
        for (auto it = t->begin(); it != t->end();) it = key(it->first) <= key(last) ? t->erase(it) : std::next(it);
    }
    if (p.empty() && q.empty()) continue;  // no table of steps
    if (p.size() != q.size()) {
      unmatched += " " + name;
      continue;
    }
    std::vector<double> scale;
    for (const auto& [date, values] : q) {
      scale.resize(std::max(scale.size(), values.size()), 1e-300);
      for (size_t i = 0; i < values.size(); ++i) {
        double v = 0;
        if (number(values[i], v)) scale[i] = std::max(scale[i], std::fabs(v));
      }
    }
    // A column that is the residual of others (a reservoir's balance error)
    // holds their round-off: every column counts relative to a millionth of
    // the table's largest value at least.
    const double largest = scale.empty() ? 0.0 : *std::max_element(scale.begin(), scale.end());
    for (double& x : scale) x = std::max(x, 1e-6 * largest);
    for (const auto& [date, values] : p) {
      const auto at = q.find(date);
      if (at == q.end() || at->second.size() != values.size()) {
        note(INFINITY, name, name + " " + date);
        break;
      }
      for (size_t i = 0; i < values.size(); ++i) {
        double x = 0, y = 0;
        if (!number(values[i], x) || !number(at->second[i], y)) {
          if (values[i] != at->second[i]) note(INFINITY, name, name + " " + date);
          continue;
        }
        const double d = std::fabs(x - y);
        note(d <= units * std::max(unit(values[i]), unit(at->second[i])) ? std::min(d / scale[i], 1e-9) : d / scale[i],
             name, name + " " + date);
      }
    }
  }
  return files;
}

}  // namespace

Signatures EqualsOneRun(const RunOutput& s, const RunOutput& e, const RunOutput& o, bool sums) {
  std::string unmatched;
  double worst = 0;
  std::string where;
  for (const auto& [file, d] : FileDifferences(s, e, o, unmatched, 1.0001, sums))
    if (!(d.worst <= worst)) {
      worst = d.worst;
      where = d.where;
    }
  Signatures result{{"largest difference of a table or end grid from one run (" + where + ")", worst, worst <= 1e-9}};
  if (!unmatched.empty())
    result.push_back({"tables or grids without their like in one run:" + unmatched.substr(0, 120), 1, false});
  return result;
}

Signatures EqualsOneRun(const RunOutput& s, const RunOutput& e, const RunOutput& o) {
  return EqualsOneRun(s, e, o, true);
}

Signatures EqualsOneRunWithoutSums(const RunOutput& s, const RunOutput& e, const RunOutput& o) {
  return EqualsOneRun(s, e, o, false);
}

Signatures ContinuesOnOtherSubsteps(const RunOutput& s, const RunOutput&,
                                    const std::map<std::string, const RunOutput*>& runs, const std::string& oneRun,
                                    const std::string& otherSubsteps, const std::string& continued) {
  const auto one = runs.find(oneRun), other = runs.find(otherSubsteps), warm = runs.find(continued);
  if (one == runs.end() || other == runs.end() || warm == runs.end())
    return Signatures{{"comparison runs " + oneRun + ", " + otherSubsteps + " and " + continued + " run", NAN, false}};
  std::string unmatched, alsoUnmatched;
  // (The one run on other sub-steps: every digit it moves counts, a unit of
  // a table's last digit too.)
  auto own = FileDifferences(s, *warm->second, *one->second, unmatched, 1.0001);
  const auto sub = FileDifferences(s, *other->second, *one->second, alsoUnmatched, 0);
  // The file whose difference exceeds its bound most (its share of it). The
  // other sub-steps may move a threshold (the hour a soil layer fills) by a
  // step: a dated grid over its bound may match the one run's of the step
  // before or after instead (grid by grid; wrong at every shift, it fails).
  double worst = 0, ownWorst = 0, bound = 0;
  std::string where = "none";
  for (int shift : {0, -1, 1}) {
    if (shift != 0)
      for (const auto& [file, d] : FileDifferences(s, *warm->second, *one->second, unmatched, 1.0001, true, shift))
        if (d.worst < own[file].worst)
          own[file] = {d.worst, d.where + (shift < 0 ? " (step before)" : " (step after)")};
    worst = 0;
    for (const auto& [file, d] : own) {
      const auto at = sub.find(file);
      const double allowed = 100 * (at == sub.end() ? INFINITY : at->second.worst) + 1e-6;
      if (at == sub.end() || !(d.worst / allowed <= worst)) {
        worst = at == sub.end() ? INFINITY : d.worst / allowed;
        ownWorst = d.worst;
        bound = allowed;
        where = d.where;
      }
    }
    if (worst <= 1) break;
  }
  char name[400];
  std::snprintf(name, sizeof name,
                "largest difference of a table or end grid of the warm start on other sub-steps from one run, over "
                "100 times that of one run on those sub-steps plus 1e-6 (%s: %.3g of %.3g; at most 1)",
                where.c_str(), ownWorst, bound);
  Signatures result{{name, worst, worst <= 1}};
  if (!unmatched.empty())
    result.push_back({"tables or grids without their like in one run:" + unmatched.substr(0, 120), 1, false});
  return result;
}

}  // namespace fluvextest
