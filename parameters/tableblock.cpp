#include "parameters/tableblock.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "framework/controlfile.h"
#include "framework/diagstream.h"
#include "framework/strutil.h"

namespace {

bool IsIdentifierChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

bool OnlyWhiteSpace(const char* p) {
  while (*p) {
    if (!std::isspace(static_cast<unsigned char>(*p))) return false;
    ++p;
  }
  return true;
}

}  // namespace

TableBlock::TableBlock(std::string blockText) : text(std::move(blockText)) {
  const size_t brace = text.find('{');
  body = brace == std::string::npos ? std::string() : text.substr(brace);
}

bool TableBlock::ReadRest(ControlFile& file, std::string& blockText) {
  std::string line;
  while (blockText.find('}') == std::string::npos) {
    if (!file.GetLine(line)) return false;
    blockText += line;
  }
  return true;
}

size_t TableBlock::FindKey(const std::string& haystack, const std::string& key, size_t from) {
  if (key.empty()) return std::string::npos;
  // Only a key that begins or ends with an identifier character can be part
  // of a longer identifier on that side ("F*" ends in "*").
  const bool checkBefore = IsIdentifierChar(key.front());
  const bool checkAfter = IsIdentifierChar(key.back());
  for (size_t p = haystack.find(key, from); p != std::string::npos; p = haystack.find(key, p + 1)) {
    if (checkBefore && p > 0 && IsIdentifierChar(haystack[p - 1])) continue;
    const size_t end = p + key.size();
    if (checkAfter && end < haystack.size() && IsIdentifierChar(haystack[end])) continue;
    return p;
  }
  return std::string::npos;
}

bool TableBlock::FindValueText(const std::string& key, std::string& value) const {
  const size_t p = FindKey(body, key);
  if (p == std::string::npos) return false;
  const size_t e = body.find('=', p);
  const size_t s = body.find(';', p);
  if (e == std::string::npos) {
    // No "=" after the key: the value text is the key itself up to the ";".
    value = body.substr(p, s == std::string::npos ? std::string::npos : s - p);
  } else if (s == std::string::npos || s < e) {
    value = body.substr(e + 1);
  } else {
    value = body.substr(e + 1, s - e - 1);
  }
  return true;
}

bool TableBlock::Has(const std::string& key) const {
  return FindKey(body, key) != std::string::npos;
}

// The value text of a single value: up to the block's closing brace (the
// last item may go without its ";").
std::string TableBlock::SingleValueText(const std::string& v) {
  return v.substr(0, v.find('}'));
}

void TableBlock::MarkUnreadable(const std::string& key, const std::string& v) const {
  if (!unreadableKey.empty()) return;
  unreadableKey = key;
  const size_t a = v.find_first_not_of(" \t\r\n");
  const size_t b = v.find_last_not_of(" \t\r\n");
  unreadableText = a == std::string::npos ? std::string() : v.substr(a, std::min<size_t>(b - a + 1, 100));
}

int TableBlock::UnreadableLineOffset() const {
  const size_t p = FindKey(text, unreadableKey);
  if (p == std::string::npos) return 0;
  return static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(p), '\n'));
}

bool TableBlock::ConvertDouble(const std::string& key, double& value) const {
  std::string v;
  if (!FindValueText(key, v)) return false;
  if (!ParseDoubleToken(SingleValueText(v), value)) {
    MarkUnreadable(key, v);
    value = 0.0;
  }
  return true;
}

bool TableBlock::ConvertInt(const std::string& key, int& value) const {
  std::string v;
  if (!FindValueText(key, v)) return false;
  if (!ParseIntToken(SingleValueText(v), value)) {
    MarkUnreadable(key, v);
    value = 0;
  }
  return true;
}

bool TableBlock::ReadKeyValue(const std::string& key, double& value) const {
  bool ok = true;
  const bool found = ReadCheckedValue(key, value, ok);
  if (!ok) {
    std::string v;
    FindValueText(key, v);
    MarkUnreadable(key, v);
  }
  return found;
}

bool TableBlock::ReadKeyValue(const std::string& key, int& value) const {
  std::string v;
  if (!FindValueText(key, v)) return false;
  if (!ParseIntToken(SingleValueText(v), value)) {
    MarkUnreadable(key, v);
    value = 0;
  }
  return true;
}

bool TableBlock::ReadCheckedValue(const std::string& key, double& value, bool& ok) const {
  std::string v;
  if (!FindValueText(key, v)) return false;
  if (!ParseDoubleToken(SingleValueText(v), value) || !std::isfinite(value)) {
    value = 0.0;
    ok = false;
  }
  return true;
}

int TableBlock::ReadKeyValues(const std::string& key, double* values, int n) const {
  std::string v;
  if (!FindValueText(key, v)) return -1;
  std::istringstream in(v);
  std::vector<double> read;
  double x;
  while (static_cast<int>(read.size()) < n && in >> x) read.push_back(x);
  if (static_cast<int>(read.size()) < n) return static_cast<int>(read.size());
  for (int i = 1; i <= n; ++i) values[i] = read[i - 1];
  if (n > 0) values[0] = values[n];
  return n;
}

bool TableBlock::ParseIntToken(const std::string& token, int& value) {
  const char* start = token.c_str();
  char* end = nullptr;
  const long v = std::strtol(start, &end, 10);
  if (end == start || !OnlyWhiteSpace(end) || v > 2147483647L || v < -2147483647L - 1) return false;
  value = static_cast<int>(v);
  return true;
}

bool TableBlock::ParseDoubleToken(const std::string& token, double& value) {
  const char* start = token.c_str();
  char* end = nullptr;
  const double v = std::strtod(start, &end);
  if (end == start || !OnlyWhiteSpace(end)) return false;
  value = v;
  return true;
}

bool TableBlock::ReadDayList(const std::string& key, std::vector<int>& days, bool& ok) const {
  std::string v;
  if (!FindValueText(key, v)) return false;
  std::vector<std::string> tokens;
  SplitString(v, "\t ;,", tokens, false);
  days.assign(1, 0);
  for (const std::string& token : tokens) {
    // A token made of line-end characters only is the end of the item's line.
    if (OnlyWhiteSpace(token.c_str())) continue;
    int day = 0;
    if (!ParseIntToken(token, day)) {
      ok = false;
      continue;
    }
    days.push_back(day);
  }
  const int count = static_cast<int>(days.size()) - 1;
  if (count < 1) {
    ok = false;
    return true;
  }
  days[0] = days[count] - 366;
  return true;
}

bool TableBlock::ReadFlagText(const std::string& key, std::string& flags, bool& ok) const {
  std::string v;
  if (!FindValueText(key, v)) return false;
  const size_t first = v.find_first_of("01");
  if (first == std::string::npos) {
    ok = false;
    flags.clear();
  } else {
    flags = v.substr(first);
  }
  return true;
}

bool FindTableSection(ControlFile& file, DiagStream& diag, const std::string& header, bool required) {
  file.SetContext(header);
  bool found = false;
  if (file.IsOpen() && file.Rewind()) {
    std::string word;
    std::string rest;
    while (!found && file.Scan("%s", {&word}) == 1) {
      file.RestOfLine(rest);
      found = word == header;
    }
  }
  if (!found && required) {
    diag << ("FATAL: error in control file, " + header + "; (EOF) not found!").c_str() << "\nthe section "
         << header.c_str() << " is missing in the control file " << file.SourceName().c_str() << "[end-entry]";
    throw 17;
  }
  return found;
}

int ReadTableCount(ControlFile& file, DiagStream& diag, const std::string& header) {
  int count = 0;
  std::string rest;
  if (file.Scan("%d", {&count}) != 1 || count < 0) {
    diag << ("FATAL: error in control file, " + header + "; number of entries not found!").c_str()
         << "\nexpected the number of table entries (0 or more) on " << WhereInFile(file, file.LineNumber()).c_str()
         << "[end-entry]";
    throw 17;
  }
  file.RestOfLine(rest);
  return count;
}

bool IsNoEntry(const std::string& line) {
  const size_t first = line.find_first_not_of(" \t\r\n");
  return first == std::string::npos || line[first] == '[';
}

std::string NoEntryText(const std::string& line) {
  const size_t first = line.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "an empty line";
  std::string text = "\"";
  text.append(line, 0, line.find_last_not_of("\r\n") + 1);
  text += '"';
  return text;
}

std::string WhereInFile(const ControlFile& file, int firstLine) {
  return file.WhereLines(firstLine);
}
