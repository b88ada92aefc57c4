#include "tests/application/channelwater.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "tests/support/modeloutput.h"
#include "tests/support/testutil.h"

namespace fluvextest {

namespace {

bool Contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < text.size()) {
    size_t to = text.find('\n', from);
    if (to == std::string::npos) to = text.size();
    lines.push_back(text.substr(from, to - from));
    from = to + 1;
  }
  return lines;
}

bool Blank(const std::string& line) {
  return line.find_first_not_of(" \t\r") == std::string::npos;
}

// The whole number that follows marker in line (the first occurrence); -1
// when the marker is missing.
long NumberAfter(const std::string& line, const std::string& marker) {
  const size_t at = line.find(marker);
  if (at == std::string::npos) return -1;
  return std::strtol(line.c_str() + at + marker.size(), nullptr, 10);
}

// The value of "key = value" on a routing line (the last one when the key
// repeats); false when the line has none.
bool Keyed(const std::string& line, const std::string& key, double& value) {
  bool found = false;
  for (size_t at = line.find(key); at != std::string::npos; at = line.find(key, at + 1)) {
    if (at > 0 && std::isalnum(static_cast<unsigned char>(line[at - 1]))) continue;
    size_t p = line.find_first_not_of(" \t", at + key.size());
    if (p == std::string::npos || line[p] != '=') continue;
    const char* start = line.c_str() + p + 1;
    char* end = nullptr;
    const double x = std::strtod(start, &end);
    if (end == start) continue;
    value = x;
    found = true;
  }
  return found;
}

// ---- The routing lines of the control file -------------------------------

struct ChannelLine {
  int code = 0;           // tributary subbasin code (OL) or inflow number (ZL)
  double kh = 0, kv = 0;  // storage constants of main channel and flood plains, h
  double ae = 0;          // catchment area of the channel, km2
};

struct SubbasinLines {
  int code = 0;
  double area = 0, rel = 1;  // area given on the TG line (km2) and its second value
  std::vector<ChannelLine> tributaries, inflows;
  bool sumTributaries = false;
};

struct RoutingLines {
  double qmin = 0, qmax = 0, intervals = 0;  // l/s/km2, l/s/km2, number of intervals
  int subIntervals = 1;
  double minutes = 0;                    // the step ($step resolved)
  std::vector<SubbasinLines> subbasins;  // in the order of the TG lines
  const SubbasinLines* Find(int code) const {
    for (const auto& s : subbasins)
      if (s.code == code) return &s;
    return nullptr;
  }
};

bool ReadRoutingLines(const std::string& control, RoutingLines& r, std::string& why) {
  const std::vector<std::string> lines = Lines(control);
  size_t first = 0;
  while (first < lines.size() && lines[first].compare(0, 15, "[routing_model]") != 0) ++first;
  if (first + 3 >= lines.size()) {
    why = "control.txt has no [routing_model] section with its qmin qmax intervals subintervals line";
    return false;
  }
  // Flow control, time step, then "qmin qmax intervals subintervals".
  const auto table = LeadingNumbers(lines[first + 3]);
  if (table.size() < 4 || table[0] <= 0 || table[1] <= 0 || table[2] <= 0) {
    why = "control.txt: no qmin qmax intervals subintervals in '" + lines[first + 3] + "'";
    return false;
  }
  r.qmin = table[0];
  r.qmax = table[1];
  r.intervals = table[2];
  r.subIntervals = static_cast<int>(table[3]);
  const std::string step = lines[first + 2].substr(0, lines[first + 2].find_first_of(" \t"));
  const size_t set = control.find("$set " + step + " ");
  r.minutes = std::strtod(step[0] != '$'             ? step.c_str()
                          : set == std::string::npos ? ""
                                                     : control.c_str() + control.find('=', set) + 1,
                          nullptr);
  for (size_t i = first + 1; i < lines.size(); ++i) {
    const std::string& raw = lines[i];
    if (!raw.empty() && raw[0] == '[') break;
    const size_t lead = raw.find_first_not_of(" \t");
    if (lead == std::string::npos) continue;
    const std::string line = raw.substr(lead);
    if (line.compare(0, 18, "end of the routing") == 0) break;
    const std::string kind = line.substr(0, 2);
    if (line.compare(0, 7, "SUMTRIB") == 0) {
      if (r.subbasins.empty()) continue;
      r.subbasins.back().sumTributaries = true;
    } else if (kind == "TG") {
      SubbasinLines s;
      s.code = static_cast<int>(std::strtol(line.c_str() + 2, nullptr, 10));
      if (!Keyed(line, "area", s.area) || !Keyed(line, "rel", s.rel)) {
        why = "control.txt: no area or rel in '" + line + "'";
        return false;
      }
      r.subbasins.push_back(s);
    } else if (kind == "OL" || kind == "ZL") {
      if (r.subbasins.empty()) {
        why = "control.txt: '" + line + "' before the first TG line";
        return false;
      }
      ChannelLine c;
      c.code = static_cast<int>(std::strtol(line.c_str() + 2, nullptr, 10));
      if (!Keyed(line, "kh", c.kh) || !Keyed(line, "kv", c.kv) || !Keyed(line, "AE", c.ae)) {
        why = "control.txt: no kh, kv or AE in '" + line + "'";
        return false;
      }
      (kind == "OL" ? r.subbasins.back().tributaries : r.subbasins.back().inflows).push_back(c);
    }
  }
  return true;
}

// ---- Channel flow tables (wq_table.NNN, wq_tabZL.NNN) --------------------

struct FlowTable {
  std::vector<int> delta;  // delay per discharge class 1..N+1, sub-intervals per sub-channel
  int subChannels = 0;
  int elements = 0;  // the queue's positions of all sub-channels
};

bool ReadFlowTable(const std::string& path, FlowTable& t, std::string& why) {
  const std::string text = ReadFile(path);
  if (text.empty()) {
    why = "cannot read " + path;
    return false;
  }
  for (const std::string& line : Lines(text)) {
    if (line.compare(0, 22, "number of sub-channels") == 0) {
      t.subChannels = static_cast<int>(std::strtod(line.c_str() + line.rfind(':') + 1, nullptr));
      continue;
    }
    if (line.compare(0, 32, "total number of storage elements") == 0)
      t.elements = static_cast<int>(std::strtod(line.c_str() + line.rfind(':') + 1, nullptr));
    // A class row: # q_mm q Q dm df v vm vf t delta Qm/Q, numbers only.
    const auto numbers = LeadingNumbers(line);
    if (numbers.size() == 12 && Rows(line).front().size() == 12) t.delta.push_back(static_cast<int>(numbers[10]));
  }
  if (t.subChannels < 1 || t.delta.empty() || *std::min_element(t.delta.begin(), t.delta.end()) < 0) {
    why = path + ": no number of sub-channels, no class rows or a negative delay";
    return false;
  }
  return true;
}

// ---- The routing section of the storage content file ---------------------

struct ChannelState {
  int entry = 0;  // runoff entry that feeds the channel
  // Per sub-channel: the outflow of each sub-interval lane (mm per step) in
  // total and the flood plain's part of it, and the delay of the last input
  // (sub-intervals).
  std::map<int, std::vector<double>> outflow, floodOutflow;
  std::map<int, int> delay;
  // Per sub-channel and tracer t (from 1): the concentrations of the main
  // channel's lanes, then those of the flood plain's.
  std::map<int, std::map<int, std::vector<double>>> concentrations;
};

struct SubbasinState {
  int code = 0;
  std::map<int, std::vector<double>> history;  // flow history (flow index 0) per entry, positions 1..M
  // Concentrations of the queue per tracer t (from 1) and entry, positions 1..M.
  std::map<int, std::map<int, std::vector<double>>> tracerHistory;
  std::map<int, ChannelState> channels;  // by local channel number
  std::vector<int> channelOrder;         // channel numbers as they appear
  std::vector<std::vector<double>> reservoirs;  // per reservoir: volume [m3], then its concentrations
  int tracers = 0;                              // tracer/flow indices of the queues, less the flow
};

std::vector<SubbasinState> ReadRoutingState(const std::vector<std::string>& lines) {
  std::vector<SubbasinState> blocks;
  int entry = 0;
  // Numbers of lines without a comment that the next commented line closes
  // (the storages' concentrations run over several lines).
  std::vector<double> pending;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (!Contains(line, "(")) {
      if (!Blank(line)) {
        const auto values = LeadingNumbers(line);
        pending.insert(pending.end(), values.begin(), values.end());
      }
      continue;
    }
    std::vector<double> before;
    before.swap(pending);
    if (Contains(line, "(routing subbasin with tributaries")) {
      blocks.emplace_back();
      blocks.back().code = static_cast<int>(LeadingNumbers(line).at(0));
      continue;
    }
    if (blocks.empty()) continue;
    SubbasinState& s = blocks.back();
    if (Contains(line, "(tracer/flow index and ")) {
      const auto head = LeadingNumbers(line);
      if (head.size() < 2) continue;
      entry = static_cast<int>(head[1]);
      // The history runs up to the next commented line; a blank line ends it
      // when its length is a multiple of ten.
      std::vector<double> q;
      while (i + 1 < lines.size() && !Contains(lines[i + 1], "(") && !Blank(lines[i + 1])) {
        const auto values = LeadingNumbers(lines[++i]);
        q.insert(q.end(), values.begin(), values.end());
      }
      if (i + 1 < lines.size() && Blank(lines[i + 1])) ++i;
      const int t = static_cast<int>(head[0]);
      if (t == 0)
        s.history[entry] = q;
      else
        s.tracerHistory[t][entry] = q;
      s.tracers = std::max(s.tracers, t);
    } else if (Contains(line, "(reservoir ")) {
      s.reservoirs.push_back(LeadingNumbers(line));
    } else if (Contains(line, ".conc[subchannel ")) {
      const int c = static_cast<int>(NumberAfter(line, "local tributary "));
      const int k = static_cast<int>(NumberAfter(line, "[subchannel "));
      const int t = static_cast<int>(NumberAfter(line, "][tracer "));
      const auto values = LeadingNumbers(line);
      before.insert(before.end(), values.begin(), values.end());
      if (s.channels.count(c)) s.channels[c].concentrations[k][t] = before;
    } else if (Contains(line, ".Qaus[subchannel ") || Contains(line, ".qvzuq[subchannel ")) {
      const int c = static_cast<int>(NumberAfter(line, "local tributary "));
      const int k = static_cast<int>(NumberAfter(line, "[subchannel "));
      if (!s.channels.count(c)) {
        s.channels[c].entry = entry;
        s.channelOrder.push_back(c);
      }
      const auto values = LeadingNumbers(line);
      if (Contains(line, ".Qaus[")) {
        // The totals of the lanes, then the flood plain's parts.
        const size_t half = values.size() / 2;
        s.channels[c].outflow[k].assign(values.begin(), values.begin() + static_cast<long>(half));
        s.channels[c].floodOutflow[k].assign(values.begin() + static_cast<long>(half), values.end());
      } else if (values.size() >= 2) {
        // The flood share of the last input, then its delay (and, with
        // tracers, their number: the storages' concentrations follow).
        s.channels[c].delay[k] = static_cast<int>(values[1]);
      }
    }
  }
  return blocks;
}

// ---- The water of one channel ---------------------------------------------

// Water of a channel in mm over its reference area: what its translation
// queues hold and what its linear storages hold.
struct ChannelVolume {
  double queue = 0, linear = 0;
  std::vector<double> tracer;  // per tracer from 1: water times concentration, queue and storages
};

// tracerQueues: the queue's concentrations per tracer t = 1 ... tracers.
bool ChannelContent(const std::vector<double>& history, const ChannelState& state, const FlowTable& table, int ns,
                    double kh, double kv, int tracers, const std::vector<const std::vector<double>*>& tracerQueues,
                    ChannelVolume& v, std::string& why) {
  v.tracer.assign(static_cast<size_t>(tracers) + 1, 0.0);
  const int n = table.subChannels;
  // Every sub-channel owns a segment of the queue as long as the longest
  // delay plus the sub-intervals of a step; the history holds n of them and
  // the sub-intervals of the last input.
  const int stride = (table.elements - ns) / n;
  if (static_cast<int>(history.size()) != n * stride + ns) {
    why = "flow history of entry " + std::to_string(state.entry) + " has " + std::to_string(history.size()) +
          " values, the flow table asks for " + std::to_string(n * stride + ns);
    return false;
  }
  for (int k = 1; k <= n; ++k) {
    if (!state.outflow.count(k) || static_cast<int>(state.outflow.at(k).size()) != ns ||
        static_cast<int>(state.floodOutflow.at(k).size()) != ns || !state.delay.count(k) || state.delay.at(k) < 0 ||
        state.delay.at(k) > stride - ns) {
      why = "entry " + std::to_string(state.entry) + ": no outflow of both storages or no delay of sub-channel " +
            std::to_string(k) + " (lanes, flood-plain lanes and the delay behind the flood share)";
      return false;
    }
  }
  for (int k = 1; k <= n; ++k) {
    const int b = (k - 1) * stride;
    const std::vector<double>& out = state.outflow.at(k);
    const std::vector<double>& flood = state.floodOutflow.at(k);
    // A linear storage holds its constant (kh, kv in sub-intervals) times
    // its outflow at the end of the step; main channel and flood plain each
    // keep their own.
    v.linear += (kh * (out[ns - 1] - flood[ns - 1]) + kv * flood[ns - 1]) / ns;
    // The last input, delayed by d, was written at b+d+1+ns ... b+d+2ns and
    // shifted by ns: the water still in transit sits at b+ns+1 ... b+ns+d
    // (positions from 1), above it the segment holds stale copies, below it
    // the water routed out in the last step.
    double q = 0;
    for (int m = b + ns + 1; m <= b + ns + state.delay.at(k); ++m) q += history[static_cast<size_t>(m - 1)];
    v.queue += q / ns;
    for (int t = 1; t <= tracers; ++t) {
      const std::vector<double>& c = *tracerQueues[static_cast<size_t>(t)];
      const auto lanes = state.concentrations.find(k);
      if (c.size() != history.size() || lanes == state.concentrations.end() || !lanes->second.count(t) ||
          static_cast<int>(lanes->second.at(t).size()) != 2 * ns) {
        why = "entry " + std::to_string(state.entry) + ": no concentrations of tracer " + std::to_string(t) +
              " in the queue or the storages of sub-channel " + std::to_string(k);
        return false;
      }
      const std::vector<double>& cs = lanes->second.at(t);
      double m = 0;
      for (int p = b + ns + 1; p <= b + ns + state.delay.at(k); ++p)
        m += history[static_cast<size_t>(p - 1)] * c[static_cast<size_t>(p - 1)];
      m += kh * (out[ns - 1] - flood[ns - 1]) * cs[static_cast<size_t>(ns - 1)] +
           kv * flood[ns - 1] * cs[static_cast<size_t>(2 * ns - 1)];
      v.tracer[static_cast<size_t>(t)] += m / ns;
    }
  }
  return true;
}

// ---- Reference areas -----------------------------------------------------

// Cells of the subbasins by code and their order (the subbasin index of a
// code is its rank among the codes in ascending order).
struct Subbasins {
  std::map<long, double> cells;
  double cellKm2 = 0;
  int Index(long code) const {
    int i = 1;
    for (const auto& [c, n] : cells) {
      if (c == code) return i;
      ++i;
    }
    return -1;
  }
  double Cells(long code) const {
    const auto it = cells.find(code);
    return it == cells.end() ? 0.0 : it->second;
  }
};

// The area (km2) that the depths of a routed subbasin refer to: its TG area
// (replaced by the cells of the subbasin and of everything routed into it
// when the two differ by more than 0.001 km2) over its second TG value.
double RoutedArea(const RoutingLines& r, const Subbasins& z, const SubbasinLines& tg) {
  std::function<double(const SubbasinLines&, size_t)> total = [&](const SubbasinLines& s, size_t depth) {
    double n = z.Cells(s.code);
    for (const auto& t : s.tributaries) {
      const SubbasinLines* own = r.Find(t.code);
      n += own && own != &s && depth < r.subbasins.size() ? total(*own, depth + 1) : z.Cells(t.code);
    }
    return n;
  };
  double area = tg.area;
  const double cellArea = total(tg, 0) * z.cellKm2;
  if (z.cellKm2 > 0 && std::fabs(area - cellArea) > 0.001) area = cellArea;
  return area / tg.rel;
}

// The water [m3] and the tracer mass of the channels, and the tracer mass
// of the reservoirs, at the end of the run in dir.
bool RoutingStores(const std::string& dir, double& m3, std::vector<double>& channelMass,
                   std::vector<double>& reservoirMass, std::string& why, const std::string& relCellAreaGrid) {
  m3 = 0;
  channelMass.assign(1, 0.0);
  reservoirMass.assign(1, 0.0);
  const std::string control = ReadFile(dir + "/control.txt");
  if (control.empty()) {
    why = "cannot read " + dir + "/control.txt";
    return false;
  }
  RoutingLines lines;
  if (!ReadRoutingLines(control, lines, why)) return false;
  const int ns = lines.subIntervals;
  if (ns < 1) {
    why = "control.txt: fewer than one routing sub-interval";
    return false;
  }

  const GridFile zones = ReadGridFile(dir + "/zones.asc");
  if (zones.ncols == 0) {
    why = "cannot read zones.asc";
    return false;
  }
  Subbasins subbasins;
  subbasins.cellKm2 = zones.cellsize * zones.cellsize / 1e6;
  const GridFile rel = relCellAreaGrid.empty() ? GridFile() : ReadGridFile(dir + "/" + relCellAreaGrid);
  if (!relCellAreaGrid.empty() && rel.values.size() != zones.values.size()) {
    why = "cannot read " + relCellAreaGrid;
    return false;
  }
  for (size_t i = 0; i < zones.values.size(); ++i)
    if (zones.values[i] != zones.nodata)
      subbasins.cells[std::lround(zones.values[i])] +=
          rel.values.empty() || !(rel.values[i] > -9999) ? 1.0 : rel.values[i];

  const auto section = StorageSection(ReadFile(dir + "/out/storage.ftz_0"), "routing_model");
  if (section.empty()) {
    why = "out/storage.ftz_0 has no [routing_model] section";
    return false;
  }
  double total = 0;
  for (const SubbasinState& state : ReadRoutingState(section)) {
    // The queues' headers count the tracers; a subbasin without channels
    // has only its reservoirs' lines to tell.
    const int nt = !state.history.empty() || state.reservoirs.empty()
                       ? state.tracers
                       : static_cast<int>(state.reservoirs.front().size()) - 1;
    if (channelMass.size() < static_cast<size_t>(nt) + 1) {
      channelMass.resize(static_cast<size_t>(nt) + 1, 0.0);
      reservoirMass.resize(static_cast<size_t>(nt) + 1, 0.0);
    }
    for (const std::vector<double>& r : state.reservoirs) {
      if (static_cast<int>(r.size()) != nt + 1) {
        why = "a reservoir of routing subbasin " + std::to_string(state.code) + " holds " + std::to_string(r.size()) +
              " values, not its volume and " + std::to_string(nt) + " concentrations";
        return false;
      }
      for (int t = 1; t <= nt; ++t) reservoirMass[static_cast<size_t>(t)] += r[0] * r[static_cast<size_t>(t)];
    }
    const SubbasinLines* tg = lines.Find(state.code);
    if (!tg) {
      why = "routing subbasin " + std::to_string(state.code) + " of the storage file has no TG line";
      return false;
    }
    if (tg->sumTributaries) {
      why = "routing subbasin " + std::to_string(state.code) + " has SUMTRIB channels, which are not read here";
      return false;
    }
    const size_t nTributaries = tg->tributaries.size();
    for (int c : state.channelOrder) {
      const ChannelState& channel = state.channels.at(c);
      if (c < 1 || static_cast<size_t>(c) > nTributaries + tg->inflows.size()) {
        why = "routing subbasin " + std::to_string(state.code) + " has no channel " + std::to_string(c);
        return false;
      }
      const bool tributary = static_cast<size_t>(c) <= nTributaries;
      const ChannelLine& line = tributary ? tg->tributaries[c - 1] : tg->inflows[c - 1 - nTributaries];
      // A tributary's entry and table are named by its subbasin index, an
      // inflow's table by its inflow number.
      if (tributary && subbasins.Index(line.code) != channel.entry) {
        why = "channel " + std::to_string(c) + " of routing subbasin " + std::to_string(state.code) + ": entry " +
              std::to_string(channel.entry) + " is not the index of subbasin " + std::to_string(line.code);
        return false;
      }
      char name[40];
      std::snprintf(name, sizeof name, tributary ? "wq_table.%03d" : "wq_tabZL.%03d",
                    tributary ? channel.entry : line.code);
      FlowTable table;
      if (!ReadFlowTable(dir + "/" + name, table, why)) return false;
      const auto history = state.history.find(channel.entry);
      if (history == state.history.end()) {
        why = "no flow history of entry " + std::to_string(channel.entry);
        return false;
      }
      // The table file rounds the storage constants; they come from the
      // routing line (0 or less stands for 0.01 h), in sub-intervals.
      const double tau = lines.minutes / 60 / ns;
      const double kh = (line.kh > 0 ? line.kh : 0.01) / tau, kv = (line.kv > 0 ? line.kv : 0.01) / tau;
      std::vector<const std::vector<double>*> queues(static_cast<size_t>(nt) + 1, nullptr);
      for (int t = 1; t <= nt; ++t) {
        const auto q = state.tracerHistory.find(t);
        if (q == state.tracerHistory.end() || !q->second.count(channel.entry)) {
          why = "no history of tracer " + std::to_string(t) + " of entry " + std::to_string(channel.entry);
          return false;
        }
        queues[static_cast<size_t>(t)] = &q->second.at(channel.entry);
      }
      ChannelVolume v;
      if (!ChannelContent(history->second, channel, table, ns, kh, kv, nt, queues, v, why)) return false;
      // The depths of a routed tributary refer to its routing subbasin's
      // area, those of a plain tributary to its cells, an inflow's to AE.
      double area;
      if (!tributary)
        area = line.ae > 0 ? line.ae : 0.000001;
      else if (const SubbasinLines* own = lines.Find(line.code))
        area = RoutedArea(lines, subbasins, *own);
      else
        area = subbasins.Cells(line.code) * subbasins.cellKm2;
      total += v.linear * area * 1000 + v.queue * area * 1000;
      for (int t = 1; t <= nt; ++t) channelMass[static_cast<size_t>(t)] += v.tracer[static_cast<size_t>(t)] * area * 1000;
    }
  }
  m3 = total;
  return true;
}

}  // namespace

bool ChannelWater(const std::string& dir, double& m3, std::string& why, const std::string& relCellAreaGrid) {
  std::vector<double> channels, reservoirs;
  return RoutingStores(dir, m3, channels, reservoirs, why, relCellAreaGrid);
}

bool RoutingTracerMass(const std::string& dir, std::vector<double>& channels, std::vector<double>& reservoirs,
                       std::string& why, const std::string& relCellAreaGrid) {
  double m3 = 0;
  return RoutingStores(dir, m3, channels, reservoirs, why, relCellAreaGrid);
}

}  // namespace fluvextest
