#include "framework/controlfile.h"

#include <mpi.h>

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>

#include "framework/diagstream.h"

namespace {
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A conversion that stops in front of more of a number ("4.9" read as an
// integer, "1e308" as 1, "1.5.2") is no value: the rest would be dropped as a
// comment and the run would go on with a wrong number.
bool MoreNumberFollows(const char* end) {
  return *end == '.' || *end == 'e' || *end == 'E' || std::isdigit(static_cast<unsigned char>(*end));
}

// A number ends at a blank, a line end, a comment or the end of the text: "0,5"
// (a decimal comma), "49.75N" or "2O15" would otherwise be read as the number
// in front and run on with it.
bool EndsWord(const char* end) {
  return *end == '\0' || *end == '#' || IsSpace(*end);
}

struct Origin {
  std::string original;
  std::vector<int> sourceLine;
};
std::mutex originMutex;
std::map<std::string, Origin>& Origins() {
  static std::map<std::string, Origin> origins;
  return origins;
}
}  // namespace

void ControlFile::SetOrigin(const std::string& copy, const std::string& original, const std::vector<int>& sourceLine) {
  std::lock_guard<std::mutex> lock(originMutex);
  Origins()[copy] = Origin{original, sourceLine};
}

void ControlFile::ShareOrigin(const std::string& copy) {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  Origin origin;
  if (rank == 0) {
    std::lock_guard<std::mutex> lock(originMutex);
    const auto o = Origins().find(copy);
    if (o != Origins().end()) origin = o->second;
  }
  long sizes[2] = {static_cast<long>(origin.original.size()), static_cast<long>(origin.sourceLine.size())};
  MPI_Bcast(sizes, 2, MPI_LONG, 0, MPI_COMM_WORLD);
  origin.original.resize(static_cast<size_t>(sizes[0]));
  origin.sourceLine.resize(static_cast<size_t>(sizes[1]));
  if (sizes[0] > 0) MPI_Bcast(origin.original.data(), static_cast<int>(sizes[0]), MPI_CHAR, 0, MPI_COMM_WORLD);
  if (sizes[1] > 0) MPI_Bcast(origin.sourceLine.data(), static_cast<int>(sizes[1]), MPI_INT, 0, MPI_COMM_WORLD);
  if (rank != 0 && sizes[0] > 0) SetOrigin(copy, origin.original, origin.sourceLine);
}

std::string ControlFile::SourceNameOf(const std::string& copy) {
  std::lock_guard<std::mutex> lock(originMutex);
  const auto o = Origins().find(copy);
  return o != Origins().end() ? o->second.original : copy;
}

std::string ControlFile::SourceName() const {
  return SourceNameOf(name);
}

std::string ControlFile::Where() const {
  return WhereLines(lineNumber);
}

std::string ControlFile::WhereLines(int first) const {
  return WhereBetween(first, lineNumber);
}

std::string ControlFile::WhereBetween(int first, int last) const {
  std::string file = name;
  int from = first;
  int to = last;
  {
    std::lock_guard<std::mutex> lock(originMutex);
    const auto o = Origins().find(name);
    if (o != Origins().end()) {
      file = o->second.original;
      const auto& source = o->second.sourceLine;
      if (from >= 1 && from < static_cast<int>(source.size())) from = source[static_cast<size_t>(from)];
      if (to >= 1 && to < static_cast<int>(source.size())) to = source[static_cast<size_t>(to)];
    }
  }
  if (from < to) return "control file " + file + ", lines " + std::to_string(from) + "-" + std::to_string(to);
  return "control file " + file + ", line " + std::to_string(to);
}

ControlFile::~ControlFile() {
  Close();
}

bool ControlFile::Open(const std::string& fileName, DiagStream* diagnostics) {
  Close();
  diag = diagnostics;
  name = fileName;
  file = std::fopen(fileName.c_str(), "r");
  line.clear();
  pos = 0;
  lineNumber = 0;
  eof = false;
  return file != nullptr;
}

bool ControlFile::Close() {
  if (!file) return true;
  const int result = std::fclose(file);
  file = nullptr;
  return result == 0;
}

bool ControlFile::Rewind() {
  if (!file) return false;
  if (std::fseek(file, 0, SEEK_SET) != 0) return false;
  std::clearerr(file);
  line.clear();
  pos = 0;
  lineNumber = 0;
  eof = false;
  return true;
}

void ControlFile::Unreadable(const char* start) {
  size_t e = static_cast<size_t>(start - line.c_str());
  while (e < line.size() && !IsSpace(line[e]) && e - static_cast<size_t>(start - line.c_str()) < 100) ++e;
  const std::string text(start, line.c_str() + e);
  const std::string message = "FATAL: unreadable value \"" + text + "\" in the " + Where() +
                              (context.empty() ? std::string() : " (reading section " + context + ")") +
                              ": a number ends at a blank, a line end or a comment (a decimal comma is no decimal "
                              "point)";
  if (diag)
    *diag << message.c_str() << "[end-entry]";
  else
    std::cerr << message << std::endl;
  throw 17;
}

void ControlFile::LineTooLong() {
  // A file saved with CR-only line ends (classic Mac) is one long line.
  const std::string lineEnds = line.find('\r') != std::string::npos && line.find('\r') + 1 < line.size()
                                   ? "; the file has CR-only line ends: save it with LF or CR LF line ends"
                                   : "";
  if (diag)
    *diag << "FATAL: line " << lineNumber << " of the control file " << SourceName().c_str() << " is longer than "
          << static_cast<int>(kMaxLine) << " characters"
          << (context.empty() ? std::string() : " (reading section " + context + ")").c_str() << lineEnds.c_str()
          << "[end-entry]";
  else
    std::cerr << "FATAL: line " << lineNumber << " of the control file " << name << " is too long" << std::endl;
  throw 17;
}

bool ControlFile::FetchLine() {
  line.clear();
  pos = 0;
  if (!file) {
    eof = true;
    return false;
  }
  int c;
  while ((c = std::fgetc(file)) != EOF) {
    line.push_back(static_cast<char>(c));
    if (c == '\n') break;
    if (line.size() > kMaxLine) {
      // A comment may be long: what stands behind a "#" is never read, so
      // the rest of such a line is skipped.
      // (A file of CR-only line ends is one long line: it stays an error.)
      if (line.find('#') != std::string::npos && line.find('\r') == std::string::npos) {
        line.pop_back();
        while ((c = std::fgetc(file)) != EOF && c != '\n') {
        }
        if (c == '\n') line.push_back('\n');
        break;
      }
      ++lineNumber;
      LineTooLong();
    }
  }
  if (line.empty()) {
    eof = true;
    return false;
  }
  // A byte-order mark (editors on Windows write one) is no text of the line.
  if (lineNumber == 0 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
  ++lineNumber;
  if (line.back() != '\n') eof = true;  // last line without a line end
  return true;
}

bool ControlFile::SkipWhiteSpace() {
  for (;;) {
    while (pos < line.size() && IsSpace(line[pos])) ++pos;
    if (pos < line.size()) return true;
    if (!FetchLine()) return false;
  }
}

int ControlFile::Scan(const char* format, std::initializer_list<ScanTarget> targets) {
  int converted = 0;
  auto target = targets.begin();
  for (const char* f = format; *f; ++f) {
    if (IsSpace(*f)) {
      if (!SkipWhiteSpace()) return converted == 0 ? -1 : converted;
      continue;
    }
    if (*f != '%') {
      if (pos >= line.size() && !FetchLine()) return converted == 0 ? -1 : converted;
      if (line[pos] != *f) return converted;
      ++pos;
      continue;
    }
    ++f;
    bool isLong = false;
    if (*f == 'l') {
      isLong = true;
      ++f;
    }
    const char conversion = *f;
    if (conversion == '\0' || target == targets.end()) return converted;
    if (conversion == 'c') {
      if (pos >= line.size() && !FetchLine()) return converted == 0 ? -1 : converted;
      if (target->kind != ScanTarget::Char) return converted;
      *static_cast<char*>(target->target) = line[pos++];
      ++target;
      ++converted;
      continue;
    }
    if (!SkipWhiteSpace()) return converted == 0 ? -1 : converted;
    const char* start = line.c_str() + pos;
    char* end = nullptr;
    switch (conversion) {
      case 'd':
      case 'i': {
        errno = 0;
        const long value = std::strtol(start, &end, 10);
        // A number outside the target's range is no value, not a wrapped one.
        if (end == start || errno == ERANGE || MoreNumberFollows(end)) return converted;
        if (!EndsWord(end)) Unreadable(start);
        if (!isLong && (value < INT_MIN || value > INT_MAX)) return converted;
        if (target->kind == ScanTarget::Long && isLong)
          *static_cast<long*>(target->target) = value;
        else if (target->kind == ScanTarget::Int && !isLong)
          *static_cast<int*>(target->target) = static_cast<int>(value);
        else
          return converted;
        break;
      }
      case 'f':
      case 'e':
      case 'g': {
        errno = 0;
        const double value = std::strtod(start, &end);
        // "nan" and "inf" convert, but no parameter of the model is one.
        if (end == start || !std::isfinite(value) || MoreNumberFollows(end)) return converted;
        if (!EndsWord(end)) Unreadable(start);
        if (!isLong && std::isfinite(value) && std::fabs(value) > FLT_MAX) return converted;
        if (target->kind == ScanTarget::Double && isLong)
          *static_cast<double*>(target->target) = value;
        else if (target->kind == ScanTarget::Float && !isLong)
          *static_cast<float*>(target->target) = static_cast<float>(value);
        else
          return converted;
        break;
      }
      case 's': {
        if (target->kind != ScanTarget::String) return converted;
        size_t e = pos;
        while (e < line.size() && !IsSpace(line[e])) ++e;
        static_cast<std::string*>(target->target)->assign(line, pos, e - pos);
        end = const_cast<char*>(line.c_str()) + e;
        break;
      }
      default:
        return converted;
    }
    pos = static_cast<size_t>(end - line.c_str());
    ++target;
    ++converted;
  }
  return converted;
}

void ControlFile::RestOfLine(std::string& rest) {
  rest.clear();
  if (pos >= line.size()) {
    // The value ended its line exactly at the end of the file, or the line
    // end was consumed already: read the next line as the rest.
    if (!line.empty() && line.back() == '\n' && pos >= line.size()) {
      if (!FetchLine()) return;
    } else if (!FetchLine()) {
      return;
    }
  }
  size_t e = line.find('\n', pos);
  if (e == std::string::npos) e = line.size();
  rest.assign(line, pos, e - pos);
  pos = line.size();
}

bool ControlFile::GetLine(std::string& piece) {
  piece.clear();
  if (pos >= line.size() && !FetchLine()) return false;
  piece.assign(line, pos, std::string::npos);
  pos = line.size();
  return true;
}

std::string ControlFile::NextWord(size_t maxLength) {
  if (!SkipWhiteSpace()) return std::string();
  size_t e = pos;
  while (e < line.size() && !IsSpace(line[e])) ++e;
  std::string word = line.substr(pos, std::min(e - pos, maxLength));
  pos = e;
  return word;
}
