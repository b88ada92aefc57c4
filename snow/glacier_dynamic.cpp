// The dynamic glacier model on instance 0: the glacier list built from the
// glacier grids, the yearly geometry update (volume change from the mass
// balance, area by volume-area scaling, band-wise shrinking and growing) and
// the redistribution of the mass balance of lost glacier area.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "framework/diagstream.h"
#include "snow/snowmod.h"

namespace {
// Neighbours: above, right, below, left, then the diagonals.
constexpr int kDr[8] = {-1, 0, 1, 0, -1, 1, 1, -1};
constexpr int kDc[8] = {0, 1, 0, -1, 1, 1, -1, -1};
}  // namespace

Glacier* schneemodellklasse::FindGlacier(int64_t code) const {
  const auto it = glacierindex.find(code);
  return it == glacierindex.end() ? nullptr : glaciers[it->second].get();
}

bool schneemodellklasse::SumOnRoot(std::vector<double>& sums) const {
  int running = 0;
  MPI_Initialized(&running);
  if (!running || mpisize < 2) return false;
  std::vector<double> total(sums.size(), 0.0);
  MPI_Reduce(sums.data(), total.data(), static_cast<int>(sums.size()), MPI_DOUBLE, MPI_SUM, 0, MPI_COMM_WORLD);
  sums = total;
  return true;
}

Glacier& schneemodellklasse::GlacierOf(int64_t code, int subbasin) {
  if (!glacierindex.count(code)) {
    glacierindex[code] = static_cast<int>(glaciers.size());
    glaciers.push_back(std::make_unique<Glacier>(static_cast<int>(code), numElevBands, extraWeightFactorBand0, subbasin,
                                                 VAscaling, VAexponent, 0.0, 0.0, cellsize));
  }
  return *glaciers[glacierindex[code]];
}

double schneemodellklasse::FirnTotal(int r, int c) const {
  const Grid firn = glac[kFirnTotal].grid;
  return firn && firn[r] && firn[r][c] > nodata ? firn[r][c] : 0.0;
}

double schneemodellklasse::GlacierCellArea(int r, int c) const {
  // A cell without a relative area counts whole, as in the statistics.
  const double a = glacierarea && glacierarea[r] ? glacierarea[r][c] : 1.0;
  return cellsize * cellsize * (a > nodata ? a : 1.0);
}

bool schneemodellklasse::BorderCell(int r, int c) const {
  for (int k = 0; k < 4; ++k) {
    const int nr = r + kDr[k];
    const int nc = c + kDc[k];
    if (nr < 1 || nr > nrows || nc < 1 || nc > ncols) continue;
    if (glaciercodes[nr][nc] != glaciercodes[r][c]) return true;
  }
  return false;
}

void schneemodellklasse::BuildGlacierList() {
  glacierindex.clear();
  for (int r = 1; r <= nrows; ++r) {
    if (!glacierzone[r]) continue;
    for (int c = 1; c <= ncols; ++c) {
      if (Missing(glacierzone[r][c])) continue;
      const double f = glaciergrid[r][c];
      if (!(f > 0) || !(glaciercodes[r][c] > 0)) continue;
      const int64_t code = static_cast<int64_t>(glaciercodes[r][c]);
      Glacier& g = GlacierOf(code, static_cast<int>(glacierzone[r][c]));
      if (static_cast<double>(g.subbasin) != glacierzone[r][c]) {
        *diag << "FATAL: \n\n=======================================\n"
              << "!!!! ERROR !!!! \n\n"
              << "glacier " << static_cast<long>(code) << " is located in more than one subbasin:\n"
              << "First cell was found in subbasin " << g.subbasin << ",\n"
              << "whereas the cell in row " << r << " and col " << c << " belongs to subbasin " << glacierzone[r][c]
              << ".\nPlease make sure that each single glacier belongs to one specific subbasin only."
              << "[end-entry]";
        throw 84;
      }
      // Firn cells do not widen the elevation range.
      g.AddCell(FirnTotal(r, c) == 0, f, glacierelevation[r][c], GlacierCellArea(r, c));
    }
  }
}

void schneemodellklasse::CollectGlacierCells(int64_t requested, bool range) {
  Grid codesold = glac[kCodesOld].grid;
  // The volume-area increment of a cell of area a (km2) added to a glacier.
  auto grow = [](Glacier& g, double a) {
    const double v = g.VAscaling * std::pow(std::max(g.oldArea + a, 0.0), g.VAexponent);
    const double dv = v - g.oldVolume;
    g.oldVolume = v;
    g.volume += dv;
    g.oldArea += a;
  };
  for (int r = 1; r <= nrows; ++r) {
    if (!glacierzone[r]) continue;
    for (int c = 1; c <= ncols; ++c) {
      if (Missing(glacierzone[r][c])) continue;
      const double k = glaciercodes[r][c];
      if (!(k >= -1)) continue;
      const double e = glacierelevation[r][c];
      const double cellArea = GlacierCellArea(r, c);
      Glacier* known = k != -1 ? FindGlacier(static_cast<int64_t>(k)) : nullptr;
      if (known) {
        if (requested >= 0 && requested != known->code) continue;
        if (glaciergrid[r][c] > nodata) {
          known->AddCell(range, glaciergrid[r][c], e, cellArea);
        } else {
          codesold[r][c] = k;
          glaciergrid[r][c] = relSizeNewGlacier;
          known->AddCell(range, relSizeNewGlacier, e, cellArea);
          if (known->volume > 0) grow(*known, relSizeNewGlacier * cellArea / 1e6);
        }
        continue;
      }
      int64_t code = static_cast<int64_t>(k);
      if (k == -1) {
        code = -1;
        for (int n = 0; n < 8 && code < 0; ++n) {
          const int nr = r + kDr[n];
          const int nc = c + kDc[n];
          if (nr < 1 || nr > nrows || nc < 1 || nc > ncols) continue;
          if (glaciercodes[nr][nc] > 0 && glacierzone[nr] && glacierzone[nr][nc] == glacierzone[r][c])
            code = static_cast<int64_t>(glaciercodes[nr][nc]);
        }
        if (code < 0) code = glacierindex.empty() ? 1 : glacierindex.rbegin()->first + 1;
        glaciercodes[r][c] = static_cast<double>(code);
      }
      codesold[r][c] = static_cast<double>(code);
      glaciergrid[r][c] = relSizeNewGlacier;
      Glacier& g = GlacierOf(code, static_cast<int>(glacierzone[r][c]));
      if (g.volume > 0) grow(g, relSizeNewGlacier * cellArea / 1e6);
      g.AddCell(FirnTotal(r, c) == 0, relSizeNewGlacier, e, cellArea);
    }
  }
}

void schneemodellklasse::CollectBorderCells(int64_t requested) {
  auto selected = [&](const Glacier& g) { return requested < 0 || g.code == requested; };
  for (auto& g : glaciers)
    if (selected(*g)) g->ResetBands();
  for (int r = 1; r <= nrows; ++r) {
    if (!glacierzone[r]) continue;
    for (int c = 1; c <= ncols; ++c) {
      if (Missing(glacierzone[r][c]) || !(glaciergrid[r][c] > 0) || !(glaciercodes[r][c] > 0)) continue;
      if (FirnTotal(r, c) > 0 || !(BorderCell(r, c) || glaciergrid[r][c] < 1)) continue;
      Glacier* g = FindGlacier(static_cast<int64_t>(glaciercodes[r][c]));
      if (g && selected(*g)) g->AddCellToBand(&glaciergrid[r][c], &glaciercodes[r][c], glacierelevation[r][c]);
    }
  }
  // A glacier without such cells takes its border and partly covered cells
  // whatever their firn.
  for (auto& g : glaciers) {
    if (!selected(*g) || g->bandCellCount != 0) continue;
    for (int r = 1; r <= nrows; ++r) {
      if (!glacierzone[r]) continue;
      for (int c = 1; c <= ncols; ++c) {
        if (Missing(glacierzone[r][c]) || !(glaciercodes[r][c] > 0)) continue;
        if (static_cast<int64_t>(glaciercodes[r][c]) != g->code) continue;
        const double f = glaciergrid[r][c];
        if (BorderCell(r, c) || (f >= 0 && f < 1))
          g->AddCellToBand(&glaciergrid[r][c], &glaciercodes[r][c], glacierelevation[r][c]);
      }
    }
  }
}

void schneemodellklasse::RebuildGlacierList() {
  glaciers.clear();
  if (glaciergrid && glaciermethod > 10) BuildGlacierList();
}

void schneemodellklasse::StartGlacierList() {
  glaciers.clear();
  if (!glaciergrid || glaciermethod <= 10) return;
  BuildGlacierList();
  for (auto& g : glaciers) {
    g->VolumeFromArea();
    g->oldVolume = g->volume;
    g->OldAreaFromOldVolume();
    g->BuildBands();
  }
  CollectBorderCells(-1);
}

void schneemodellklasse::GrowGlacier(int64_t code) {
  Glacier* g = FindGlacier(code);
  if (!g) return;
  g->ResetBands();
  Grid firn = glac[kFirnTotal].grid;
  // One pass: cells meeting the pass's condition next to a fully covered
  // cell of the glacier (firn-poor when lowFirn) become its cells with
  // fraction 0. Returns the number of cells taken.
  auto pass = [&](bool needCode, bool exactZero, bool lowFirn) {
    int taken = 0;
    for (int r = 1; r <= nrows; ++r) {
      if (!glacierzone[r]) continue;
      for (int c = 1; c <= ncols; ++c) {
        if (Missing(glacierzone[r][c])) continue;
        const double f = glaciergrid[r][c];
        if (needCode && !(glaciercodes[r][c] < 0)) continue;
        if (exactZero ? f != 0 : f > 0) continue;
        for (int n = 0; n < 4; ++n) {
          const int nr = r + kDr[n];
          const int nc = c + kDc[n];
          if (nr < 1 || nr > nrows || nc < 1 || nc > ncols) continue;
          if (glacierzone[nr][nc] != glacierzone[r][c] || glaciergrid[nr][nc] != 1 ||
              glaciercodes[nr][nc] != static_cast<double>(code))
            continue;
          if (lowFirn && !(FirnTotal(nr, nc) < 0.0001)) continue;
          const double F = FirnTotal(nr, nc);
          glaciergrid[r][c] = 0;
          glaciercodes[r][c] = static_cast<double>(code);
          if (lowFirn) {
            firn[r][c] = 0;
            for (int k = 0; k <= firn_levels; ++k) firnstack[r][c][k] = 0;
          } else {
            // The new cell shares its neighbour's firn, spread over the levels,
            // and an evaporating tracer's concentration in it.
            firn[r][c] = F;
            firnstack[r][c][0] = F;
            for (int k = 1; k <= firn_levels; ++k) firnstack[r][c][k] = F / firn_levels;
            for (size_t t = 1; t < glaciertracers.size(); ++t) {
              const Grid fc = glaciertracers[t].firn;
              if (fc && fc[r][c] > nodata && fc[nr][nc] > nodata) fc[r][c] = fc[nr][nc];
            }
          }
          g->AddCellToBand(&glaciergrid[r][c], &glaciercodes[r][c], glacierelevation[r][c]);
          ++taken;
          break;
        }
      }
    }
    return taken;
  };
  pass(true, true, true);
  // The passes that share firn need firn levels to share it over.
  int second = 0;
  if (g->bandCellCount == 0 && firn_levels > 0) second = pass(false, true, false);
  if (g->bandCellCount == 0 && second == 0) pass(true, false, true);
  if (g->bandCellCount == 0 && firn_levels > 0) pass(false, false, false);
}

void schneemodellklasse::UpdateGlacierGeometry() {
  if (!glaciergrid || glaciermethod < 11) return;
  auto resetSums = [](Glacier& g) {
    g.maxElevation = -10000;
    g.cellCount = 0;
    g.area = 0;
    g.minElevation = 10000;
  };
  for (auto& g : glaciers) {
    resetSums(*g);
    g->volume = g->oldVolume;
  }
  CollectGlacierCells(-1, false);
  for (size_t p = 0; p < glaciers.size(); ++p) {
    Glacier& g = *glaciers[p];
    if (g.minElevation == 10000) {
      resetSums(g);
      CollectGlacierCells(g.code, true);
    }
    g.BuildBands();
  }
  CollectBorderCells(-1);
  // The year's mass balance (mm water equivalent) as an ice volume change.
  Grid gmb = glac[kMassBalance].grid;
  Grid oldgmb = glac[kOldMassBalance].grid;
  for (int r = 1; r <= nrows; ++r) {
    if (!glacierzone[r]) continue;
    for (int c = 1; c <= ncols; ++c) {
      if (Missing(glacierzone[r][c])) continue;
      const double f = glaciergrid[r][c];
      if (!(f >= 0) || !(glaciercodes[r][c] >= 0)) continue;
      Glacier* g = FindGlacier(static_cast<int64_t>(glaciercodes[r][c]));
      if (!g) continue;
      g->volume += (gmb[r][c] - oldgmb[r][c]) / 0.85 / 1000 * f * GlacierCellArea(r, c) / 1e6;
    }
  }
  *diag << "DEBUG: Glacierbalance\n"
        << "[end-entry]";
  for (size_t p = 0; p < glaciers.size(); ++p) {
    Glacier& g = *glaciers[p];
    g.AreaFromVolume();
    g.ComputeCellsToChange();
    double R = g.cellsToChange;
    g.CountChangeableCells(R);
    *diag << "DEBUG: "
          << "Glacier:\t" << static_cast<int>(p) << "\n"
          << "Old Volume:\t" << g.oldVolume << "\n"
          << "New Volume:\t" << g.volume << "\n"
          << "Old Area:\t" << g.oldArea << "\n"
          << "New Area:\t" << g.area << "\n"
          << "[end-entry]";
    bool done = false;
    for (int iteration = 0; iteration < 31; ++iteration) {
      if (std::fabs(R) <= 1e-5) {
        done = true;
        break;
      }
      // Without bands nothing can change.
      if (g.numElevBands < 1) {
        R = 0;
        continue;
      }
      const int n = g.CountChangeableCells(R);
      if (n >= 1) {
        const double f = g.FractionPerIteration(true, R);
        *diag << "DEBUG: "
              << "number of cells to add: \t" << R << "\n"
              << "number of changeable cells: \t" << n << "\n"
              << "fraction of cells to add per iteration: \t" << f << "[end-entry]";
        R = 0;
        for (int k = 0; k < g.numElevBands; ++k) R += g.ApplyToBands(k, f);
        if (std::fabs(R) <= 1e-5) continue;
      }
      // Refresh the glacier from the grids; a growing glacier first takes
      // new cells at its edge.
      resetSums(g);
      if (R > 0) {
        *diag << "DEBUG: "
              << "growing the glacier..."
              << "[end-entry]";
        GrowGlacier(g.code);
      } else {
        *diag << "DEBUG: "
              << "shrinking the glacier..."
              << "[end-entry]";
      }
      CollectGlacierCells(g.code, false);
      if (g.minElevation == 10000) {
        resetSums(g);
        CollectGlacierCells(g.code, true);
      }
      g.BuildBands();
      CollectBorderCells(g.code);
    }
    if (!done && std::fabs(R) <= 1e-5) done = true;
    if (!done)
      *diag << "WARNING: \n----------- WARNING: ----------\nThere were too many iterations when trying to remove or "
               "add glacier areas for glacier"
            << static_cast<int>(p) << "\n-----------------------------\n"
            << "[end-entry]";
    *diag << "DEBUG: "
          << "---------------------------------\n\n"
          << "[end-entry]";
  }
  // The next year starts from the area the update left in the grids (the
  // sums of the last refresh date from before the last band changes), with
  // its volume by the relation: as a warm start from these grids does, so
  // that a run equals one that stops and restarts between two updates.
  std::vector<double> areas(glaciers.size(), 0.0);
  for (int r = 1; r <= nrows; ++r) {
    if (!glacierzone[r]) continue;
    for (int c = 1; c <= ncols; ++c) {
      if (Missing(glacierzone[r][c]) || !(glaciergrid[r][c] > 0) || !(glaciercodes[r][c] >= 0)) continue;
      const auto it = glacierindex.find(static_cast<int64_t>(glaciercodes[r][c]));
      if (it != glacierindex.end()) areas[it->second] += glaciergrid[r][c] * GlacierCellArea(r, c) / 1e6;
    }
  }
  for (size_t p = 0; p < glaciers.size(); ++p) {
    Glacier& g = *glaciers[p];
    g.area = areas[p];
    g.VolumeFromArea();
    g.oldVolume = g.volume;
    g.OldAreaFromOldVolume();
  }
}

void schneemodellklasse::RedistributeGlacierMassBalance(int64_t requested) {
  if (!glaciergrid || glaciermethod < 11) return;
  auto selected = [&](double code) -> Glacier* {
    if (!(code >= 0)) return nullptr;
    Glacier* g = FindGlacier(static_cast<int64_t>(code));
    return g && (requested < 0 || g->code == requested) ? g : nullptr;
  };
  for (auto& g : glaciers)
    if (requested < 0 || g->code == requested) g->lostMassBalance = g->fractionSum = 0;
  Grid gmb = glac[kMassBalance].grid;
  Grid gold = glac[kGlacierizedOld].grid;
  Grid codesold = glac[kCodesOld].grid;
  auto scan = [&](auto&& body) {
    for (int r = 1; r <= nrows; ++r) {
      if (!glacierzone[r]) continue;
      for (int c = 1; c <= ncols; ++c)
        if (!Missing(glacierzone[r][c])) body(r, c);
    }
  };
  scan([&](int r, int c) {
    Glacier* g = selected(codesold[r][c]);
    if (!g) return;
    // Balances (mm) over areas: cells of unequal area weigh by their area.
    const double a = GlacierCellArea(r, c) / (cellsize * cellsize);
    const double now = glaciergrid[r][c] > 0 ? glaciergrid[r][c] : 0.0;
    const double before = gold[r][c] > 0 ? gold[r][c] : 0.0;
    if (codesold[r][c] == glaciercodes[r][c])
      g->lostMassBalance += (before - now) * gmb[r][c] * a;
    else
      g->lostMassBalance += gmb[r][c] * before * a;
  });
  scan([&](int r, int c) {
    Glacier* g = selected(glaciercodes[r][c]);
    if (g && glaciergrid[r][c] > 0) g->fractionSum += glaciergrid[r][c] * GlacierCellArea(r, c) / (cellsize * cellsize);
  });
  for (auto& g : glaciers)
    if (requested < 0 || g->code == requested)
      g->massBalancePerFraction = g->fractionSum > 0 ? g->lostMassBalance / g->fractionSum : 0.0;
  scan([&](int r, int c) {
    Glacier* g = selected(glaciercodes[r][c]);
    if (g) gmb[r][c] += g->massBalancePerFraction;
  });
}
