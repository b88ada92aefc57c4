// The block of one routed subbasin in the storage content file: queues of
// the channels, outflow states of the sub-channels, river links and inflows,
// in the order in which they are written.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "framework/diagstream.h"
#include "routing/routingclass.h"

namespace {
void WriteQueue(std::FILE* f, const std::vector<double>& q, int count) {
  for (int m = 1; m <= count; ++m) {
    std::fprintf(f, "%.17g ", m < static_cast<int>(q.size()) ? q[m] : 0.0);
    if (m % 10 == 0) std::fprintf(f, "\n");
  }
  std::fprintf(f, "\n");
}
}  // namespace

void routingclass::WriteStorageContent(std::FILE* f) {
  const int nt = nTracers;
  const int ns = subIntervals;
  std::fprintf(f, "%d (routing subbasin with tributaries", code);
  for (int i = 1; i <= nTributaries; ++i) std::fprintf(f, " %d", tributaryCodes[i]);
  std::fprintf(f, "\n");
  // Behind the outflows of a sub-channel the flood plain's part of them, and
  // behind its flood share the delay of its last input: the two storages and
  // the water in transit continue exactly in a warm start. Both stand before
  // the comment of their line, where a reader that knows only the first
  // values skips them.
  auto channelStates = [&](int c) {
    WQTable& w = wqtab[c];
    for (int k = 1; k <= static_cast<int>(w.nSubChannels); ++k) {
      for (int j = 1; j <= ns; ++j) std::fprintf(f, "%.17g ", w.Out(k, j, ns));
      for (int j = 1; j <= ns; ++j) std::fprintf(f, "%.17g ", w.FloodOut(k, j, ns));
      std::fprintf(f, " (wqtab[local tributary %d].Qaus[subchannel %d][1..%d])\n", c, k, ns);
      // With tracers, the number of tracers behind the delay: the
      // concentrations of the two storages follow, one block per tracer (the
      // lanes of the main channel, then those of the flood plain).
      if (nt >= 1)
        std::fprintf(f, "%.17g %d %d (wqtab[local tributary %d].qvzuq[subchannel %d])\n", w.qvzuq[k], w.Delay(k, ns),
                     nt, c, k);
      else
        std::fprintf(f, "%.17g %d (wqtab[local tributary %d].qvzuq[subchannel %d])\n", w.qvzuq[k], w.Delay(k, ns), c,
                     k);
      for (int t = 1; t <= nt; ++t) {
        int written = 0;
        for (int flood = 0; flood <= 1; ++flood)
          for (int j = 1; j <= ns; ++j) {
            std::fprintf(f, "%.17g ", flood ? w.FloodConc(t, k, j, ns) : w.Conc(t, k, j, ns));
            if (++written % 10 == 0 && written < 2 * ns) std::fprintf(f, "\n");
          }
        std::fprintf(f, " (wqtab[local tributary %d].conc[subchannel %d][tracer %d])\n", c, k, t);
      }
    }
  };
  for (int c = 1; c <= nTributaries + nSumTributaries; ++c) {
    FeedingEntries(c, feeding);
    const int count = wqtab[c].nStorageElements + ns;
    for (int s : feeding) {
      for (int i = 0; i <= nt; ++i) {
        std::fprintf(f, "%d %d (tracer/flow index and tributary subbasin)\n", i, s);
        WriteQueue(f, tables->history[i][s], count);
      }
      channelStates(c);
      if (riverflow) {
        for (int i = 0; i <= nt; ++i) std::fprintf(f, "%.17lg ", riverflow[s].field[i]);
        std::fprintf(f, "(riverflow_table[%d].flow_mm[%d])\n", s, nt + 1);
        std::fprintf(f, "%.17lg %.17lg (riverflow_table[%d].flowm3s/speed\n", riverflow[s].field[10],
                     riverflow[s].field[11], s);
      }
    }
  }
  for (int j = 1; j <= nInflows; ++j) {
    const int c = nTributaries + nSumTributaries + j;
    const int r = tables->inflowEntryBase + inflowCodes[j];
    for (int i = 0; i <= nt; ++i) {
      std::fprintf(f, "%d %d (tracer/flow index and external inflow)\n", i, r);
      WriteQueue(f, tables->history[i][r], wqtab[c].nStorageElements + ns);
    }
    channelStates(c);
  }
  std::fprintf(f, "%d (number of reservoirs)\n", nReservoirs);
  // Volumes with all their digits, so that a warm start continues the balance.
  for (int k = 1; k <= nReservoirs; ++k) {
    for (int i = 0; i <= nt; ++i) std::fprintf(f, "%.17lg ", reservoirs[k]->state[i]);
    std::fprintf(f, " (reservoir %d)\n", k);
  }
  // Withdrawals (irrigation, the soil's uptake) that found no water in the
  // river and its channels: water the fields and the soil got that the
  // river never gave, summed since the cold start (a warm start goes on).
  std::fprintf(f, "%.17g (withdrawals [m3] the river could not give)\n", unmetWithdrawal);
  // The river water in transit to the fields and what the reservoirs offer
  // the irrigation of the next step: a warm start's first step irrigates as
  // the continuous run would.
  if (tables->irrigationRecords) {
    for (double v : IrrigationInTransit()) std::fprintf(f, "%.17g ", v);
    std::fprintf(f, " (irrigation water [m3] in transit to the fields, then its tracers' mass [m3 x concentration])\n");
    for (double* v : IrrigationOffers()) std::fprintf(f, "%.17g ", *v);
    std::fprintf(f, " (irrigation offers [mm] for the next step)\n");
  }
  std::fprintf(f, "\n\n");
}

std::vector<double> routingclass::IrrigationInTransit() {
  RoutingTables& T = *tables;
  const int own = T.EntryOf(code);
  std::vector<double> m3(static_cast<size_t>(nTracers) + 1, 0.0);
  auto add = [&](int s) {
    const double water = T.maxirrig[0][s] * T.SubbasinArea(s) * 1000;
    m3[0] += water;
    for (int t = 1; t <= nTracers; ++t) m3[t] += water * T.maxirrig[t][s];
  };
  add(own);
  std::vector<int> counted;  // a subbasin feeding two channels counts once
  for (int i = 1; i <= nTributaries + nSumTributaries; ++i) {
    FeedingEntries(i, feeding);
    for (int s : feeding)
      if (T.routedBy[s] == 0 && std::find(counted.begin(), counted.end(), s) == counted.end()) {
        counted.push_back(s);
        add(s);
      }
  }
  return m3;
}

std::vector<double*> routingclass::IrrigationOffers() {
  RoutingTables& T = *tables;
  const int own = T.EntryOf(code);
  std::vector<double*> v;
  for (int t = 0; t <= nTracers; ++t) v.push_back(&T.maxirrig[t][own]);
  for (int t = 0; t <= nTracers; ++t) v.push_back(&T.maxirrigFromReservoirs[t][own]);
  for (int i = 1; i <= nTributaries + nSumTributaries; ++i) {
    FeedingEntries(i, feeding);
    for (int s : feeding)
      if (T.routedBy[s] == 0)
        for (int t = 0; t <= nTracers; ++t) v.push_back(&T.maxirrig[t][s]);
  }
  return v;
}

void routingclass::ReadStorageContent(ControlFile& file, const std::string& name) {
  const int nt = nTracers;
  const int ns = subIntervals;
  int position = 0;
  std::string rest;
  // The river-link lines of a tributary are written only with the
  // groundwater model on: a state of the other setting does not fit.
  bool riverLinks = false;
  auto fail = [&](const char* what) {
    const std::string where = " (file " + name + ", position " + std::to_string(position) + ")";
    // Another groundwater switch than the state's: the explanation first.
    if (riverLinks)
      Fail(
          "FATAL: the river-link lines (riverflow_table), which a run with the groundwater model on writes, are "
          "missing: the state was written with [groundwater_flow] off, and a warm start keeps the groundwater "
          "model's switch of the run it continues" +
              where,
          71);
    if (rest.find("riverflow_table") != std::string::npos)
      Fail(
          "FATAL: the state holds river-link lines (riverflow_table), written with the groundwater model on, and "
          "[groundwater_flow] is off in this run: a warm start keeps the groundwater model's switch of the run it "
          "continues" +
              where,
          71);
    Fail(std::string("FATAL: error reading ") + what + " in file " + name + " (position " + std::to_string(position) +
             ")" + (file.Eof() ? ": the file ends early (a storage content file cut short)" : std::string()),
         71);
  };
  auto number = [&](double& v) {
    ++position;
    if (file.Scan("%lf", {&v}) != 1) fail("a value");
  };
  auto header = [&](int tracer, int entry) {
    int a = 0, b = 0;
    ++position;
    const int got = file.Scan("%d%d", {&a, &b});
    if (got != 2 || a != tracer || b != entry) {
      // (The rest of the line tells which lines stand there instead.)
      file.RestOfLine(rest);
      fail(got == 2 && a == tracer ? "tributary index" : "tracer code");
    }
    // Another number of tracers shifts the block: the numbers read are then no header.
    file.RestOfLine(rest);
    if (rest.find("(tracer/flow index") == std::string::npos) fail("tracer code");
  };
  // The comment closing a line tells whether the block still fits the descriptions.
  auto comment = [&](const char* expected) {
    file.RestOfLine(rest);
    if (rest.find(expected) == std::string::npos) fail("tracer code");
  };
  // Numbers that stand before the comment of a line: the flood-plain
  // outflows and the delay, which files of earlier versions do not hold.
  std::vector<double> extra;
  auto commentAfterNumbers = [&](const char* expected) {
    file.RestOfLine(rest);
    if (rest.find(expected) == std::string::npos) fail("tracer code");
    extra.clear();
    const char* p = rest.c_str();
    for (;;) {
      char* end = nullptr;
      const double x = std::strtod(p, &end);
      if (end == p) break;
      extra.push_back(x);
      p = end;
    }
  };
  int channelEntry = 0;  // the entry whose queue was read last
  auto channelStates = [&](int c) {
    WQTable& w = wqtab[c];
    for (int k = 1; k <= static_cast<int>(w.nSubChannels); ++k) {
      for (int j = 1; j <= ns; ++j) number(w.Out(k, j, ns));
      commentAfterNumbers(".Qaus[");
      if (!extra.empty() && static_cast<int>(extra.size()) != ns) fail("a value");
      // Without the flood plain's part its outflow is the flood share of the last input.
      for (int j = 1; j <= ns; ++j) w.FloodOut(k, j, ns) = extra.empty() ? 0.0 : extra[static_cast<size_t>(j - 1)];
      number(w.qvzuq[k]);
      commentAfterNumbers(".qvzuq[");
      if (extra.empty()) {
        for (int j = 1; j <= ns; ++j) w.FloodOut(k, j, ns) = w.qvzuq[k] * w.Out(k, j, ns);
      } else {
        const double d = extra[0];
        if (extra.size() > 2 || d < 0 || d > w.stride - ns || d != static_cast<int>(d)) fail("a value");
        w.lastQueuePosition[k] = (k - 1) * w.stride + ns + static_cast<int>(d);
        if (extra.size() == 2 && extra[1] != nt) fail("tracer code");
      }
      if (extra.size() == 2) {
        for (int t = 1; t <= nt; ++t) {
          for (int j = 1; j <= ns; ++j) number(w.Conc(t, k, j, ns));
          for (int j = 1; j <= ns; ++j) number(w.FloodConc(t, k, j, ns));
          comment(".conc[subchannel ");
        }
      } else {
        // A state of earlier versions holds no storage concentrations: the
        // storages take those of the water at the conveyor's end.
        const std::vector<std::vector<std::vector<double>>>& h = tables->history;
        const int last = (k - 1) * w.stride + w.stride;
        for (int t = 1; t <= nt; ++t) {
          const std::vector<double>& q = h[t][channelEntry];
          const double c0 = last < static_cast<int>(q.size()) ? q[last] : 0.0;
          for (int j = 1; j <= ns; ++j) w.Conc(t, k, j, ns) = w.FloodConc(t, k, j, ns) = c0;
        }
      }
    }
  };
  auto queue = [&](std::vector<double>& q, int count) {
    if (static_cast<int>(q.size()) < count + 1) q.resize(count + 1, 0.0);
    for (int m = 1; m <= count; ++m) number(q[m]);
  };

  int stored = 0;
  ++position;
  if (file.Scan("%d", {&stored}) != 1 || stored != code) {
    Fail("FATAL: error reading subbasin code in file " + name + " (position " + std::to_string(1) + ")", 71);
  }
  file.RestOfLine(rest);
  for (int c = 1; c <= nTributaries + nSumTributaries; ++c) {
    FeedingEntries(c, feeding);
    const int count = wqtab[c].nStorageElements + ns;
    for (int s : feeding) {
      for (int i = 0; i <= nt; ++i) {
        header(i, s);
        queue(tables->history[i][s], count);
      }
      channelEntry = s;
      channelStates(c);
      if (riverflow) {
        riverLinks = true;
        for (int i = 0; i <= nt; ++i) {
          double v = 0;
          number(v);
          if (i <= 9) riverflow[s].field[i] = v;
        }
        comment("riverflow_table[");
        number(riverflow[s].field[10]);
        number(riverflow[s].field[11]);
        comment("flowm3s/speed");
        riverLinks = false;
      }
    }
  }
  for (int j = 1; j <= nInflows; ++j) {
    const int c = nTributaries + nSumTributaries + j;
    const int r = tables->inflowEntryBase + inflowCodes[j];
    for (int i = 0; i <= nt; ++i) {
      header(i, r);
      queue(tables->history[i][r], wqtab[c].nStorageElements + ns);
    }
    channelEntry = r;
    channelStates(c);
  }
  int count = -1;
  ++position;
  if (file.Scan("%d", {&count}) != 1 || count != nReservoirs) {
    file.RestOfLine(rest);
    fail("reservoir code");
  }
  file.RestOfLine(rest);
  for (int k = 1; k <= nReservoirs; ++k) {
    for (int i = 0; i <= nt; ++i) number(reservoirs[k]->state[i]);
    // A stored volume below 0 would release water the reservoir never held.
    const double V = reservoirs[k]->state[0];
    if (V < 0) {
      char value[40];
      std::snprintf(value, sizeof value, "%.17lg", V);
      Fail("FATAL: error reading the volume of reservoir " + std::to_string(reservoirs[k]->Code()) + " of subbasin " +
               std::to_string(code) + " in file " + name + " (position " + std::to_string(position - nt) +
               "): the volume " + value + " [m3] is negative",
           71);
    }
    comment("(reservoir ");
  }
  // Files of earlier versions end the block with its blank line instead.
  std::string line;
  if (file.GetLine(line) && line.find("(withdrawals [m3]") != std::string::npos) {
    const double v = std::strtod(line.c_str(), nullptr);
    ++position;
    if (!(v >= 0) || !std::isfinite(v)) fail("a value");
    unmetWithdrawal = v;
    // A state written without irrigation holds no offers: they start at 0.
    // The water in transit [m3] is their sum (for the basin's budget).
    bool more = file.GetLine(line);
    const bool transit = more && line.find("(irrigation water [m3] in transit") != std::string::npos;
    if (transit) {
      ++position;
      more = file.GetLine(line);
    }
    if (more && line.find("(irrigation offers [mm]") != std::string::npos) {
      const std::vector<double*> offers = IrrigationOffers();
      const char* p = line.c_str();
      for (double* o : offers) {
        char* end = nullptr;
        const double x = std::strtod(p, &end);
        ++position;
        if (end == p || !std::isfinite(x)) fail("an irrigation offer");
        *o = x;
        p = end;
      }
      char* end = nullptr;
      std::strtod(p, &end);
      if (end != p) fail("an irrigation offer");  // more offers than the descriptions make
      // A state without the water in transit held what the rivers offered
      // the next step, water they had not given: the fields receive none.
      if (!transit)
        for (auto& row : tables->maxirrig) std::fill(row.begin(), row.end(), 0.0);
    }
  }
}
