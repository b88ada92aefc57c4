// What the frames of the sub-models share: the sub-model base and the types
// that pass between sub-models through the application's links.
#pragma once

#include <string>

#include "framework/statregistry.h"
#include "framework/teilmod.h"
#include "framework/tracerrecord.h"

// One record of the river links table of the unsaturated zone, which hands the
// table (records 0 ... number of subbasins, record 0 belongs to no river link)
// to groundwater, irrigation and routing. Fields: 0-9 flow per flow index (mm;
// 0 water, 1.. tracers), 10 discharge (m3/s), 11 flow speed (m/s), 12 catchment
// area of the channel the subbasin drains into (km2), 13 discharge taken from
// the river by the soil since the last routing step (m3/s), 14 a second
// exchange value, 15 two 32-bit integers (lower: routing subbasin number,
// upper: channel index), copied in and out with memcpy.
struct RiverflowTable {
  double field[16];
};
// Per-subbasin irrigation records exchanged between irrigation and routing.
struct SubbasinIrrigation;
// Irrigation table of the set-up, handed to the unsaturated zone.
struct IrrigationTable;
