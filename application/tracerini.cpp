#include "application/tracerini.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "framework/diagstream.h"

namespace {

// Text after the first "=" that follows keyword at position at; npos when none.
size_t ValueAfterEquals(const std::string& line, size_t at) {
  const size_t eq = line.find('=', at);
  return eq == std::string::npos ? eq : eq + 1;
}

bool ReadDouble(const std::string& line, size_t from, double& value, size_t* end = nullptr) {
  const char* start = line.c_str() + from;
  char* stop = nullptr;
  const double v = std::strtod(start, &stop);
  if (stop == start) return false;
  value = v;
  if (end) *end = from + static_cast<size_t>(stop - start);
  return true;
}

// The next white-space separated word from position from; empty when none.
std::string WordAt(const std::string& line, size_t from) {
  size_t b = from;
  while (b < line.size() && (line[b] == ' ' || line[b] == '\t' || line[b] == '\r' || line[b] == '\n')) ++b;
  size_t e = b;
  while (e < line.size() && !(line[e] == ' ' || line[e] == '\t' || line[e] == '\r' || line[e] == '\n')) ++e;
  return line.substr(b, e - b);
}

}  // namespace

tracer_ini_class::tracer_ini_class(int& error, DiagStream* diagnostics, const std::string& controlFileName, int& count,
                                   TracerRecord*& tracers, const ModelObjectArgs& args)
    : modelobject(diagnostics, controlFileName, 0, args) {
  error = 0;
  count = 0;
  tracers = nullptr;
  try {
    modulname = "tracer_ini_class";
    ReadSection(count, tracers);
  } catch (int code) {
    error = code;
  } catch (...) {
    error = 103;
  }
}

void tracer_ini_class::ReadSection(int& count, TracerRecord*& tracers) {
  if (!controlfile.Open(controlfilename, diag)) Fatal("FATAL: error opening " + controlfilename, 28);
  FindSection("[substance_transport]", true);
  int n = 0;
  ReadValue(controlfile, "%d", &n, " number of tracers in ", linebuffer);
  if (n < 0)
    Fatal("FATAL: the number of tracers in [substance_transport] is " + std::to_string(n) + " (" + controlfile.Where() +
              "): 0 (no tracers) or more is expected",
          58);
  if (n > kMaxTracers)
    Fatal("FATAL: not more than 9 tracer species are allowed at one time (they need a very lot of memory!)", 58);
  if (n >= 1) {
    table.assign(static_cast<size_t>(n) + 1, TracerRecord{});
    for (int k = 1; k <= n; ++k) {
      *diag << "reading parameters for tracer " << k << " ..."
            << "[end-entry]";
      std::string line;
      controlfile.GetLine(line);
      ReadTracer(line, k, n);
      *diag << "done."
            << "[end-entry]";
    }
    tracercount = n;
  }
  if (!controlfile.Close()) Fatal("FATAL: error closing " + controlfilename, 11);
  count = tracercount;
  tracers = tracercount > 0 ? table.data() : nullptr;
}

void tracer_ini_class::ReadTracer(const std::string& line, int k, int n) {
  TracerRecord& t = table[static_cast<size_t>(k)];
  const std::string kk = std::to_string(k);

  // Name: the first three characters of the line's first word, filled with
  // "_" and in lower case.
  std::string name = WordAt(line, 0).substr(0, 3);
  while (name.size() < 3) name += '_';
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  t.name = name;
  for (int j = 1; j < k; ++j) {
    if (table[static_cast<size_t>(j)].name != name) continue;
    Fatal("FATAL: \n----------- ERROR in substance_transport ---------\n\nsubstance #" + kk + " and substance #" +
              std::to_string(j) + " have the same\nfirst 3 chars (lowercase) in its name (" + name + " <-> " +
              table[static_cast<size_t>(j)].name + ")\n\n" + std::string(50, '-') + "\n",
          59);
  }

  // Radioactive or not: "non_radioactive" contains "radioactive", so it is looked for first.
  if (line.find("non_radioactive") != std::string::npos) {
    t.radioactive = 0;
    t.half_time = -9999;
  } else if (line.find("radioactive") != std::string::npos) {
    t.radioactive = 1;
    const size_t at = line.find("half_time");
    if (at == std::string::npos)
      Fatal("FATAL: error in tracer_info_table tracer " + kk + ": need a \"half_time = xxxx d\" sequence!", 56);
    const size_t value = ValueAfterEquals(line, at);
    if (value == std::string::npos)
      Fatal("FATAL: error reading half_time for tracer " + kk + ": no \"half_time =\" found!", 56);
    size_t end = 0;
    double h = 0;
    if (!ReadDouble(line, value, h, &end)) Fatal("FATAL: error reading half_time for tracer " + kk, 56);
    const std::string unit = WordAt(line, end);
    if (unit.empty()) Fatal("FATAL: error reading half_time for tracer " + kk, 56);
    if (unit != "d") Fatal("FATAL: error reading half_time for tracer " + kk + ": no \"d\" for measure found!", 56);
    if (!(h > 0)) Fatal("FATAL: error in half_time for tracer " + kk + ": must be greater than 0!", 56);
    t.half_time = h;
  } else {
    Fatal("FATAL: error reading parameters for tracer " + kk +
              ":\n need a key word \"radioactive\" or \"non_radioactive\"\n(may be, the number of tracers (" +
              std::to_string(n) + ") is wrong?\n",
          56);
  }

  if (line.find("non_evaporating") != std::string::npos)
    t.evaporating = 0;
  else if (line.find("evaporating") != std::string::npos)
    t.evaporating = 1;
  else
    Fatal("FATAL: error reading parameters for tracer " + kk +
              ":\n need a key word \"evaporating\" or \"non_evaporating\"\n(may be, the number of tracers (" +
              std::to_string(n) + ") is wrong?",
          56);

  // Position of the value after "keyword ... =".
  auto valueOf = [&](const std::string& keyword) {
    const size_t at = line.find(keyword);
    if (at == std::string::npos)
      Fatal("FATAL: error reading parameters for tracer " + kk + ":\nneed a key word \"" + keyword + " = xxxx\"", 56);
    const size_t value = ValueAfterEquals(line, at + keyword.size());
    if (value == std::string::npos) {
      if (keyword == "max_conc")
        Fatal("FATAL: error reading max_conc for tracer " + kk + ": no \"max_conc =\" found!", 56);
      Fatal("FATAL: error reading " + keyword + " for tracer " + kk + ": no \"" + keyword + " =\" found!", 56);
    }
    return value;
  };

  if (!ReadDouble(line, valueOf("min_conc"), t.min_conc)) Fatal("FATAL: error reading min_conc for tracer " + kk, 56);

  // max_conc is used as written; its unit only has to be one of the allowed
  // ones. A value that is no number leaves 0.
  {
    const size_t value = valueOf("max_conc");
    size_t end = value;
    double v = 0;
    std::string unit = "kg/kg";
    if (ReadDouble(line, value, v, &end)) {
      t.max_conc = v;
      const std::string word = WordAt(line, end);
      if (!word.empty()) unit = word;
    }
    if (unit != "mg/l" && unit != "g/l" && unit != "kg/kg" && unit != "Kg/Kg")
      Fatal("FATAL: error reading max_conc for tracer " + kk +
                ":\nwrong measure (only mg/l, g/l or kg/kg resp. no measure are allowed!)\nread here: " + unit,
            56);
  }

  if (!ReadDouble(line, valueOf("soilini"), t.soilini))
    Fatal("FATAL: error reading soilini for tracer " + kk + "!", 56);
  if (!ReadDouble(line, valueOf("gwini"), t.gwini)) Fatal("FATAL: error reading gwini for tracer " + kk + "!", 56);

  // "keyword =" followed by the value.
  auto afterKeyword = [&](const std::string& keyword) {
    const size_t at = line.find(keyword + " =");
    if (at == std::string::npos)
      Fatal("FATAL: error reading " + keyword + " for tracer " + kk + ":\nneed a key word \"" + keyword + " = xxxx\"",
            56);
    return at + keyword.size() + 2;
  };
  auto readInt = [&](const std::string& keyword, int& target) {
    const size_t from = afterKeyword(keyword);
    const char* start = line.c_str() + from;
    char* end = nullptr;
    const long v = std::strtol(start, &end, 10);
    if (end == start || v < INT_MIN || v > INT_MAX)
      Fatal("FATAL: error reading " + keyword + " for tracer " + kk + "!", 56);
    target = static_cast<int>(v);
  };
  readInt("statcode", t.statcode);
  readInt("gridcode", t.gridcode);
  // Texts of at most 299 characters; a longer one cannot be read.
  auto readText = [&](const std::string& keyword, std::string& target) {
    const std::string word = WordAt(line, afterKeyword(keyword));
    if (word.empty() || word.size() > 299) Fatal("FATAL: error reading " + keyword + " for tracer " + kk + "!", 56);
    target = word;
  };
  readText("path", t.path);
  readText("statext", t.statext);
  readText("gridext", t.gridext);
}

void tracer_ini_class::FreeMemory() {
  for (size_t k = 1; k < table.size(); ++k) {
    table[k].name.clear();
    table[k].path.clear();
    table[k].statext.clear();
    table[k].gridext.clear();
  }
  table.clear();
  tracercount = 0;
  modelobject::FreeMemory();
}
