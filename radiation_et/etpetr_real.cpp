// Evapotranspiration model: snow evaporation from the snow pack, the step's
// real evapotranspiration statistics, the module's own reduction of potential
// to real evapotranspiration, and the cell totals of real evapotranspiration.
#include <algorithm>

#include "framework/diagstream.h"
#include "framework/hrurecord.h"
#include "framework/statisticpasses.h"
#include "framework/zonalstatistic.h"
#include "radiation_et/etpetr.h"

namespace {
// Takes the demand from the store: what the store can give evaporates. A
// missing demand (not above -9999) takes nothing.
void TakeFrom(double& store, double& demand, double& evaporated) {
  if (!(demand > -9999.0)) return;
  if (store < demand) {
    evaporated += store;
    demand -= store;
    store = 0;
  } else {
    evaporated += demand;
    store -= demand;
    demand = 0;
  }
}
// The snow evaporation of a cell's open part (mm over that part) counts with
// the open share g, as the interception's and the soil's; the glacier part
// adds 0.
void AddOpenPart(zonalstatistic::RowSums& sums, int c, int zone, double g, double value) {
  if (g < 1) sums.Add(c, zone, value, 1 - g);
  if (g > 0) sums.Add(c, zone, 0.0, g);
}
// A cell's amount of a water grid; none without the grid or a value.
double Amount(double** g, int r, int c) {
  return g && g[r][c] > -9999.0 ? g[r][c] : 0.0;
}
}  // namespace

double verdunstungsmodellklasse::GlacierFraction(int r, int c) const {
  return glacier ? std::clamp(glacier[r][c], 0.0, 1.0) : 0.0;
}

void verdunstungsmodellklasse::SnowEvaporationOnGlacier(int64_t stepHour, int64_t stepDay, int64_t stepMonth,
                                                        int64_t stepYear) {
  if (flowcontrol == 0 || !solidsnow) return;
  SetStepDate(stepYear, stepMonth, stepDay, stepHour);
  Log("snow_evaporation", stepHour, stepDay, stepMonth, stepYear);
  if (glacierlookup) {
    glacierlookup = false;
    if (FindGrid("SnowEvaporation_onGlacier", false) > 0 && FindGrid("TotalSnowStorage_onGlacier", false) > 0) {
      glaciersnowevap = GridAt("SnowEvaporation_onGlacier");
      glaciersolidsnow = GridAt("SolidSnowStorage_onGlacier");
    }
  }
  evrsstat->NewStep();
  SnowEvaporationCells(!leavesfirst, true);
  if (!leavesfirst) FinishSnowEvaporation(stepHour, stepDay, stepMonth, stepYear);
}

void verdunstungsmodellklasse::SnowEvaporationUnderLeaves(int64_t stepHour, int64_t stepDay, int64_t stepMonth,
                                                          int64_t stepYear) {
  if (flowcontrol == 0 || !solidsnow || !leavesfirst) return;
  SetStepDate(stepYear, stepMonth, stepDay, stepHour);
  SnowEvaporationCells(true, false);
  FinishSnowEvaporation(stepHour, stepDay, stepMonth, stepYear);
}

void verdunstungsmodellklasse::SnowEvaporationCells(bool openPart, bool glacierPart) {
  const int L = LayerCount;
  // Snow methods that evaporate snow themselves.
  const bool ownsnow = snowmethod == 5 || snowmethod == 6 || snowmethod == 7 || snowmethod == 11;
  // Each cell takes only from its own stores.
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r) {
    int c0, c1;
    ColumnsOf(r, c0, c1);
    for (int c = c0; c <= c1; ++c) {
      if (!Processed(r, c)) continue;
      if (ownsnow) {
        if (openPart && solidsnow[r][c] > 0 && L > 0) {
          for (int j = 1; j <= L; ++j)
            if (landuse[j][r][c] > nodata && etp[j][r][c] > nodata) etp[j][r][c] = 0;
          if (evap[r][c] > nodata) evap[r][c] = 0;
        }
        continue;
      }
      const double g = GlacierFraction(r, c);
      // The demands are per unit area: each part meets them whole. The
      // glacier part's snow takes them as the potential step left them,
      // without lowering them; what the open part's snow leaves goes on to
      // its plants and soil.
      if (glacierPart && glaciersnowevap) glaciersnowevap[r][c] = 0;
      if (glacierPart && g > 0 && glaciersnowevap && glaciersolidsnow) {
        double& store = glaciersolidsnow[r][c];
        for (int j = 1; j <= L; ++j)
          if (landuse[j][r][c] > nodata) {
            double demand = etp[j][r][c];
            TakeFrom(store, demand, glaciersnowevap[r][c]);
          }
        double demand = evap[r][c];
        TakeFrom(store, demand, glaciersnowevap[r][c]);
      }
      if (!openPart) continue;
      evrs[r][c] = 0;
      // The snow serves what is left of a layer's demand. When the leaves
      // take the snow's outflow and evaporate after it, they evaporate at
      // most what the snow left of their own demand: a layer gives off no
      // more than the larger of its potential transpiration and its
      // potential interception evaporation.
      if (g < 1 && solidsnow[r][c] > 0) {
        double& store = solidsnow[r][c];
        for (int j = 1; j <= L; ++j)
          if (landuse[j][r][c] > nodata) {
            const double taken = evrs[r][c];
            TakeFrom(store, etp[j][r][c], evrs[r][c]);
            if (eip[j][r][c] > nodata) eip[j][r][c] = std::max(0.0, eip[j][r][c] - (evrs[r][c] - taken));
          }
        TakeFrom(store, evap[r][c], evrs[r][c]);
      }
    }
  }
}

void verdunstungsmodellklasse::FinishSnowEvaporation(int64_t stepHour, int64_t stepDay, int64_t stepMonth,
                                                     int64_t stepYear) {
  const int L = LayerCount;
  const bool ownsnow = snowmethod == 5 || snowmethod == 6 || snowmethod == 7 || snowmethod == 11;
  // Response units and the statistic in the order of the cells; an inactive
  // statistic takes no cell, and without response units the pass is skipped.
  const bool addCells = !ownsnow && evrsstat->IsActive();
  for (int r = firstrow; (hrumaster || addCells) && r <= lastrow; ++r) {
    int c0, c1;
    ColumnsOf(r, c0, c1);
    zonalstatistic::RowSums sums(*evrsstat, r);
    for (int c = c0; c <= c1; ++c) {
      if (!OwnCell(r, c)) continue;
      if (hrumaster && hrumaster[r][c] == nodata) {
        int mr = 0, mc = 0;
        if (!MasterOf(r, c, mr, mc)) ReportResponseUnit(r, c);
        for (int l = 0; l <= L; ++l) {
          etp[l][r][c] = etp[l][mr][mc];
          eip[l][r][c] = eip[l][mr][mc];
        }
        for (Grid g : {evap, evrs, glaciersnowevap, solidsnow, glaciersolidsnow})
          if (g) g[r][c] = g[mr][mc];
      }
      if (addCells) AddOpenPart(sums, c, ZoneOf(r, c), GlacierFraction(r, c), evrs[r][c]);
    }
  }
  // The snow methods that evaporate snow themselves do so in the snow step,
  // after this one: their snow evaporation is counted with the real
  // evapotranspiration of the step.
  if (!ownsnow) SnowEvaporationStatistics(stepHour, stepDay, stepMonth, stepYear, false);
}

void verdunstungsmodellklasse::SnowEvaporationStatistics(int64_t stepHour, int64_t stepDay, int64_t stepMonth,
                                                         int64_t stepYear, bool addCells) {
  for (int r = firstrow; addCells && evrsstat->IsActive() && r <= lastrow; ++r) {
    int c0, c1;
    ColumnsOf(r, c0, c1);
    zonalstatistic::RowSums sums(*evrsstat, r);
    for (int c = c0; c <= c1; ++c)
      if (OwnCell(r, c)) AddOpenPart(sums, c, ZoneOf(r, c), GlacierFraction(r, c), evrs[r][c]);
  }
  evrsstat->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
  WriteStatisticGrids(evrspos, 1, 0);
}

void verdunstungsmodellklasse::RestoreStepTemperature() {
  if (!daytemperature) return;
  daytemperature = false;
  for (int r = firstrow; r <= lastrow; ++r) {
    int c0, c1;
    ColumnsOf(r, c0, c1);
    for (int c = c0; c <= c1; ++c)
      if (Processed(r, c)) temperature[r][c] = steptemperature[r][c];
  }
}

void verdunstungsmodellklasse::RealEvapotranspiration(int64_t stepHour, int64_t stepDay, int64_t stepMonth,
                                                      int64_t stepYear) {
  if (flowcontrol == 0) return;
  SetStepDate(stepYear, stepMonth, stepDay, stepHour);
  Log("real evapotranspir.", stepHour, stepDay, stepMonth, stepYear);
  RestoreStepTemperature();
  if (!interceptionevap && FindGrid("interception_evaporation0", false) > 0)
    interceptionevap = GridAt("interception_evaporation0");
  for (zonalstatistic* s : etrstat)
    if (s) s->NewStep();
  if (evarstat) evarstat->NewStep();
  const bool ownsnow = snowmethod == 5 || snowmethod == 6 || snowmethod == 7 || snowmethod == 11;
  if (ownsnow && solidsnow) SnowEvaporationStatistics(stepHour, stepDay, stepMonth, stepYear, true);
}

void verdunstungsmodellklasse::UpdateTotals(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  if (flowcontrol == 0) return;
  RealEvapotranspiration(stepHour, stepDay, stepMonth, stepYear);
  const int L = LayerCount;
  const bool lakes = LakeFlowControl != 0 && lakegrid && pondgrid;
  for (int r = firstrow; r <= lastrow; ++r) {
    int c0, c1;
    ColumnsOf(r, c0, c1);
    for (int c = c0; c <= c1; ++c) {
      if (!Processed(r, c)) {
        for (int l = 0; l <= L; ++l) etr[l][r][c] = nodata;
        continue;
      }
      const double g = GlacierFraction(r, c);
      if (g >= 1) continue;
      const int zone = ZoneOf(r, c);
      const double capacity = availablesoil ? availablesoil[r][c] : 0.0;
      const double theta = capacity > 0 ? soilstorage[r][c] : 1.0;
      // Takes a demand from the soil store, below 60 % fill in proportion to the fill.
      auto fromSoil = [&](double demand) {
        double E = theta < 0.6 ? demand * theta / 0.6 : demand;
        if (capacity > 0) {
          soilstorage[r][c] -= E / capacity;
          if (soilstorage[r][c] < 0) {
            E += soilstorage[r][c] * capacity;
            soilstorage[r][c] = 0;
          }
        }
        return E;
      };
      const bool pond = lakes && lakegrid[r][c] > nodata && pondgrid[r][c] > 1.0;
      etr[0][r][c] = 0;
      for (int j = 1; j <= L; ++j) {
        if (!(landuse[j][r][c] > nodata)) {
          etr[j][r][c] = 0;
          etrstat[j]->AddCell(r, c, zone, 0.0, 1.0);
          continue;
        }
        double E = 0;
        if (!(etp[j][r][c] > nodata)) {
          // A missing potential takes nothing.
        } else if (pond) {
          E = std::min(pondgrid[r][c], etp[j][r][c]);
          pondgrid[r][c] -= E;
          etp[j][r][c] -= E;
        } else {
          E = fromSoil(etp[j][r][c]);
        }
        etr[j][r][c] += E;
        etrstat[j]->AddCell(r, c, zone, etr[j][r][c], 1 - g);
        etrstat[j]->AddCell(r, c, zone, 0.0, g);
        etr[0][r][c] += etr[j][r][c];
      }
      // The cell's one soil evaporation demand is taken once, after the layers.
      if (pond)
        evar[r][c] = 0;
      else if (evap[r][c] > nodata)
        evar[r][c] += fromSoil(evap[r][c]);
      evarstat->AddCell(r, c, zone, evar[r][c], 1 - g);
      evarstat->AddCell(r, c, zone, 0.0, g);
      etr[0][r][c] += Amount(interceptionevap, r, c) + evrs[r][c] + evar[r][c];
      etrstat[0]->AddCell(r, c, zone, etr[0][r][c], 1 - g);
      etrstat[0]->AddCell(r, c, zone, 0.0, g);
    }
  }
  for (int l = 0; l <= L; ++l) {
    etrstat[l]->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
    WriteStatisticGrids(etrpos[l], 1, 0);
  }
  evarstat->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
  WriteStatisticGrids(evarpos, 1, 0);
}

void verdunstungsmodellklasse::AccumulateZoneStatistics(int64_t stepHour, int64_t stepDay, int64_t stepMonth,
                                                        int64_t stepYear) {
  if (flowcontrol == 0) return;
  SetStepDate(stepYear, stepMonth, stepDay, stepHour);
  RestoreStepTemperature();
  const int L = LayerCount;
  auto layerValue = [&](int j, int r, int c) { return landuse[j][r][c] > nodata ? etr[j][r][c] : 0.0; };
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r) {
    int c0, c1;
    ColumnsOf(r, c0, c1);
    for (int c = c0; c <= c1; ++c) {
      if (!OwnCell(r, c)) continue;
      if (!(etp[0][r][c] > nodata)) {
        // Without the step's potentials nothing evaporated on their account:
        // the layers' and the soil's real evapotranspiration are missing;
        // the cell's is what the interception and snow gave, if anything.
        for (int j = 1; j <= L; ++j)
          if (landuse[j][r][c] > nodata) etr[j][r][c] = nodata;
        evar[r][c] = nodata;
        const double known = Amount(interceptionevap, r, c) + evrs[r][c];
        etr[0][r][c] = known > 0 ? known : nodata;
        continue;
      }
      double layers = 0;
      for (int j = 1; j <= L; ++j) layers += layerValue(j, r, c);
      // The cell's real evapotranspiration: what the soil gave the layers and
      // its surface, the snow evaporation and, with interception, what the
      // vegetation's storage lost.
      etr[0][r][c] = Amount(interceptionevap, r, c) + evrs[r][c] + evar[r][c] + layers;
    }
  }
  // Statistics 0 ... L: the layers' real evapotranspiration (0 the cell's),
  // L + 1: the soil evaporation; each cell's glacier share adds 0. Those that
  // write a file are filled.
  std::vector<int> filled;
  for (int s = 0; s <= L + 1; ++s)
    if ((s <= L ? etrstat[s] : evarstat)->IsActive()) filled.push_back(s);
  StatisticRowsSideBySide(
      static_cast<int>(filled.size()), firstrow, lastrow, ncols,
      [&](int r, StatisticCell* list) {
        int c0, c1, cells = 0;
        ColumnsOf(r, c0, c1);
        for (int c = c0; c <= c1; ++c)
          if (OwnCell(r, c)) list[cells++] = StatisticCell{c, ZoneOf(r, c), GlacierFraction(r, c)};
        return cells;
      },
      [&](int j, int r, const StatisticCell* list, int cells) {
        const int s = filled[j];
        if (s == 0) {
          const double* glacierpart = (glaciersnowevap ? glaciersnowevap : evrs)[r];
          const double* cell = etr[0][r];
          zonalstatistic::RowSums sums(*etrstat[0], r);
          for (const StatisticCell* e = list; e < list + cells; ++e) {
            const double g = e->share;
            const double v = cell[e->column] > nodata ? cell[e->column] : (g > 0 ? 0.0 : nodata);
            sums.Add(e->column, e->zone, g * glacierpart[e->column] + (1 - g) * v, 1.0);
          }
          return;
        }
        zonalstatistic::RowSums sums(*(s <= L ? etrstat[s] : evarstat), r);
        if (s <= L) {
          const double* use = landuse[s][r];
          const double* layer = etr[s][r];
          for (const StatisticCell* e = list; e < list + cells; ++e) {
            const int c = e->column;
            sums.Add(c, e->zone, use[c] > nodata ? layer[c] : 0.0, 1 - e->share);
            sums.Add(c, e->zone, 0.0, e->share);
          }
        } else {
          const double* soil = evar[r];
          for (const StatisticCell* e = list; e < list + cells; ++e) {
            sums.Add(e->column, e->zone, soil[e->column], 1 - e->share);
            sums.Add(e->column, e->zone, 0.0, e->share);
          }
        }
      },
      zonecount + 1, [](int) { return true; });
  for (int l = 0; l <= L; ++l) {
    etrstat[l]->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
    WriteStatisticGrids(etrpos[l], 1, 0);
  }
  evarstat->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
  WriteStatisticGrids(evarpos, 1, 0);
}
