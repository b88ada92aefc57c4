#include "application/defltuzr.h"

#include <mpi.h>

#include <exception>

#include "framework/diagstream.h"

defaultini::defaultini(int& error, DiagStream* diagnostics, const std::string& controlFileName, StatRecord* registry,
                       int registryCapacity, int setupMode, GridListEntry* list)
    : modelobject(diagnostics, controlFileName, 0, ModelObjectArgs{}) {
  error = 0;
  try {
    waitinterval = 100;
    externalgridmode = 'I';
    substeps = 1;
    *diag << "file defltuzr, compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
    modulname = "defaults";
    setupmode = setupMode;
    gridlist = list;
    statregistry = registry;
    statregistrycapacity = registryCapacity;
    step = 0;
  } catch (int code) {
    error = code;
  } catch (...) {
    error = 103;
  }
}

void defaultini::Logged(const char* text) {
  *diag << text << "[end-entry]";
}

int defaultini::InitStep(bool& isDone) {
  isDone = false;
  switch (step) {
    case 0: {
      workfilename = controlfilename;
      std::string preprocessed;
      if (mpirank == 0)
        CompileSymbols(workfilename, preprocessed);
      else
        preprocessed = workfilename + ".$$$";
      controlfilename = preprocessed;
      workfilename = preprocessed;
      MPI_Barrier(MPI_COMM_WORLD);
      ControlFile::ShareOrigin(preprocessed);
      ReadGeneralSections(controlfilename, outputcontrol, secondswitch, thirdswitch, mintointend, meteocount,
                          meteonames, latitude, longitude, meridian, timeshift, outputlistcount, outputlist);
      SetMinToIntEnd(mintointend);
      break;
    }
    case 1:
      if (!controlfile.Open(controlfilename, diag)) Fatal("FATAL: error opening " + controlfilename, 28);
      ReadStandardGrids();
      break;
    case 2:
      ReadModelTime();
      // The object's date is the end date, from which the outputs due at the end are written.
      SetDate(endyear, endmonth, endday, endhour);
      enddatekey = DateKey(endyear, endmonth, endday, endhour);
      break;
    case 3:
      ReadMultilayerLanduseTable(setupmode);
      ReadLanduseTable(setupmode);
      break;
    case 4:
      ReadSoilTable(setupmode);
      break;
    case 5:
      irrigationswitch = 0;
      ReadIrrigation(setupmode);
      ReadRadiationCorrection();
      if (!controlfile.Close()) Fatal("FATAL: error closing " + controlfilename, 11);
      break;
    case 6: {
      elevation = nullptr;
      relcellarea = nullptr;
      if (mpirank == 0) {
        ReadReferenceGridHeader(ncols, nrows, xllcorner, yllcorner, cellsize, nodata);
      }
      MPI_Bcast(&ncols, 1, MPI_INT, 0, MPI_COMM_WORLD);
      MPI_Bcast(&nrows, 1, MPI_INT, 0, MPI_COMM_WORLD);
      double geometry[4] = {xllcorner, yllcorner, cellsize, nodata};
      MPI_Bcast(geometry, 4, MPI_DOUBLE, 0, MPI_COMM_WORLD);
      xllcorner = geometry[0];
      yllcorner = geometry[1];
      cellsize = geometry[2];
      nodata = geometry[3];
      firstrow = 1;
      lastrow = nrows;
      firstrowhalo = 1;
      lastrowhalo = nrows;
      if (mpirank == 0) ReadReferenceGrids();
      CreateMPIRegions();
      break;
    }
    case 7:
      RankZones(gridlist, nullptr, ncols, nrows, nodata);
      DistributeReferenceGrids();
      break;
    case 8:
      MPI_Barrier(MPI_COMM_WORLD);
      MakeStandardGrids();
      *diag << "before reading variable grids " << mpirank << "[end-entry]";
      MPI_Barrier(MPI_COMM_WORLD);
      ReadVariableGridList();
      break;
    case 9: {
      const int p = FindGrid("RelCellArea", false);
      relcellarea = p > 0 ? gridlist[p].grid : nullptr;
      break;
    }
    case 10:
      MakeCellSizeGrids();
      break;
    case 11:
      MakeCoordinateGrids();
      break;
    case 12:
      elevation = gridlist[2].grid;
      landuse_table_entry::SetElevationModelName(gridlist[2].filename);
      maxElevation = GetGlobalMaxOfGrid(2);
      break;
    case 13:
      CheckLanduseGrid(FindGrid("landuse", false));
      LanduseLayers();
      break;
    case 14:
      if (nlanduselayers > 0) {
        Logged("generateMultiLayerParameterGrids...");
        generateMultiLayerParameterGrids(nlanduselayers);
        Logged("...ok");
      }
      break;
    case 15:
      if (irrigationswitch != 0) {
        Logged("check_irrig_Codes");
        check_irrig_Codes(FindGrid("irrigation_codes", false));
        Logged("...ok");
      }
      break;
    case 16:
      Logged("check_SOIL_Codes...");
      check_SOIL_Codes(FindGrid("soil_types", false));
      Logged("...ok");
      break;
    case 17:
      if (setupmode == 1) {
        Logged("make_nFK_kWert_and_Na...");
        make_nFK_kWert_and_Na();
        Logged("...ok");
      }
      break;
    case 18:
      Logged("make_Slope_and_Aspect...");
      make_Slope_and_Aspect();
      Logged("...ok");
      break;
    case 19:
      Logged("check_ice_firn_grid...");
      check_ice_firn_grid();
      Logged("...ok");
      break;
    case 20:
      Logged("MakeRegionWeightGrids...");
      MakeRegionWeightGrids();
      Logged("...ok");
      break;
    case 21:
      break;
    case 22:
      Logged("GetCouplingParameters...");
      GetCouplingParameters();
      Logged("...ok");
      break;
    default:
      if (!controlfile.Close()) Fatal("FATAL: error closing " + controlfilename, 11);
      done = 1;
      isDone = true;
      return 0;
  }
  ++step;
  return 0;
}

void defaultini::FreeMemory() {
  FreeLanduseParameterGrids();
  landuselayers.clear();
  FreeHRUGrids();
  irrigationtable.clear();
  ReleaseTables();
  variablereadswitch.clear();
  // Every grid the set-up read or made, and its entry.
  std::vector<int> positions;
  for (int p = 1; p <= nstandardgrids + 2 && p < kGridListMax; ++p) positions.push_back(p);
  for (size_t i = 1; i < variablepositions.size(); ++i) positions.push_back(variablepositions[i]);
  for (int p : positions) {
    GridListEntry& e = gridlist[p];
    FinishStatistic(e);
    if (e.grid) FreeMatrix(e.grid, e.firstrow, e.lastrow, 1, ncols);
    if (e.stack) FreeMatrix3d(e.stack, e.firstrow, e.lastrow);
    if (e.periodiccopy) FreeMatrix(e.periodiccopy, e.firstrow, e.lastrow, 1, ncols);
    e.grid = nullptr;
    e.stack = nullptr;
    e.periodiccopy = nullptr;
    UnregisterGrid(p);
    e.outname.clear();
    e.statfile.clear();
  }
  FreeDerivedGrids();
  modelobject::FreeMemory();
}

ModelObjectArgs defaultini::ObjectArgs() const {
  ModelObjectArgs args;
  args.WriteAsciiGrids = WriteAsciiGrids;
  args.WriteDoubleGrids = WriteDoubleGrids;
  args.InitialStateDirectory = InitialStateDirectory;
  args.DefaultOutputDirectory = DefaultOutputDirectory;
  args.instanceCellCounts = cellcounts.empty() ? nullptr : cellcounts.data();
  args.haloSend = &halosend;
  args.haloReceive = &haloreceive;
  args.SpinUp = SpinUp;
  args.hru = hru;
  return args;
}
