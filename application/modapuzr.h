// The application: one complete model run per control file. The constructor
// builds the model (set-up, interpolators, sub-models and their links), run()
// is the time loop and ClearMemory() the end of the run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/hrurecord.h"
#include "framework/memory_handling.h"
#include "framework/modelobject.h"
#include "framework/signals.h"
#include "framework/statregistry.h"
#include "framework/teilmod.h"

class DiagStream;
class defaultini;
class meteointerpol;
class RegionalSuperposition;
class precicorrclass;
class expokorrklasse;
class verdunstungsmodellklasse;
class schneemodellklasse;
class interzeptionsmodellklasse;
class siltingupclass;
class unsatzonmodellklasse;
class surfaceroutingclass;
class irrigationclass;
class gwflowclass;
class abflussmodellklasse;
class SpecialOutputClass;
class tracer_ini_class;

// Receives the wall-clock split of every time step: the benchmarks set one
// (bench/bench_model_step.cpp); the program itself never does.
class StepClock {
 public:
  virtual ~StepClock() = default;
  // A step begins; the time since the last Lap belongs to what runs between steps.
  virtual void StartStep() = 0;
  // The time since the last Lap (or StartStep) belongs to part.
  virtual void Lap(const char* part) = 0;
};

// Options of the dump files of the unsaturated zone, from the command line.
struct DumpOptions {
  char dumpMode = 0;
  char closeAfterDump = 0;
  char repairAfterDump = 0;
  int64_t maxDumpFiles = 0;
};

class ModellApplication : public memory_handling, public ApplicationSignals {
 public:
  // Builds the whole model for the control file argv[controlFileIndex].
  ModellApplication(DiagStream* diagnostics, int argc, char** argv, int controlFileIndex);
  // Runs the time loop; returns 0 after a normal end, 99 after "cancel with next interval".
  virtual int run();
  // Flushes every buffered output, writes the final states and releases every object.
  virtual void ClearMemory();
  // Busy wait of ticks of the processor-time clock; returns the last clock value read.
  virtual int64_t Delay(int64_t ticks);
  // Waits until the external program's semaphore file exists, looking every ticks; returns 1.
  virtual int WaitForFile(const std::string& name, int64_t ticks);
  // Creates the informing semaphore file under its final name in one rename.
  void WriteSemaphoreFile(const std::string& name, const std::string& content);

  bool FlagFloatingPointError() override;

  // Reads the dump options of the command line (also used by the tests).
  static DumpOptions ReadDumpOptions(DiagStream* diag, int argc, char** argv);

  GridListEntry* GetGridList() { return gridlist.data(); }
  defaultini* GetSetup() { return setup; }
  int GetInterpolatorCount() const { return static_cast<int>(interpolators.size()) - 1; }
  void SetStepClock(StepClock* c) { clock = c; }

 private:
  void Build(int argc, char** argv, int controlFileIndex);
  void GetModelSettings();
  SubModelArgs CommonArgs() const;
  void BuildInterpolators();
  void BuildSubModels(int argc, char** argv);
  void LinkSubModels();
  void CheckStepAgainstRecords();
  void BuildSpecialOutput();

  // ---- time loop ----
  // The Ctrl-C protocol at the start of a step; returns after the choice is carried out.
  void CtrlCProtocol();
  void FlushGroup();
  void Step();
  void SetDateOfEveryObject();
  void PreSpinUp();
  void ResetInputs();
  // A WARNING when the input ended the run before the end date of [model_time].
  void ReportEarlyEnd();
  // External coupling at the start of a step (wait and read) and after its end test (write and inform).
  void CouplingReadSide();
  void CouplingWriteSide();
  void Lap(const char* part) {
    if (clock) clock->Lap(part);
  }

  int initialized = 0;
  int16_t endflag = 0;
  std::string controlFileName;
  std::string workFileName;
  std::vector<GridListEntry> gridlist;
  std::vector<StatRecord> registry;

  // Settings copied from the set-up object.
  int outputControl = 0;
  int secondSwitch = 0;
  double minToIntEnd = 0;
  int numberOfRegisteredGrids = 0;
  int nextGridPosition = 0;
  int interceptionMethod = 0;
  char interceptionFirst = 0;
  int substeps = 1;
  int SpinUpSwitch = 0;
  int doTemperaturePreSpinUp = 0;
  int repeatCnt = 0;
  int tracerCount = 0;
  TracerRecord* tracerRecords = nullptr;
  std::vector<HRURecord> hrus;  // hydrologic response units of the SpinUp mode, record 0 empty
  DumpOptions dump;

  // Date of the current step; -9999 without interpolators.
  int64_t year = 0;
  int64_t month = 0;
  int64_t day = 0;
  int64_t hour = 0;
  int64_t syncHour = -1, syncDay = -1, syncMonth = -1, syncYear = -1;
  char couplingPeriod = 'I';

  defaultini* setup = nullptr;
  std::vector<meteointerpol*> interpolators;  // 1 ... n; element 0 stays empty
  RegionalSuperposition* superposition = nullptr;
  precicorrclass* precicorr = nullptr;
  expokorrklasse* expokorr = nullptr;
  verdunstungsmodellklasse* evapotranspiration = nullptr;
  schneemodellklasse* snow = nullptr;
  interzeptionsmodellklasse* interception = nullptr;
  siltingupclass* siltingup = nullptr;
  unsatzonmodellklasse* unsatzone = nullptr;
  surfaceroutingclass* surfacerouting = nullptr;
  irrigationclass* irrigation = nullptr;
  gwflowclass* groundwater = nullptr;
  abflussmodellklasse* routing = nullptr;
  SpecialOutputClass* special = nullptr;
  tracer_ini_class* tracerSettings = nullptr;
  StepClock* clock = nullptr;
};

// A copy of text with the letters a ... z turned into capitals.
std::string ToUpperCopy(const std::string& text);
