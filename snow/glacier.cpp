// Glacier objects: volume-area relation, elevation bands and band changes.
#include "snow/glacier.h"

#include <algorithm>
#include <cmath>
#include <iostream>

void ElevationBand::AddCell(double* fraction, double* code) {
  ++cellCount;
  fractionCells.push_back(fraction);
  codeCells.push_back(code);
  fixed.push_back(0);
}

void ElevationBand::Reset() {
  cellCount = 0;
  fractionCells.clear();
  codeCells.clear();
  fixed.clear();
}

double ElevationBand::CountChangeableCells(double amount) {
  if (amount == 0) return 0;
  double n = 0;
  for (size_t i = 0; i < fractionCells.size(); ++i) {
    const double f = *fractionCells[i];
    const bool changeable = amount > 0 ? f < 1 : f > 0;
    if (changeable && fixed[i] == 0)
      n += 1;
    else
      fixed[i] = 1;
  }
  return n;
}

double ElevationBand::ChangeCells(double fraction) {
  double n = 0;
  for (int flag : fixed) n += flag == 0 ? 1 : 0;
  double D = fraction * n;
  double R = D;
  for (int sweep = 1; sweep <= 5; ++sweep) {
    const double increment = n > 0 ? D / n : 0.0;
    R = D;
    n = 0;
    for (size_t i = 0; i < fractionCells.size(); ++i) {
      if (fixed[i] != 0 || *codeCells[i] < 0) continue;
      double& f = *fractionCells[i];
      const double v = f + increment;
      if (v < 0) {
        // The cell is emptied: it leaves the glacier.
        f = 0;
        *codeCells[i] = -9999;
        R -= increment - v;
      } else if (v > 1) {
        f = 1;
        R -= increment - (v - 1);
      } else {
        f = v;
        R -= increment;
        n += 1;
      }
    }
    if (std::fabs(R) <= 1e-5 || std::fabs(D - R) <= 1e-5) return R;
    D = R;
  }
  if (std::fabs(R) > 1e-5) std::cerr << "error: could not remove or add the required number of cells for the glacier\n";
  return R;
}

Glacier::Glacier(int glacierCode, int bandCount, int extraWeight, int subbasinCode, double scaling, double exponent,
                 double initialVolume, double initialArea, double size)
    : code(glacierCode),
      cellSize(size),
      area(initialArea),
      volume(initialVolume),
      oldArea(initialArea),
      oldVolume(initialVolume),
      VAscaling(scaling),
      VAexponent(exponent),
      numElevBands(bandCount),
      extraWeightFactorBand0(extraWeight),
      subbasin(subbasinCode) {}

void Glacier::VolumeFromArea() {
  if (area <= kMinArea) area = kMinArea;
  volume = VAscaling * std::pow(area, VAexponent);
}

void Glacier::AreaFromVolume() {
  const double vmin = VAscaling * std::pow(kMinArea, VAexponent);
  if (volume == 0) {
    volume = VAscaling * std::pow(area > 0 ? area : kMinArea, VAexponent);
    oldArea = area;
    oldVolume = volume;
  }
  if (vmin >= volume) {
    volume = vmin;
    area = kMinArea;
  } else {
    area = std::pow(std::max(volume, 0.0) / VAscaling, 1.0 / VAexponent);
  }
}

void Glacier::OldAreaFromOldVolume() {
  const double vmin = VAscaling * std::pow(kMinArea, VAexponent);
  if (volume == 0) oldVolume = VAscaling * std::pow(std::max(oldArea, 0.0), VAexponent);
  if (vmin >= oldVolume) {
    oldVolume = vmin;
    oldArea = kMinArea;
  } else {
    oldArea = std::pow(std::max(oldVolume, 0.0) / VAscaling, 1.0 / VAexponent);
  }
}

void Glacier::BuildBands() {
  bands.clear();
  bandCellCount = 0;
  const double dz = numElevBands > 0 ? (maxElevation - minElevation) / numElevBands : 0.0;
  for (int k = 0; k < numElevBands; ++k) {
    auto band = std::make_unique<ElevationBand>();
    band->lowerElevation = minElevation + k * dz;
    band->upperElevation = minElevation + (k + 1) * dz;
    band->height = dz;
    bands.push_back(std::move(band));
  }
}

void Glacier::ResetBands() {
  for (auto& band : bands) band->Reset();
  bandCellCount = 0;
}

void Glacier::AddCellToBand(double* fraction, double* codeCell, double elevation) {
  const size_t count = bands.size();
  for (size_t k = 0; k < count; ++k) {
    if (bands[k]->Contains(elevation) || (k + 1 == count && elevation >= maxElevation) ||
        (k == 0 && elevation <= minElevation)) {
      bands[k]->AddCell(fraction, codeCell);
      ++bandCellCount;
      return;
    }
  }
}

void Glacier::AddCell(bool range, double fraction, double elevation, double cellArea) {
  const bool first = cellCount == 0;
  if (first) countedCellArea = 0;
  ++cellCount;
  countedCellArea += cellArea;
  area += fraction * cellArea / 1e6;
  if (first) {
    minElevation = maxElevation = elevation;
  } else if (range) {
    if (elevation > maxElevation)
      maxElevation = elevation;
    else if (elevation < minElevation)
      minElevation = elevation;
  }
}

void Glacier::ComputeCellsToChange() {
  const double cell = cellCount > 0 && countedCellArea > 0 ? countedCellArea / cellCount : cellSize * cellSize;
  cellsToChange = (area - oldArea) * 1e6 / cell;
  remainder = 0;
}

int Glacier::CountChangeableCells(double amount) {
  double n = 0;
  for (auto& band : bands) n += band->CountChangeableCells(amount);
  return static_cast<int>(n);
}

double Glacier::FractionPerIteration(bool useGiven, double amount) {
  const double a = useGiven ? amount : cellsToChange;
  const int nb = numElevBands;
  double W = 0;
  for (int k = 0; k < nb && k < static_cast<int>(bands.size()); ++k) {
    const double n = bands[k]->CountChangeableCells(a);
    W += n * (nb - k);
    if (k == 0) W += n * extraWeightFactorBand0 * nb;
  }
  return W > 0 ? a / W : 0.0;
}

double Glacier::ApplyToBands(int highestBand, double fraction) {
  remainder = 0;
  if (highestBand < 0) return 0;
  for (int j = 0; j <= highestBand && j < static_cast<int>(bands.size()); ++j) {
    remainder += bands[j]->ChangeCells(fraction);
    if (j == 0)
      for (int e = 0; e < extraWeightFactorBand0; ++e) remainder += bands[0]->ChangeCells(fraction);
  }
  return remainder;
}
