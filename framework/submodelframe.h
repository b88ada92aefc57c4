// What the frames of the sub-models share: the sub-model base and the types
// that pass between sub-models through the application's links.
#pragma once

#include <string>

#include "framework/statregistry.h"
#include "framework/teilmod.h"
#include "framework/tracerrecord.h"

// River-flow table of the unsaturated zone, handed to groundwater, irrigation and routing.
struct RiverflowTable;
// Per-subbasin irrigation records exchanged between irrigation and routing.
struct SubbasinIrrigation;
// Irrigation table of the set-up, handed to the unsaturated zone.
struct IrrigationTable;

// Writes the FATAL entry for a sub-model that is switched on in the control
// file but whose computation is not part of this build; returns code.
int ReportModuleNotAvailable(DiagStream* diag, const std::string& module, const std::string& section, int code);
