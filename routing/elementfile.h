// The files of an element ("AL", "SP", "ZL") of a routing description: the
// path of its table, its header and the buffered rows appended to it, and the
// check of an input series it reads step by step.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class DiagStream;

namespace elementfile {

// Writes the message as one diagnostics entry and throws the code.
[[noreturn]] void Fail(DiagStream* diag, const std::string& message, int code);

// The path of the element's file in the output directory (see
// elementtext::OutputPath); longer than 1200 characters: error 37 naming the
// element ("abstraction 3", "reservoir 12").
std::string CheckedPath(DiagStream* diag, const std::string& directory, const std::string& name,
                        const std::string& element);

// Creates the file with the header line, the tag line and the header again;
// a file that cannot be opened or written: error 37 naming the element.
void CreateWithHeader(DiagStream* diag, const std::string& path, const std::string& header, const std::string& tag,
                      const std::string& element);

// Appends rows 1 ... used of the buffer (stride values a row): the date as four
// "%2.0lf" values, then width "%lg" values, SIGINT ignored meanwhile. A file
// that cannot be opened or written: error 65 naming `what` (the file and its element).
void AppendRows(DiagStream* diag, const std::string& path, const std::vector<double>& rows, uint64_t stride,
                uint64_t used, uint64_t width, int64_t bufferBytes, const std::string& what);

// Reads the input series `file` of `element` ("abstraction 3", "inflow ZL 1
// of subbasin 12") from the start date on in a reader of its own, at set-up:
// one record per step of timeStep minutes up to the end date (the run's last
// step), else fatal, naming the file, the last date found and the run's last
// step (39 when it ends before, 36 when a record's date is not the step's).
// Steps that are not whole hours share hours: only the end is checked.
void CheckSeriesCoversRun(DiagStream* diag, const std::string& file, const std::string& element, double timeStep,
                          const int64_t start[4], const int64_t end[4]);

}  // namespace elementfile
