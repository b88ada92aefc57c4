// Reader of the section "[soil_table]": a count line, then one entry per soil
// type, either a table block of the method MultipleHorizons or an old fixed
// row (method 1, van Genuchten parameters). All soil types must have the same
// number of layers.
//
// The set-up object calls ReadSoilTable on its open control file and keeps
// the returned array: entries 0..n, entry 0 holding the defaults and, in its
// code, the count n. Every failure writes a FATAL entry and throws its code
// (17 section or count missing, 29 an unreadable block, 30 an unreadable old
// row or unequal layer counts, 110 grain sizes, 131 an old row method).
#pragma once

#include <memory>
#include <string>

#include "parameters/soil_table_entry.h"

class ControlFile;
class DiagStream;

std::unique_ptr<soil_table_entry[]> ReadSoilTable(ControlFile& file, DiagStream& diag);

// Fills one entry from a table block; where names the block's place in the
// control file for messages (may be empty).
void ParseSoilEntry(soil_table_entry& entry, DiagStream& diag, const std::string& blockText,
                    const std::string& where = std::string());

// Fills one entry from an old fixed row.
void ReadOldSoilRow(soil_table_entry& entry, DiagStream& diag, const std::string& line,
                    const std::string& where = std::string());
