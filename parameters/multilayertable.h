// Reader of the optional section "[multilayer_landuse]": a count line, then
// one table block per multi-layer land-use type, each with the key
// Landuse_Layers (the land-use codes of its layers, top first) and the
// optional keys k_extinct and LAI_scale. All types must have the same number
// of layers.
//
// Returns null when the section is absent; otherwise entries 0..n, entry 0
// holding the defaults and, in its code, the count n. Every failure writes a
// FATAL entry and throws its code (17 count missing, 110 unreadable values,
// 111 unequal layer counts, 112 a block without Landuse_Layers).
#pragma once

#include <memory>
#include <string>

#include "parameters/multilayer_landuse_entry.h"

class ControlFile;
class DiagStream;

std::unique_ptr<multilayer_landuse_entry[]> ReadMultilayerLanduseTable(ControlFile& file, DiagStream& diag);

// Fills one entry from a table block; where names the block's place in the
// control file for messages (may be empty).
void ParseMultilayerLanduseEntry(multilayer_landuse_entry& entry, DiagStream& diag, const std::string& blockText,
                                 const std::string& where = std::string());
