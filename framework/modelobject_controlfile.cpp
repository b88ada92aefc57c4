// Control-file reading of model objects: sections, positional values, reports.
#include "framework/diagstream.h"
#include "framework/modelobject.h"

namespace {
// Where the reading stopped, and the word found there, appended to a report.
// A word that stands where the value should is an unreadable value, not a
// missing one.
std::string Location(const std::string& where, const std::string& word) {
  return " (" + where + (word.empty() ? std::string(": end of file") : ": \"" + word + "\" is unreadable") + ")";
}
}  // namespace

void modelobject::ControlFileError(const std::string& what, const std::string& where) {
  // A missing section names no line: the search has read to the end of the file.
  std::string location;
  if (where != "(EOF)" && controlfile.IsOpen()) {
    const std::string at = controlfile.Where();
    const std::string word = controlfile.NextWord(100);
    location = word.empty() || word[0] == '[' ? " (" + at + ")" : Location(at, word);
  }
  ControlFileFatal(what, where, location);
}

void modelobject::ControlFileFatal(const std::string& what, const std::string& where, const std::string& location) {
  *diag << ("FATAL: error in control file, " + what + "; " + where + (where.empty() ? "" : " ") + "not found!" +
            location)
               .c_str()
        << "[end-entry]";
  throw 17;
}

void modelobject::WriteError(const std::string& fileName, int code) {
  *diag << "FATAL: write error " << fileName.c_str() << " ! (" << code << ")"
        << "[end-entry]";
  throw 18;
}

void modelobject::ReadError(const std::string& fileName, int code) {
  *diag << "FATAL: read error " << fileName.c_str() << " ! (" << code << ")"
        << "[end-entry]";
  throw 19;
}

int modelobject::ReadValue(ControlFile& stream, const char* format, ScanTarget destination, const std::string& label,
                           std::string& lineBuffer) {
  const int n = stream.Scan(format, {destination});
  if (n != 1) {
    *diag << "--> In ."
          << "\n  Next line in Fluvex control file: "
          << "[end-entry]";
    // The failed conversion left the reading position at the word it could not read.
    const std::string where = stream.Where();
    const std::string word = stream.NextWord(1000);
    *diag << word.c_str() << "[end-entry]";
    ControlFileFatal(label, modulname, Location(where, word));
  }
  stream.RestOfLine(lineBuffer);
  return n;
}

int modelobject::ReadValues2(ControlFile& stream, const char* format, ScanTarget destination1, ScanTarget destination2,
                             const std::string& label, std::string& lineBuffer) {
  const int n = stream.Scan(format, {destination1, destination2});
  if (n != 2) {
    const std::string where = stream.Where();
    ControlFileFatal(label, modulname, Location(where, stream.NextWord(1000)));
  }
  stream.RestOfLine(lineBuffer);
  return n;
}

int modelobject::FindSection(const std::string& header, bool fatal) {
  controlfile.SetContext(header);
  if (!controlfile.IsOpen() || !controlfile.Rewind()) {
    if (fatal) ControlFileError(header, "(EOF)");
    return 0;
  }
  std::string word;
  std::string rest;
  int read = 1;
  // The last section passed and its line: a file cut off in the middle of a
  // section ends there.
  std::string lastSection;
  int lastSectionLine = 0;
  int lastLine = 0;
  while (word != header && !controlfile.Eof() && read == 1) {
    read = controlfile.Scan("%s", {&word});
    if (read == 1) {
      if (word.size() > 1 && word.front() == '[') {
        lastSection = word;
        lastSectionLine = controlfile.LineNumber();
      }
      lastLine = controlfile.LineNumber();
      controlfile.RestOfLine(rest);
    }
  }
  if (controlfile.Eof() || read != 1) {
    if (!fatal) return 0;
    std::string location = "\n(searched to the end of the " + controlfile.WhereBetween(lastLine, lastLine);
    if (!lastSection.empty()) {
      const std::string at = controlfile.WhereBetween(lastSectionLine, lastSectionLine);
      location += ", which ends in the section " + lastSection + " of " + at.substr(at.rfind("line "));
    }
    location += "; the section has to begin with the line " + header +
                ": a control file cut off, or the section's name misspelt)";
    ControlFileFatal(header, "(EOF)", location);
  }
  return 1;
}
