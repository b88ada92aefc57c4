// Links, per-step frame and release of the unsaturated zone.
#include "soil/unsatzon.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "framework/diagstream.h"
#include "framework/zonalstatistic.h"

void unsatzonmodellklasse::SetDumpOptions(char dumpMode, char closeAfterDump, char repairAfterDump,
                                          int64_t maxDumpFiles) {
  dumpmode = dumpMode;
  closeafterdump = closeAfterDump;
  repairafterdump = repairAfterDump;
  maxdumpfiles = maxDumpFiles;
}

double* unsatzonmodellklasse::GetKelsqd() {
  return flowcontrol != 0 && !kelsqd.empty() ? kelsqd.data() : nullptr;
}

double* unsatzonmodellklasse::GetKelsqi() {
  return flowcontrol != 0 && !kelsqi.empty() ? kelsqi.data() : nullptr;
}

RiverflowTable* unsatzonmodellklasse::GetRiverflowTable() {
  return flowcontrol != 0 ? riverflow_table : nullptr;
}

std::string unsatzonmodellklasse::GetStorageFileName() {
  return flowcontrol != 0 ? storage_file_name : std::string();
}

void unsatzonmodellklasse::SetSurfaceRoutingActive(int active) {
  surface_routing_active = static_cast<char>(active);
  // Without a silting-up model the water the soil takes back from the
  // surface is the surface routing's, at the concentration of its store
  // (made after the soil's tracer grids).
  if (!active || silting_up_storage != 1) return;
  for (int t = 1; t <= ntracers && t < static_cast<int>(soiltracers.size()); ++t) {
    if (soiltracers[t].silting) continue;
    const int p = FindGrid("concstor_tracer_" + std::to_string(t) + "_SiltingUpModel", false);
    if (p > 0) soiltracers[t].silting = gridlist[p].grid;
  }
}

void unsatzonmodellklasse::SetGroundwaterCoupling(int coupled) {
  groundwatercoupling = coupled;
}

int unsatzonmodellklasse::GetStorageReadParameter() {
  return storage_read_parameter;
}

void unsatzonmodellklasse::InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* registry,
                                           int capacity) {
  if (flowcontrol == 0) {
    teilmodellklasse::InitTracerGrids(error, count, settings, registry, capacity);
    return;
  }
  int ignored = 0;
  if (!error) error = &ignored;
  *error = 0;
  try {
    if (groundwatercoupling && !riverflow_table) {
      if (surface_interaction > 0) {
        river_depth = gridlist[GetGrid("river_depth")].grid;
        river_width = gridlist[GetGrid("river_width")].grid;
        river_links = gridlist[GetGrid("river_links")].grid;
        kolmation = gridlist[GetGrid("kolmation")].grid;
        CheckRiverBeds();
      }
      NewStatistic(kStatGWIN, 6, "re-infiltration from rivers [mm per Zone]", registry, capacity,
                   statfiles[kStatGWIN].name);
      NewStatistic(kStatGWEX, 6, "base flow (exfiltration into rivers, only with gw-module active) [mm per Zone]",
                   registry, capacity, statfiles[kStatGWEX].name);
      river_infiltration = NewGrid("river_infiltration", outfiles[kOutGWIN], 0.0, false, false);
      river_exfiltration = NewGrid("river_exfiltration", outfiles[kOutGWEX], 0.0, false, false);
      // The river links table: record 0 belongs to no river link.
      riverflow_table =
          static_cast<RiverflowTable*>(Alloc(static_cast<int>(sizeof(RiverflowTable)) * (zonecount + 1), 1));
      const int p = FindGrid("gw_storage_coeff_1", true);
      gw_storage_coeff = p > 0 ? gridlist[p].grid : nullptr;
    }
    if (maxzeit.empty()) {
      ntracers = settings ? std::clamp(count, 0, 9) : 0;
      InitFlowTimeZones();
      if (ntracers > 0) InitSoilTracers(settings, registry, capacity);
      if (ntracers > 0 && groundwatercoupling) BindGroundwaterTracers();
      const size_t size = Flat(ntracers, zonecount) + 1;
      for (auto* a : {&Qg, &QBb, &QD, &QDd, &QI, &QIi}) a->assign(size, 0.0);
      glacier_runoff.assign(size, 0.0);
      InitialBaseflow();
      if (ntracers > 0) InitialTracerBaseflow();
      if (storage_read_parameter == 1) ReadStorageFile();
    }
  } catch (int code) {
    *error = code;
  } catch (...) {
    *error = 103;
  }
}

int unsatzonmodellklasse::KnownRiverLinkRecord(double linkValue) const {
  const double code = std::trunc(linkValue);
  if (!(code > 0)) return 0;
  const int link = code <= maxzonecode ? static_cast<int>(code) : 0;
  const int record = (link >= 1 && zoneindex) ? zoneindex[link] : 0;
  return record >= 1 && record <= zonecount ? record : 0;
}

int unsatzonmodellklasse::RiverLinkRecord(double linkValue) {
  const double code = std::trunc(linkValue);
  if (!(code > 0)) return 0;
  const int record = KnownRiverLinkRecord(linkValue);
  if (record > 0) return record;
  char text[64];
  std::snprintf(text, sizeof text, "%.0f", code);
  const std::string c = text;
  Fatal("FATAL: \n\n -------- error! ---------------------------------------------\n\nThere is a river link \"" + c +
            "\" from the river link grid\nwhich is not valid for the current routing structure -> there is no "
            "routing \ndescription for a river with code " +
            c + "\nPlease check your River link grid if there are cells defined as routing link " + c +
            " and replace those values by nodata (-9999).\n-------------------------------------------------------"
            "------\n\n",
        199);
}

ZoneRecord* unsatzonmodellklasse::GetZoneRecords() {
  return zonerecords;
}

int* unsatzonmodellklasse::GetZoneIndex() {
  return zoneindex;
}

int unsatzonmodellklasse::GetZoneCount() {
  return zonecount;
}

int unsatzonmodellklasse::GetMaxZoneCode() {
  return maxzonecode;
}

void unsatzonmodellklasse::FreeMemory() {
  if (freed) return;
  freed = true;
  FreeTracerArrays();
  for (int k = 0; k < kStatCount; ++k) {
    if (statistics[k]) {
      std::unique_ptr<zonalstatistic> statistic(statistics[k]);
      statistic->Finish();
      statistics[k] = nullptr;
    }
    Free(statrecords[k]);
    statrecords[k] = nullptr;
  }
  for (OwnedGrid& o : owned) {
    if (o.position > 0) UnregisterGrid(o.position);
    if (o.grid) FreeMatrix(o.grid, o.first, o.last, 1, ncols);
    if (o.stack) FreeMatrix3d(o.stack, o.first, o.last);
  }
  owned.clear();
  Free(riverflow_table);
  riverflow_table = nullptr;
  Free(glacier_records);
  glacier_records = nullptr;
  if (soilzonerecords) {
    zonerecords = nullptr;
    zoneindex = nullptr;
  }
  Free(soilzonerecords);
  Free(soilzoneindex);
  soilzonerecords = nullptr;
  soilzoneindex = nullptr;
  teilmodellklasse::FreeMemory();
}
