// The time loop with its Ctrl-C protocol, and the SpinUp.
#include <mpi.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "application/defltuzr.h"
#include "application/modapuzr.h"
#include "application/tracerini.h"
#include "framework/diagstream.h"
#include "framework/specialoutput.h"
#include "framework/statisticpasses.h"
#include "meteo/meteointerpol.h"
#include "meteo/precicorr.h"
#include "meteo/superposition.h"
#include "radiation_et/etpetr.h"
#include "radiation_et/expokorr.h"
#include "radiation_et/interzep.h"
#include "routing/abfluss.h"
#include "routing/irrigate.h"
#include "snow/snowmod.h"
#include "soil/gwflow.h"
#include "soil/unsatzon.h"
#include "surface/siltingup.h"
#include "surface/surfrout.h"

namespace {

// The choice of instance 0 when the Ctrl-C menu gets no answer; above every
// menu choice, so that it survives the maximum over the instances.
constexpr int kNoAnswer = 100;

// MPI_MAX of the word over all instances, known to every instance.
int CombineOverInstances(int word) {
  int combined = word;
  MPI_Reduce(&word, &combined, 1, MPI_INT, MPI_MAX, 0, MPI_COMM_WORLD);
  MPI_Bcast(&combined, 1, MPI_INT, 0, MPI_COMM_WORLD);
  return combined;
}

}  // namespace

void ModellApplication::CtrlCProtocol() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  const int combined = CombineOverInstances(CtrlC);
  CtrlC = 0;
  int choice = 0;
  if (rank == 0 && combined == 1 && !isatty(STDIN_FILENO)) {
    // Without a terminal (a run in the background, under a batch system or
    // mpirun) nobody answers: a pipe that stays open would wait for ever.
    // The run ends as by SIGTERM.
    choice = kNoAnswer;
    *diag << "FATAL: Ctrl-C: no answer can be read from the standard input (it is not a terminal, as for a run in "
             "the background or under a batch system), so the run is ended; the statistics are on disk up to the "
             "last report interval"
          << "[end-entry]";
  } else if (rank == 0 && combined == 1) {
    *diag << "SKIP: \n\nCtrl-C: cancel the model? \n0 = no (continue)\n1 = cancel with next interval (writing all "
             "grids and buffers)\n2 = cancel now without saving buffers!\n3 = flush buffers and go on\n\nchoose one "
             "of the above options: "
          << "[end-entry]";
    char c = 0;
    // One character, leading white space skipped; a non-digit is 0. Without
    // any answer (standard input at its end or unreadable, as for a run in
    // the background) nobody can choose: the run ends as by SIGTERM.
    const int read = std::scanf(" %c", &c);
    if (read == 1 && c >= '0' && c <= '9') choice = c - '0';
    if (read != 1) {
      choice = kNoAnswer;
      *diag << "FATAL: Ctrl-C: no answer can be read from the standard input (it is at its end or cannot be "
               "read), so the run is ended; the statistics are on disk up to the last report interval"
            << "[end-entry]";
    }
  }
  choice = CombineOverInstances(choice);
  if (choice == kNoAnswer) EndBySignal(SIGINT);
  CtrlC = choice;
  if (choice <= 0) {
    CtrlC = 0;
    // The handler ignores further signals until it is armed again.
    if (combined == 1) RearmCtrlCHandler();
    return;
  }
  switch (choice) {
    case 1:
      for (size_t i = 1; i < interpolators.size(); ++i) interpolators[i]->SetEndDateToCurrent();
      if (interpolators.size() > 1) {
        interpolators[1]->GetDate(hour, day, month, year);
        SetDateOfEveryObject();
      }
      CtrlC = 99;
      RearmCtrlCHandler();
      break;
    case 2:
      *diag << "WARNING: program manually killed by pressing Ctrl-C and selecting 2!"
            << "[end-entry]";
      delete diag;
      diag = nullptr;
      std::exit(98);
    case 3:
      FlushGroup();
      CtrlC = 0;
      RearmCtrlCHandler();
      break;
    default:
      CtrlC = 0;
      RearmCtrlCHandler();
      break;
  }
}

void ModellApplication::SetDateOfEveryObject() {
  modelobject* const objects[] = {expokorr,   superposition, evapotranspiration, snow,        interception, siltingup,
                                  irrigation, unsatzone,     surfacerouting,     groundwater, routing,      setup,
                                  special};
  for (modelobject* o : objects)
    if (o) o->SetDate(year, month, day, hour);
}

void ModellApplication::FlushGroup() {
  for (size_t i = 1; i < interpolators.size(); ++i) interpolators[i]->WriteStatistics();
  superposition->WriteStatistics();
  evapotranspiration->WriteStatistics();
  snow->WriteStatistics();
  interception->WriteStatistics();
  siltingup->WriteStatistics();
  irrigation->WriteStatistics();
  unsatzone->WriteStatFiles();
  surfacerouting->WriteStatistics();
  groundwater->WriteStatistics();
  routing->FlushOutputs();
  setup->FlushGridStatistics();
  special->Flush();
}

int ModellApplication::run() {
  try {
    int repetition = 1;
    if (SpinUpSwitch > 0) {
      if (doTemperaturePreSpinUp > 0) PreSpinUp();
      if (repeatCnt <= 0) {
        endflag = 1;
        return CtrlC;
      }
    }
    if (endflag) return CtrlC;
    for (;;) {
      CtrlCProtocol();
      Step();
      // What is computed up to the end of a report interval is on disk, also
      // when the run is ended by a signal later (mpirun passes Ctrl-C on as
      // SIGTERM, which leaves no time for the Ctrl-C menu).
      // Routine: the files written say nothing at level DEBUG (the end of
      // the run reports them).
      if (outputControl > 0 && hour % outputControl == 0) {
        const struct Quiet {
          DiagStream* d;
          ~Quiet() { d->QuietDebug(false); }
        } quiet{diag};
        diag->QuietDebug(true);
        FlushGroup();
      }
      if (SpinUpSwitch == 1 && endflag == 1 && repeatCnt > repetition) {
        *diag << "INFO: SpinUp reached end of defined time range for run #" << repetition
              << ", resetting inputs and starting again now (repetition " << repetition + 1 << " of " << repeatCnt
              << ")"
              << "[end-entry]";
        endflag = 0;
        ResetInputs();
        ++repetition;
      }
      if (endflag != 0) {
        if (CtrlC != 99) ReportEarlyEnd();
        return CtrlC;
      }
    }
  } catch (int code) {
    *diag << "FATAL: Exception in Modellapplication::run() caught!"
          << "[end-entry]";
    throw;
  }
}

void ModellApplication::ReportEarlyEnd() {
  // The run ends with the first input whose records run out; a run that
  // stops before its end date says so, or it would look complete.
  for (size_t i = 1; i < interpolators.size(); ++i) {
    const std::string& file = interpolators[i]->DataEndedIn();
    if (file.empty()) continue;
    auto date = [](int64_t y, int64_t m, int64_t d, int64_t h) {
      return std::to_string(d) + "." + std::to_string(m) + "." + std::to_string(y) + " " + std::to_string(h) + " h";
    };
    *diag << ("WARNING: the run stopped early, after the step of " + date(year, month, day, hour) +
              ", before the end " + date(setup->EndYear(), setup->EndMonth(), setup->EndDay(), setup->EndHour()) +
              " given in [model_time] of " + ControlFile::SourceNameOf(workFileName) + ": the data of " +
              interpolators[i]->GetVariableName() + " in " + file +
              " end there; the results cover the time up to that step")
                 .c_str()
          << "[end-entry]";
    return;
  }
}

void ModellApplication::ResetInputs() {
  for (size_t i = 1; i < interpolators.size(); ++i) {
    interpolators[i]->ResetToStart();
    interpolators[i]->ReadStepData();
  }
}

void ModellApplication::Step() {
  if (clock) clock->StartStep();
  const int n = static_cast<int>(interpolators.size()) - 1;
  if (n >= 1)
    interpolators[1]->GetDate(hour, day, month, year);
  else
    year = month = day = hour = -9999;
  CouplingReadSide();
  Lap("coupling");

  for (int i = 1; i <= n; ++i)
    if (interpolators[i]->GetMethod() == 10 || interpolators[i]->GetMethod() == 11) interpolators[i]->Regression(0);
  // The correction works on the station values, or after the superposition on the grid.
  const bool superposing = superposition->GetFlowControl() != 0;
  if (!superposing) precicorr->CorrectStationData();
  // The variables' statistics are filled side by side, each in the order of its cells.
  for (int i = 1; i <= n; ++i) interpolators[i]->InterpolateGrid(hour, day, month, year);
  // Only the variables whose statistics write a file take part.
  std::vector<int> filledStatistics;
  for (int i = 1; i <= n; ++i)
    if (interpolators[i]->HasActiveStatistics()) filledStatistics.push_back(i);
  StatisticsSideBySide(static_cast<int>(filledStatistics.size()), [&](int first, int last) {
    for (int k = first; k < last; ++k) interpolators[filledStatistics[k]]->AddStatisticCells();
  });
  for (int i = 1; i <= n; ++i) interpolators[i]->ReduceStatistics(hour, day, month, year);
  superposition->run(hour, day, month, year);
  if (superposing || precicorr->GetGridMode()) precicorr->CorrectGrid();

  const int stepMinutes = evapotranspiration->GetFlowControl() == 0 ? 1440 : evapotranspiration->GetTimeInterval();
  setup->UpdatePeriodicGrids(hour, day, month, year);
  setup->UpdateActualParameters(hour, day, month, year, stepMinutes);
  for (int i = 1; i <= n; ++i) interpolators[i]->WriteResultGrids();
  superposition->WriteGrids();
  Lap("meteorological input");

  expokorr->run(hour, day, month, year);
  Lap("radiation correction");
  evapotranspiration->PotentialEvapotranspiration(hour, day, month, year);
  Lap("evapotranspiration");
  irrigation->run(hour, day, month, year);
  Lap("irrigation");
  evapotranspiration->SnowEvaporationOnGlacier(hour, day, month, year);
  Lap("evapotranspiration");
  if (interceptionFirst) {
    interception->run(hour, day, month, year);
    Lap("interception");
    evapotranspiration->SnowEvaporationUnderLeaves(hour, day, month, year);
    Lap("evapotranspiration");
    snow->run(hour, day, month, year);
    Lap("snow");
  } else {
    snow->run(hour, day, month, year);
    Lap("snow");
    interception->run(hour, day, month, year);
    Lap("interception");
  }
  siltingup->run(hour, day, month, year);
  Lap("silting-up");
  unsatzone->StartStep(hour, day, month, year);
  Lap("unsaturated zone");
  surfacerouting->StartStep(hour, day, month, year);
  Lap("surface routing");
  evapotranspiration->RealEvapotranspiration(hour, day, month, year);
  Lap("evapotranspiration");
  groundwater->StartStep(hour, day, month, year);
  Lap("groundwater");

  const int subSteps = unsatzone->GetSubSteps();
  for (int s = 1; s <= subSteps; ++s) {
    unsatzone->run(hour, day, month, year);
    Lap("unsaturated zone");
    surfacerouting->run(hour, day, month, year);
    Lap("surface routing");
    evapotranspiration->SubStepHook(hour, day, month, year);
    Lap("evapotranspiration");
    groundwater->run(hour, day, month, year);
    Lap("groundwater");
    special->Collect(hour, day, month, year, true, s);
    Lap("statistics and output");
  }

  unsatzone->ComputeDrainablePoreVolume();
  unsatzone->RouteSubbasinRunoff(hour, day, month, year);
  Lap("unsaturated zone");
  surfacerouting->RouteToOutlets(hour, day, month, year);
  Lap("surface routing");
  evapotranspiration->AccumulateZoneStatistics(hour, day, month, year);
  Lap("evapotranspiration");
  groundwater->WriteGrids(hour, day, month, year);
  Lap("groundwater");
  routing->run(hour, day, month, year);
  Lap("discharge routing");
  // The yearly glacier update changes the glacierized shares once every
  // model of the step has used them; the grids that it changes are written
  // after it.
  snow->FinishStep();
  Lap("snow");
  interception->WriteStepGrids();
  Lap("interception");

  setup->WriteStandardGridStatistics(hour, day, month, year);
  setup->WriteVariableGridStatistics(hour, day, month, year);
  setup->StartGridStatisticsStep();
  setup->AddGridStatistics();
  setup->ReduceGridStatistics(hour, day, month, year);
  special->Collect(hour, day, month, year, false, 0);
  Lap("statistics and output");

  if (n < 1) {
    endflag = 1;
  } else {
    for (int i = 1; i <= n; ++i) interpolators[i]->ReadStepData();
    endflag = 1;
    for (int i = 1; i <= n; ++i)
      if (interpolators[i]->EndReached() == 0) endflag = 0;
    // Inputs that end at the run's end date end together; one that ends
    // before the others is the file that is short (cut off or a last record
    // cut short), not the files that go on.
    if (endflag == 0)
      for (int i = 1; i <= n; ++i) {
        if (interpolators[i]->EndReached() == 0) continue;
        int64_t h = 0, d = 0, m = 0, y = 0;
        interpolators[i]->GetDate(h, d, m, y);
        *diag << ("FATAL: error in date columns of " + interpolators[i]->GetVariableName() + ": its input file " +
                  interpolators[i]->InputFileName() + " ends after the record of " + std::to_string(d) + "." +
                  std::to_string(m) + "." + std::to_string(y) + " " + std::to_string(h) +
                  " h, before the end of the run, while the other inputs go on")
                     .c_str()
              << "[end-entry]";
        throw 52;
      }
  }
  Lap("meteorological input");
  CouplingWriteSide();
  Lap("coupling");
}

void ModellApplication::PreSpinUp() {
  if (interpolators.size() < 2 || interpolators[1]->GetVariableName() != "temperature") {
    *diag << "FATAL: temperature interpolation not found. This is required for pre-SpinUp! (no regions should be "
             "used for pre-SpinUp)"
          << "[end-entry]";
    throw 1035;
  }
  meteointerpol* temperature = interpolators[1];
  const double stepMinutes = evapotranspiration->GetFlowControl() == 0 ? 1440 : evapotranspiration->GetTimeInterval();
  while (!endflag) {
    CtrlCProtocol();
    temperature->GetDate(hour, day, month, year);
    if (temperature->GetMethod() == 10 || temperature->GetMethod() == 11) temperature->Regression(0);
    if (hour + stepMinutes / 60.0 == 24.0)
      *diag << "temperature pre-SpinUp " << day << "." << month << "." << year << "\n " << hour << ". h "
            << "[end-entry]";
    temperature->Interpolate(hour, day, month, year);
    temperature->WriteResultGrids();
    unsatzone->PreSpinUpStep(hour, day, month, year);
    temperature->ReadStepData();
    if (temperature->EndReached() != 0) endflag = 1;
  }
  *diag << "INFO: pre-SpinUp reached end of defined time range. Soil-temperatures are going to be set now."
        << "[end-entry]";
  unsatzone->SetPreSpinUpSoilTemperature();
  endflag = 0;
  temperature->ResetToStart();
  temperature->ReadStepData();
}

void ModellApplication::ClearMemory() {
  try {
    if (diag)
      *diag << "reached end of simulation sucessfully"
            << "[end-entry]";
    const int n = static_cast<int>(interpolators.size()) - 1;
    teilmodellklasse* const models[] = {evapotranspiration, snow,      interception, irrigation, surfacerouting,
                                        unsatzone,          siltingup, groundwater,  routing,    expokorr};
    if (initialized != 0) {
      for (int i = 1; i <= n; ++i)
        if (interpolators[i]) interpolators[i]->WriteStatistics();
      if (superposition) superposition->WriteStatistics();
      if (evapotranspiration) evapotranspiration->WriteStatistics();
      if (snow) snow->WriteStatistics();
      if (interception) interception->WriteStatistics();
      if (irrigation) irrigation->WriteStatistics();
      if (siltingup) siltingup->WriteStatistics();
      if (unsatzone) unsatzone->WriteStatFiles();
      if (surfacerouting) surfacerouting->WriteStatistics();
      if (groundwater) groundwater->WriteStatistics();
      if (routing) routing->FlushOutputs();
      if (special) special->Flush();
      if (setup) setup->FlushGridStatistics();
    } else {
      for (int i = 1; i <= n; ++i)
        if (interpolators[i]) interpolators[i]->SetInitialized(0);
      if (superposition) superposition->SetInitialized(0);
      if (precicorr) precicorr->SetInitialized(0);
      for (teilmodellklasse* m : models)
        if (m) m->SetInitialized(0);
      if (tracerSettings) tracerSettings->SetInitialized(0);
      if (special) special->SetInitialized(0);
      if (setup) setup->SetInitialized(0);
    }
    for (int i = n; i >= 1; --i)
      if (interpolators[i]) interpolators[i]->FreeMemory();

    teilmodellklasse* const tracerOwners[] = {snow, interception, siltingup, irrigation, groundwater};
    for (teilmodellklasse* m : tracerOwners)
      if (m) m->FreeTracerArrays();

    // The storage content file: the first active writer creates it, the others append.
    bool written = routing && routing->GetFlowControl() != 0;
    if (routing) routing->FreeMemory();
    if (unsatzone) {
      unsatzone->Finish(written);
      if (unsatzone->GetFlowControl() != 0) written = true;
    }
    if (siltingup) siltingup->FreeMemory();
    if (surfacerouting) surfacerouting->ReleaseMemory(written);

    modelobject* const released[] = {interception,   irrigation,    snow,      evapotranspiration,
                                     expokorr,       superposition, precicorr, groundwater,
                                     tracerSettings, special,       setup};
    for (modelobject* o : released)
      if (o) o->FreeMemory();

    gridlist.clear();
    if (diag) {
      *diag << "o.k.\n"
            << "[end-entry]";
      *diag << "deleting modules..."
            << "[end-entry]";
    }
    for (int i = n; i >= 1; --i) {
      delete interpolators[i];
      interpolators[i] = nullptr;
    }
    interpolators.clear();
    delete tracerSettings;
    tracerSettings = nullptr;
    delete routing;
    routing = nullptr;
    delete groundwater;
    groundwater = nullptr;
    delete irrigation;
    irrigation = nullptr;
    delete siltingup;
    siltingup = nullptr;
    delete surfacerouting;
    surfacerouting = nullptr;
    delete unsatzone;
    unsatzone = nullptr;
    delete interception;
    interception = nullptr;
    delete snow;
    snow = nullptr;
    delete evapotranspiration;
    evapotranspiration = nullptr;
    delete expokorr;
    expokorr = nullptr;
    delete superposition;
    superposition = nullptr;
    delete precicorr;
    precicorr = nullptr;
    delete special;
    special = nullptr;
    delete setup;
    setup = nullptr;
    registry.clear();
  } catch (int code) {
    if (diag)
      *diag << "FATAL: Exception in Modellapplication::ClearMemory() caught!"
            << "[end-entry]";
    throw;
  }
}
