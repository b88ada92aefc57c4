// Reader of the section "[landuse_table]": a count line, then one entry per
// land-use code, each a table block of one of the methods VariableDayCount,
// DynamicPhenology_1 .. DynamicPhenology_4, or an old fixed row.
//
// The set-up object calls ReadLanduseTable on its open control file and keeps
// the returned array: entries 0..n, entry 0 holding the defaults and, in its
// code, the count n. Every failure writes a FATAL entry and throws its code
// (17 section or count missing, 29 an unreadable entry).
#pragma once

#include <memory>
#include <string>

#include "parameters/landuse_table_entry.h"

class ControlFile;
class DiagStream;

// modelVariant 2 (the application's) reads RootDist and HReduDry from old rows.
std::unique_ptr<landuse_table_entry[]> ReadLanduseTable(ControlFile& file, DiagStream& diag, int modelVariant);

// Fills one entry from a table block; where names the block's place in the
// control file for messages (may be empty); file and firstLine, when given,
// the line of the block's text where it begins (for the line of a key).
void ParseLanduseEntry(landuse_table_entry& entry, DiagStream& diag, const std::string& blockText,
                       const std::string& methodName, const std::string& where = std::string(),
                       const ControlFile* file = nullptr, int firstLine = 0);

// Fills one entry from an old fixed row.
void ReadOldLanduseRow(landuse_table_entry& entry, DiagStream& diag, const std::string& line, int modelVariant,
                       const std::string& where = std::string());
