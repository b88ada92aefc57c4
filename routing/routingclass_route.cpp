// Routing of one step through the channels of a routed subbasin: every
// channel is a chain of sub-channels, each a translation by a
// discharge-dependent delay (a queue of sub-interval values) followed by two
// parallel single linear storages, main channel and flood plain. Flows are
// depths in mm per step (also per sub-interval), tracers concentrations.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "framework/diagstream.h"
#include "routing/routingclass.h"

void routingclass::Route(int64_t year, int64_t month, int64_t day, int64_t hour) {
  // The initialisation routes with the date 0: no withdrawals, no output rows.
  const bool real = month >= 1;
  RoutingTables& T = *tables;
  const int ns = subIntervals;
  const int nt = nTracers;
  const int own = T.EntryOf(code);
  const int rivers = nTributaries + nSumTributaries;
  ZoneRecord* irrigation = T.irrigationRecords;
  double negativeInflow = 0;

  // Irrigation demand of the subbasins that drain into a channel without
  // being routed themselves: taken from their water before it enters the
  // channel, and from the channel's water where that is not enough. A routed
  // subbasin's demand is taken at its own outlet.
  if (real && irrigation) {
    for (int i = 1; i <= rivers; ++i) {
      FeedingEntries(i, feeding);
      for (int s : feeding) {
        if (T.routedBy[s] > 0 || T.withdrawn[s]) continue;
        T.withdrawn[s] = 1;
        WithdrawForIrrigation(s, EntryArea(s), &i, 1, irrigation[s].sx);
      }
    }
  }

  for (int j = 1; j <= ns; ++j) {
    outletFlow[0][j] = T.Sub(0, j, own) * areaShares[0];
    for (int t = 1; t <= nt; ++t) outletFlow[t][j] = T.Sub(t, j, own);
  }

  for (int i = 1; i <= Channels(); ++i) {
    const int e = ChannelEntry(i);
    const bool inflow = i > rivers;
    const bool sumTributary = i > nTributaries && !inflow;
    FeedingEntries(i, feeding);

    // Water the soil took from the rivers since the last step (field 13,
    // m3/s), from the entry's water and, where that is not enough, from the
    // channel's.
    if (!inflow && real && riverflow) {
      for (int s : feeding) {
        double* f = riverflow[s].field;
        const double want = f[13] * dt * 60;
        f[13] = M3sToMm(f[13], EntryArea(s));
        Withdraw(s, EntryArea(s), &i, 1, want, "the soil's uptake");
      }
    }
    // An internal inflow holds m3/s until it is routed.
    if (inflow && inflowModes[i - rivers] == 3) {
      for (int j = 1; j <= ns; ++j) T.Sub(0, j, e) = M3sToMm(T.Sub(0, j, e), params[i].AE);
      for (int t = 0; t <= nt; ++t) T.runoff[t][e] = T.Sub(t, 1, e);
    }
    // A negative inflow (a constant or a file's value) is a withdrawal from
    // the river at the outlet, of at most the water there is: its channel
    // carries nothing, never negative water [m3 of the step].
    if (inflow)
      for (int j = 1; j <= ns; ++j)
        if (T.Sub(0, j, e) < 0) {
          negativeInflow -= T.Sub(0, j, e) / ns * params[i].AE * 1000;
          T.Sub(0, j, e) = 0;
        }
    // A SUMTRIB channel carries the area-weighted mix of its subbasins.
    double W = 0;
    if (sumTributary) {
      for (int s : feeding) W += T.abfrel[1][s] != 0 ? T.abfrel[0][s] / T.abfrel[1][s] : 0.0;
      for (int j = 1; j <= ns; ++j) {
        double P = 0;
        for (int s : feeding) {
          const double w = T.abfrel[1][s] != 0 ? T.abfrel[0][s] / T.abfrel[1][s] : 0.0;
          P += w * T.Sub(0, j, s);
        }
        for (int t = 1; t <= nt; ++t) {
          double C = 0;
          for (int s : feeding) {
            const double w = T.abfrel[1][s] != 0 ? T.abfrel[0][s] / T.abfrel[1][s] : 0.0;
            C += w * T.Sub(0, j, s) * T.Sub(t, j, s);
          }
          // Without flow the mix carries no substance.
          T.Sub(t, j, e) = P != 0 ? C / P : 0.0;
        }
        T.Sub(0, j, e) = W != 0 ? P / W : 0.0;
      }
    }

    // Channel input: the observation replaces the simulated flow when asked.
    double observed = -1;
    if (startValueMode == 1 && e <= T.inflowEntryBase && T.observedColumn && T.observedWindow &&
        !T.observedWindow->empty()) {
      const int column = (*T.observedColumn)[e];
      if (column != 0) observed = ObservedDepth((*T.observedWindow)[10][column], e);
    }
    if (observed >= 0) {
      // The observed water carries the concentrations of the simulated one.
      for (int j = 1; j <= ns; ++j) channelFlow[0][j] = observed;
      for (int t = 1; t <= nt; ++t)
        for (int j = 1; j <= ns; ++j) channelFlow[t][j] = T.Sub(t, j, e);
    } else {
      for (int t = 0; t <= nt; ++t)
        for (int j = 1; j <= ns; ++j) channelFlow[t][j] = T.Sub(t, j, e);
    }

    for (int k = static_cast<int>(wqtab[i].nSubChannels); k >= 1; --k) RouteSubChannel(i, k, e);

    // The channel's share of the outlet [mm over areaCtrl / relArea].
    for (int j = 1; j <= ns; ++j) {
      double x;
      if (inflow)
        x = channelFlow[0][j] * params[i].AE / areaCtrl * relArea;
      else if (sumTributary)
        x = T.abfrel[0][own] != 0 ? channelFlow[0][j] * relArea / T.abfrel[0][own] * W : 0.0;
      else
        x = T.abfrel[1][e] != 0 ? areaShares[i] / T.abfrel[1][e] * channelFlow[0][j] : 0.0;
      for (int t = 1; t <= nt; ++t)
        outletFlow[t][j] = WeightedByAbs(outletFlow[t][j], channelFlow[t][j], outletFlow[0][j], x);
      outletFlow[0][j] += x;
    }
  }

  for (int t = 0; t <= nt; ++t) outletFlow[t][0] = 0;
  for (int j = 1; j <= ns; ++j) {
    for (int t = 0; t <= nt; ++t) T.Sub(t, j, own) = outletFlow[t][j];
    outletFlow[0][0] += outletFlow[0][j];
  }
  if (outletFlow[0][0] > 0)
    for (int j = 1; j <= ns; ++j)
      for (int t = 1; t <= nt; ++t) outletFlow[t][0] += outletFlow[0][j] / outletFlow[0][0] * outletFlow[t][j];
  T.runoff[0][own] = outletFlow[0][0] / ns;
  for (int t = 1; t <= nt; ++t) T.runoff[t][own] = outletFlow[t][0];

  // Irrigation of the routed subbasin's own subbasin from its outlet, and
  // from the water of its channels where the outlet does not carry enough;
  // once per step.
  const double AF = areaCtrl / relArea;
  if (real && negativeInflow > 0) {
    // What a negative inflow cannot take is not taken: no water is made, so
    // it is no unmet withdrawal.
    const double unmet = unmetWithdrawal;
    Withdraw(own, AF, allChannels.data(), Channels(), negativeInflow, "a negative inflow (ZL)");
    unmetWithdrawal = unmet;
    T.runoff[0][own] = 0;
    for (int j = 1; j <= ns; ++j) T.runoff[0][own] += T.Sub(0, j, own) / ns;
  }
  if (real && irrigation && !T.withdrawn[own]) {
    T.withdrawn[own] = 1;
    WithdrawForIrrigation(own, AF, allChannels.data(), Channels(), irrigation[own].sx);
    T.runoff[0][own] = 0;
    for (int j = 1; j <= ns; ++j) T.runoff[0][own] += T.Sub(0, j, own) / ns;
  }
  Abstract(real, year, month, day, hour);
  Store(real, year, month, day, hour);
}

void routingclass::RouteSubChannel(int i, int k, int e) {
  RoutingTables& T = *tables;
  WQTable& w = wqtab[i];
  const int ns = subIntervals;
  const int nt = nTracers;
  auto Q = [&](int t, int m) -> double& { return T.history[t][e][m]; };
  const int b = (k - 1) * w.stride;
  // The sub-channel's translation is a conveyor of N cells (positions b +
  // ns + 1 ... b + ns + N, cell 1 upstream) that moves all the water in
  // transit together, N cells in the conveyor's lag of the sub-interval's
  // inflow: at a constant flow q every cell holds q / (cells moved per
  // sub-interval) and q leaves each sub-interval. The water of a
  // sub-interval enters spread over the cells it travels in it; a cell
  // moved by a fraction of a cell splits its water between the two cells it
  // covers. Nothing empties a position or stacks water on it: a rising flow
  // speeds the water in transit up by less than the flow rises, a falling
  // one slows it down by less than the flow falls (the lags of the table),
  // so that a monotone inflow leaves monotone and a step leaves without
  // overshoot. What leaves the conveyor passes the fixed delay (the
  // positions behind it, one per whole sub-interval, the last holding what
  // the fraction keeps back), so that no change of the inflow reaches the
  // outlet before the shortest travel time. The positions b + 1 ... b + ns
  // take the sub-intervals' outflows (the linear storages' inputs).
  const int N = w.conveyorCells;
  const int c0 = b + ns;
  const int d0 = c0 + N;  // the fixed delay's positions d0 + 1 ... d0 + delayCells, d0 + 1 the youngest
  const int whole = static_cast<int>(w.fixedDelay);
  const double part = w.fixedDelay - whole;  // of a sub-interval's water that leaves one sub-interval later
  const size_t row = static_cast<size_t>(w.stride) + 2;
  auto W = [&](int t, int m) -> double& { return conveyor[t * row + m]; };
  // A radioactive tracer decays with the time its water spends in the
  // channel, 2^(-time / half-life): per sub-interval in the conveyor, the
  // fixed delay and the storages. Any other tracer keeps its mass.
  for (int t = 1; t <= nt; ++t) {
    const bool radioactive = tracerRecords && tracerRecords[t].radioactive == 1 && tracerRecords[t].half_time > 0;
    const double half = radioactive ? tracerRecords[t].half_time : 0.0;
    decay[t] = radioactive ? std::exp(-((dt / ns) / 60 / 24) / (half * 1.442695041111)) : 1.0;
  }
  for (int j = 1; j <= ns; ++j) {
    for (int t = 0; t <= nt + 1; ++t)
      for (int m = 0; m <= N; ++m) W(t, m) = 0;
    // Water v from cell r (0: the inflow) to cell m; beyond the last cell it leaves (W(t, 0)).
    auto add = [&](int m, double v, int r) {
      if (v == 0) return;
      const int to = m > N ? 0 : m;
      const double a = std::fabs(v);
      W(0, to) += v;
      W(nt + 1, to) += a;
      for (int t = 1; t <= nt; ++t) W(t, to) += a * (r > 0 ? Q(t, c0 + r) * decay[t] : channelFlow[t][j]);
    };
    const double q = channelFlow[0][j];
    const double lag = N > 0 ? Lag(i, q) : 0.0;
    // Cells moved in the sub-interval (at most all of them).
    const double s = lag > 0 ? std::min(N / lag, N + 1.0) : N + 1.0;
    const int n = static_cast<int>(s);
    const double f = s - n;
    for (int r = N; r >= 1; --r) {
      const double v = Q(0, c0 + r);
      add(r + n, (1 - f) * v, r);
      add(r + n + 1, f * v, r);
    }
    if (lag > 0) {
      const double exact = N / lag;
      const int last = std::min(N, static_cast<int>(std::ceil(exact)));
      for (int m = 1; m <= last; ++m) add(m, q / exact * std::min(1.0, exact - (m - 1)), 0);
      if (exact > N) add(N + 1, q * (exact - N) / exact, 0);
    } else {
      add(N + 1, q, 0);
    }
    for (int m = 1; m <= N; ++m) {
      Q(0, c0 + m) = W(0, m);
      for (int t = 1; t <= nt; ++t) Q(t, c0 + m) = W(nt + 1, m) > 0 ? W(t, m) / W(nt + 1, m) : 0.0;
    }
    // The fixed delay: what left the conveyor in this sub-interval enters
    // it. Leaving now: the rest of the water that reached the whole delay
    // one sub-interval ago (the fraction it kept back) and the water that
    // reaches it now, less that fraction (with whole = 0 the entering water
    // itself).
    const double x = W(0, 0), xa = W(nt + 1, 0);
    double* mass = scratch.data();            // [t]: tracer mass leaving, by the water's size
    double* reach = scratch.data() + nt + 1;  // [t]: concentrations of the water reaching the whole delay
    double out = x, outAbs = xa;
    for (int t = 1; t <= nt; ++t) mass[t] = W(t, 0);
    if (w.delayCells > 0) {
      const double r = whole > 0 ? Q(0, d0 + whole) : x;
      for (int t = 1; t <= nt; ++t) reach[t] = whole > 0 ? Q(t, d0 + whole) * decay[t] : (xa > 0 ? W(t, 0) / xa : 0.0);
      out = (1 - part) * r;
      outAbs = std::fabs(out);
      for (int t = 1; t <= nt; ++t) mass[t] = outAbs * reach[t];
      if (part > 0) {
        const int last = d0 + w.delayCells;
        const double rest = Q(0, last);
        out += rest;
        outAbs += std::fabs(rest);
        for (int t = 1; t <= nt; ++t) mass[t] += std::fabs(rest) * Q(t, last) * decay[t];
        Q(0, last) = part * r;
        for (int t = 1; t <= nt; ++t) Q(t, last) = reach[t];
      }
      for (int m = whole; m >= 2; --m) {
        Q(0, d0 + m) = Q(0, d0 + m - 1);
        for (int t = 1; t <= nt; ++t) Q(t, d0 + m) = Q(t, d0 + m - 1) * decay[t];
      }
      if (whole >= 1) {
        Q(0, d0 + 1) = x;
        for (int t = 1; t <= nt; ++t) Q(t, d0 + 1) = xa > 0 ? W(t, 0) / xa : 0.0;
      }
    }
    Q(0, b + j) = out;
    for (int t = 1; t <= nt; ++t) Q(t, b + j) = outAbs > 0 ? mass[t] / outAbs : 0.0;
  }
  w.lastQueuePosition[k] = b + w.stride;

  // Main channel and flood plain: two single linear storages in parallel,
  // fed by the shares 1 - sh and sh of the input, each with its own
  // outflow, one sub-interval after the other. A storage of constant k
  // [h] holds k times its outflow; over a sub-interval of tau hours with
  // the input I its outflow at the end becomes o' = c o + (1 - c) I, c =
  // exp(-tau / k), and what leaves in the sub-interval is I less what it
  // gained, I - k / tau (o' - o) (the exact solution for an input that is
  // constant over the sub-interval: a pulse leaves with its centroid k
  // later at any sub-interval and step length). Each storage mixes its
  // water with the input of the sub-interval (at its concentrations), and
  // its outflow and what stays keep the mix, so that the tracers leave with
  // their water.
  double largest = Q(0, b + 1);
  for (int j = 2; j <= ns; ++j) largest = std::max(largest, Q(0, b + j));
  const double sh = w.floodShare[DischargeClass(i, largest)];
  const double ch = w.recessionMain, cv = w.recessionFlood;
  const double rh = w.holdMain, rv = w.holdFlood;
  auto mix = [](double held, double c, double in, double cin) {
    const double a = std::fabs(held), x = std::fabs(in);
    return a + x > 0 ? (a * c + x * cin) / (a + x) : cin;
  };
  double om = w.Out(k, ns, ns) - w.FloodOut(k, ns, ns), of = w.FloodOut(k, ns, ns);
  double* cmain = scratch.data();
  double* cflood = scratch.data() + nt + 1;
  for (int t = 1; t <= nt; ++t) {
    cmain[t] = w.Conc(t, k, ns, ns);
    cflood[t] = w.FloodConc(t, k, ns, ns);
  }
  for (int j = 1; j <= ns; ++j) {
    const double in = Q(0, b + j);
    const double inMain = in * (1 - sh), inFlood = in * sh;
    const double heldMain = rh * om, heldFlood = rv * of;
    const double nextMain = ch * om + (1 - ch) * inMain, nextFlood = cv * of + (1 - cv) * inFlood;
    const double main = inMain - rh * (nextMain - om);
    const double flood = inFlood - rv * (nextFlood - of);
    for (int t = 1; t <= nt; ++t) {
      const double cin = Q(t, b + j);
      cmain[t] = mix(heldMain, cmain[t] * decay[t], inMain, cin);
      cflood[t] = mix(heldFlood, cflood[t] * decay[t], inFlood, cin);
      const double a = std::fabs(main), x = std::fabs(flood);
      channelFlow[t][j] = a + x > 0 ? (a * cmain[t] + x * cflood[t]) / (a + x) : cin;
      w.Conc(t, k, j, ns) = cmain[t];
      w.FloodConc(t, k, j, ns) = cflood[t];
    }
    channelFlow[0][j] = main + flood;
    om = nextMain;
    of = nextFlood;
    w.Out(k, j, ns) = om + of;
    w.FloodOut(k, j, ns) = of;
  }
  w.qvzuq[k] = sh;
}

double routingclass::Lag(int i, double q) const {
  const WQTable& w = wqtab[i];
  const int top = static_cast<int>(1 + nIntervals[i]);
  if (!(logStep[i] > 0) || top < 2) return w.lag[1];
  // Class c holds the discharges up to qmin exp((c - 1) logStep).
  const double specific = std::max(1e-7, q * 16666.668 / dt);
  const double u = std::log(specific / qmin[i]) / logStep[i];
  if (!(u > 0)) return w.lag[1];
  if (u >= top - 1) return w.lag[top];
  const int c = static_cast<int>(u) + 1;
  return w.lag[c] + (u - (c - 1)) * (w.lag[c + 1] - w.lag[c]);
}

double routingclass::ChannelStorage(int i, bool positiveOnly) {
  const RoutingTables& T = *tables;
  WQTable& w = wqtab[i];
  const int ns = subIntervals;
  const int e = ChannelEntry(i);
  auto part = [&](double x) { return positiveOnly ? std::max(0.0, x) : x; };
  double held = 0;
  for (int k = 1; k <= static_cast<int>(w.nSubChannels); ++k) {
    const int b = (k - 1) * w.stride;
    for (int m = b + ns + 1; m <= b + w.stride; ++m) held += part(T.history[0][e][m]);
    // A storage holds its constant times its outflow (in sub-intervals).
    const double o = w.Out(k, ns, ns), of = w.FloodOut(k, ns, ns);
    held += w.holdMain * part(o - of) + w.holdFlood * part(of);
  }
  return held / ns;
}

double routingclass::ChannelTracer(int i, int t) {
  const RoutingTables& T = *tables;
  WQTable& w = wqtab[i];
  const int ns = subIntervals;
  const int e = ChannelEntry(i);
  double held = 0;
  for (int k = 1; k <= static_cast<int>(w.nSubChannels); ++k) {
    const int b = (k - 1) * w.stride;
    for (int m = b + ns + 1; m <= b + w.stride; ++m) held += T.history[0][e][m] * T.history[t][e][m];
    const double o = w.Out(k, ns, ns), of = w.FloodOut(k, ns, ns);
    held += w.holdMain * (o - of) * w.Conc(t, k, ns, ns) + w.holdFlood * of * w.FloodConc(t, k, ns, ns);
  }
  return held / ns;
}

double routingclass::TakeFromChannel(int i, double want) {
  if (!(want > 0)) return 0.0;
  const double there = ChannelStorage(i, true);
  if (!(there > 0)) return 0.0;
  // Every positive store of the channel gives the same share of its water.
  const double taken = std::min(want, there);
  const double keep = 1 - taken / there;
  RoutingTables& T = *tables;
  WQTable& w = wqtab[i];
  const int ns = subIntervals;
  const int e = ChannelEntry(i);
  for (int k = 1; k <= static_cast<int>(w.nSubChannels); ++k) {
    const int b = (k - 1) * w.stride;
    for (int m = b + ns + 1; m <= b + w.stride; ++m)
      if (T.history[0][e][m] > 0) T.history[0][e][m] *= keep;
    for (int j = 1; j <= ns; ++j) {
      double& o = w.Out(k, j, ns);
      double& of = w.FloodOut(k, j, ns);
      double main = o - of;
      if (main > 0) main *= keep;
      if (of > 0) of *= keep;
      o = main + of;
    }
  }
  return taken;
}

void routingclass::ScaleChannelTracer(int i, int t, double f) {
  RoutingTables& T = *tables;
  WQTable& w = wqtab[i];
  const int ns = subIntervals;
  const int e = ChannelEntry(i);
  for (int k = 1; k <= static_cast<int>(w.nSubChannels); ++k) {
    const int b = (k - 1) * w.stride;
    for (int m = b + ns + 1; m <= b + w.stride; ++m) T.history[t][e][m] *= f;
    for (int j = 1; j <= ns; ++j) {
      w.Conc(t, k, j, ns) *= f;
      w.FloodConc(t, k, j, ns) *= f;
    }
  }
}

void routingclass::InitChannelStates() {
  RoutingTables& T = *tables;
  for (int i = 1; i <= Channels(); ++i) {
    WQTable& w = wqtab[i];
    const int e = ChannelEntry(i);
    const double q = StartFlow(i, e, 0);
    const int c = DischargeClass(i, q);
    // The conveyors and the fixed delays start with the water in transit
    // of the queue's flow (the start flow, or the observation the queue
    // was filled with).
    std::vector<double>& h = T.history[0][e];
    const double start = h.size() > 1 ? h[1] : q;
    const int N = w.conveyorCells;
    const double cell = N > 0 ? start * Lag(i, start) / N : 0.0;
    const int whole = static_cast<int>(w.fixedDelay);
    for (int k = 1; k <= static_cast<int>(w.nSubChannels); ++k) {
      const int b = (k - 1) * w.stride;
      // The storages hold their flow, the flood plain its share of it.
      const double sh = w.floodShare[c];
      for (int j = 1; j <= subIntervals; ++j) {
        w.Out(k, j, subIntervals) = q;
        w.FloodOut(k, j, subIntervals) = q * sh;
      }
      w.qvzuq[k] = sh;
      // The storages hold the water of the start, at its concentrations.
      for (int t = 1; t <= nTracers; ++t)
        for (int j = 1; j <= subIntervals; ++j)
          w.Conc(t, k, j, subIntervals) = w.FloodConc(t, k, j, subIntervals) = StartFlow(i, e, t);
      if (static_cast<int>(h.size()) > b + w.stride)
        for (int m = 1; m <= w.stride - subIntervals; ++m)
          h[b + subIntervals + m] = m <= N                  ? cell
                                    : m <= N + whole        ? start
                                    : m <= N + w.delayCells ? (w.fixedDelay - whole) * start
                                                            : 0.0;
      w.lastQueuePosition[k] = b + w.stride;
    }
  }
}

void routingclass::LinkRiverflowTable(RiverflowTable* table, int number) {
  riverflow = table;
  routingNumber = number;
  if (!riverflow) return;
  for (int i = 1; i <= nTributaries + nSumTributaries; ++i) {
    FeedingEntries(i, feeding);
    for (int s : feeding) {
      double* f = riverflow[s].field;
      const int32_t halves[2] = {number, i};  // lower: routing subbasin, upper: channel
      std::memcpy(&f[15], halves, sizeof halves);
      f[12] = params[i].AE;
    }
  }
  UpdateRiverflowTable();
}

void routingclass::UpdateRiverflowTable() {
  if (!riverflow) return;
  const RoutingTables& T = *tables;
  for (int i = 1; i <= nTributaries + nSumTributaries; ++i) {
    FeedingEntries(i, feeding);
    for (int s : feeding) {
      double* f = riverflow[s].field;
      const int c = DischargeClass(i, T.runoff[0][s]);
      f[13] = f[14] = 0;
      for (int t = 0; t <= std::min(nTracers, 9); ++t) f[t] = T.runoff[t][s];
      f[10] = MmToM3s(T.runoff[0][s], params[i].AE);
      f[11] = wqtab[i].v[c];
    }
  }
}

double routingclass::EntryArea(int e) const {
  const RoutingTables& T = *tables;
  if (e > T.inflowEntryBase) {
    for (int j = 1; j <= nInflows; ++j)
      if (T.inflowEntryBase + inflowCodes[j] == e) return params[nTributaries + nSumTributaries + j].AE;
    return 0.0;
  }
  // Cells over the second TG value for a routed subbasin (CheckArea), its own cells else.
  return T.abfrel[1][e] != 0 ? T.abfrel[0][e] / T.abfrel[1][e] * T.abfrel[0][0] : 0.0;
}

double routingclass::ChannelArea(int i) {
  if (i > nTributaries + nSumTributaries) return params[i].AE;
  // A list of its own: the callers may be walking the feeding list.
  FeedingEntries(i, areaFeeding);
  double area = 0;
  for (int s : areaFeeding) area += EntryArea(s);
  return area;
}

double routingclass::WithdrawalTracer(int e, double area, const int* channels, int count, int t) {
  RoutingTables& T = *tables;
  const int ns = subIntervals;
  double m = 0;
  for (int j = 1; j <= ns; ++j) m += T.Sub(0, j, e) * T.Sub(t, j, e) / ns * area * 1000;
  for (int c = 0; c < count; ++c) m += ChannelTracer(channels[c], t) * ChannelArea(channels[c]) * 1000;
  if (count == 0 && below) m += below->ChannelTracer(belowChannel, t) * below->ChannelArea(belowChannel) * 1000;
  return m;
}

double routingclass::Withdraw(int e, double area, const int* channels, int count, double want, const char* what,
                              const double* concentrations, bool stepFlowOnly) {
  RoutingTables& T = *tables;
  const int ns = subIntervals;
  const int nt = nTracers;
  if (!(want > 0)) return 0.0;
  const double wanted = want;
  // With the concentrations of the water taken: the tracer held before.
  double* before = concentrations ? withdrawal.data() + (nt + 1) : nullptr;
  for (int t = 1; before && t <= nt; ++t) before[t] = WithdrawalTracer(e, area, channels, count, t);
  // The entry's water of the step: each positive sub-interval gives the same share.
  double there = 0;
  for (int j = 1; j <= ns; ++j) there += std::max(0.0, T.Sub(0, j, e)) / ns * area * 1000;
  if (there > 0) {
    const double taken = std::min(want, there);
    const double keep = 1 - taken / there;
    for (int j = 1; j <= ns; ++j)
      if (T.Sub(0, j, e) > 0) T.Sub(0, j, e) *= keep;
    want -= taken;
  }
  if (stepFlowOnly) count = 0;
  for (int c = 0; c < count && want > 0; ++c) {
    const double a = ChannelArea(channels[c]);
    if (!(a > 0)) continue;
    want -= TakeFromChannel(channels[c], want / (a * 1000)) * a * 1000;
  }
  if (count == 0 && below && want > 0 && !stepFlowOnly) {
    const double a = below->ChannelArea(belowChannel);
    if (a > 0) want -= below->TakeFromChannel(belowChannel, want / (a * 1000)) * a * 1000;
  }
  // The water taken carries the given concentrations: what the entry's
  // water and the channels keep holds the tracer they held less that mass,
  // every part of it at the same share (a concentration of what was taken
  // that is more than they held leaves them without the tracer).
  for (int t = 1; before && t <= nt; ++t) {
    const double kept = WithdrawalTracer(e, area, channels, count, t);
    const double target = before[t] - (wanted - std::max(0.0, want)) * concentrations[t];
    const double f = kept != 0 ? std::max(0.0, target / kept) : 1.0;
    if (f == 1.0) continue;
    for (int j = 1; j <= ns; ++j) T.Sub(t, j, e) *= f;
    T.runoff[t][e] *= f;
    for (int c = 0; c < count; ++c) ScaleChannelTracer(channels[c], t, f);
    if (count == 0 && below) below->ScaleChannelTracer(belowChannel, t, f);
  }
  if (want > 1e-9 && !stepFlowOnly) {
    unmetWithdrawal += want;
    *diag << "WARNING: routing subbasin " << code << ": " << what << " took " << want
          << " m3 more from the river at subbasin entry " << e
          << " than the river and its channel held in the step; that water was not taken from them"
          << "[end-entry]";
  }
  return wanted - std::max(0.0, want);
}

void routingclass::WithdrawForIrrigation(int s, double entryArea, const int* channels, int count, double mm) {
  RoutingTables& T = *tables;
  const int nt = nTracers;
  const double area = T.SubbasinArea(s);
  // The fields' demand of the step on the river [mm over the subbasin's
  // cells]: the step's flow at the point of withdrawal gives it, at most
  // what it carries (a shortage, no fault; the water the channels hold
  // passes that point in later steps and is taken then). What is taken is
  // in transit to the fields, which receive it at the next step, with the
  // tracers of the water it was taken from (the channels' tracer, summed
  // before and after, cancels).
  withdrawal.assign(static_cast<size_t>(nt) + 1, 0.0);
  for (int t = 1; t <= nt; ++t) withdrawal[t] = WithdrawalTracer(s, entryArea, channels, count, t);
  const double taken =
      area > 0 && mm > 0 ? Withdraw(s, entryArea, channels, count, mm * area * 1000, "irrigation", nullptr, true) : 0.0;
  T.maxirrig[0][s] = taken > 0 ? taken / (area * 1000) : 0.0;
  for (int t = 1; t <= nt; ++t)
    T.maxirrig[t][s] =
        taken > 0 ? std::max(0.0, withdrawal[t] - WithdrawalTracer(s, entryArea, channels, count, t)) / taken : 0.0;
}

double routingclass::ObservedDepth(double value, int e) const {
  // Observations in m3/s become depths over the area of the entry's depths;
  // a missing (negative) observation stays negative.
  if (tables->observedUnit != 1 || !(value >= 0)) return value;
  const double area = EntryArea(e);
  return area > 0 ? M3sToMm(value, area) : 0.0;
}
