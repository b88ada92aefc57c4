// Routing of one step through the channels of a routed subbasin: every
// channel is a chain of sub-channels, each a translation by a
// discharge-dependent delay (a queue of sub-interval values) followed by two
// parallel single linear storages, main channel and flood plain. Flows are
// depths in mm per step (also per sub-interval), tracers concentrations.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "routing/routingclass.h"

namespace {
// Takes at most want [mm] from have, never below 0; returns what could not be taken.
double Withdraw(double& have, double want) {
  if (want <= have) {
    have -= want;
    return 0.0;
  }
  const double missing = want - std::max(0.0, have);
  have = std::min(0.0, have);
  return missing;
}
}  // namespace

void routingclass::Route(int64_t year, int64_t month, int64_t day, int64_t hour) {
  // The initialisation routes with the date 0: no withdrawals, no output rows.
  const bool real = month >= 1;
  RoutingTables& T = *tables;
  const int ns = subIntervals;
  const int nt = nTracers;
  const int own = T.EntryOf(code);
  const int rivers = nTributaries + nSumTributaries;
  ZoneRecord* irrigation = T.irrigationRecords;

  // Irrigation demand of the tributaries, taken before they are routed.
  if (real && irrigation) {
    for (int i = 1; i <= rivers; ++i) {
      FeedingEntries(i, feeding);
      for (int s : feeding) {
        if (T.maxirrig[0][s] == 0)
          for (int t = 0; t <= nt; ++t) T.maxirrig[t][s] = T.Sub(t, 1, s);
        for (int j = 1; j <= ns; ++j) unmetWithdrawal += Withdraw(T.Sub(0, j, s), irrigation[s].sx);
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

    // Water the soil took from the rivers since the last step (field 13, m3/s).
    if (!inflow && real && riverflow) {
      for (int s : feeding) {
        double* f = riverflow[s].field;
        f[13] = f[12] > 0 ? M3sToMm(f[13], f[12]) : 0.0;
        for (int j = 1; j <= ns; ++j) unmetWithdrawal += Withdraw(T.Sub(0, j, s), f[13]);
      }
    }
    // An internal inflow holds m3/s until it is routed.
    if (inflow && inflowModes[i - rivers] == 3) {
      for (int j = 1; j <= ns; ++j) T.Sub(0, j, e) = M3sToMm(T.Sub(0, j, e), params[i].AE);
      for (int t = 0; t <= nt; ++t) T.runoff[t][e] = T.Sub(t, 1, e);
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
      if (column != 0) observed = (*T.observedWindow)[10][column];
    }
    if (observed >= 0) {
      for (int j = 1; j <= ns; ++j) channelFlow[0][j] = observed;
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

  // Irrigation from the outlet, once per step and subbasin.
  if (real && irrigation && T.maxirrig[0][own] == 0) {
    const ZoneRecord& r = irrigation[own];
    T.maxirrig[0][own] = r.rel != 0 ? T.abfrel[0][own] / r.rel * T.runoff[0][own] / relArea : 0.0;
    for (int t = 1; t <= nt; ++t) T.maxirrig[t][own] = T.runoff[t][own];
    const double w = T.abfrel[0][own] != 0 ? r.rel / T.abfrel[0][own] * r.sx * relArea : 0.0;
    for (int j = 1; j <= ns; ++j) Withdraw(T.Sub(0, j, own), w);
    unmetWithdrawal += Withdraw(T.runoff[0][own], w);
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

  const int c1 = DischargeClass(i, GetMaxValue(channelFlow[0].data()));
  const int d = w.delta[c1];
  // Decay of the queued tracer values over the delay: 2^(-travel time / half-life).
  for (int t = 1; t <= nt; ++t) {
    const double half = tracerRecords ? tracerRecords[t].half_time : 0.0;
    decay[t] = half > 0 ? std::exp(-((d * dt / ns) / 60 / 24) / (half * 1.442695041111)) : 0.0;
  }
  const int p0 = b + ns + d + 1;
  const int L = w.lastQueuePosition[k];

  // A longer delay leaves a gap behind the last queued value; it is filled
  // with the smaller of the last queued value and the first new input.
  if (L + 1 < p0) {
    const bool queued = Q(0, L) < channelFlow[0][1];
    const double y = queued ? Q(0, L) : channelFlow[0][1];
    for (int m = L + 1; m <= p0 - 1; ++m) {
      for (int t = 1; t <= nt; ++t) Q(t, m) = queued ? Q(t, L) : channelFlow[t][1];
      Q(0, m) = y;
    }
    w.delayBalance[0][k] -= y * (p0 - L - 1);
  }
  for (int j = 1; j <= ns; ++j) {
    const int m = p0 + j - 1;
    if (m <= L) {
      // A shorter delay writes over queued values; the smaller one is booked.
      const bool queued = Q(0, m) < channelFlow[0][j];
      const double x = queued ? Q(0, m) : channelFlow[0][j];
      for (int t = 1; t <= nt; ++t)
        w.delayBalance[t][k] =
            WeightedByAbs(w.delayBalance[t][k], queued ? Q(t, m) : channelFlow[t][j], w.delayBalance[0][k], x);
      w.delayBalance[0][k] += x;
    }
    for (int t = 0; t <= nt; ++t) Q(t, m) = channelFlow[t][j];
  }
  for (int t = 0; t <= nt; ++t) {
    double* q = T.history[t][e].data();
    std::memmove(q + b + 1, q + b + 1 + ns, sizeof(double) * w.stride);
    if (t > 0)
      for (int m = b + 1; m <= b + w.stride; ++m) q[m] *= decay[t];
  }
  w.lastQueuePosition[k] = p0 - 1;

  double largest = Q(0, b + 1);
  for (int j = 2; j <= ns; ++j) largest = std::max(largest, Q(0, b + j));
  const double sh = w.floodShare[DischargeClass(i, largest)];
  const double kh = params[i].kh;
  const double kv = params[i].kv;
  const double u = w.qvzuq[k];
  for (int j = 1; j <= ns; ++j) {
    const double in = Q(0, b + j);
    double& o = w.Out(k, j, ns);
    const double out = kv * (o * u) + (1 - kv) * (in * sh) + kh * (o * (1 - u)) + (1 - kh) * (in * (1 - sh));
    channelFlow[0][j] = out;
    o = out;
  }
  w.qvzuq[k] = sh;
}

void routingclass::InitChannelStates() {
  RoutingTables& T = *tables;
  for (int i = 1; i <= Channels(); ++i) {
    WQTable& w = wqtab[i];
    const int e = ChannelEntry(i);
    const double q = T.runoff[0][e];
    const int c = DischargeClass(i, q);
    for (int k = 1; k <= static_cast<int>(w.nSubChannels); ++k) {
      for (int j = 1; j <= subIntervals; ++j) w.Out(k, j, subIntervals) = q;
      w.qvzuq[k] = 0;
      w.lastQueuePosition[k] = subIntervals + (k - 1) * w.stride + w.delta[c];
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
