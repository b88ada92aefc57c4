// Building the model: set-up, interpolators, sub-models and their links.
#include "application/modapuzr.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "application/defltuzr.h"
#include "application/meteostatistics.h"
#include "application/tracerini.h"
#include "framework/diagstream.h"
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
    *diag << "FATAL: exceptions in ModellApplication::init() caught!"
          << "[end-entry]";
    throw;
  }
}

bool ModellApplication::FlagFloatingPointError() {
  if (unsatzone && unsatzone->GetFPEState() != 0) return false;
  teilmodellklasse* const flagged[8] = {expokorr,  evapotranspiration, snow,        interception,
                                        unsatzone, irrigation,         groundwater, routing};
  for (teilmodellklasse* m : flagged)
    if (m) m->SetFPEState(1);
  return true;
}

void ModellApplication::Build(int argc, char** argv, int controlFileIndex) {
  *diag << "file modapuzr, compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  CtrlC = 0;
  endflag = 0;
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
          << "..."
          << "[end-entry]";
    throw 2;
  }
  gridlist.assign(kGridListSize, GridListEntry{});
  registry.assign(kStatRegistryRecords, StatRecord{});

  int error = 0;
  setup = new defaultini(error, diag, controlFileName, registry.data(), kStatRegistryCapacity, 2, gridlist.data());
  if (error != 0) throw error;
  bool done = false;
  while (!done) setup->InitStep(done);
  setup->CreateGridStatistics();
  GetModelSettings();
  setup->SetInitialized(1);
  nextGridPosition = numberOfRegisteredGrids + 2;
  setup->CreateHRUs(SpinUpSwitch, doTemperaturePreSpinUp, repeatCnt, hrus);

  BuildInterpolators();
  int tracerError = 0;
  tracerSettings =
      new tracer_ini_class(tracerError, diag, workFileName, tracerCount, tracerRecords, setup->ObjectArgs());
  if (tracerError != 0) throw tracerError;
  tracerSettings->SetInitialized(1);
  // The regional superposition throws its own failures; the correction reports through error.
  superposition =
      new RegionalSuperposition(diag, workFileName, CommonArgs(), setup->NumberOfRegions(), setup->RegionCodeTable(),
                                setup->MaxRegionCode(), registry.data(), kStatRegistryCapacity);
  {
    PreciCorrArgs correction;
    correction.model = setup->ObjectArgs();
    correction.controlFileName = workFileName;
    correction.gridList = gridlist.data();
    correction.ncols = setup->Columns();
    correction.nrows = setup->Rows();
    correction.firstRow = setup->FirstRow();
    correction.lastRow = setup->LastRow();
    correction.xll = setup->XllCorner();
    correction.yll = setup->YllCorner();
    correction.cellSize = setup->CellSize();
    correction.nodata = setup->Nodata();
    correction.dataColumns = setup->DataColumns();
    correction.interpolators = interpolators.data();
    correction.interpolatorCount = static_cast<int>(interpolators.size()) - 1;
    correction.regionCount = setup->NumberOfRegions();
    int error = 0;
    precicorr = new precicorrclass(error, diag, correction);
    if (error != 0) throw error;
    precicorr->SetGridMaximum(setup->GetMaxElevation());
    precicorr->SetInitialized(1);
  }
  BuildSubModels(argc, argv);
  CheckStepAgainstRecords();
  LinkSubModels();
  BuildSpecialOutput();
  setup->LinkExternalEntities(registry.data(), kStatRegistryCapacity);

  *diag << "end of initialization reached..."
        << "[end-entry]";
  initialized = 1;
}

void ModellApplication::GetModelSettings() {
  workFileName = setup->WorkFileName();
  outputControl = setup->OutputControl();
  secondSwitch = setup->SecondSwitch() > 1 ? 1 : setup->SecondSwitch();
  minToIntEnd = setup->MinToIntEndMinutes() < 0 ? 0 : setup->MinToIntEndMinutes();
  numberOfRegisteredGrids = setup->StandardGridCount() + setup->VariableGridCount();
}

SubModelArgs ModellApplication::CommonArgs() const {
  SubModelArgs a;
  a.reportInterval = outputControl;
  a.latitude = setup->Latitude();
  a.longitude = setup->Longitude();
  a.meridian = setup->Meridian();
  a.minToIntEnd = minToIntEnd;
  a.xllcorner = setup->XllCorner();
  a.yllcorner = setup->YllCorner();
  a.cellsize = setup->CellSize();
  a.nodata = setup->Nodata();
  a.outputListCount = setup->OutputListCount();
  a.outputList = setup->OutputListCount() > 0 ? setup->OutputListData() : nullptr;
  a.gridlist = const_cast<GridListEntry*>(gridlist.data());
  a.zoneIndex = setup->ZoneCodeTable();
  a.zoneRecords = setup->ZoneRecords();
  a.dataColumns = setup->DataColumns();
  a.zoneCount = setup->NumberOfZones();
  a.maxZoneCode = setup->MaxZoneCode();
  a.ncols = setup->Columns();
  a.nrows = setup->Rows();
  a.firstRow = setup->FirstRow();
  a.lastRow = setup->LastRow();
  a.endHour = setup->EndHour();
  a.endDay = setup->EndDay();
  a.endMonth = setup->EndMonth();
  a.endYear = setup->EndYear();
  a.timeShift = setup->TimeShift();
  a.landuseTable = setup->LanduseTable();
  a.soilTable = setup->SoilTable();
  a.multilayerTable = setup->MultilayerTable();
  a.object = setup->ObjectArgs();
  return a;
}

void ModellApplication::BuildInterpolators() {
  const int n = setup->MeteoCount();
  interpolators.assign(static_cast<size_t>(n) + 1, nullptr);
  // Every interpolated grid is summarised per zone of the zone grid, weighted by the relative cell area.
  ZonalMeteoStatistics::Settings statistics;
  statistics.diag = diag;
  statistics.registry = registry.data();
  statistics.registryCapacity = kStatRegistryCapacity;
  const int area = setup->FindGrid("RelCellArea", true);
  statistics.relCellArea = area > 0 ? gridlist[area].grid : nullptr;
  statistics.rows = setup->Rows();
  statistics.columns = setup->Columns();
  statistics.zoneTemplate = setup->ZoneRecords();
  statistics.zoneCount = setup->NumberOfZones();
  statistics.outputDirectory = setup->GetDefaultOutputDirectory();
  statistics.listCount = setup->OutputListCount();
  statistics.listCodes = setup->OutputListData();
  for (int i = 1; i <= n; ++i) {
    nextGridPosition = 0;
    for (int p = 1; p < kGridListMax; ++p) {
      if (gridlist[p].shortname.empty() && !gridlist[p].registered) {
        nextGridPosition = p;
        break;
      }
    }
    if (nextGridPosition == 0) {
      *diag << "FATAL: no more free grids in memeory, (max. " << kGridListMax << ")!"
            << "[end-entry]";
      throw 12;
    }
    MeteoInterpolArgs args;
    args.model = setup->ObjectArgs();
    args.controlFileName = workFileName;
    args.variableName = setup->MeteoNames()[i];
    args.gridList = gridlist.data();
    args.resultGridIndex = nextGridPosition;
    args.ncols = setup->Columns();
    args.nrows = setup->Rows();
    args.firstRow = setup->FirstRow();
    args.lastRow = setup->LastRow();
    args.xll = setup->XllCorner();
    args.yll = setup->YllCorner();
    args.cellSize = setup->CellSize();
    args.nodata = setup->Nodata();
    args.dataColumns = setup->DataColumns();
    args.start = MeteoDate{setup->StartHour(), setup->StartDay(), setup->StartMonth(), setup->StartYear()};
    args.end = MeteoDate{setup->EndHour(), setup->EndDay(), setup->EndMonth(), setup->EndYear()};
    args.zoneCodeTable = setup->ZoneCodeTable();
    args.highestZoneCode = setup->MaxZoneCode();
    args.statisticsFactory = ZonalMeteoStatistics::Factory(statistics);
    // The members of a hydrologic response unit take its master's values,
    // as every module takes the master's state for them.
    if (hrus.size() > 1)
      for (const HRURecord& h : hrus) args.hruMasters.push_back(HruMasterCell{h.row, h.column});
    int error = 0;
    try {
      interpolators[i] = new meteointerpol(error, diag, args);
    } catch (int code) {
      error = code;
    }
    if (error != 0) throw error;
    interpolators[i]->SetCheckFlag(secondSwitch);
    // The progress lines follow the run's report interval (below 1: every
    // step, as for the sub-models); the time step is set once the
    // evapotranspiration model has read it.
    interpolators[i]->SetReportInterval(std::max(1, outputControl));
    interpolators[i]->SetMinToIntEnd(minToIntEnd / 60.0);
    if (args.variableName.find("irrigation_amounts") != std::string::npos) interpolators[i]->SetCheckFlag(0);
    interpolators[i]->SetInitialized(1);
  }
}

DumpOptions ModellApplication::ReadDumpOptions(DiagStream* diag, int argc, char** argv) {
  DumpOptions options;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    // Whole arguments only, as the program's entry takes them.
    if (std::strcmp(argument, "-dumpmode") == 0 || std::strncmp(argument, "-dumpmode:", 10) == 0) {
      options.dumpMode = 1;
      const char* colon = std::strchr(argument, ':');
      if (!colon) continue;
      const char* text = colon + 1;
      if (*text != '\0') {
        errno = 0;
        char* end = nullptr;
        const long value = std::strtol(text, &end, 10);
        if (errno == ERANGE || (errno != 0 && value == 0) || end == text) {
          *diag << "FATAL: Error (C-lib errno: " << errno
                << ") in argument list: invalid number of max dumpfiles given in argument " << argument
                << ", stopped at " << end << " LONG_MAX is defined as" << LONG_MAX << "[end-entry]";
          throw 1061;
        }
        options.maxDumpFiles = value;
      }
      *diag << "INFO: max dumpfiles given in argument " << argument << " read as " << options.maxDumpFiles << " (C++ "
            << static_cast<long>(__cplusplus) << ")"
            << "[end-entry]";
    } else if (std::strcmp(argument, "-closeAfterDump") == 0) {
      options.closeAfterDump = 1;
    } else if (std::strcmp(argument, "-repairAfterDump") == 0) {
      options.repairAfterDump = 1;
    }
  }
  return options;
}

void ModellApplication::BuildSubModels(int argc, char** argv) {
  const SubModelArgs common = CommonArgs();
  StatRecord* reg = registry.data();
  const int cap = kStatRegistryCapacity;
  int error = 0;
  // Every constructor reports through error; a base that fails to read its
  // section head throws its code instead. Both end the construction.
  auto check = [&](teilmodellklasse* object, bool markInitialized) {
    if (error != 0) throw error;
    if (markInitialized) object->SetInitialized(1);
  };

  expokorr = new expokorrklasse(error, diag, reg, cap, workFileName, common);
  check(expokorr, true);
  evapotranspiration = new verdunstungsmodellklasse(error, diag, reg, cap, workFileName, common);
  check(evapotranspiration, false);
  // The model's step, as the time loop takes it.
  const int stepMinutes = evapotranspiration->GetFlowControl() == 0 ? 1440 : evapotranspiration->GetTimeInterval();
  for (size_t i = 1; i < interpolators.size(); ++i) interpolators[i]->SetTimeStep(stepMinutes / 60.0);
  evapotranspiration->SetRadiationCorrectionGrid(expokorr->GetRadiationCorrectionGrid());
  snow = new schneemodellklasse(error, diag, reg, cap, workFileName, common);
  check(snow, false);
  snow->SetRadiationCorrectionGrid(expokorr->GetRadiationCorrectionGrid());
  evapotranspiration->SetSolidSnowStorageGrid(snow->GetSolidSnowStorageGrid());
  evapotranspiration->SetSnowMethod(snow->GetMethod());
  evapotranspiration->SetInitialized(1);

  interception = new interzeptionsmodellklasse(error, diag, reg, cap, workFileName, common);
  check(interception, false);
  interceptionMethod = interception->GetFlowControl() > 0 ? interception->GetMethod() : 0;
  interceptionFirst = (interception->GetFlowControl() > 0 && interceptionMethod > 10) ? 1 : 0;
  snow->SetPrecipitationSource(interceptionFirst);
  // The snow and the wet leaves share a layer's demand in the order the
  // water passes them: the interception before the snow (the canopy above
  // it) evaporates first and the snow serves what the leaves leave; after
  // the snow (the leaves take its outflow) the snow serves first.
  evapotranspiration->SetLeavesFirst(interceptionFirst != 0);
  snow->DeferStepEnd();
  interception->DeferStepGrids();

  siltingup = new siltingupclass(error, diag, reg, cap, workFileName, common);
  check(siltingup, false);
  siltingup->SetPrecipitationSource(interceptionFirst);

  substeps = setup->ReadSubSteps();
  unsatzone =
      new unsatzonmodellklasse(error, diag, reg, cap, workFileName, common, setup->GetIrrigationTable(), substeps);
  check(unsatzone, false);
  unsatzone->ComputeDrainablePoreVolume();
  unsatzone->SelectInfiltrationInput(interceptionFirst);
  dump = ReadDumpOptions(diag, argc, argv);
  unsatzone->SetDumpOptions(dump.dumpMode, dump.closeAfterDump, dump.repairAfterDump, dump.maxDumpFiles);
  evapotranspiration->InitLakes("[lake_model]");
  interception->SetOpenWater(evapotranspiration->GetLakeGrid(), evapotranspiration->GetPondingGrid());
  snow->InitLakes("[lake_model]");

  surfacerouting = new surfaceroutingclass(error, diag, reg, cap, workFileName, common, substeps);
  check(surfacerouting, false);

  // Irrigation, groundwater and routing work with the zones of the soil model.
  SubModelArgs soilZones = common;
  soilZones.zoneIndex = unsatzone->GetZoneIndex();
  soilZones.zoneRecords = unsatzone->GetZoneRecords();
  soilZones.zoneCount = unsatzone->GetZoneCount();
  soilZones.maxZoneCode = unsatzone->GetMaxZoneCode();
  irrigation = new irrigationclass(error, diag, reg, cap, workFileName, soilZones, setup->GetIrrigationTable());
  check(irrigation, false);
  groundwater = new gwflowclass(error, diag, reg, cap, workFileName, soilZones, substeps);
  check(groundwater, false);
  evapotranspiration->SetSubSteps(substeps);
  unsatzone->SetGroundwaterCoupling(groundwater->GetFlowControl() != 0 ? 1 : 0);
  groundwater->SetSoilStateRead(unsatzone->GetStorageReadParameter());

  // Tracer grids of the sub-models that carry tracers.
  teilmodellklasse* const withTracers[7] = {irrigation,  snow,      interception,  siltingup,
                                            groundwater, unsatzone, surfacerouting};
  const bool markAfterTracers[7] = {false, false, true, true, false, true, true};
  for (int k = 0; k < 7; ++k) {
    withTracers[k]->InitTracerGrids(&error, tracerCount, tracerRecords, reg, cap);
    if (error != 0) throw error;
    if (markAfterTracers[k]) withTracers[k]->SetInitialized(1);
  }
  // A warm start of the soil continues the state of every module (their
  // read switches are known once their tracer grids are set up).
  if (unsatzone->ReadsState()) {
    const int soil = unsatzone->GetStorageReadParameter();
    snow->RequireStateRead(soil, snow->GetReadGrids(), "readgrid in [snow_model]",
                           "the snow cover (and the static glaciers' firn and ice)");
    if (snow->GetGlacierMethod() > 10)
      snow->RequireStateRead(soil, snow->GetGlacierReadGrid(),
                             "the read grid parameter for glacier model in [ice_firn]",
                             "the dynamic glaciers' firn, ice and geometry");
    interception->RequireStateRead(soil, interception->GetReadGrids(), "readgrid in [interception_model]",
                                   "the water on the leaves");
    siltingup->RequireStateRead(soil, siltingup->GetReadGrids(),
                                "the read control parameter for storage grids in [SiltingUpModel]",
                                "the silting-up's disposition, rain pause, rain energy and tillage time");
  }

  SubModelArgs routingArgs = soilZones;
  routingArgs.endHour = setup->StartHour();
  routingArgs.endDay = setup->StartDay();
  routingArgs.endMonth = setup->StartMonth();
  routingArgs.endYear = setup->StartYear();
  const int64_t runEnd[4] = {setup->EndYear(), setup->EndMonth(), setup->EndDay(), setup->EndHour()};
  routing = new abflussmodellklasse(error, diag, reg, cap, workFileName, routingArgs, tracerCount, tracerRecords,
                                    unsatzone->GetStorageReadParameter(), 1, runEnd);
  check(routing, false);
  routing->SetPrecipitationSource(interceptionFirst);
}

void ModellApplication::CheckStepAgainstRecords() {
  // Each step takes one record of every input file and computes one time
  // interval of the modules: a module whose interval differs from the
  // records' spacing would compute a day from an hour's values (or the reverse).
  teilmodellklasse* const modules[] = {expokorr,  evapotranspiration, snow,       interception, siltingup,
                                       unsatzone, surfacerouting,     irrigation, groundwater,  routing};
  for (size_t i = 1; i < interpolators.size(); ++i) {
    const int64_t hours = interpolators[i]->RecordSpacingHours();
    if (hours <= 0) continue;
    for (teilmodellklasse* m : modules) {
      if (!m || m->GetFlowControl() == 0 || m->GetTimeInterval() == hours * 60) continue;
      *diag << "FATAL: the time interval of " << m->GetModuleName().c_str() << " is " << m->GetTimeInterval()
            << " minutes (" << m->TimeIntervalWhere().c_str() << "), the records of "
            << interpolators[i]->InputFileName().c_str() << " (" << interpolators[i]->GetVariableName().c_str()
            << ") are " << static_cast<long>(hours) << " h (" << static_cast<long>(hours * 60)
            << " minutes) apart: each step of the run takes one record, so the time interval has to be the records' "
               "spacing"
            << "[end-entry]";
      throw 17;
    }
  }
}

void ModellApplication::LinkSubModels() {
  const int readParameter = unsatzone->GetStorageReadParameter();
  if (surfacerouting->GetFlowControl() != 0) {
    surfacerouting->SetQBb(unsatzone->GetQBb());
    surfacerouting->SetKelsqd(unsatzone->GetKelsqd());
    surfacerouting->SetKelsqi(unsatzone->GetKelsqi());
    surfacerouting->SetGlacierRunoff(unsatzone->GetGlacierRunoff());
    surfacerouting->ReadStorageFile(unsatzone->GetStorageFileName(), readParameter);
    unsatzone->SetSurfaceRoutingActive(1);
    if (routing->GetFlowControl() > 0) routing->SetDischarges(surfacerouting->GetQg());
  } else if (routing->GetFlowControl() > 0) {
    routing->SetDischarges(unsatzone->GetQg());
  }
  routing->CountLakeCellsPerRank();
  if (routing->GetFlowControl() > 0) {
    routing->InitRouting();
    routing->SetSubbasinTable(irrigation->GetSubbasinTable());
    groundwater->SetRiverflowTable(unsatzone->GetRiverflowTable());
    routing->SetRiverflowTable(unsatzone->GetRiverflowTable());
    routing->ReadStorageContent(unsatzone->GetStorageFileName(), readParameter);
    routing->SetInitialized(1);
  } else {
    // The other instances share the river flows routed on instance 0.
    routing->SetRiverflowTable(unsatzone->GetRiverflowTable());
  }
  routing->LevelLakesAtWarmStart();
  irrigation->SetRiverflowTable(unsatzone->GetRiverflowTable());
  irrigation->SetQg(unsatzone->GetQg());
  irrigation->InitTracerStorage();
  irrigation->SetMaxIrrigation(routing->GetMaxIrrigation(), routing->GetMaxIrrigationFromReservoirs());
  irrigation->SetRoutingTarget(routing->GetRoutingTarget());
  irrigation->SetRoutingDischarge(routing->GetRoutingDischarge());
  irrigation->ReadStorageFile(unsatzone->GetStorageFileName(), readParameter);
  irrigation->SetInitialized(1);
  groundwater->SetQg(unsatzone->GetQg());
  groundwater->SetInitialized(1);
  if (snow->GetFlowControl() > 0) {
    snow->SetQg(unsatzone->GetQg());
    snow->SetGlacierRunoffConcentrations(unsatzone->GetGlacierRunoff());
    snow->ReadStorageFile(unsatzone->GetStorageFileName(), readParameter);
    snow->SetInitialized(1);
  }
  // The sections in the order of the file.
  evapotranspiration->ReadStorageFile(unsatzone->GetStorageFileName(), readParameter);
}
