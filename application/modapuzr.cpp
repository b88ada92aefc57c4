#include "application/modapuzr.h"

#include <cstdio>

#include "application/defltuzr.h"
#include "framework/diagstream.h"

std::string ToUpperCopy(const std::string& text) {
  std::string copy = text;
  for (char& c : copy)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return copy;
}

ModellApplication::ModellApplication(DiagStream* diagnostics, int argc, char** argv, int controlFileIndex)
    : memory_handling(diagnostics) {
  modulname = "ModellApplication";
  try {
    Build(argc, argv, controlFileIndex);
  } catch (int code) {
    *diag << "FATAL: exceptions in ModellApplication::init() caught!" << "[end-entry]";
    throw;
  }
}

void ModellApplication::Build(int argc, char** argv, int controlFileIndex) {
  *diag << "file modapuzr, compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  CtrlC = 0;
  if (argc <= 1) {
    *diag << "FATAL: \nusage: fluvex <1.cntrl-file> [<2.cntrl-file> ... [n.cntrl-file]] "
             "[-diagfile:<diagnostics_file> [-diaglevel:<FATAL|ERROR|WARNING|INFO|DEBUG>]] "
             "[-dumpmode[:<maxdumpfiles>]] [-closeAfterDump|-repairAfterDump]\n"
          << "[end-entry]";
    throw 2;
  }
  controlFileName = argv[controlFileIndex];
  // Control-file names are held in 1201-byte buffers throughout the model.
  if (controlFileName.size() > 1200) {
    *diag << "FATAL: the control file name is longer than 1200 characters: " << controlFileName.substr(0, 80).c_str()
          << "..." << "[end-entry]";
    throw 2;
  }
  gridlist.assign(kGridListSize, GridListEntry{});
  registry.assign(kRegistryCapacity + 1, StatisticsRegistryRecord{});

  int error = 0;
  setup = new defaultini(error, diag, controlFileName, registry.data(), kRegistryCapacity, 2, gridlist.data());
  if (error != 0) throw error;
  bool done = false;
  while (!done) setup->InitStep(done);
  GetModelSettings();
  setup->SetInitialized(1);
  nextGridPosition = numberOfRegisteredGrids + 2;

  *diag << "end of initialization reached..." << "[end-entry]";
  initialized = 1;
}

void ModellApplication::GetModelSettings() {
  workFileName = setup->WorkFileName();
  outputControl = setup->OutputControl();
  secondSwitch = setup->SecondSwitch() > 1 ? 1 : setup->SecondSwitch();
  minToIntEnd = setup->MinToIntEndMinutes() < 0 ? 0 : setup->MinToIntEndMinutes();
  numberOfRegisteredGrids = setup->StandardGridCount() + setup->VariableGridCount();
}

int ModellApplication::run() {
  *diag << "WARNING: the time loop is not available in this build; the run ends after the set-up"
        << "[end-entry]";
  return 0;
}

void ModellApplication::ClearMemory() {
  if (setup) {
    setup->FreeMemory();
    delete setup;
    setup = nullptr;
  }
}
