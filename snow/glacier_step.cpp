// Glacierized cells, glacier runoff, the yearly glacier update and the
// permafrost thaw depth in the snow model's step. All storages and melts of
// the glacierized part are in mm over that part of the cell.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "framework/zonalstatistic.h"
#include "snow/snowmod.h"

double schneemodellklasse::AnnualIceRadiationFactor(double d) {
  return iceradmean + iceradamplitude * std::sin((d + phase) * frequency);
}

double schneemodellklasse::AnnualSnowRadiationFactor(double d) {
  return snowradmean + snowradamplitude * std::sin((d + phase) * frequency);
}

void schneemodellklasse::GlacierCell(int r, int c, double T, double& S, double& L, double& snowIn, double& rainIn) {
  const double n = stepsperday;
  double& Sg = glac[kSolidOnGlacier].grid[r][c];
  double& Lg = glac[kLiquidOnGlacier].grid[r][c];
  double& out = own[kOutflow].grid[r][c];
  double& meltout = own[kMeltOutflow].grid[r][c];
  double& outg = glac[kSnowMeltOnGlacier].grid[r][c];
  if (!(Sg > nodata)) Sg = 0;
  if (!(Lg > nodata)) Lg = 0;
  outg = 0;
  const double packBefore = Sg + Lg;
  // A wholly glacierized cell has no open part: no snow and no outflow
  // there, its whole input goes to the glacier part alone.
  const double g = GlacierFraction(r, c);
  const bool open = g < 1;
  if (!open) S = L = 0;
  double openSnow = 0, openRain = 0;  // what the open part took
  const double R = glacierradiation && glacierradiation[r][c] > nodata ? glacierradiation[r][c] : 0.0;
  double mg = 0;
  // What the holding capacity of a pack cannot keep leaves it.
  auto release = [&](double& s, double& l, double& o) {
    const double K = s * CWH;
    if (l > K) {
      o += l - K;
      l = K;
    }
  };
  if (glaciermethod != 13) {
    double f = 0;
    if (T > T0R + transzone)
      f = 0;
    else if (T <= T0R - transzone)
      f = 1;
    else
      f = (T0R + transzone - T) / (2 * transzone);
    // The open part takes the water input, the glacier part the
    // precipitation (they differ when the interception runs first).
    const double P = waterinput[r][c] > nodata ? waterinput[r][c] : 0.0;
    if (open) {
      openSnow = f * P;
      openRain = (1 - f) * P;
      S += openSnow;
      L += openRain;
    }
    const double Pg = GlacierInput(r, c);
    snowIn = f * Pg;
    rainIn = (1 - f) * Pg;
    Sg += snowIn;
    Lg += rainIn;
    double melt = 0;
    if (T > T0)
      melt =
          glaciermethod == 1 || glaciermethod == 11 ? (T - T0) * DDFsnow / n : (T - T0) * (MF / n + R * snowradfactor);
    if (melt > 0 && S + L > 0) {
      const double m = std::min(melt, S);
      L += m;
      S -= m;
      if (m > 0) {
        double o = 0;
        release(S, L, o);
        out += o;
        meltout += o;
      }
    }
    release(S, L, out);
    if (melt > 0 && Sg + Lg > 0) {
      mg = std::min(melt, Sg);
      Lg += mg;
      Sg -= mg;
    }
    release(Sg, Lg, outg);
  } else {
    // The snow method melts both parts, each with its own input and the
    // drift of its own snowfall: the open part the water input (the
    // throughfall when the interception runs first; of a wholly glacierized
    // cell worked out on an empty pack that is dropped), the glacier part
    // the precipitation, taken before the open part's drift joins the water
    // input (they are one grid when the snow runs first).
    double f = 0;
    double none[2] = {0, 0};
    double& So = open ? S : none[0];
    double& Lo = open ? L : none[1];
    double total = So + Lo;
    double scratch = nodata;
    double& tpack = own[kSnowTemp].grid && open ? own[kSnowTemp].grid[r][c] : scratch;
    double& tsurf = own[kSurfTemp].grid && open ? own[kSurfTemp].grid[r][c] : scratch;
    double evap = 0;
    double M = 0;
    const double Pstep = waterinput[r][c];
    const double Pgstep = GlacierInput(r, c);
    double& P = waterinput[r][c];
    const double a = albedo[r][c];
    if (timeinterval <= 720) {
      M = SnowCell(T, 1.0, r, c, f, So, Lo, total, tpack, tsurf, evap, P, Pstep, openSnow, openRain, a);
    } else {
      double s1 = 0, r1 = 0;
      M = SnowCell(temperaturenight[r][c], nightfraction, r, c, f, So, Lo, total, tpack, tsurf, evap, P, Pstep, s1, r1,
                   a);
      M += SnowCell(T, dayfraction, r, c, f, So, Lo, total, tpack, tsurf, evap, P, Pstep, openSnow, openRain, a);
      openSnow += s1;
      openRain += r1;
    }
    if (EnergyBalanceMethod(method) && snowevaporation) snowevaporation[r][c] = open ? evap : 0.0;
    if (open) {
      const double m = std::max(0.0, std::min(M, S));
      L += m;
      S -= m;
      double o = 0;
      release(S, L, o);
      out += o;
      if (m > 0) meltout += o;
    } else {
      if (own[kSnowTemp].grid) own[kSnowTemp].grid[r][c] = nodata;
      if (own[kSurfTemp].grid) own[kSurfTemp].grid[r][c] = nodata;
    }

    double totalg = Sg + Lg;
    double scratchg = nodata;
    double& tpackg = glac[kSnowTempOnGlacier].grid ? glac[kSnowTempOnGlacier].grid[r][c] : scratchg;
    double& tsurfg = glac[kSurfTempOnGlacier].grid ? glac[kSurfTempOnGlacier].grid[r][c] : scratchg;
    // The energy balance reports the sublimation of the glacier part; the
    // other methods' snow evaporation was taken before the snow step.
    const bool eb = EnergyBalanceMethod(method);
    double evapg = eb || !glac[kEvapOnGlacier].grid ? 0.0 : glac[kEvapOnGlacier].grid[r][c];
    double Pg = Pgstep;
    double Mg = 0;
    // The glacier part's snow has its own age and albedo (that of the open
    // part's snow, or of the bare land beside it, is not on the glacier).
    Grid ages = glac[kSnowAgeOnGlacier].grid;
    if (ages && !(ages[r][c] > nodata)) ages[r][c] = 0;
    const double ag = !ages ? a : totalg <= 2.5 ? LanduseAlbedo(r, c) : SnowAlbedo(T, ages[r][c]);
    if (timeinterval <= 720) {
      Mg = SnowCell(T, 1.0, r, c, f, Sg, Lg, totalg, tpackg, tsurfg, evapg, Pg, Pgstep, snowIn, rainIn, ag);
    } else {
      double s1 = 0, r1 = 0;
      Mg = SnowCell(temperaturenight[r][c], nightfraction, r, c, f, Sg, Lg, totalg, tpackg, tsurfg, evapg, Pg, Pgstep,
                    s1, r1, ag);
      Mg += SnowCell(T, dayfraction, r, c, f, Sg, Lg, totalg, tpackg, tsurfg, evapg, Pg, Pgstep, snowIn, rainIn, ag);
      snowIn += s1;
      rainIn += r1;
    }
    if (eb && glac[kEvapOnGlacier].grid) glac[kEvapOnGlacier].grid[r][c] = evapg;
    mg = std::max(0.0, std::min(Mg, Sg));
    Lg += mg;
    Sg -= mg;
    release(Sg, Lg, outg);
    // Its age as the open part's: fresh snowfall on a pack of more than
    // 5 mm makes it new.
    if (ages) {
      if (T > T0R + transzone || Pg <= 1.0 || Sg + Lg <= 5.0)
        ages[r][c] += 1.0 / n;
      else
        ages[r][c] = 0;
    }
  }
  // The glacier part's tracers: those of the water it took (its input with
  // the snow the wind brought), at the precipitation's concentration; its
  // outflow (into the glacier runoff) takes the pack's concentration, or its
  // share of the amount, at most at the tracer's maximum concentration.
  const double in = snowIn + rainIn;
  for (size_t t = 1; t < glaciertracers.size(); ++t) {
    double& v = glaciertracers[t].store[r][c];
    glaciertracers[t].outflow[r][c] = 0;
    glaciertracers[t].firnmelt[r][c] = 0;
    if (!(v > nodata)) continue;
    Grid cinGrid = glaciertracers[t].input;
    const double cin = cinGrid && cinGrid[r] && cinGrid[r][c] > nodata ? cinGrid[r][c] : 0.0;
    if (tracers[t].evaporating == 1) {
      if (in > 0) v = WeightedMean(v, cin, packBefore, in);
      glaciertracers[t].outflow[r][c] = v;
      continue;
    }
    if (in > 0) v += in * cin;
    const double W = outg + Sg + Lg;
    double released = W > 0 ? v * outg / W : 0.0;
    if (tracers[t].max_conc > 0) released = std::min(released, outg * tracers[t].max_conc);
    v -= released;
    glaciertracers[t].outflow[r][c] = outg > 0 ? released / outg : 0.0;
  }
  if (glac[kTotalOnGlacier].grid) glac[kTotalOnGlacier].grid[r][c] = Sg + Lg;
  if (T > T0 && Sg <= 0) {
    const double firnBefore = glaciermethod > 10 && glac[kFirnTotal].grid && glac[kFirnTotal].grid[r][c] > 0
                                  ? glac[kFirnTotal].grid[r][c]
                                  : 0.0;
    const double firnMeltBefore = glac[kMeltFirn].grid[r][c];
    IceAndFirnMelt(r, c, T, mg);
    // The firn of dynamic glaciers gives off the tracer the store holds
    // without snow water (that of the snow that became firn) with its melt,
    // in the share of the firn that melted.
    // An evaporating tracer leaves with it at the firn's concentration.
    const double x = glac[kMeltFirn].grid[r][c] - firnMeltBefore;
    for (size_t t = 1; t < glaciertracers.size() && x > 0 && firnBefore > 0 && Sg + Lg <= 0; ++t) {
      double& v = glaciertracers[t].store[r][c];
      if (tracers[t].evaporating == 1) {
        const Grid f = glaciertracers[t].firn;
        if (f && f[r][c] > nodata) glaciertracers[t].firnmelt[r][c] = f[r][c];
        continue;
      }
      if (!(v > 0)) continue;
      const double released = v * std::min(1.0, x / firnBefore);
      v -= released;
      glaciertracers[t].firnmelt[r][c] = released / x;
    }
  }
  // The glacier part's snowfall and rain build its mass balance; those of
  // the cell are its parts' by their shares (the parts' inputs differ when
  // the interception runs first, and so does their drift).
  if (glac[kMassBalance].grid) glac[kMassBalance].grid[r][c] += snowIn + rainIn;
  if (open) {
    snowIn = g * snowIn + (1 - g) * openSnow;
    rainIn = g * rainIn + (1 - g) * openRain;
  }
}

void schneemodellklasse::IceAndFirnMelt(int r, int c, double T, double mg) {
  const double n = stepsperday;
  const double d = debris && debris[r][c] > nodata + 1 ? debris[r][c] : 1.0;
  const double s = debrisscaling;
  const double R = glacierradiation && glacierradiation[r][c] > nodata ? glacierradiation[r][c] : 0.0;
  const double dT = T - T0;
  double& fromFirn = glac[kMeltFirn].grid[r][c];
  double& fromIce = glac[kMeltIce].grid[r][c];
  const bool firn = FirnCell(r, c);
  double potential = 0;
  switch (glaciermethod) {
    case 1:
    case 11:
      potential = firn ? dT * DDFfirn / n : dT * d * s * DDFice / n;
      break;
    default:
      potential = firn ? dT * (MF / n + R * snowradfactor) : dT * d * s * (MF / n + R * iceradfactor);
      break;
  }
  // The energy the snow took this step is not there for ice or firn.
  const double x = potential - mg;
  if (!(x > 0)) return;
  if (!firn) {
    fromIce = x;
    return;
  }
  if (glaciermethod < 10) {
    // Static firn cells hold an unlimited firn body.
    fromFirn += x;
    return;
  }
  // Firn is taken from the youngest layer on; what the layers cannot give
  // melts ice. "melt_from_firn" holds what the firn gave.
  double* level = firnstack[r][c];
  double rest = x;
  for (int k = 1; k <= firn_levels && rest > 0; ++k) {
    double v = level[k] > nodata ? level[k] : 0.0;
    if (v >= rest) {
      v -= rest;
      rest = 0;
    } else {
      rest -= v;
      v = 0;
    }
    level[k] = v;
  }
  double sum = 0;
  for (int k = 1; k <= firn_levels; ++k) sum += level[k] > nodata ? level[k] : 0.0;
  level[0] = sum;
  glac[kFirnTotal].grid[r][c] = sum;
  fromFirn += x - rest;
  fromIce += rest;
}

void schneemodellklasse::PermafrostCell(int r, int c) {
  if (!snowfreedays || !(thawcoeff[r][c] > nodata)) return;
  const double n = stepsperday;
  const double W = own[kSolid].grid[r][c] + own[kLiquid].grid[r][c];
  double& freeDays = snowfreedays[r][c];
  double& coverDays = snowcoverdays[r][c];
  double& thaw = thawdepth[r][c];
  if (!(freeDays > nodata)) freeDays = 0;
  if (!(coverDays > nodata)) coverDays = 0;
  if (W <= Max_SWE_SnowFree) {
    coverDays = 0;
    freeDays += 1.0 / n;
    if (freeDays > 0) thaw = std::sqrt(freeDays) * thawcoeff[r][c];
  } else {
    coverDays += 1.0 / n;
    // A short snow cover keeps the thaw depth; a lasting one refreezes the soil.
    if (coverDays >= Min_Snow_Age_Refreeze) {
      freeDays = 0;
      thaw = 0;
    }
  }
  if (rootdepth && rootdepth[r][c] > nodata && thaw > nodata && thaw < rootdepth[r][c]) rootdepth[r][c] = thaw;
}

void schneemodellklasse::AddGlacierStatistics(int r, int c, int zone) {
  auto add = [&](GlacierStatistic s, int k, double v, double w) {
    if (gstats[s].writer) gstats[s].writer->AddCell(r, c, k, v, w);
  };
  const double g = GlacierFraction(r, c);
  const double S = own[kSolid].grid[r][c];
  const double L = own[kLiquid].grid[r][c];
  add(kStatWithoutGlaciers, zone, S + L, 1 - g);
  add(kStatWithoutGlaciers, zone, 0, g);
  if (!subbasingrid || Missing(subbasingrid[r][c])) return;
  const long code = std::lround(subbasingrid[r][c]);
  if (code < 0 || code > largestsubbasin) return;
  const int k = subbasinindex[code];
  if (k < 1 || k > subbasincount) return;
  const bool dynamic = glaciermethod > 10;
  const double area = RelativeArea(r, c);
  areasums[k].Add(area);
  cellsums[k] += 1;
  if (g <= 0) {
    for (GlacierStatistic s : {kStatFirnMelt, kStatIceMelt, kStatSnowOnIce}) add(s, k, 0, 1);
    if (dynamic)
      for (GlacierStatistic s : {kStatFirnWE, kStatMassBalance}) add(s, k, 0, 1);
    return;
  }
  const double phi = FirnCell(r, c) ? 1.0 : 0.0;
  const double smg = glac[kSnowMeltOnGlacier].grid[r][c];
  const double values[3] = {phi * smg + glac[kMeltFirn].grid[r][c], glac[kMeltIce].grid[r][c], (1 - phi) * smg};
  const GlacierStatistic targets[3] = {kStatFirnMelt, kStatIceMelt, kStatSnowOnIce};
  for (int i = 0; i < 3; ++i) {
    add(targets[i], k, values[i], g);
    add(targets[i], k, 0, 1 - g);
    meltsums[3 * k + i].Add(values[i] * g * area);
  }
  // The loads of the tracers in the same parts (ice melt carries none).
  for (size_t t = 1; t < glaciertracers.size(); ++t) {
    const double cs = glaciertracers[t].outflow[r][c], cf = glaciertracers[t].firnmelt[r][c];
    const double loads[3] = {phi * smg * cs + glac[kMeltFirn].grid[r][c] * cf, 0.0, (1 - phi) * smg * cs};
    ExactSum* sums = tracermeltsums.data() + GlacierRunoffTracerIndex(static_cast<int>(t), 0, 0) + 3 * k;
    for (int i = 0; i < 3; ++i) sums[i].Add(loads[i] * g * area);
  }
  if (!dynamic) return;
  // Every cell of the basin holds a balance (set up so at the start); it adds
  // up over the years and may pass -9999 mm, so it is counted as an amount.
  double& gmb = glac[kMassBalance].grid[r][c];
  // A cell that rested for a missing input (its snowfall missing) passed
  // its water input on: the balance stays. (The glacier part's snowfall and
  // rain joined it in the cell's step.)
  if (own[kSnowFraction].grid[r][c] > nodata) gmb -= smg + glac[kMeltFirn].grid[r][c] + glac[kMeltIce].grid[r][c];
  if (own[kInputMass].grid)
    gmb += own[kMobileMass].grid[r][c] + own[kDeposition].grid[r][c] - own[kInputMass].grid[r][c];
  if (glac[kEvapOnGlacier].grid) gmb -= glac[kEvapOnGlacier].grid[r][c];
  add(kStatFirnWE, k, glac[kFirnTotal].grid[r][c], g);
  for (GlacierStatistic s : {kStatMassBalance, kStatMassBalanceGlacierPart})
    if (gstats[s].writer) gstats[s].writer->AddAmount(r, c, k, gmb, g);
  add(kStatFirnWE, k, 0, 1 - g);
  add(kStatMassBalance, k, 0, 1 - g);
}

void schneemodellklasse::GlacierRunoff() {
  const int count = subbasincount;
  // The step's per-subbasin melt sums meet on instance 0 (the cell counts
  // as doubles, the others summed exactly).
  std::vector<ExactSum> exact(meltsums);
  exact.insert(exact.end(), areasums.begin(), areasums.end());
  exact.insert(exact.end(), tracermeltsums.begin(), tracermeltsums.end());
  std::vector<double> counted(cellsums);
  int running = 0;
  MPI_Initialized(&running);
  if (running && mpisize > 1) ExactSum::Reduce(exact.data(), static_cast<int>(exact.size()), 0);
  SumOnRoot(counted);
  const size_t ahead = meltsums.size() + areasums.size();
  std::vector<double> sums;
  sums.reserve(exact.size() + counted.size());
  for (size_t i = 0; i < ahead; ++i) sums.push_back(exact[i].Value());
  sums.insert(sums.end(), counted.begin(), counted.end());
  for (size_t i = ahead; i < exact.size(); ++i) sums.push_back(exact[i].Value());
  for (auto* a : {&meltsums, &tracermeltsums, &areasums})
    for (ExactSum& x : *a) x.Clear();
  std::fill(cellsums.begin(), cellsums.end(), 0.0);
  if (mpirank != 0) return;
  const size_t stride = static_cast<size_t>(count) + 1;
  const double* melt = sums.data();
  const double* area = sums.data() + 3 * stride;
  const double* cells = sums.data() + 4 * stride;
  const double* loads = sums.data() + 5 * stride;  // tracer t's at 3 x stride x (t - 1)
  const int ntr = static_cast<int>(glaciertracers.size()) - 1;
  StatisticEntry& total = gstats[kStatGlacierTotal];
  for (int k = 1; k <= count; ++k) {
    if (total.records.size() > static_cast<size_t>(k)) {
      total.records[k].n = cells[k];
      total.records[k].RelCellSum = area[k];
      total.records[k].sx = 0;
    }
    const GlacierTableRecord& t = glaciertable[k];
    // Every subbasin's runoff is written in every step: the soil model adds
    // its runoff to it where it keeps glacier.
    if (linked && qg) qg[k] = 0;
    for (int tr = 1; tr <= ntr && glacierconc; ++tr) glacierconc[static_cast<size_t>(tr) * stride + k] = 0;
    if (!t.glacier) continue;
    const double a = t.glacierized;
    const double b = t.free;
    const double r = a + b > 0 ? a / (a + b) : 0.0;
    if (r > 0) {
      // Each storage follows its input (per glacierized area) with the
      // recession constant k in steps (0: it passes its input).
      auto recede = [&](double& X, double k, double q) {
        const double e = k > 0 ? std::exp(-1.0 / k) : 0.0;
        X = X * e + (1 - e) * q / r;
      };
      const double mean = area[k] > 0 ? 1.0 / area[k] : 0.0;
      // The tracers mix in each storage: its load (outflow x concentration)
      // follows the load that enters as its water follows the water.
      double* X[3] = {&qice[k], &qfirn[k], &qsnow[k]};
      const double K[3] = {kice_els, kfirn_els, ksnow_els};
      const int part[3] = {1, 0, 2};  // of the sums: firn, ice, snow on ice
      for (int tr = 1; tr <= ntr; ++tr)
        for (size_t x = 0; x < 3; ++x) {
          double& conc = glacierrunoffconc[GlacierRunoffTracerIndex(tr, x, k)];
          double before = *X[x];
          double load = before * conc;
          recede(load, K[x], loads[3 * stride * static_cast<size_t>(tr - 1) + 3 * k + part[x]] * mean);
          recede(before, K[x], melt[3 * k + part[x]] * mean);
          conc = before > 0 ? load / before : 0.0;
        }
      for (size_t x = 0; x < 3; ++x) recede(*X[x], K[x], melt[3 * k + part[x]] * mean);
    } else {
      qice[k] = qfirn[k] = qsnow[k] = 0;
      for (int tr = 1; tr <= ntr; ++tr)
        for (size_t x = 0; x < 3; ++x) glacierrunoffconc[GlacierRunoffTracerIndex(tr, x, k)] = 0;
    }
    const double sum = qice[k] + qfirn[k] + qsnow[k];
    // The glacier runoff's concentration: its storages' loads over its water.
    for (int tr = 1; tr <= ntr && glacierconc; ++tr) {
      const double water[3] = {qice[k], qfirn[k], qsnow[k]};
      double load = 0;
      for (size_t x = 0; x < 3; ++x) load += water[x] * glacierrunoffconc[GlacierRunoffTracerIndex(tr, x, k)];
      glacierconc[static_cast<size_t>(tr) * stride + k] = sum > 0 ? load / sum : 0.0;
    }
    // mm over the whole subbasin: the storages take the area-weighted mean
    // melt of the subbasin and give it back as such. (The cell count over
    // the area would inflate it wherever relative cell areas differ from 1.)
    if (total.records.size() > static_cast<size_t>(k)) total.records[k].sx = sum * r * area[k];
    if (linked && qg) qg[k] = sum * r;
  }
  if (total.writer) total.writer->Reduce(stepyear, stepmonth, stepday, stephour, 0);
}

bool schneemodellklasse::GlacierUpdateDue() const {
  if (glaciermethod <= 10) return false;
  // The update belongs to the step whose end passes the end of the
  // evaluation day: the last hourly step of that day, the daily step of it,
  // and the step of several days that holds it, wherever in the step the day
  // lies (also one that starts in the year before, for 31 December). Hours
  // are counted from 1 January of the year before the step's.
  const int64_t before = stepyear - 1;
  const double yearBefore = 24.0 * DayOfYear(before, 12, 31);
  const double end = yearBefore + 24.0 * (DayOfYear(stepyear, stepmonth, stepday) - 1) + static_cast<double>(stephour) +
                     mintointend / 60.0;
  const double start = end - timeinterval / 60.0;
  constexpr double kTolerance = 0.001;  // h
  for (const int64_t year : {before, stepyear}) {
    // A date the year does not have (29 February of a common year) brings
    // no update in that year.
    if (GMBEvalDay < 1 || GMBEvalDay > DaysInMonth(year, GMBEvalMonth)) continue;
    const double dayEnd = (year == before ? 0.0 : yearBefore) + 24.0 * DayOfYear(year, GMBEvalMonth, GMBEvalDay);
    if (start < dayEnd - kTolerance && dayEnd <= end + kTolerance) return true;
  }
  return false;
}

void schneemodellklasse::YearlyGlacierUpdate() {
  const double T = maxSnowPackToCreateGlacier;
  const int first = std::max(1, firstrow);
  const int last = std::min(nrows, lastrow);
  Grid S = own[kSolid].grid;
  Grid L = own[kLiquid].grid;
  Grid Sg = glac[kSolidOnGlacier].grid;
  Grid Lg = glac[kLiquidOnGlacier].grid;
  Grid gmb = glac[kMassBalance].grid;
  Grid oldgmb = glac[kOldMassBalance].grid;
  Grid gold = glac[kGlacierizedOld].grid;
  Grid codesold = glac[kCodesOld].grid;
  const std::vector<Grid> held = InterceptionStorages();
  const std::vector<Grid> leaves = InterceptionTracers();
  for (int r = first; r <= last; ++r) {
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnCell(r, c)) continue;
      double g = glaciergrid[r][c] > 0 ? glaciergrid[r][c] : 0.0;
      const double W = S[r][c] + L[r][c];
      if (!(Sg[r][c] > nodata)) Sg[r][c] = 0;
      if (!(Lg[r][c] > nodata)) Lg[r][c] = 0;
      const bool created = g <= 0 && W > T;
      // Moves the snow above T of the non-glacierized part onto the glacier
      // (liquid and solid in proportion), with its tracers; the cell's water
      // is unchanged.
      auto moveExcess = [&](double a) {
        const double E = W - T;
        const double fs = S[r][c] / W;
        const double fl = L[r][c] / W;
        const double Wg = Sg[r][c] + Lg[r][c];
        for (size_t t = 1; t < glaciertracers.size(); ++t) {
          double& v = tracergrids[t].store[r][c];
          double& vg = glaciertracers[t].store[r][c];
          if (!(v > nodata) || !(vg > nodata)) continue;
          const double moved = TracerAmount(t, v, W) * E / W;
          vg = TracerValue(t, TracerAmount(t, vg, Wg) + moved * (1 - a) / a, Wg + E * (1 - a) / a, vg);
          v = TracerValue(t, TracerAmount(t, v, W) - moved, W - E, v);
        }
        S[r][c] -= E * fs;
        L[r][c] -= E * fl;
        Sg[r][c] += E * (1 - a) / a * fs;
        Lg[r][c] += E * (1 - a) / a * fl;
        // The balance is mm over the glacierized part, as what it received.
        gmb[r][c] += E * (1 - a) / a;
      };
      if (created) {
        if (glaciercodes[r][c] < 0)
          glaciercodes[r][c] = -1;
        else
          codesold[r][c] = glaciercodes[r][c];
        g = relSizeNewGlacier;
        glaciergrid[r][c] = g;
        gold[r][c] = g;
        // The new glacier part takes the snow, and the water on the plants,
        // of the area it covers.
        const double onPlants = held.empty() || !(held[0][r][c] > nodata) ? 0.0 : held[0][r][c];
        Sg[r][c] = S[r][c];
        Lg[r][c] = L[r][c] + onPlants;
        if (glac[kSnowAgeOnGlacier].grid) glac[kSnowAgeOnGlacier].grid[r][c] = own[kAge].grid[r][c];
        // Its snow's and plants' tracers with it (per mm of either part).
        for (size_t t = 1; t < glaciertracers.size(); ++t) {
          double& vg = glaciertracers[t].store[r][c];
          if (!(vg > nodata)) continue;
          const double v = tracergrids[t].store[r][c] > nodata ? tracergrids[t].store[r][c] : 0.0;
          const double p = leaves[t] && leaves[t][r][c] > nodata ? leaves[t][r][c] : 0.0;
          vg = TracerValue(t, TracerAmount(t, v, W) + TracerAmount(t, p, onPlants), W + onPlants, v);
        }
        moveExcess(g);
      } else if (g > 0 && g < 1 && W > T) {
        moveExcess(g);
      } else if (g >= 1) {
        // A wholly glacierized cell has no other part to hold snow.
        S[r][c] = 0;
        L[r][c] = 0;
        for (size_t t = 1; t < glaciertracers.size(); ++t)
          if (tracergrids[t].store[r][c] > nodata && tracers[t].evaporating != 1) tracergrids[t].store[r][c] = 0;
      }
      if (g > 0) codesold[r][c] = glaciercodes[r][c];
      own[kTotal].grid[r][c] = S[r][c] + L[r][c];
      // The year's snow on the glacier becomes the youngest firn layer; the
      // oldest layer turns to ice (mm over the cell).
      if (g > 0 && firn_levels >= 1) {
        double* level = firnstack[r][c];
        if (!created && level[firn_levels] > nodata && glac[kFirnToIce].grid)
          glac[kFirnToIce].grid[r][c] = g * level[firn_levels];
        // A new cell had no glacier part: whatever its levels hold (the firn
        // a growing glacier shared with it at share 0) is no water.
        if (created)
          for (int k = 1; k <= firn_levels; ++k) level[k] = 0;
        // The firn that stays firn (the levels but the last, none on a new
        // cell) and the layer that turns to ice.
        const double oldest = !created && level[firn_levels] > nodata ? level[firn_levels] : 0.0;
        double stays = 0;
        for (int k = 1; k < firn_levels && !created; ++k) stays += level[k] > nodata ? level[k] : 0.0;
        for (int k = firn_levels; k >= 2; --k) level[k] = level[k - 1] > nodata ? level[k - 1] : 0.0;
        level[1] = Sg[r][c] + Lg[r][c];
        double sum = 0;
        for (int k = 1; k <= firn_levels; ++k) sum += level[k];
        level[0] = sum;
        // An evaporating tracer's firn holds one concentration: the layer
        // that turns to ice takes it into the ice with its water (the ice
        // keeps it, its melt carries none; "toice" counts it), the firn that
        // remains keeps it and the snow joins it with its own.
        for (size_t t = 1; t < glaciertracers.size(); ++t) {
          const Grid f = glaciertracers[t].firn;
          const double v = glaciertracers[t].store[r][c];
          if (!f || !(f[r][c] > nodata) || !(v > nodata)) continue;
          if (glaciertracers[t].toice) glaciertracers[t].toice[r][c] = g * f[r][c] * oldest;
          if (sum > 0) f[r][c] = (f[r][c] * stays + v * level[1]) / sum;
        }
        glac[kFirnTotal].grid[r][c] = sum;
        Sg[r][c] = 0;
        Lg[r][c] = 0;
        if (created) gmb[r][c] = oldgmb[r][c] = sum;
      }
      glac[kTotalOnGlacier].grid[r][c] = Sg[r][c] + Lg[r][c];
    }
  }
  // The cells' own firn, which a growing glacier may replace with its own.
  const size_t stride = std::max<size_t>(1, glaciertracers.size());
  firnBeforeGeometry.assign(static_cast<size_t>(std::max(0, last - first + 1)) * ncols * stride, nodata);
  if (firn_levels >= 1)
    for (int r = first; r <= last; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!OwnCell(r, c)) continue;
        double* saved = &firnBeforeGeometry[(static_cast<size_t>(r - first) * ncols + (c - 1)) * stride];
        saved[0] = 0;
        for (int k = 1; k <= firn_levels; ++k) saved[0] += firnstack[r][c][k] > nodata ? firnstack[r][c][k] : 0.0;
        for (size_t t = 1; t < stride; ++t)
          if (glaciertracers[t].firn) saved[t] = glaciertracers[t].firn[r][c];
      }
  // The glacier objects work on instance 0 with the whole domain.
  const int positions[] = {glac[kGlacierizedOld].position, glac[kCodesOld].position, glac[kMassBalance].position,
                           glac[kOldMassBalance].position};
  for (int p : positions) MPIGatherGrid(p);
  MPIGatherGrid(glac[kFirnTotal].position);
  MPIGatherStack(glac[kFirnTotal].position, firnstack);
  // (With an evaporating tracer's concentration in the firn, which a cell
  // the glacier grows onto takes from its neighbour with the firn.)
  for (size_t t = 1; t < glaciertracers.size(); ++t)
    if (glaciertracers[t].firnposition > 0) MPIGatherGrid(glaciertracers[t].firnposition);
  MPIGatherGrid(glacierposition);
  MPIGatherGrid(codesposition);
  if (mpirank == 0) {
    UpdateGlacierGeometry();
    RedistributeGlacierMassBalance(-1);
  }
  for (int p : {glacierposition, codesposition, glac[kMassBalance].position, glac[kOldMassBalance].position,
                glac[kFirnTotal].position})
    MPIScatterGrid(p);
  // The other modules read the glacierized share of the neighbours across
  // an instance border (the groundwater's faces): their border rows take
  // the new shares and codes too.
  if (mpisize > 1)
    for (int p : {glacierposition, codesposition}) MPIExchangeBorders(p);
  MPIScatterStack(glac[kFirnTotal].position, firnstack);
  for (size_t t = 1; t < glaciertracers.size(); ++t)
    if (glaciertracers[t].firnposition > 0) MPIScatterGrid(glaciertracers[t].firnposition);
  FollowGlacierArea();
  *diag << "DEBUG: glaciers changed, updating glaicerlist now..."
        << "[end-entry]";
  // The runoff storages keep their outflow per glacierized area of their
  // subbasin: spread over the new area, they keep the water they hold. A
  // subbasin without glacier area held no water in them (whatever initial
  // outflow the section gave every subbasin): its first glacier starts them
  // empty.
  std::vector<double> glacierizedBefore(glaciertable.size(), 0.0);
  for (size_t k = 0; k < glaciertable.size(); ++k) glacierizedBefore[k] = glaciertable[k].glacierized;
  BuildGlacierTable();
  if (mpirank == 0)
    for (size_t k = 1; k < glaciertable.size() && k < qice.size(); ++k) {
      const double now = glaciertable[k].glacierized;
      if (!(now > 0)) continue;
      const double f = glacierizedBefore[k] > 0 ? glacierizedBefore[k] / now : 0.0;
      qice[k] *= f;
      qfirn[k] *= f;
      qsnow[k] *= f;
    }
  for (int r = first; r <= last; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnCell(r, c)) continue;
      if (!(glaciergrid[r][c] > 0)) {
        gmb[r][c] = 0;
        oldgmb[r][c] = 0;
      } else {
        oldgmb[r][c] = gmb[r][c];
      }
    }
}

void schneemodellklasse::FollowGlacierArea() {
  const int first = std::max(1, firstrow);
  const int last = std::min(nrows, lastrow);
  Grid S = own[kSolid].grid;
  Grid L = own[kLiquid].grid;
  Grid Sg = glac[kSolidOnGlacier].grid;
  Grid Lg = glac[kLiquidOnGlacier].grid;
  Grid before = glac[kGlacierizedOld].grid;
  auto value = [this](double v) { return v > nodata ? v : 0.0; };
  // The water held on the vegetation of the open part (the total and each
  // layer's, mm over the open part) follows the area as the snow does.
  const std::vector<Grid> held = InterceptionStorages();
  const std::vector<Grid> leaves = InterceptionTracers();
  // Follows the cell's glacierized share from gB to gA.
  auto follow = [&](int r, int c, double gB, double gA) {
    if (gA == gB) return;
    double* level = firnstack[r][c];
    double firn = 0;
    for (int k = 1; k <= firn_levels; ++k) {
      level[k] = value(level[k]);
      firn += level[k];
    }
    Sg[r][c] = value(Sg[r][c]);
    Lg[r][c] = value(Lg[r][c]);
    // The tracers of both parts' snow and of the plants' water follow them
    // (amounts per mm of a part). What joins the firn stays in the glacier
    // part's store (which gives it off with the firn's melt).
    const double Wo = S[r][c] + L[r][c], Wg = Sg[r][c] + Lg[r][c];
    const double plants = held.empty() ? 0.0 : value(held[0][r][c]);
    // An evaporating tracer's firn holds its own concentration (af: its
    // amount per mm of the glacier part).
    for (size_t t = 1; t < glaciertracers.size(); ++t) {
      double& v = tracergrids[t].store[r][c];
      double& vg = glaciertracers[t].store[r][c];
      if (!(v > nodata) || !(vg > nodata)) continue;
      double* p = leaves[t] && leaves[t][r][c] > nodata ? &leaves[t][r][c] : nullptr;
      const Grid f = glaciertracers[t].firn;
      double* fc = f && f[r][c] > nodata ? &f[r][c] : nullptr;
      const double a = TracerAmount(t, v, Wo), ag = TracerAmount(t, vg, Wg);
      const double ap = p ? TracerAmount(t, *p, plants) : 0.0;
      const double af = fc ? *fc * firn : 0.0;
      if (gA > gB) {
        const double d = gA - gB;
        const double joins = d * (a + ap) / gA;
        const double water = firn_levels >= 1 ? 0.0 : d * (Wo + plants) / gA;
        if (fc && firn_levels >= 1) {
          vg = TracerValue(t, ag * gB / gA, Wg * gB / gA, vg);
          *fc = TracerValue(t, af * gB / gA + joins, firn * gB / gA + d * (Wo + plants) / gA, *fc);
        } else {
          vg = TracerValue(t, ag * gB / gA + joins, Wg * gB / gA + water, vg);
        }
        if (gA >= 1) {
          v = TracerValue(t, 0.0, 0.0, v);
          if (p) *p = TracerValue(t, 0.0, 0.0, *p);
        }
      } else {
        const double d = gB - gA;
        v = TracerValue(t, ((1 - gB) * a + d * (ag + af)) / (1 - gA), ((1 - gB) * Wo + d * (firn + Wg)) / (1 - gA), v);
        // The plants' water per mm of the open part shrinks as that part grows.
        if (p && tracers[t].evaporating != 1) *p *= (1 - gB) / (1 - gA);
        if (gA <= 0) {
          vg = TracerValue(t, 0.0, 0.0, vg);
          if (fc) *fc = 0;
        }
      }
    }
    if (gA > gB) {
      // The firn and snow of the glacierized part spread over its larger
      // area; the open part's snow on the area now covered joins them as
      // the youngest firn (the open part keeps its depth).
      const double d = gA - gB;
      for (int k = 1; k <= firn_levels; ++k) level[k] *= gB / gA;
      Sg[r][c] *= gB / gA;
      Lg[r][c] *= gB / gA;
      const double onPlants = held.empty() ? 0.0 : value(held[0][r][c]);
      if (firn_levels >= 1) {
        level[1] += d * (S[r][c] + L[r][c] + onPlants) / gA;
      } else {
        Sg[r][c] += d * S[r][c] / gA;
        Lg[r][c] += d * (L[r][c] + onPlants) / gA;
        // A glacier part that had no snow takes the open part's with its age.
        if (gB <= 0 && glac[kSnowAgeOnGlacier].grid) glac[kSnowAgeOnGlacier].grid[r][c] = own[kAge].grid[r][c];
      }
      if (gA >= 1) {
        S[r][c] = L[r][c] = 0;
        for (Grid h : held)
          if (h[r][c] > nodata) h[r][c] = 0;
      }
    } else {
      // The firn and snow of the area no longer covered join the open
      // part's snow; the glacierized part keeps its depths.
      const double d = gB - gA;
      S[r][c] = ((1 - gB) * S[r][c] + d * (firn + Sg[r][c])) / (1 - gA);
      L[r][c] = ((1 - gB) * L[r][c] + d * Lg[r][c]) / (1 - gA);
      for (Grid h : held)
        if (h[r][c] > nodata) h[r][c] *= (1 - gB) / (1 - gA);
      if (gA <= 0) {
        for (int k = 1; k <= firn_levels; ++k) level[k] = 0;
        Sg[r][c] = Lg[r][c] = 0;
      }
    }
    double sum = 0;
    for (int k = 1; k <= firn_levels; ++k) sum += level[k];
    level[0] = sum;
    glac[kFirnTotal].grid[r][c] = sum;
    own[kTotal].grid[r][c] = S[r][c] + L[r][c];
    glac[kTotalOnGlacier].grid[r][c] = Sg[r][c] + Lg[r][c];
  };
  const size_t stride = std::max<size_t>(1, glaciertracers.size());
  const bool saved = firnBeforeGeometry.size() == static_cast<size_t>(std::max(0, last - first + 1)) * ncols * stride;
  for (int r = first; r <= last; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnCell(r, c)) continue;
      const double gB = std::clamp(value(before[r][c]), 0.0, 1.0);
      const double gA = GlacierFraction(r, c);
      // A glacier that grew onto a cell another (or its own) glacier left in
      // the same update gave it its firn: the cell's own firn, which its old
      // glacier part held, first leaves the cell's glacier part as when a
      // glacier retreats from a cell (to the open part's snow, with its
      // tracers), and the new glacier part then grows from none, whose
      // shared firn is no water.
      const double* kept =
          saved ? &firnBeforeGeometry[(static_cast<size_t>(r - first) * ncols + (c - 1)) * stride] : nullptr;
      bool replaced = false;
      if (kept && gB > 0 && kept[0] > nodata) {
        double firn = 0;
        for (int k = 1; k <= firn_levels; ++k) firn += value(firnstack[r][c][k]);
        replaced = firn != kept[0];
        for (size_t t = 1; t < stride; ++t)
          if (glaciertracers[t].firn && glaciertracers[t].firn[r][c] != kept[t]) replaced = true;
      }
      if (replaced) {
        firnstack[r][c][1] = kept[0];
        for (int k = 2; k <= firn_levels; ++k) firnstack[r][c][k] = 0;
        for (size_t t = 1; t < stride; ++t)
          if (glaciertracers[t].firn) glaciertracers[t].firn[r][c] = kept[t];
        follow(r, c, gB, 0.0);
        follow(r, c, 0.0, gA);
      } else {
        follow(r, c, gB, gA);
      }
    }
  firnBeforeGeometry.clear();
}

std::vector<Grid> schneemodellklasse::InterceptionTracers() {
  std::vector<Grid> stores(glaciertracers.size(), nullptr);
  for (size_t t = 1; t < stores.size(); ++t) {
    const int p = FindGrid("concstor_tracer_" + std::to_string(t) + "_interception_model", false);
    if (p > 0) stores[t] = gridlist[p].grid;
  }
  return stores;
}

std::vector<Grid> schneemodellklasse::InterceptionStorages() {
  std::vector<Grid> held;
  for (int i = 0;; ++i) {
    std::string name = "interception_storage";
    name += std::to_string(i);
    const int p = FindGrid(name, false);
    if (p <= 0) break;
    held.push_back(gridlist[p].grid);
  }
  return held;
}
