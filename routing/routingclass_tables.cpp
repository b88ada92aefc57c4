// Water level-discharge tables of the channels: discharge classes spaced
// logarithmically between qmin and qmax [l/s/km2], Manning-Strickler
// velocities of a rectangular main channel with rectangular flood plains, the
// travel time through the channel and the delay in time sub-intervals.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "framework/diagstream.h"
#include "routing/routingclass.h"

void routingclass::ChannelVelocity(double Q, double B, double& d, double& R, double& v, int maxIterations, double M,
                                   double sqrtI, double tolerance) {
  // Flowing water has a velocity: v = 0 would hold the iteration at the
  // empty channel (A = 0) however much water there is.
  if (Q > 0 && !(v > 0)) v = 1.0;
  for (int n = 0; n < maxIterations; ++n) {
    const double A = v > 0 ? Q / v : 0.0;
    d = A / B;
    const double P = 2 * d + B;
    double vnew = 0;
    if (P > 0) {
      R = A / P;
      // The exponent 0.66667 is the system's, not exactly 2/3.
      vnew = R > 0 ? std::pow(R, 0.66667) * M * sqrtI : 0.0;
    } else {
      R = 0;
    }
    const double change = std::fabs(v - vnew);
    v = vnew;
    if (change <= tolerance) break;
  }
}

int routingclass::BuildWQTables(int channel, int channelCode, const std::vector<int>& sumTribList,
                                const ChannelParameters& given, double qMin, double qMax, double intervals) {
  const int i = channel;
  tributaryCodes[i] = channelCode;
  if (i > nTributaries && i <= nTributaries + nSumTributaries) sumTributaryLists[i] = sumTribList;
  // A value not greater than 0 stands for its default (the description
  // reader names it in a WARNING); one that is no number, and a catchment
  // area not greater than 0, have no meaning.
  const std::pair<const char*, double> values[] = {
      {"kh", given.kh}, {"kv", given.kv}, {"Bh", given.Bh}, {"Bv", given.Bv}, {"Th", given.Th},
      {"Mh", given.Mh}, {"Mv", given.Mv}, {"I", given.I},   {"L", given.L},   {"AE", given.AE}};
  for (const auto& [key, v] : values) {
    if (std::isfinite(v) && (v > 0 || key[0] != 'A')) continue;
    char text[300];
    std::snprintf(text, sizeof text,
                  "FATAL: the channel of %d to the outlet of subbasin %d: %s = %.9lg has to be a number%s", channelCode,
                  code, key, v, key[0] == 'A' ? " greater than 0" : "");
    Fail(text, 17);
  }
  ChannelParameters& p = params[i];
  p = given;
  for (const ChannelDefault& d : kChannelDefaults)
    if (!(p.*d.value > 0)) p.*d.value = d.standsFor;
  const double sqrtI = given.I > 0 ? std::sqrt(given.I) : 0.0316;
  qmin[i] = qMin;
  qmax[i] = qMax;
  nIntervals[i] = intervals;
  logStep[i] = std::log(qMax / qMin) / intervals;
  builtChannels = std::max(builtChannels, i);

  const int N = static_cast<int>(intervals);
  WQTable& w = wqtab[i];
  for (auto* a : {&w.q, &w.q_mm, &w.Q, &w.v, &w.vm, &w.vf, &w.t, &w.Rm, &w.Rf, &w.dm, &w.df, &w.floodShare})
    a->assign(N + 2, 0.0);
  w.delta.assign(N + 2, 0);

  // From the largest discharge down, each class starting from the velocity of the one above.
  double vm = 1.0;
  for (int k = N + 1; k >= 1; --k) {
    const double q = qMax * std::exp(-(N + 1 - k) * logStep[i]);
    const double Q = q / 1000 * p.AE;
    double Qm = Q, Qf = 0, df = 0, vf = 0, Rf = 0, dm = 0, Rm = 0;
    ChannelVelocity(Qm, p.Bh, dm, Rm, vm, 50, p.Mh, sqrtI, 0.005);
    if (dm > p.Th) {
      // Water reaches the flood plains: move discharge until both levels agree.
      vf = vm;
      for (int n = 0; n < 50; ++n) {
        const double dmOld = dm;
        dm = (df + dmOld + p.Th) / 2;
        df = dm - p.Th;
        const double s = std::fabs(dmOld - dm);
        // Never more than the part that gives: the shares stay within 0 ... 1.
        const double dQ = std::min({p.Bh * s * vm, s * p.Bv * vf, dmOld > dm ? Qm : Qf});
        if (dmOld > dm) {
          Qm -= dQ;
          Qf += dQ;
        } else {
          Qm += dQ;
          Qf -= dQ;
        }
        ChannelVelocity(Qm, p.Bh, dm, Rm, vm, 50, p.Mh, sqrtI, 0.005);
        ChannelVelocity(Qf, p.Bv, df, Rf, vf, 50, p.Mv, sqrtI, 0.005);
        if (std::fabs(dm - df - p.Th) <= 0.01) break;
      }
    }
    const double total = Qm + Qf;
    const double v = total != 0 ? Qm / total * vm + Qf / total * vf : vm;
    w.q[k] = q;
    w.q_mm[k] = 0.0036 * q * dt / 60;
    w.Q[k] = Q;
    w.vm[k] = vm;
    w.vf[k] = vf;
    w.v[k] = v;
    w.Rm[k] = Rm;
    w.Rf[k] = Rf;
    w.dm[k] = dm;
    w.df[k] = df;
    w.t[k] = v > 0 ? p.L / v / 3600 : 0.0;
    w.floodShare[k] = total != 0 ? Qf / total : 0.0;
  }

  // Within one sub-channel the slowest class may be at most one step slower
  // than the fastest, and at most an hour: the split (and with it the
  // cascade of the sub-channels' storages) is that of hourly steps at any
  // longer step.
  int n = 1;
  const double spread = std::min(dt, 60.0) / 60;
  if (N + 1 >= 1)
    while (w.t[1] / n > w.t[N + 1] / n + spread) ++n;
  w.nSubChannels = n;
  w.Qaus.assign(static_cast<size_t>(n + 1) * (subIntervals + 1), 0.0);
  w.QausFlood.assign(w.Qaus.size(), 0.0);
  w.qvzuq.assign(n + 2, 0.0);
  w.lastQueuePosition.assign(n + 2, 0);
  w.conc.assign(static_cast<size_t>(nTracers + 1) * w.qvzuq.size() * (subIntervals + 1), 0.0);
  w.concFlood.assign(w.conc.size(), 0.0);

  // The storage constants are hours: over a sub-interval of tau hours a
  // storage recedes by exp(-tau / k), whatever the step length.
  const double tau = dt / 60 / subIntervals;
  w.recessionMain = std::exp(-tau / p.kh);
  w.recessionFlood = std::exp(-tau / p.kv);
  w.holdMain = p.kh / tau;
  w.holdFlood = p.kv / tau;

  // Travel times of a sub-channel in sub-intervals, with their fractions
  // (the table shows their whole sub-intervals).
  std::vector<double> travel(N + 2, 0.0);
  double longest = 0;
  for (int k = 1; k <= N + 1; ++k) {
    travel[k] = subIntervals * 60 * w.t[k] / n / dt;
    w.delta[k] = static_cast<int>(travel[k]);
    longest = std::max(longest, travel[k]);
  }
  // The translation's travel time: never longer for a larger discharge, and
  // never so much shorter that a larger discharge holds less water in
  // transit (the water in transit, q times the lag, goes up between two
  // classes when the lag falls by less than 1 / (1 + logStep)). A smooth
  // inflow then leaves smoothly: a rising flow never drains the water in
  // transit faster than it comes, a falling one never leaves it behind.
  const double rise = 1 + std::max(0.0, logStep[i]);
  auto bound = [&](std::vector<double>& lag, const std::vector<double>& given) {
    lag.assign(N + 2, 0.0);
    lag[1] = given[1];
    for (int k = 2; k <= N + 1; ++k) lag[k] = std::max(std::min(given[k], lag[k - 1]), lag[k - 1] / rise);
  };
  bound(w.lag, travel);
  // No water arrives before the shortest travel time: that part of the
  // translation is a fixed delay, which a change of the inflow cannot
  // hurry; only the rest, the conveyor's, follows the inflow's class (the
  // water in transit moves at the travel time of the inflow). The queue's
  // positions of a sub-channel hold the conveyor's cells, as many as the
  // longest travel time's sub-intervals beyond the fixed delay and one more
  // (so that it moves at least a cell in a sub-interval: a pure
  // translation), then the fixed delay's (one per whole sub-interval and one
  // for the water that its fraction keeps back).
  const double fixed = w.lag[N + 1];
  w.fixedDelay = fixed;
  w.delayCells = static_cast<int>(std::ceil(fixed));
  const int positions = longest > 0 ? static_cast<int>(std::ceil(longest)) + 1 : 0;
  w.conveyorCells = positions - w.delayCells;
  for (int k = 1; k <= N + 1; ++k) travel[k] = w.lag[k] - fixed;
  bound(w.lag, travel);
  w.stride = positions + subIntervals;
  const size_t cells = static_cast<size_t>(nTracers + 2) * (w.stride + 2);
  if (conveyor.size() < cells) conveyor.assign(cells, 0.0);
  w.nStorageElements = w.stride * n;
  return w.nStorageElements;
}

int routingclass::DischargeClass(int channel, double x) {
  const int top = static_cast<int>(1 + nIntervals[channel]);
  if (!(logStep[channel] > 0)) return 1;
  // 16666.668 / dt converts mm per step into l/s/km2.
  const double specific = std::max(1e-7, x * 16666.668 / dt);
  const double c = std::ceil(std::log(specific / qmin[channel]) / logStep[channel]);
  if (!(c >= 1)) return 1;
  return c > top ? top : static_cast<int>(c);
}

void routingclass::WriteWQTables() {
  for (int i = 1; i <= Channels(); ++i) {
    const bool inflow = i > nTributaries + nSumTributaries;
    char name[101];
    if (inflow)
      std::snprintf(name, sizeof name, "wq_tabZL.%.3d", tributaryCodes[i]);
    else
      std::snprintf(name, sizeof name, "wq_table.%.3d", tables->EntryOf(tributaryCodes[i]));
    std::FILE* f = std::fopen(name, "wt");
    if (!f) {
      // A channel without its table file is a run whose results cannot be checked.
      Fail(std::string("FATAL: error opening file ") + name + " (check user rights or disk space)", 18);
    }
    const WQTable& w = wqtab[i];
    const ChannelParameters& p = params[i];
    if (inflow) {
      std::fprintf(f, "waterlevel-discharge-table for the channel of inflow %d to the outlet of subbasin %d\n",
                   tributaryCodes[i], code);
    } else if (i > nTributaries) {
      const std::vector<int>& list = sumTributaryLists[i];
      const int count = list.empty() ? 0 : list[0];
      std::fprintf(f, "waterlevel-discharge-table for the channel of subbasins %d", tributaryCodes[i]);
      for (int m = 1; m <= count - 1; ++m) std::fprintf(f, ", %d", list[m]);
      if (count > 0)
        std::fprintf(f, " and %d to the outlet of subbasin %d\n", list[count], code);
      else
        std::fprintf(f, " to the outlet of subbasin %d\n", code);
    } else {
      std::fprintf(f, "waterlevel-discharge-table for the channel of subbasin %d to the outlet of subbasin %d\n",
                   tributaryCodes[i], code);
    }
    const double sqrtI = p.I > 0 ? std::sqrt(p.I) : 0.0316;
    std::fprintf(f, "input parameters from the control file:\n");
    std::fprintf(f, "------------------------------------------\n");
    std::fprintf(f, "storage constant mean channel [h] : %7.2f\n", p.kh);
    std::fprintf(f, "storage constant flood plain [h]  : %7.2f\n", p.kv);
    std::fprintf(f, "width of the mean channel [m]     : %7.2f\n", p.Bh);
    std::fprintf(f, "width of flood plains  [m]        : %7.2f\n", p.Bv);
    std::fprintf(f, "depth of mean channel  [m]        : %7.2f\n", p.Th);
    std::fprintf(f, "Manning-coef. mean chan[m^(1/3)/s]: %7.2f\n", p.Mh);
    std::fprintf(f, "Manning-ceof. flood pl.[m^(1/3)/s]: %7.2f\n", p.Mv);
    std::fprintf(f, "slope angle            [1/1]      : %7.4f\n", sqrtI * sqrtI);
    std::fprintf(f, "channel length         [m]        : %7.1f\n", p.L);
    std::fprintf(f, "catchment area         [km^2]     : %7.2f\n", p.AE);
    std::fprintf(f, "min. spec. discharge   [l/s/km^2] : %7.1f\n", qmin[i]);
    std::fprintf(f, "max. spec. discharge   [l/s/km^2] : %7.1f\n", qmax[i]);
    std::fprintf(f, "intervals for w-q-table[-]        : %7.0f\n", nIntervals[i] + 1);
    std::fprintf(f, "sub-intervals (time)   [-]        : %7d  \n", subIntervals);
    std::fprintf(f, "number of sub-channels            : %7.0f\n", w.nSubChannels);
    std::fprintf(f, "total number of storage elements  : %7d  \n", subIntervals + w.nStorageElements);
    const std::string rule(79, '-');
    std::fprintf(f, "%s\n", rule.c_str());
    std::fprintf(f, "  #    q      q       Q     dm    df     v      vm     vf     t   delta   Qm/Q \n");
    std::fprintf(f, "     [mm]  l/s/km2 [m^3/s]  [m]   [m]   [m/s]  [m/s]  [m/s]  [h]  [Int]   [1/1]\n");
    std::fprintf(f, "%s\n", rule.c_str());
    const int N = static_cast<int>(nIntervals[i]);
    for (int k = 1; k <= N + 1; ++k)
      std::fprintf(f, "%3d  %5.3f %6.1f %7.2f  %5.2f %5.2f %5.2f  %5.2f  %5.2f  %5.2f  %3d   %5.3f\n", k, w.q_mm[k],
                   w.q[k], w.Q[k], w.dm[k], w.df[k], w.v[k], w.vm[k], w.vf[k], w.t[k], w.delta[k], w.floodShare[k]);
    const bool failed = std::ferror(f) != 0;
    if (std::fclose(f) != 0 || failed)
      Fail(std::string("FATAL: error writing file ") + name + " (check user rights or disk space)", 18);
  }
}
