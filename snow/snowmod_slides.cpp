// Snow slides (methods 6, 7, 8, 9, 12, 14): steep cells release a fraction of
// their snow to their neighbours of the same zone, worked from the highest
// cell to the lowest on instance 0; what a neighbour cannot take up moves on.
#include <algorithm>
#include <vector>

#include "snow/snowmod.h"

Grid schneemodellklasse::WholeOnRoot(int position, Grid grid) {
  if (mpisize < 2) return grid;
  Grid whole = MPIGatherGridAlloc(position, grid);
  if (whole) gathered.push_back(whole);
  return whole;
}

void schneemodellklasse::GatherSlideGrids() {
  slidezone = WholeOnRoot(1, zonegrid);
  slideslope = WholeOnRoot(GetGrid("slope_angle"), slopeangle);
  for (int k = 1; k <= 4; ++k)
    slideshare[k] = WholeOnRoot(GetGrid("slidefraction" + std::to_string(k)), slidefraction[k]);
  slideelevation = WholeOnRoot(2, elevation);
  const int p = FindGrid("max_deposition", false);
  inputmaxdeposition = p > 0 ? WholeOnRoot(p, gridlist[p].grid) : nullptr;
  const int a = FindGrid("RelCellArea", false);
  slidearea = a > 0 && relcellarea ? WholeOnRoot(a, relcellarea) : nullptr;
}

void schneemodellklasse::Slides() {
  // The snow of the glacierized part of a cell slides as well (its storages
  // are in mm over that part, those of the open part in mm over the rest).
  const bool glacier = glaciergrid && glac[kTotalOnGlacier].grid;
  for (OwnGrid g : {kTotal, kLiquid, kSolid}) MPIGatherGrid(own[g].position);
  if (glacier)
    for (GlacierGrid g : {kTotalOnGlacier, kLiquidOnGlacier, kSolidOnGlacier}) MPIGatherGrid(glac[g].position);
  // The tracers of both parts' packs move with their snow: per tracer the
  // amount (mm x concentration over the cell) that each cell releases, that
  // moves on and that comes to rest.
  const int T = static_cast<int>(tracergrids.size()) > tracercount ? tracercount : 0;
  const bool glacierTracers = glacier && static_cast<int>(glaciertracers.size()) > T && T > 0;
  for (int t = 1; t <= T; ++t) MPIGatherGrid(tracergrids[t].storeindex);
  if (glacierTracers)
    for (int t = 1; t <= T; ++t) MPIGatherGrid(glaciertracers[t].position);
  if (mpirank == 0) {
    const size_t cells = static_cast<size_t>(nrows + 2) * static_cast<size_t>(ncols + 2);
    std::vector<double> tmobile(cells * static_cast<size_t>(T + 1), 0.0), tdeposit(tmobile.size(), 0.0);
    auto at = [&](int t, int r, int c) {
      return static_cast<size_t>(t) * cells + static_cast<size_t>(r) * static_cast<size_t>(ncols + 2) +
             static_cast<size_t>(c);
    };
    // The tracer amount of a part's pack of total water S (per mm of the part).
    auto amount = [&](int t, Grid store, int r, int c, double S) {
      const double v = store[r][c];
      if (!(v > nodata)) return 0.0;
      return tracers[t].evaporating == 1 ? v * S : v;
    };
    // A part's pack of water S (mm over the part) that takes D mm with the
    // tracers that came (amount over the cell) in the share of the part.
    auto take = [&](int t, Grid store, int r, int c, double S, double D, double came) {
      double& v = store[r][c];
      if (!(v > nodata)) return;
      if (tracers[t].evaporating == 1)
        v = S + D > 0 ? (v * S + came) / (S + D) : v;
      else
        v += came;
    };
    Grid total = own[kTotal].grid;
    Grid liquid = own[kLiquid].grid;
    Grid solid = own[kSolid].grid;
    Grid totalg = glacier ? glac[kTotalOnGlacier].grid : nullptr;
    Grid liquidg = glacier ? glac[kLiquidOnGlacier].grid : nullptr;
    Grid solidg = glacier ? glac[kSolidOnGlacier].grid : nullptr;
    Grid input = own[kInputMass].grid;
    Grid mobile = own[kMobileMass].grid;
    Grid deposition = own[kDeposition].grid;
    Grid maxdep = own[kMaxDeposition].grid;
    Grid zone = slidezone;
    auto valid = [&](int r, int c) { return zone[r] && !Missing(zone[r][c]); };
    // The storages hold mm over their cell: what moves is a volume, so mm
    // leaving one cell are mm times the ratio of the areas on the next. A
    // cell without a valid area counts with area 1, as in the statistics.
    auto area = [&](int r, int c) {
      const double a = slidearea && slidearea[r] ? slidearea[r][c] : 1.0;
      return a > nodata && a > 0 ? a : 1.0;
    };
    auto share = [&](int r, int c) { return glacier ? GlacierFraction(r, c) : 0.0; };
    // Takes the fraction F of a pack: the liquid water in proportion.
    auto release = [](double& t, double& l, double& s, double F) {
      const double remaining = t - F * t;
      l *= remaining / t;
      t = remaining;
      s = remaining - l;
    };
    // Adds D to a pack: the liquid water keeps its share.
    auto deposit = [](double& t, double& l, double& s, double D) {
      if (t > 0) {
        l *= (t + D) / t;
        t += D;
        s = t - l;
      } else {
        l = 0;
        t = s = D;
      }
    };
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) {
        const double v = valid(r, c) ? 0.0 : nodata;
        input[r][c] = mobile[r][c] = deposition[r][c] = v;
      }
    const double F = slideMassFrac;
    for (int vr = 1; vr <= nrows; ++vr) {
      for (int vc = 1; vc <= ncols; ++vc) {
        if (!valid(vr, vc)) continue;
        const int r = static_cast<int>(own[kElevOrderRow].grid[vr][vc]);
        const int c = static_cast<int>(own[kElevOrderCol].grid[vr][vc]);
        const double z = zone[r][c];
        const double g = share(r, c);
        // Shares of the neighbours above, left, right and below in the same zone.
        const int nr[4] = {r - 1, r, r, r + 1};
        const int nc[4] = {c, c - 1, c + 1, c};
        double weight[4] = {0, 0, 0, 0};
        double sum = 0;
        for (int k = 0; k < 4; ++k) {
          if (nr[k] < 1 || nr[k] > nrows || nc[k] < 1 || nc[k] > ncols) continue;
          if (!valid(nr[k], nc[k]) || zone[nr[k]][nc[k]] != z) continue;
          const double fraction = slideshare[k + 1][r][c];
          weight[k] = fraction > 0 ? fraction : 0.0;
          sum += weight[k];
        }
        if (sum > 0)
          for (double& wk : weight) wk /= sum;
        // Release, in mm over the cell: F of the open part's snow and of the
        // glacier part's.
        const double S = total[r][c];
        const double Sg = glacier && totalg[r][c] > 0 ? totalg[r][c] : 0.0;
        input[r][c] = 0;
        if ((S > 0 || Sg > 0) && slideslope[r][c] >= minSlideSlope) {
          // A non-evaporating tracer leaves F of its amount; an evaporating one keeps its concentration.
          auto leave = [&](int t, Grid store, double water, double share) {
            const double moved = amount(t, store, r, c, water) * F;
            tmobile[at(t, r, c)] += moved * share;
            if (tracers[t].evaporating != 1 && store[r][c] > nodata) store[r][c] -= moved;
          };
          if (g < 1 && S > 0) {
            input[r][c] = S * F * (1 - g);
            for (int t = 1; t <= T; ++t) leave(t, tracergrids[t].store, S, 1 - g);
            release(total[r][c], liquid[r][c], solid[r][c], F);
          }
          if (Sg > 0 && g > 0) {
            input[r][c] += Sg * F * g;
            if (glacierTracers)
              for (int t = 1; t <= T; ++t) leave(t, glaciertracers[t].store, Sg, g);
            release(totalg[r][c], liquidg[r][c], solidg[r][c], F);
          }
        }
        // Motion.
        const double m = input[r][c] + mobile[r][c];
        if (sum <= 0) {
          mobile[r][c] = m;
          continue;
        }
        mobile[r][c] = 0;
        const double from = area(r, c);
        for (int k = 0; k < 4; ++k) {
          const double part = weight[k] * m * from / area(nr[k], nc[k]);
          if (!(part > 0)) continue;
          double& d = deposition[nr[k]][nc[k]];
          d += part;
          for (int t = 1; t <= T; ++t)
            tdeposit[at(t, nr[k], nc[k])] += weight[k] * tmobile[at(t, r, c)] * from / area(nr[k], nc[k]);
          // A negative capacity (slope above the maximum slope) takes up nothing.
          const double capacity = std::max(0.0, maxdep[nr[k]][nc[k]]);
          if (d > capacity) {
            // What moves on takes its share of the tracers that came.
            for (int t = 1; t <= T; ++t) {
              const double on = tdeposit[at(t, nr[k], nc[k])] * (d - capacity) / d;
              tdeposit[at(t, nr[k], nc[k])] -= on;
              tmobile[at(t, nr[k], nc[k])] += on;
            }
            mobile[nr[k]][nc[k]] += d - capacity;
            d = capacity;
          }
        }
        for (int t = 1; t <= T; ++t) tmobile[at(t, r, c)] = 0;
      }
    }
    // Deposit what came to rest, and the mass still moving, on each cell: as
    // mm over each of its parts, so a cell takes up D whatever its glacier,
    // and each part the tracers that came with its share of it (per mm of
    // the part, the amount that came over the cell).
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!valid(r, c)) continue;
        const double D = deposition[r][c] + mobile[r][c];
        const double g = share(r, c);
        for (int t = 1; t <= T; ++t) {
          const double came = tdeposit[at(t, r, c)] + tmobile[at(t, r, c)];
          if (g < 1) take(t, tracergrids[t].store, r, c, total[r][c] > 0 ? total[r][c] : 0.0, D, came);
          if (g > 0 && glacierTracers)
            take(t, glaciertracers[t].store, r, c, totalg[r][c] > 0 ? totalg[r][c] : 0.0, D, came);
        }
        if (g < 1) deposit(total[r][c], liquid[r][c], solid[r][c], D);
        if (g > 0) deposit(totalg[r][c], liquidg[r][c], solidg[r][c], D);
      }
  }
  for (OwnGrid g : {kTotal, kLiquid, kSolid}) MPIScatterGrid(own[g].position);
  if (glacier)
    for (GlacierGrid g : {kTotalOnGlacier, kLiquidOnGlacier, kSolidOnGlacier}) MPIScatterGrid(glac[g].position);
  for (OwnGrid g : {kInputMass, kMobileMass, kDeposition}) MPIScatterGrid(own[g].position);
  for (int t = 1; t <= T; ++t) MPIScatterGrid(tracergrids[t].storeindex);
  if (glacierTracers)
    for (int t = 1; t <= T; ++t) MPIScatterGrid(glaciertracers[t].position);
}
