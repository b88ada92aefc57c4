// The basin's water balance through the program, shared by the balance
// matrix of hand-written cases and the generated option matrix: a case (a
// copy of the example basin with its option set-ups), its runs on the
// layouts, its budget, the signatures that show its option moved water, and
// the verdict on its residual and open issues.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/application/basinbudget.h"
#include "tests/support/examplebasin.h"

namespace fluvextest {

constexpr double kTolerance = 1e-6;  // of the period's precipitation

struct Date {
  int year, month, day;
};

using Signatures = std::vector<Signature>;
using SignatureOf = std::function<Signatures(const RunOutput&, const RunOutput&, const Budget&)>;
// Makes or changes files in a case's directory; returns what failed.
using Maker = std::function<std::string(const std::string&)>;

struct Case {
  std::string name;
  std::string description;  // printed beside the name (the generated runs' axes)
  // A directory whose files are the case's basin, copied as they are
  // (empty: the example's files with their inputs made).
  std::string source;
  Edits edits;             // on top of the budget's output edits
  BudgetModules modules;   // where the budget looks for water
  Date start{2015, 1, 1};  // the short run ends with the start day, the long one with end
  Date end{2015, 1, 8};
  bool twoInstances = true;
  std::vector<int> openIssues;  // the issues that own faults this case still shows
  // Where each fault of an open issue shows (the generated matrix): texts
  // of the verdict's lines (a residual, a signature's name, a FATAL) that it
  // explains, none for every line. A case with a line that no fault
  // explains fails; so does one whose run ended where a fault that must
  // show (not somewhere) shows in no line: its mark goes with the fix.
  struct KnownFault {
    int issue;
    std::vector<std::string> shows;
    bool somewhere = false;  // shows in some runs of its values only
    // When above 0: a residual line it explains is at most this share of
    // the input (or of the mass that entered); a larger one is another fault.
    double upTo = 0;
  };
  std::vector<KnownFault> knownFaults;
  // The river may fall short of what is withdrawn from it (otherwise the
  // withdrawals it could not give stay below the tolerance: a shortfall
  // counted as an input would balance any lost withdrawal).
  bool expectsShortfall = false;
  // The long run continues the short one from its state (a warm start on
  // the next day) instead of starting cold on the same day.
  bool warmStart = false;
  // The long run's instance count (0: that of the short run; -1: the other
  // layout's, two after one and one after two) and, when not
  // 0, the long run's sub-steps (the short run's are modules.substeps; the
  // case's edits then hold no sub-step section).
  int longInstances = 0;
  int longSubsteps = 0;
  // A warm start of hourly steps at this hour of the day restartDays after
  // the start (the short run ends with the hour before); 0: at the first
  // step of the day after the start.
  int restartHour = 0;
  int restartDays = 1;
  // Makes further input files in the case's directory.
  Maker inputs;
  // Checks the files of the long run's directory; returns what failed.
  Maker results;
  // What shows that the case's option moved water in the period, read from
  // the short and the long run and their budget (printed beside the
  // residual; a quantity that is not as the option makes it fails the case).
  SignatureOf signature;
  // A comparison run: the long run once more (a warm start's: one run from
  // the short run's start, on the short run's sub-steps), on one instance with one
  // thread, with these edits after the case's (its option switched off);
  // compared reads the short and the long run and the comparison run and
  // gives what differs as the option makes it (on both layouts).
  Edits without;
  std::function<Signatures(const RunOutput& start, const RunOutput& end, const RunOutput& without)> compared;
  // Further comparison runs of the same kind (the generated matrix: one for
  // each option value that is compared with the run without it), each named
  // for its directory.
  struct Comparison {
    std::string name;
    Edits without;
    std::function<Signatures(const RunOutput& start, const RunOutput& end, const RunOutput& without)> compared;
    // A warm start's comparison run that continues the short run from its
    // state (as the long run does, on one instance), not one run from the
    // short run's start.
    bool continues = false;
    // In place of compared: reads every comparison run of the case by its
    // name (this one's too).
    std::function<Signatures(const RunOutput& start, const RunOutput& end,
                             const std::map<std::string, const RunOutput*>& runs)>
        comparedWithOthers = nullptr;
    // When above 0, the link-th link of a chain of warm starts (hourly): it
    // continues on link + 1 instances the state of the link before (of the
    // short run), from link - 1 days after the restart for a day, or to
    // the end when no link follows.
    int link = 0;
    // Its own step length in minutes, whose edits it holds (0: the case's).
    int stepMinutes = 0;
  };
  std::vector<Comparison> comparisons;
};

// How the cases run: the first layout is one instance with one thread, the
// second two instances (one when the case cannot run on two) with threads
// threads each; at most slots fluvex instances at once (ctest runs other
// tests beside). The run directories are named prefix_<case>_<layout>.
struct RunSettings {
  std::string prefix;
  int threads = 2;
  int slots = 4;
  // Environment variables: a regular expression that selects the cases by
  // their name and description, and a directory that receives a copy of
  // every run's directory.
  std::string selectVariable;
  std::string keepVariable;
};

// Runs the cases (those the selection leaves) and judges each: its budget
// closes within kTolerance of its input on both layouts with the same terms,
// its signatures are as its options make them, its results checks pass. A
// case with open issues fails only when it closes. Returns, for each case
// run (by its name), whether each of its known faults showed: explained a
// line of the verdict (one without texts: any line).
std::map<std::string, std::vector<bool>> RunAndJudge(std::vector<Case> cases, const RunSettings& settings);

// The text of the example's model time for the run from start to end.
// Hourly steps from the start hour of the start day to the end hour of the
// end day (0: the day's first and last hour).
std::string ModelTime(const Date& start, const Date& end, int stepMinutes, int startHour = 0, int endHour = 0);
Date NextDay(const Date& d);

// Grids of the basin's geometry, written as ASCII grid files: the value of
// each cell inside the basin (zones.asc) from value(row, col, subbasin
// code); missing outside.
std::string WriteBasinGrid(const std::string& dir, const std::string& file,
                           const std::function<double(int, int, int)>& value);
// Replaces text in a file of the case's directory.
std::string EditIn(const std::string& path, const Edits& edits);
// Adds grid lines to [standard_grids] of the case's control file.
std::string AddStandardGrids(const std::string& dir, const std::string& lines);
// The program's own value of a grid at cells, each step: the grid named id
// at the cells (row, column) goes to the special output file out/points.txt,
// its columns headed symbol/column/row (the first entity turns the output
// on, later ones join the file).
std::string PointsOf(const std::string& dir, const std::string& id, const std::string& symbol,
                     const std::vector<std::pair<int, int>>& cells);
// The steps of a run's special output at a cell: the values of the
// entity with that symbol, one per line of out/points.txt.
std::vector<double> PointSeries(const RunOutput& run, const std::string& symbol, int row, int col);
// Makers one after the other; the first failure ends them.
Maker Chained(std::vector<Maker> makers);

// ---- Set-ups of options on the example (cells in rows and columns of its grid).

Edits SubSteps(int k);
// Station files of daily steps (kDaily) and of two-day steps (kTwoDays).
std::string DailyStations(const std::string& dir);
std::string TwoDayStations(const std::string& dir);
extern const Edits kDaily;
extern const Edits kTwoDays;
extern const std::pair<std::string, std::string> kSurfaceRoutingOff;
extern const Edits kSiltingUp;
// A wet week of July, the precipitation of 6 July four times what the
// stations measured, so that the soils make direct runoff; or that of
// another day of 2015 times factor.
std::string JulyStorm(const std::string& dir);
std::string StormOn(const std::string& dir, int month, int day, double factor);
extern const Edits kEnergyBalanceSlides;
std::string GlacierSection(int method);
// A glacier cell: row, column, its ice and firn code (1 ice, 2 firn) for
// static glaciers.
struct GlacierCell {
  int row, col, code;
};
// The example's glacier cells on its highest ground.
extern const std::vector<GlacierCell> kGlacierCells;
// Static glaciers on the example's glacier cells, or on the given cells.
Maker StaticGlaciers(int method);
Maker StaticGlaciersOn(int method, std::vector<GlacierCell> cells);
// Dynamic glaciers: two glaciers (subbasins 1 and 2) of the example and,
// when the snow drifts by a deposition index, a cell in subbasin 3 where
// snow piles up into a new glacier at the yearly update on the given day of
// January; or glaciers on the given cells (row, column, glacierized share,
// glacier code, debris) with a drift cell.
Maker DynamicGlaciers(int method, int updateDay, bool drift, bool emptied = false);
struct DynamicGlacierCell {
  int row, col;
  double share;
  int code;
  double debris;
};
Maker DynamicGlaciersOn(int method, int updateDay, bool drift, std::vector<DynamicGlacierCell> cells, int driftRow,
                        int driftCol);
extern const Edits kFrozenSoil;
// A lake of 3 x 3 cells in place of the reservoir of subbasin 1: at rows 14
// to 16, columns 14 to 16 (Lake), or from row, col on, the bottom of its
// highest cell raised by lift metres (LakeAt).
std::string Lake(const std::string& dir);
Maker LakeAt(int row, int col, double lift);
std::string Irrigation(const std::string& dir);
Maker RiverIrrigation(const std::string& rule);
Maker NearStationsOnly(const std::string& section);
extern const Edits kSnowCoverAtStart;
std::string SnowCoverAtStart(const std::string& dir);

// ---- Signatures: what shows that a case's option moved water in the period.

Signature Positive(const std::string& name, double v);
Signature Negative(const std::string& name, double v);
Signature NonZero(const std::string& name, double v);
// Change of a run sum grid in out/ between the two runs, mm over the basin.
double SumOver(const RunOutput& start, const RunOutput& end, const std::string& file);
SignatureOf Joined(std::vector<SignatureOf> parts);
// A statistic of the period above 0: its basin value summed over the steps.
SignatureOf PositiveSum(const std::string& name, const std::string& table);
extern const SignatureOf kSurfaceRunoff;
extern const SignatureOf kDirectRunoff;
extern const SignatureOf kInfiltrationExcess;
extern const SignatureOf kGlacierMelt;
extern const SignatureOf kSlides;
extern const SignatureOf kDrift;
extern const SignatureOf kFrozenLayers;
extern const SignatureOf kSnowmelt;
extern const SignatureOf kSiltingUpRunoff;
extern const SignatureOf kLakeWater;
// The state grids of the short run that the long run read at its warm start
// (its diagnostics name each grid it reads).
extern const SignatureOf kStateRead;
// The steps of the period (a line of the routed discharge each).
SignatureOf StepsOfThePeriod(int expected);
// Lateral groundwater flow at the end of the long run, with kGroundwaterFlows.
extern const Edits kGroundwaterFlows;
extern const SignatureOf kLateralGroundwaterFlow;

// ---- Comparisons of per-step tables and grids.

// The lines of a per-step table in out/ of the period (dated after the
// short run's last line), by their date "YYYY-MM-DD HH": the values after
// the date.
std::map<std::string, std::vector<double>> PeriodTable(const RunOutput& start, const RunOutput& end,
                                                       const std::string& table);
using Comparing = std::function<Signatures(const RunOutput& start, const RunOutput& end, const RunOutput& without)>;
// The period's sum of a statistic differs from the comparison run's (the
// value switched off) by at least share of it.
Comparing Differs(const std::string& table, const std::string& what, double share);
// The largest difference of a grid of out/ between two runs over the basin.
double LargestDifference(const RunOutput& a, const RunOutput& b, const std::string& grid);
// The largest relative difference of a step's values of a per-step table
// of run end from those of run other (both after run start).
double StepDifference(const RunOutput& start, const RunOutput& end, const RunOutput& other, const std::string& table);
// Steps of a series that dip or peak more than 10 % against both neighbours.
int Spikes(const std::vector<double>& q);
// The basin outlet dips or peaks no more often than what flows into it.
extern const SignatureOf kSmoothHydrograph;
// The results equal the comparison run's (1e-9 relative).
Signatures SameResults(const RunOutput& start, const RunOutput& end, const RunOutput& other);
// A warm start equals one run: every per-step table of the long run in the
// period and every grid and stack it writes at its end equal those of the
// comparison run over both runs' periods in one (1e-9 relative to the
// largest value of the column or grid; a run sum grid against the one run's
// less the short run's).
Signatures EqualsOneRun(const RunOutput& start, const RunOutput& end, const RunOutput& oneRun);
// Without the run sums (start, a chain's link before end, holds its part's).
Signatures EqualsOneRunWithoutSums(const RunOutput& start, const RunOutput& end, const RunOutput& oneRun);
// A warm start continued on other sub-steps than the one run's (the
// comparison run named continued) against that one run (named oneRun), each
// table and end grid within its own tolerance: a millionth (of the file's
// largest value) where the one run on those other sub-steps (named
// otherSubsteps) equals it (the sub-steps do not touch the snow, the
// leaves, the meteorology: a state that is not continued shows there), else
// 100 times that run's difference plus a millionth (the sub-steps move every
// value of the second half; a step's value right after the split, as a
// tracer's concentration in the groundwater, moved 44 times as far as that
// run's largest difference of the file, the file's largest move after the
// whole period; a unit of the last digit a table prints counts as its
// difference).
Signatures ContinuesOnOtherSubsteps(const RunOutput& start, const RunOutput& end,
                                    const std::map<std::string, const RunOutput*>& runs, const std::string& oneRun,
                                    const std::string& otherSubsteps, const std::string& continued);

}  // namespace fluvextest
