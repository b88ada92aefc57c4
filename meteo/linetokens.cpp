#include "meteo/linetokens.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace {
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
}  // namespace

void LineTokens::SkipSpace() {
  while (pos < line.size() && IsSpace(line[pos])) ++pos;
}

bool LineTokens::AtEnd() {
  SkipSpace();
  return pos >= line.size();
}

bool LineTokens::Word(std::string& word) {
  SkipSpace();
  if (pos >= line.size()) return false;
  size_t e = pos;
  while (e < line.size() && !IsSpace(line[e])) ++e;
  word.assign(line, pos, e - pos);
  pos = e;
  return true;
}

bool LineTokens::Skip() {
  SkipSpace();
  if (pos >= line.size()) return false;
  while (pos < line.size() && !IsSpace(line[pos])) ++pos;
  return true;
}

bool LineTokens::Number(double& value) {
  SkipSpace();
  if (pos >= line.size()) return false;
  const char* start = line.c_str() + pos;
  char* end = nullptr;
  const double v = std::strtod(start, &end);
  // "nan" and "inf" convert, but they are no measured values or coordinates.
  if (end == start || (*end != '\0' && !IsSpace(*end)) || !std::isfinite(v)) return false;
  value = v;
  pos = static_cast<size_t>(end - line.c_str());
  return true;
}

bool LineTokens::Integer(long& value) {
  SkipSpace();
  if (pos >= line.size()) return false;
  const char* start = line.c_str() + pos;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(start, &end, 10);
  if (end == start || errno == ERANGE || (*end != '\0' && !IsSpace(*end))) return false;
  value = v;
  pos = static_cast<size_t>(end - line.c_str());
  return true;
}

bool LineTokens::ScanDouble(double& value) {
  SkipSpace();
  if (pos >= line.size()) return false;
  const char* start = line.c_str() + pos;
  char* end = nullptr;
  const double v = std::strtod(start, &end);
  if (end == start) return false;
  value = v;
  pos = static_cast<size_t>(end - line.c_str());
  return true;
}

bool LineTokens::ScanInt(int& value) {
  SkipSpace();
  if (pos >= line.size()) return false;
  const char* start = line.c_str() + pos;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(start, &end, 10);
  if (end == start) return false;
  if (errno == ERANGE || v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  value = static_cast<int>(v);
  pos = static_cast<size_t>(end - line.c_str());
  return true;
}
