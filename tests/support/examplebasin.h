// Copies of the example basin for the tests that run the program on it: the
// example's files and generated inputs in a fresh directory, its control
// file edited by text replacements.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace fluvextest {

// Each pair replaces the first occurrence of its first text by its second.
using Edits = std::vector<std::pair<std::string, std::string>>;

// The text with the edits applied; the first texts not found are appended to
// missing, one per line.
std::string Edited(std::string text, const Edits& edits, std::string& missing);

// Copies the files of the example basin in directory example into dir (which
// exists), runs its input generator there, applies the edits to control.txt
// and makes out/; returns what went wrong, empty when nothing did.
std::string PrepareExample(const std::string& example, const std::string& dir, const Edits& edits);

// Copies the files of directory source into dir (which exists), applies
// the edits to control.txt and makes out/; returns what went wrong, empty
// when nothing did.
std::string PrepareCopy(const std::string& source, const std::string& dir, const Edits& edits);

// Edits of the example's control file for daily steps on the day records
// that tests/data/balance/daily_stations.py writes.
Edits DailySteps();

}  // namespace fluvextest
