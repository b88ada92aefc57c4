// Glacier objects of the dynamic glacier model: each glacier is the set of
// cells carrying its code in "GlacierCodes"; its ice volume follows its area
// by the volume-area relation V = c A^gamma (V in 1e6 m3, A in km2), and its
// elevation bands hold the cells that may gain or lose glacierized area.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class ElevationBand {
 public:
  double lowerElevation = 0;  // m, inclusive
  double upperElevation = 0;  // m, exclusive
  double height = 0;
  uint64_t cellCount = 0;
  // Parallel sequences: the cells' entries in "GlacierizedCells" and
  // "GlacierCodes" (changing a band cell changes the grids) and their flags
  // (1 = fixed for the running iteration).
  std::vector<double*> fractionCells;
  std::vector<double*> codeCells;
  std::vector<int> fixed;

  void AddCell(double* fraction, double* code);
  void Reset();
  bool Contains(double elevation) const { return lowerElevation <= elevation && elevation < upperElevation; }
  // Cells that can take a change of the sign of amount; the others are fixed.
  double CountChangeableCells(double amount);
  // Spreads fraction x (changeable cells) over the changeable cells; returns
  // what could not be applied.
  double ChangeCells(double fraction);
};

class Glacier {
 public:
  int code = 0;
  double cellSize = 100.0;
  uint64_t cellCount = 0;
  double area = 0;    // km2
  double volume = 0;  // 1e6 m3
  double oldArea = 0;
  double oldVolume = 0;
  double VAscaling = 28.5;
  double VAexponent = 1.36;
  double minElevation = 10000;
  double maxElevation = -10000;
  int numElevBands = 1;
  double cellsToChange = 0;
  double remainder = 0;
  uint64_t bandCellCount = 0;
  int extraWeightFactorBand0 = 0;
  int subbasin = 0;
  // Area of the cells counted by the last scan, m2: cells of unequal area
  // (relative cell areas) count a change in cells of their mean area.
  double countedCellArea = 0;
  double lostMassBalance = 0;
  double fractionSum = 0;
  double massBalancePerFraction = 0;
  std::vector<std::unique_ptr<ElevationBand>> bands;  // band 0 lowest

  // The smallest glacier area, km2.
  static constexpr double kMinArea = 0.001;

  Glacier() = default;
  Glacier(int glacierCode, int bandCount, int extraWeight, int subbasinCode, double scaling, double exponent,
          double initialVolume, double initialArea, double size);

  void VolumeFromArea();
  void AreaFromVolume();
  void OldAreaFromOldVolume();
  void BuildBands();
  void ResetBands();
  void AddCellToBand(double* fraction, double* codeCell, double elevation);
  void AddCell(bool range, double fraction, double elevation, double cellArea);
  void ComputeCellsToChange();
  double GetCellsToChange() const { return cellsToChange; }
  int CountChangeableCells(double amount);
  double FractionPerIteration(bool useGiven, double amount);
  double ApplyToBands(int highestBand, double fraction);
  void ReleaseBands() { bands.clear(); }
};
