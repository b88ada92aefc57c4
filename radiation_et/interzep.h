// The interception sub-model, section "[interception_model]": per cell and
// vegetation layer (1 top ... n bottom) an interception storage filled by the
// water reaching the layer, emptied by evaporation against the demand the
// evapotranspiration model left, the rest passed down as throughfall.
// Layer 0 holds the cell totals; throughfall0 is the water reaching the
// ground. Water amounts in mm per step.
//
// Methods: 1 and 2 intercept the snow cover's outflow (run after the snow
// model), 11 and 12 the precipitation (run before it); 1 and 11 limit the
// evaporation by the layer's potential transpiration, 2 and 12 by its
// potential interception evaporation; any other method does not evaporate.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/submodelframe.h"

class zonalstatistic;

class interzeptionsmodellklasse : public teilmodellklasse {
 public:
  interzeptionsmodellklasse(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                            const std::string& workFileName, const SubModelArgs& common, int subSteps = 1);
  ~interzeptionsmodellklasse() override;

  void FreeMemory() override;
  void InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* registry, int capacity) override;
  void FreeTracerArrays() override;
  void run(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  // The step's grids (sums, extremes, dated and end grids). run() ends with
  // them, unless DeferStepGrids() was called: then the application writes
  // them at the end of the step, after the yearly glacier update has moved
  // the water held on the plants with the glacierized shares.
  void WriteStepGrids();
  void DeferStepGrids() { stepgridsdeferred = true; }
  virtual void WriteStatistics();
  // The method number when the module is on, else 0.
  virtual int GetMethod();
  // The lake codes and ponding storage by which the evapotranspiration model
  // finds open water (both null without lakes): a cell whose lake code and
  // ponding storage are above 0 keeps no water on the layer that evaporates
  // as open water there.
  void SetOpenWater(Grid lakes, Grid ponding) {
    lakegrid = lakes;
    pondgrid = ponding;
  }

  int GetLayerCount() const { return layers; }
  int GetThroughfallPosition(int layer) const { return At(throughfallpos, layer); }
  int GetEvaporationPosition(int layer) const { return At(evaporationpos, layer); }
  int GetStoragePosition(int layer) const { return At(storagepos, layer); }
  zonalstatistic* GetStatistics(int kind, int layer) const;  // kind 0 evaporation, 1 storage, 2 throughfall

 private:
  static int At(const std::vector<int>& v, int i) { return i >= 0 && i < static_cast<int>(v.size()) ? v[i] : 0; }
  void ReadSection();
  void BindInputs();
  void MakeGrids();
  void ColumnsOf(int r, int& c0, int& c1) const;
  int ZoneOf(int r, int c) const;
  // Storage capacity of layer i of a cell, mm.
  double Capacity(int i, int r, int c) const;
  // Fills and empties the storage of layer i of a cell; returns the
  // evaporation. On open water the layer holds nothing and evaporates
  // nothing: its water and what it held pass on. With tracers, store[k]
  // (k = 1 ... tracercount) is the layer's tracer k (a concentration of the
  // water held for an evaporating tracer, else an amount, concentration x
  // mm) and conc[k] the concentration of the water arriving, which becomes
  // that of the layer's throughfall (nodata while the water is missing);
  // both null without tracers.
  double Layer(int i, int r, int c, double water, double* store, double* conc, bool openWater);
  // One cell of the step: its layers from the top down, the tracers with
  // their water (scratch: this thread's part of tracerscratch).
  void Cell(int r, int c, double* scratch);
  // Layer i of the cell evaporates as open water in the evapotranspiration
  // model: the cell's lake code and ponding storage are above 0, and the
  // layer is the lowest one or the layers below it are empty.
  bool OpenWater(int i, int r, int c) const;

  int method = 0;
  std::string watername;           // the grid of the water input
  bool missingwarned = false;      // the WARNING on missing water inputs is written
  bool stepgridsdeferred = false;  // WriteStepGrids() is the application's
  bool stepgridspending = false;   // run() has run, WriteStepGrids() not yet
  int readgrid = 0;
  double maxthickness = 0;  // storage per unit of leaf area index, mm
  int layers = 1;
  std::vector<std::string> throughfallfile, evaporationfile, storagefile;
  std::vector<std::string> throughfallstat, evaporationstat, storagestat;
  int throughfallcode = 0, evaporationcode = 0, storagecode = 0;
  int throughfallstatcode = 0, evaporationstatcode = 0, storagestatcode = 0;
  StatRecord* registry = nullptr;
  int registrycapacity = 0;

  std::vector<Grid> landuse, lai, coverage, pottrans, potintercep, realtrans;
  Grid water = nullptr;
  Grid glacier = nullptr;
  Grid hrugrid = nullptr;
  Grid hrumaster = nullptr;
  Grid lakegrid = nullptr;
  Grid pondgrid = nullptr;

  std::vector<Grid> throughfall, evaporation, storage;
  std::vector<int> throughfallpos, evaporationpos, storagepos;
  std::vector<int64_t> storagefirst, storagelast;
  // Statistics per layer: 0 evaporation, 1 storage, 2 throughfall.
  std::vector<zonalstatistic*> statistics[3];
  std::vector<std::vector<ZoneRecord>> zones[3];
  std::vector<Grid> tracerinput;  // input concentration per tracer 1 ... count
  // Per thread: the tracers' values of the cell being computed (kScratch x (count + 1)).
  static constexpr int kScratch = 6;
  std::vector<double> tracerscratch;
};
