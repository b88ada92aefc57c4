// Reading the values of one element ("AL", "SP") of a joined routing
// description: words are blank-separated, a value may stand directly or after
// the next "=" of the element's text.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

namespace elementtext {

inline bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The next word from pos on (pos moves behind it), cut at the first ")".
inline std::string Word(const std::string& text, size_t& pos) {
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  const size_t b = pos;
  while (pos < text.size() && !IsBlank(text[pos])) ++pos;
  std::string w = text.substr(b, pos - b);
  const size_t bracket = w.find(')');
  if (bracket != std::string::npos) w.resize(bracket);
  return w;
}

// The word behind the next "=" from pos on; empty when there is no "=".
inline std::string WordAfterEqual(const std::string& text, size_t& pos) {
  const size_t eq = text.find('=', pos);
  if (eq == std::string::npos) {
    pos = text.size();
    return std::string();
  }
  pos = eq + 1;
  return Word(text, pos);
}

// A number standing at pos (after blanks), else the one behind the next "=".
inline bool Number(const std::string& text, size_t& pos, double& v) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    size_t p = pos;
    while (p < text.size() && IsBlank(text[p])) ++p;
    const char* s = text.c_str() + p;
    char* e = nullptr;
    errno = 0;
    v = std::strtod(s, &e);
    if (e != s && errno != ERANGE && std::isfinite(v)) {
      pos = static_cast<size_t>(e - text.c_str());
      return true;
    }
    if (attempt == 1) return false;
    const size_t eq = text.find('=', pos);
    if (eq == std::string::npos) return false;
    pos = eq + 1;
  }
  return false;
}

// Position behind the "=" that follows key (the key followed by blanks and
// "="), searched from pos; npos when the key is not given so.
inline size_t KeyValue(const std::string& text, const std::string& key, size_t pos = 0) {
  for (size_t at = text.find(key, pos); at != std::string::npos; at = text.find(key, at + 1)) {
    size_t p = at + key.size();
    while (p < text.size() && IsBlank(text[p])) ++p;
    if (p < text.size() && text[p] == '=') return p + 1;
  }
  return std::string::npos;
}

// The path of an output file of an element: relative names lie in the output
// directory, names starting with "/" or "~" stand as they are.
inline std::string OutputPath(const std::string& directory, const std::string& name) {
  const bool prefix = !directory.empty() && !(!name.empty() && (name[0] == '/' || name[0] == '~'));
  return prefix ? directory + name : name;
}

}  // namespace elementtext
