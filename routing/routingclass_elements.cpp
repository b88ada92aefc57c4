// Abstractions (AL) and reservoirs (SP) of a routed subbasin: reading their
// elements and rules, and their part of the routing step at the outlet.
// Abstractions draw from the outlet flow, or from the last reservoir when the
// subbasin has reservoirs; the reservoirs follow one another, each taking the
// outflow of the one before.
#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "framework/diagstream.h"
#include "routing/routingclass.h"

std::string routingclass::ElementText(const std::string& text, size_t pos) {
  size_t end = std::string::npos;
  for (const char* keyword : {"TG", "OL", "SUMTRIB", "ZL", "AL", "SP"}) end = std::min(end, text.find(keyword, pos));
  return text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
}

namespace {
// The integer behind keyword at or after pos; pos moves behind it. False when
// none can be read.
bool IntegerAfter(const std::string& text, const char* keyword, size_t& pos, int& value) {
  const size_t at = text.find(keyword, pos);
  if (at == std::string::npos) return false;
  const char* start = text.c_str() + at + 2;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(start, &end, 10);
  if (end == start || errno == ERANGE || v < -2147483647L || v > 2147483647L) return false;
  pos = static_cast<size_t>(end - text.c_str());
  value = static_cast<int>(v);
  return true;
}
}  // namespace

void routingclass::SetAblaufModus(const std::string& text, size_t& pos, const int64_t startDate[4],
                                  const std::string& where, const int64_t* endDate) {
  int number = 0;
  if (!IntegerAfter(text, "AL", pos, number) || number < 1)
    Fail("FATAL: no abstraction number (from 1) after \"AL\" in the routing description of subbasin " +
             std::to_string(code) + (where.empty() ? std::string() : " (" + where + ")") + ":\n" + text,
         17);
  const int a = ++builtAbstractions;
  if (a > nAbstractions) Fail("FATAL: more abstractions than counted in subbasin " + std::to_string(code), 17);
  abstractionTargets[a] = number;
  AL_class& al = *abstractions[a];
  al.SetParameters(diag, tracerRecords, nTracers, tables->EntryOf(code), tables->outputDirectory, areaCtrl, relArea,
                   dt);
  al.ReadDescription(number, ElementText(text, pos), 0, startDate[0], startDate[1], startDate[2], startDate[3], where,
                     endDate);
}

void routingclass::SetSpeicherParams(const std::string& text, size_t& pos, const std::string& where) {
  int reservoirCode = 0;
  if (!IntegerAfter(text, "SP", pos, reservoirCode))
    Fail("FATAL: no reservoir code after \"SP\" in the routing description of subbasin " + std::to_string(code) +
             (where.empty() ? std::string() : " (" + where + ")") + ":\n" + text,
         35);
  const int k = ++builtReservoirs;
  if (k > nReservoirs) Fail("FATAL: more reservoirs than counted in subbasin " + std::to_string(code), 35);
  for (int j = 1; j < k; ++j)
    if (reservoirCodes[j] == reservoirCode)
      Fail("FATAL: reservoir " + std::to_string(reservoirCode) +
               " is given twice in the routing description of "
               "subbasin " +
               std::to_string(code) + " (both would write the same table and read the same rule; " + where + ")",
           35);
  reservoirCodes[k] = reservoirCode;
  SP_class& sp = *reservoirs[k];
  sp.SetParameters(diag, tracerRecords, nTracers, code, tables->EntryOf(code), dt, tables->outputDirectory);
  sp.ReadDescription(reservoirCode, ElementText(text, pos), where);
  sp.CreateOutputFile();
}

void routingclass::BindLakes(const SP_class::LakeGrids& grids, int readState) {
  for (int k = 1; k <= nReservoirs; ++k) {
    SP_class& sp = *reservoirs[k];
    sp.SetLakeGrids(grids);
    sp.BuildLakeTable();
    if (readState != 0)
      sp.TakeLakeVolumeFromGrid();
    else
      sp.SetLakeLevel(sp.Volume());
  }
}

void routingclass::InitReservoirRules(ControlFile& file, const int64_t date[4]) {
  for (int k = 1; k <= nReservoirs; ++k) {
    reservoirs[k]->ReadRules(file);
    reservoirs[k]->InitialRuleOutflow(date[0], date[1], date[2], date[3], dt);
  }
}

void routingclass::InitAbstractionRules(ControlFile& file) {
  for (int a = 1; a <= nAbstractions; ++a) abstractions[a]->ReadRules(file);
}

void routingclass::FlushOutputs() {
  for (int a = 1; a <= nAbstractions; ++a) abstractions[a]->Flush(1);
  for (int k = 1; k <= nReservoirs; ++k) reservoirs[k]->Flush(1);
}

void routingclass::Abstract(bool real, int64_t year, int64_t month, int64_t day, int64_t hour) {
  RoutingTables& T = *tables;
  const int own = T.EntryOf(code);
  const int ns = subIntervals;
  const int nt = nTracers;
  const double AF = areaCtrl / relArea;
  abstractionFromReservoirs = 0;
  if (nAbstractions < 1) return;
  // What the irrigation of the step takes from the last reservoir [m3]
  // (maxirrigFromReservoirs: mm over the subbasin's own cells).
  const double Virr = real && T.irrigationRecords ? T.maxirrigFromReservoirs[0][own] * T.SubbasinArea(own) * 1000 : 0.0;
  const SP_class* last = nReservoirs >= 1 ? reservoirs[nReservoirs].get() : nullptr;
  const double available = last ? M3sToMm((last->Volume() - Virr) / dt / 60, AF) : T.runoff[0][own];
  for (int a = 1; a <= nAbstractions; ++a) {
    AL_class& al = *abstractions[a];
    if (al.Mode() == AL_class::kInternWithRuleFromReservoir) continue;
    const double amount = al.Abstract(T.runoff[0].data(), abstractionFromReservoirs, available, year, month, day, hour);
    exchange[0] = MmToM3s(amount, AF);
    for (int t = 1; t <= nt; ++t) exchange[t] = last ? last->state[t] : T.runoff[t][own];
    if (real) al.AddRow(year, month, day, hour, exchange.data());
    if (!last) {
      T.runoff[0][own] -= amount;
      for (int j = 1; j <= ns; ++j) T.Sub(0, j, own) -= amount;
    }
    if (al.Mode() == AL_class::kIntern || al.Mode() == AL_class::kInternWithRule) {
      // The internal inflow holds m3/s until its channel is routed.
      const int g = T.inflowEntryBase + abstractionTargets[a];
      // Its water leaves at the concentrations of where it was taken.
      for (int j = 1; j <= ns; ++j) {
        T.Sub(0, j, g) = exchange[0];
        for (int t = 1; t <= nt; ++t) T.Sub(t, j, g) = exchange[t];
      }
      T.runoff[0][g] = exchange[0];
    }
  }
}

void routingclass::Store(bool real, int64_t year, int64_t month, int64_t day, int64_t hour) {
  RoutingTables& T = *tables;
  const int own = T.EntryOf(code);
  const int ns = subIntervals;
  const int nt = nTracers;
  const double AF = areaCtrl / relArea;
  for (int s = 1; s <= nReservoirs; ++s) {
    SP_class& sp = *reservoirs[s];
    const bool last = s == nReservoirs;
    const double Virr =
        last && real && T.irrigationRecords ? T.maxirrigFromReservoirs[0][own] * T.SubbasinArea(own) * 1000 : 0.0;
    exchange[0] = MmToM3s(T.runoff[0][own], AF);
    const double Vabs = last && real ? dt * 60 * MmToM3s(abstractionFromReservoirs, AF) : 0.0;
    std::vector<double>& inflowConcentrations = exchange;  // [t] as the runoff of the outlet
    for (int t = 1; t <= nt; ++t) inflowConcentrations[t] = T.runoff[t][own];
    const double inflow = exchange[0];
    // The abstractions of the subbasin draw from its last reservoir only.
    sp.Step(dt, Virr, Vabs, &T.history[0], inflowConcentrations.data(), &inflow, abstractionList.data(),
            last ? nAbstractions : 0, year, month, day, hour);
    if (last) {
      for (int a = 1; a <= nAbstractions; ++a) {
        AL_class& al = *abstractions[a];
        if (al.Mode() != AL_class::kInternWithRuleFromReservoir) continue;
        exchange[0] = al.values[0];
        for (int t = 1; t <= nt; ++t) exchange[t] = sp.state[t];
        const int g = T.inflowEntryBase + abstractionTargets[a];
        // The reservoir's water, at its concentrations.
        for (int j = 1; j <= ns; ++j) {
          T.Sub(0, j, g) = exchange[0];
          for (int t = 1; t <= nt; ++t) T.Sub(t, j, g) = exchange[t];
        }
        T.runoff[0][g] = exchange[0];
        if (real) al.AddRow(year, month, day, hour, exchange.data());
      }
    }
    T.runoff[0][own] = M3sToMm(sp.Outflow(), AF);
    for (int t = 1; t <= nt; ++t) T.runoff[t][own] = sp.state[t];
    for (int t = 0; t <= nt; ++t)
      for (int j = 1; j <= ns; ++j) T.Sub(t, j, own) = T.runoff[t][own];
    if (real) {
      if (last) OfferReservoirWater();
      sp.AppendOutputRow(year, month, day, hour);
    }
  }
}

void routingclass::OfferReservoirWater() {
  if (nReservoirs < 1) return;
  RoutingTables& T = *tables;
  const int own = T.EntryOf(code);
  const SP_class& sp = *reservoirs[nReservoirs];
  const double area = T.SubbasinArea(own);
  T.maxirrigFromReservoirs[0][own] = area > 0 ? sp.Volume() / (area * 1000) : 0.0;
  for (int t = 1; t <= nTracers; ++t) T.maxirrigFromReservoirs[t][own] = sp.state[t];
}
