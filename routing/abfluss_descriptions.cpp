// The routing descriptions of "[routing_model]": a first pass counts the
// descriptions and their elements, a second joins each description into one
// text and builds its routed subbasin, channels and inflows.
//
// A description starts at a line containing "TG" and goes on over the lines
// containing "OL", "SUMTRIB", "ZL", "AL" or "SP" (keywords count anywhere in
// a line, comments included). The first line without a keyword ends them all.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framework/diagstream.h"
#include "routing/abfluss.h"

namespace {
constexpr size_t kLineBuffer = 1200;          // a line with its line end fits into 1199 characters
constexpr size_t kDescriptionBuffer = 12000;  // a joined description
constexpr int kMaxSumTributaries = 9;

bool Contains(const std::string& text, const char* word) {
  return text.find(word) != std::string::npos;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
}  // namespace

bool abflussmodellklasse::HasKeyword(const std::string& line) const {
  return Contains(line, "TG") || Contains(line, "OL") || Contains(line, "SUMTRIB") || Contains(line, "ZL") ||
         Contains(line, "AL") || Contains(line, "SP");
}

void abflussmodellklasse::CountDescriptions() {
  nRoutings = totalOL = totalSUMTRIB = totalAmpersand = totalZL = totalAL = totalSP = 0;
  inflowLines.clear();
  const char* eofMessage = "FATAL: error reading a routing description from control file! (eof reached).";
  std::string line;
  for (;;) {
    if (controlfile.Eof() || !controlfile.GetLine(line)) Fail(eofMessage, 38);
    if (Contains(line, "TG"))
      ++nRoutings;
    else if (!HasKeyword(line))
      break;
    totalOL += CountSubstrings(line, "OL");
    totalAmpersand += CountSubstrings(line, "&");
    totalSUMTRIB += CountSubstrings(line, "SUMTRIB");
    totalZL += CountSubstrings(line, "ZL");
    totalAL += CountSubstrings(line, "AL");
    totalSP += CountSubstrings(line, "SP");
    if (controlfile.Eof()) Fail(eofMessage, 38);
  }
  // The descriptions end at the first line without a keyword (a blank line
  // too). That line, or one further down before the next section, that
  // starts like a description (a keyword in any case, then a number) would
  // be left out without a word.
  auto trimmed = [](std::string t) {
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    return t;
  };
  auto describes = [](const std::string& t) {
    const size_t b = t.find_first_not_of(" \t");
    if (b == std::string::npos) return false;
    size_t e = b;
    while (e < t.size() && std::isalpha(static_cast<unsigned char>(t[e]))) ++e;
    std::string word = t.substr(b, e - b);
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const size_t n = t.find_first_not_of(" \t", e);
    if (n == std::string::npos || !std::isdigit(static_cast<unsigned char>(t[n]))) return false;
    for (const char* k : {"TG", "OL", "SUMTRIB", "ZL", "AL", "SP"})
      if (word == k) return true;
    return false;
  };
  const int endLine = controlfile.LineNumber();
  const std::string ending = trimmed(line);
  const std::string endWhere = controlfile.WhereBetween(endLine, endLine);
  auto fail = [&](const std::string& where, const std::string& shown) {
    Fail("FATAL: the routing description line \"" + shown + "\" (" + where +
             ") is not read: the routing descriptions end at the first line after the R-square offset's that holds "
             "none of the keywords TG, OL, SUMTRIB, ZL, AL, SP (upper case; a blank line ends them too), here " +
             endWhere + " (\"" + ending + "\")",
         17);
  };
  if (describes(ending)) fail(endWhere, ending);
  while (!controlfile.Eof() && controlfile.GetLine(line)) {
    const size_t b = line.find_first_not_of(" \t\r\n");
    if (b != std::string::npos && line[b] == '[') break;
    if (describes(line))
      fail(controlfile.WhereBetween(controlfile.LineNumber(), controlfile.LineNumber()), trimmed(line));
  }
}

void abflussmodellklasse::BuildDescriptions() {
  std::string next;
  if (controlfile.Eof() || !controlfile.GetLine(next))
    Fail("FATAL: rerror reading routing description \n2nd run, (1st run: o.k.)", 38);
  nRoutings = 0;
  maxStorageElements = 0;
  std::string joined;
  int nextLine = controlfile.LineNumber();
  while (Contains(next, "TG")) {
    *diag << "reading routing description " << nRoutings + 1 << "[end-entry]";
    ++nRoutings;
    joined.clear();
    descriptionLines.clear();
    const int firstLine = nextLine;
    std::string current = next;
    int currentLine = nextLine;
    for (;;) {
      if (current.empty() || current.back() != '\n' || current.size() > kLineBuffer - 1) {
        Fail("FATAL: string is too long (max. " + std::to_string(kLineBuffer) + " chars):\n" + current + "\n(" +
                 controlfile.WhereBetween(currentLine, currentLine) +
                 "; a line of a routing description holds at most " + std::to_string(kLineBuffer - 2) +
                 " characters and ends with a line end)",
             40);
      }
      current.pop_back();
      if (!current.empty() && current.back() == '\r') current.pop_back();
      if (joined.size() + current.size() > kDescriptionBuffer) {
        Fail("FATAL: string is too long (max. " + std::to_string(kDescriptionBuffer) + " chars): routing description " +
                 std::to_string(nRoutings) + " (" + controlfile.WhereBetween(firstLine, currentLine) +
                 ") holds more than " + std::to_string(kDescriptionBuffer) + " characters",
             40);
      }
      descriptionLines.emplace_back(joined.size(), currentLine);
      joined += current;
      if (controlfile.Eof() || !controlfile.GetLine(next))
        Fail("FATAL: unexpected end of control file reached reading routing descriptions", 38);
      nextLine = controlfile.LineNumber();
      if (Contains(next, "TG") || !HasKeyword(next)) break;
      current = next;
      currentLine = nextLine;
    }
    BuildDescription(joined);
  }

  for (int k = 1; k <= nRoutings; ++k) {
    // A rule-driven abstraction from a reservoir needs the reservoir.
    routingclass& r = *routings[k];
    for (int a = 1; a <= r.Abstractions(); ++a)
      if (r.Abstraction(a).Mode() == AL_class::kInternWithRuleFromReservoir && r.Reservoirs() < 1)
        Fail("FATAL: abstraction AL " + std::to_string(r.Abstraction(a).Number()) + " of routing description " +
                 std::to_string(k) + " (TG " + std::to_string(r.Code()) +
                 ") has the mode \"intern_with_rule_from_reservoir\", but the subbasin has no reservoir (SP) to "
                 "draw from",
             44);
  }
  // The rules stand in sections of their own: the control file is searched from its start.
  for (int k = 1; k <= nRoutings; ++k) {
    routings[k]->InitReservoirRules(controlfile, startDate);
    routings[k]->InitAbstractionRules(controlfile);
  }
  for (int k = 1; k <= nRoutings; ++k) maxStorageElements = routings[k]->MaxStorageElements(maxStorageElements);
  CheckNetwork();
  CheckOrder();
  for (int k = 1; k <= nRoutings; ++k) {
    routings[k]->CheckArea();
    routings[k]->WriteWQTables();
  }
}

int abflussmodellklasse::IntegerAfter(Stream& s, const std::string& keyword) {
  const size_t at = s.text->find(keyword, s.pos);
  const std::string where = " in routing description " + std::to_string(s.number) + " (" +
                            LineWhere(at == std::string::npos ? s.pos : at) + "):\n" + *s.text;
  if (at == std::string::npos) Fail("FATAL: \"" + keyword + "\" not found" + where, 17);
  const char* start = s.text->c_str() + at + keyword.size();
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(start, &end, 10);
  if (end == start || errno == ERANGE || v < -2147483647L || v > 2147483647L)
    Fail("FATAL: no readable integer after \"" + keyword + "\"" + where, 17);
  s.pos = static_cast<size_t>(end - s.text->c_str());
  return static_cast<int>(v);
}

size_t abflussmodellklasse::NextElement(const Stream& s) const {
  size_t next = std::string::npos;
  for (const char* keyword : {"TG", "OL", "SUMTRIB", "ZL", "AL", "SP"})
    next = std::min(next, s.text->find(keyword, s.pos));
  return next;
}

std::string abflussmodellklasse::LineWhere(size_t at) const {
  int line = 0;
  for (const auto& [offset, number] : descriptionLines)
    if (offset <= at || line == 0) line = number;
  return controlfile.WhereBetween(line, line);
}

std::string abflussmodellklasse::DescriptionWhere(const Stream& s, size_t at) const {
  return "routing description " + std::to_string(s.number) + ", " + LineWhere(at);
}

double abflussmodellklasse::ValueAfterEqual(Stream& s, const char* what) {
  // The values of an element stand before the next element's keyword.
  const size_t at = s.text->find('=', s.pos);
  const std::string where = " in routing description " + std::to_string(s.number) + " (" +
                            LineWhere(at == std::string::npos ? s.pos : at) + "):\n" + *s.text;
  if (at == std::string::npos || at > NextElement(s))
    Fail(std::string("FATAL: no \"=\" before the value of ") + what + where, 17);
  // Labels between the values are free text without "=": a number standing
  // alone before the "=" is this value without its "=" (the "=" found is the
  // next value's).
  for (size_t b = s.pos; b < at;) {
    while (b < at && std::strchr(" \t\r\n(),;", (*s.text)[b])) ++b;
    size_t e = b;
    while (e < at && !std::strchr(" \t\r\n(),;", (*s.text)[e])) ++e;
    if (e > b) {
      const std::string word = s.text->substr(b, e - b);
      char* stop = nullptr;
      std::strtod(word.c_str(), &stop);
      if (stop != word.c_str() && *stop == '\0')
        Fail(std::string("FATAL: no \"=\" before the value of ") + what + " (\"" + word +
                 "\" stands without its \"=\")" + where,
             17);
    }
    b = e;
  }
  const char* start = s.text->c_str() + at + 1;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(start, &end);
  if (end == start || errno == ERANGE)
    Fail(std::string("FATAL: the value of ") + what + " after \"=\" cannot be read" + where, 17);
  // A number ends at a blank, ",", ";" or ")": "9536m" or the decimal comma of
  // "492,5" would be read as the number in front.
  const bool ends = *end == '\0' || std::strchr(" \t\r\n,;)", *end) != nullptr;
  if (!ends || (*end == ',' && std::isdigit(static_cast<unsigned char>(end[1])))) {
    while (*start == ' ' || *start == '\t') ++start;
    Fail(std::string("FATAL: the value of ") + what + " after \"=\" cannot be read: \"" +
             std::string(start, std::min<size_t>(std::strcspn(start, " \t\r\n;)"), 100)) +
             "\" is no number (a decimal comma is no decimal point)" + where,
         17);
  }
  s.pos = static_cast<size_t>(end - s.text->c_str());
  return v;
}

std::string abflussmodellklasse::NextWord(Stream& s, size_t maxLength, const char* what) {
  const std::string& t = *s.text;
  size_t b = s.pos;
  while (b < t.size() && IsBlank(t[b])) ++b;
  size_t e = b;
  while (e < t.size() && !IsBlank(t[e])) ++e;
  if (e == b || e - b > maxLength) {
    Fail(std::string("FATAL: ") + what +
             (e == b ? " missing" : " longer than " + std::to_string(maxLength) + " characters") +
             " in routing description " + std::to_string(s.number) + " (" + LineWhere(b) + "):\n" + t,
         17);
  }
  s.pos = e;
  return t.substr(b, e - b);
}

std::string abflussmodellklasse::WordAfterEqual(Stream& s, size_t maxLength, const char* what) {
  const size_t at = s.text->find('=', s.pos);
  if (at == std::string::npos || at > NextElement(s))
    Fail(std::string("FATAL: no \"=\" before the ") + what + " in routing description " + std::to_string(s.number) +
             " (" + LineWhere(s.pos) + ")" + ":\n" + *s.text,
         17);
  s.pos = at + 1;
  return NextWord(s, maxLength, what);
}

ChannelParameters abflussmodellklasse::ChannelValues(Stream& s, const std::string& element) {
  // A value not greater than 0 takes its default (kChannelDefaults), named
  // in a WARNING. A value that is no number has no meaning, nor has a
  // catchment area not greater than 0: -492 km2 taken as 1e-6 km2 would give
  // tens of thousands of sub-channels.
  struct Key {
    const char* name;
    const char* meaning;
    double ChannelParameters::*value;
  };
  static const Key keys[] = {
      {"kh", "the storage constant of the main channel [h]", &ChannelParameters::kh},
      {"kv", "the storage constant of the flood plains [h]", &ChannelParameters::kv},
      {"Bh", "the width of the main channel [m]", &ChannelParameters::Bh},
      {"Bv", "the width of the flood plains [m]", &ChannelParameters::Bv},
      {"Th", "the depth of the main channel [m]", &ChannelParameters::Th},
      {"Mh", "the Manning-Strickler coefficient of the main channel [m^(1/3)/s]", &ChannelParameters::Mh},
      {"Mv", "the Manning-Strickler coefficient of the flood plains [m^(1/3)/s]", &ChannelParameters::Mv},
      {"I", "the slope [1/1]", &ChannelParameters::I},
      {"L", "the channel length [m]", &ChannelParameters::L},
      {"AE", "the catchment area [km2]", &ChannelParameters::AE},
  };
  ChannelParameters p;
  for (const Key& k : keys) {
    const size_t eq = s.text->find('=', s.pos);
    // A number in the text before the "=" is a value written without its
    // "=": every later value would be read one "=" too far.
    if (eq != std::string::npos && eq <= NextElement(s)) {
      for (size_t b = s.pos; b < eq;) {
        while (b < eq && std::strchr(" \t,;()", (*s.text)[b])) ++b;
        size_t e = b;
        while (e < eq && !std::strchr(" \t,;()", (*s.text)[e])) ++e;
        const std::string token = s.text->substr(b, e - b);
        char* end = nullptr;
        if (!token.empty()) std::strtod(token.c_str(), &end);
        if (!token.empty() && end == token.c_str() + token.size())
          Fail("FATAL: " + element + ": the number " + token + " stands without \"=\" before it: value " +
                   std::to_string(&k - keys + 1) + " of 10 of the line, " + k.meaning + ", is expected as \"" + k.name +
                   " = <value>\" (" + DescriptionWhere(s, b) + ")",
               17);
        b = e;
      }
    }
    const double v = ValueAfterEqual(s, k.meaning);
    p.*k.value = v;
    // No river is 10 000 km long: a longer channel would be split into more
    // sub-channels than memory holds.
    const bool tooLong = k.value == &ChannelParameters::L && v > 1e7;
    if (std::isfinite(v) && v > 0 && !tooLong) continue;
    // The value as written, up to the blank, "," or ")" behind it.
    size_t b = eq + 1;
    while (b < s.text->size() && IsBlank((*s.text)[b])) ++b;
    const std::string written = s.text->substr(b, s.text->find_first_of(" \t,)", b) - b);
    const std::string where =
        "(value " + std::to_string(&k - keys + 1) + " of 10 of the line; " + DescriptionWhere(s, eq) + ")";
    if (tooLong)
      Fail("FATAL: " + element + ": " + k.name + " = " + written + " is not valid: " + k.meaning +
               " has to be less than 1e7 m " + where,
           17);
    const ChannelDefault* d = nullptr;
    for (const ChannelDefault& c : kChannelDefaults)
      if (c.value == k.value) d = &c;
    if (d && std::isfinite(v)) {
      char standsFor[40];
      std::snprintf(standsFor, sizeof standsFor, "%.9lg", d->standsFor);
      *diag << "WARNING: " << element << ": " << k.name << " = " << written << " is not greater than 0: " << k.meaning
            << " takes its default " << standsFor
            << (d->value == &ChannelParameters::kh || d->value == &ChannelParameters::kv ? " (no storage) " : " ")
            << where << "[end-entry]";
      continue;
    }
    Fail("FATAL: " + element + ": " + k.name + " = " + written + " is not valid: " + k.meaning + " has to be a number" +
             (d ? " (one not greater than 0 takes its default) " : " greater than 0 ") + where,
         17);
  }
  return p;
}

void abflussmodellklasse::CheckTributary(int tributary, int subbasin, int index, bool lineEnd,
                                         const std::string& where) {
  const std::string end = std::string(lineEnd ? "\n(" : " (") + where + ")";
  if (tables.EntryOf(tributary) < 1)
    Fail("FATAL: there cant be a tributary with code " + std::to_string(tributary) +
             " for no subbasin (according to zones)" + end,
         41);
  if (tributary == subbasin)
    Fail("FATAL: subbasin " + std::to_string(subbasin) + ": code of tributary " + std::to_string(index) + " (" +
             std::to_string(tributary) +
             ") is equal to subbasin code!\nIt is not allowed to rout the outflow of a subbasin back into \nthe same "
             "subbasin. Use a reservoir instead." +
             end,
         41);
  const int e = tables.EntryOf(tributary);
  const int own = tables.EntryOf(subbasin);
  // A subbasin flows into one subbasin, through one channel: a second
  // receiver or a second channel would count its water twice.
  const int receiver = routingTarget[1][e];
  if (receiver >= 1) {
    const std::string code = std::to_string(tributary);
    if (receiver == own)
      Fail("FATAL: subbasin " + code + " is listed twice as a tributary of subbasin " + std::to_string(subbasin) +
               " (" + where + "): its water would reach subbasin " + std::to_string(subbasin) +
               " twice; list each tributary once",
           41);
    Fail("FATAL: subbasin " + code + " is routed into subbasin " + std::to_string(subbasin) + " (" + where +
             "), but routing description " + std::to_string(routingTarget[2][receiver]) + " routes it into subbasin " +
             std::to_string(static_cast<long>(zonerecords[receiver].zonenwert)) +
             " already: a subbasin flows into one subbasin only, its water would be counted twice",
         41);
  }
  // The list of tributaries holds two entries per subbasin.
  std::vector<int>& list = routingTarget[0];
  size_t at = 1;
  while (at < list.size() && list[at] >= 1) ++at;
  if (at >= list.size())
    Fail("FATAL: subbasin " + std::to_string(subbasin) + ": tributary " + std::to_string(tributary) +
             " is one tributary more than the " + std::to_string(list.size() - 1) + " that the routing network of " +
             std::to_string(zonecount) + " subbasins can hold",
         41);
  list[at] = e;
  routingTarget[1][e] = own;
}

void abflussmodellklasse::BuildDescription(const std::string& text) {
  const int descOL = CountSubstrings(text, "OL");
  const int descSUMTRIB = CountSubstrings(text, "SUMTRIB");
  const int descAmpersand = CountSubstrings(text, "&");
  const int descZL = CountSubstrings(text, "ZL");
  const int descAL = CountSubstrings(text, "AL");
  const int descSP = CountSubstrings(text, "SP");

  Stream s;
  s.text = &text;
  s.number = nRoutings;
  const int code = IntegerAfter(s, "TG");
  const int own = tables.EntryOf(code);
  if (own < 1) Fail("FATAL: there is no subbasin with code " + std::to_string(code), 41);
  const double areaCtrl = ValueAfterEqual(s, "the area of the subbasin");
  // An area that differs from the zone grid's is replaced by it (CheckArea),
  // 0 included; the abstractions scale their amounts by the ratio of the
  // two, which an area that is no number or negative would turn into NaN or
  // a negative amount.
  if (!std::isfinite(areaCtrl) || areaCtrl < 0)
    Fail("FATAL: the area " + std::to_string(areaCtrl) + " [km2] of subbasin " + std::to_string(code) +
             " has to be a number of 0 or more (0: the area of its cells in the zone grid) (" + DescriptionWhere(s, 0) +
             ":\n" + text + ")",
         17);
  const double relArea = ValueAfterEqual(s, "the relative area of the subbasin");
  // The depths of the routed subbasin refer to areaCtrl / relArea.
  if (!std::isfinite(relArea) || !(relArea > 0))
    Fail("FATAL: the relative area " + std::to_string(relArea) + " of subbasin " + std::to_string(code) +
             " must be greater than 0 (" + DescriptionWhere(s, 0) + ":\n" + text + ")",
         17);

  int error = 0;
  auto r = std::make_unique<routingclass>(error, diag, controlfilename, ModelObjectArgs(), code, areaCtrl, relArea,
                                          descOL, descSUMTRIB, descAmpersand, descZL, descAL, descSP, timeinterval,
                                          subIntervals, startValueMode, &tables, tracers);
  if (error != 0) throw error;
  routingclass& sub = *r;
  routings.push_back(std::move(r));
  routingTarget[2][own] = nRoutings;

  int k = 0;
  const std::vector<int> none;
  auto countCheck = [&](const char* keyword, int built, int counted) {
    if (built != counted)
      Fail(std::string("FATAL: routing description ") + std::to_string(nRoutings) + " (TG " + std::to_string(code) +
               ") holds " + std::to_string(counted) + " times \"" + keyword + "\" but " + std::to_string(built) +
               " of them begin an element (a keyword inside a value, file name or the TG values?):\n" + text,
           17);
  };

  int built = 0;
  while (s.text->find("OL", s.pos) != std::string::npos) {
    ++k;
    const size_t at = s.text->find("OL", s.pos);
    const int tributary = IntegerAfter(s, "OL");
    CheckTributary(tributary, code, k, true, DescriptionWhere(s, at));
    const ChannelParameters p =
        ChannelValues(s, "TG " + std::to_string(code) + ", channel of OL " + std::to_string(tributary));
    sub.BuildWQTables(k, tributary, none, p, qmin, qmax, nIntervals);
    ++built;
  }
  countCheck("OL", built, descOL);

  s.pos = 0;
  built = 0;
  while (s.text->find("SUMTRIB", s.pos) != std::string::npos) {
    ++k;
    std::fill(sumTribList.begin(), sumTribList.end(), 0);
    const size_t firstAt = s.text->find("SUMTRIB", s.pos);
    const int first = IntegerAfter(s, "SUMTRIB");
    CheckTributary(first, code, k, false, DescriptionWhere(s, firstAt));
    // The list of further codes ends at the first blank, "(" or "k".
    const size_t afterFirst = s.pos;
    size_t end = afterFirst;
    while (end < text.size() && text[end] != ' ' && text[end] != '(' && text[end] != 'k') ++end;
    for (size_t at = text.find('&', afterFirst); at < end; at = text.find('&', at + 1)) {
      if (sumTribList[0] == kMaxSumTributaries)
        Fail("FATAL: more than " + std::to_string(kMaxSumTributaries) + " codes joined by \"&\" after SUMTRIB " +
                 std::to_string(first) + " in routing description " + std::to_string(nRoutings) + ":\n" + text,
             17);
      Stream member = s;
      member.pos = at;
      const int c = IntegerAfter(member, "&");
      CheckTributary(c, code, k, false, DescriptionWhere(s, at));
      sumTribList[++sumTribList[0]] = c;
    }
    // A "&" behind the end of the list would leave its subbasin's water out.
    const size_t loose = text.find('&', end);
    if (loose != std::string::npos && loose < text.find('=', afterFirst))
      Fail("FATAL: TG " + std::to_string(code) + ", SUMTRIB " + std::to_string(first) +
               ": the \"&\" stands behind the end of the list of codes, which ends at the first blank, \"(\" or "
               "\"k\" after the first code; write the codes joined without blanks (\"SUMTRIB " +
               std::to_string(first) + "&...\"; " + DescriptionWhere(s, loose) + ")",
           17);
    s.pos = afterFirst;
    const ChannelParameters p =
        ChannelValues(s, "TG " + std::to_string(code) + ", channel of SUMTRIB " + std::to_string(first));
    const std::vector<int> list(sumTribList.begin(), sumTribList.begin() + sumTribList[0] + 1);
    sub.BuildWQTables(k, first, list, p, qmin, qmax, nIntervals);
    ++built;
  }
  countCheck("SUMTRIB", built, descSUMTRIB);

  s.pos = 0;
  built = 0;
  while (s.text->find("ZL", s.pos) != std::string::npos) {
    ++k;
    const size_t lineAt = s.text->find("ZL", s.pos);
    const int number = IntegerAfter(s, "ZL");
    if (number > totalZL)
      Fail("FATAL: there is/are only " + std::to_string(totalZL) +
               " inflow(s) for the entire basin,\n but the codes ranges from 1 to at least " + std::to_string(number) +
               "! in " + modulname,
           42);
    if (number < 1)
      Fail("FATAL: inflow number " + std::to_string(number) + " in routing description " + std::to_string(nRoutings) +
               " (TG " + std::to_string(code) + "); inflows are numbered from 1 to " + std::to_string(totalZL),
           42);
    // Every inflow has its entry in the runoff table: a number given twice
    // would make two lines share one.
    inflowLines.resize(static_cast<size_t>(totalZL) + 1);
    const std::string where = DescriptionWhere(s, lineAt);
    if (!inflowLines[number].empty())
      Fail("FATAL: inflow ZL " + std::to_string(number) + " is given twice: " + inflowLines[number] + " and " + where +
               "; every ZL line needs a number of its own (1 to " + std::to_string(totalZL) + ")",
           42);
    inflowLines[number] = where;
    const std::string mode = WordAfterEqual(s, 19, "mode of the inflow");
    int modeNumber = 0;
    std::string file;
    int startRow = 0, column = 0;
    double value = 0;
    // The values after the mode word are read as from a stream: a number
    // ends at the first character that cannot belong to it.
    auto streamNumber = [&](const char* what, bool integer) {
      const char* start = text.c_str() + s.pos;
      char* e = nullptr;
      errno = 0;
      const double v = integer ? static_cast<double>(std::strtol(start, &e, 10)) : std::strtod(start, &e);
      if (e == start || errno == ERANGE || (integer && (v < 0 || v > 100000000)))
        Fail(std::string("FATAL: the ") + what + " of inflow " + std::to_string(number) +
                 " cannot be read in routing description " + std::to_string(nRoutings) + ":\n" + text,
             17);
      s.pos = static_cast<size_t>(e - text.c_str());
      return v;
    };
    if (mode == "constant") {
      modeNumber = 1;
      size_t at = s.pos;
      while (at < text.size() && IsBlank(text[at])) ++at;
      value = streamNumber("constant value", false);
      // A constant inflow [m3/s] that is no number would bring NaN into the
      // channel; a negative one withdraws water from it, as a negative value
      // of an inflow file does.
      const std::string written = text.substr(at, s.pos - at);
      if (!std::isfinite(value))
        Fail("FATAL: TG " + std::to_string(code) + ", inflow ZL " + std::to_string(number) + ": the constant value " +
                 written + " [m3/s] has to be a number (" + DescriptionWhere(s, at) + ")",
             17);
      if (value < 0)
        *diag << "WARNING: TG " << code << ", inflow ZL " << number << ": the constant value " << written
              << " [m3/s] is negative: the inflow withdraws that water from the river at the subbasin's outlet every "
                 "step (at most the water it holds; "
              << DescriptionWhere(s, at) << ")"
              << "[end-entry]";
    } else if (mode == "extern") {
      modeNumber = 4;
      file = NextWord(s, 299, "file name of the inflow");
      startRow = static_cast<int>(streamNumber("start row", true));
      column = static_cast<int>(streamNumber("column", true));
    } else if (mode == "intern") {
      modeNumber = 3;
    } else {
      // The mode is a word of its own: it ends at the next blank, so a ","
      // or "(" written right behind it belongs to it ("intern," is no mode).
      std::string hint;
      for (const char* known : {"constant", "extern", "intern"})
        if (mode.size() > std::strlen(known) && mode.compare(0, std::strlen(known), known) == 0)
          hint = "; \"" + mode.substr(std::strlen(known)) + "\" is written right behind \"" + known +
                 "\": put a blank between them (\"" + known + " " + mode.substr(std::strlen(known)) + "\")";
      Fail("FATAL: the modus \"" + mode + "\" is not supported for inflow " + std::to_string(number) + " (" +
               DescriptionWhere(s, s.pos - mode.size()) +
               "): expected after \"=\" one of the words \"constant\" followed by the flow [m3/s], \"extern\" "
               "followed by the file name, the start row and the column, or \"intern\" alone, each followed by a "
               "blank" +
               hint,
           42);
    }
    sub.SetInflow(k, number, modeNumber, file, startRow, column, startDate[0], startDate[1], startDate[2], startDate[3],
                  value, endDate);
    const ChannelParameters p =
        ChannelValues(s, "TG " + std::to_string(code) + ", channel of inflow ZL " + std::to_string(number));
    sub.BuildWQTables(k, number, none, p, qmin, qmax, nIntervals);
    ++built;
  }
  countCheck("ZL", built, descZL);

  // Abstractions, then reservoirs, each read from its keyword on.
  s.pos = 0;
  built = 0;
  while (s.text->find("AL", s.pos) != std::string::npos) {
    ++k;
    sub.SetAblaufModus(text, s.pos, startDate, DescriptionWhere(s, s.text->find("AL", s.pos)), endDate);
    ++built;
  }
  countCheck("AL", built, descAL);
  s.pos = 0;
  built = 0;
  while (s.text->find("SP", s.pos) != std::string::npos) {
    ++k;
    sub.SetSpeicherParams(text, s.pos, DescriptionWhere(s, s.text->find("SP", s.pos)));
    ++built;
  }
  countCheck("SP", built, descSP);
}

void abflussmodellklasse::CheckOrder() {
  // The subbasins are routed in the order of their descriptions: a routed
  // tributary described later would hand its water of the step before (or
  // its raw runoff) to the subbasin it flows into.
  std::vector<int> entries;
  for (int k = 1; k <= nRoutings; ++k) {
    routingclass& r = *routings[k];
    for (int i = 1; i <= r.Tributaries() + r.SumTributaries(); ++i) {
      r.FeedingEntries(i, entries);
      for (int s : entries) {
        const int m = routingTarget[2][s];
        if (m <= k) continue;
        Fail("FATAL: routing description " + std::to_string(k) + " (TG " + std::to_string(r.Code()) +
                 ") takes the outflow of subbasin " + std::to_string(routings[m]->Code()) +
                 ", which routing description " + std::to_string(m) + " (TG " + std::to_string(routings[m]->Code()) +
                 ") routes after it: describe subbasin " + std::to_string(routings[m]->Code()) + " before subbasin " +
                 std::to_string(r.Code()) + " (a subbasin must follow every subbasin that flows into it)",
             41);
      }
    }
  }
}

void abflussmodellklasse::CheckNetwork() {
  // Following the receivers downstream must reach the outlet within n steps.
  const std::vector<int>& next = routingTarget[1];
  for (int s = 1; s <= zonecount; ++s) {
    int at = s;
    for (int steps = 0; at > 0; ++steps) {
      if (steps > zonecount) {
        Fail("FATAL: the routing descriptions form a cycle: the water of subbasin " +
                 std::to_string(static_cast<long>(zonerecords[s].zonenwert)) +
                 " flows back into it (each subbasin may flow into one downstream subbasin only)",
             41);
      }
      at = next[at];
    }
  }
}
