#include "application/symbols.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>

#include "framework/controlfile.h"
#include "framework/diagstream.h"

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Up to n white-space separated words of text; missing words stay empty.
void FirstWords(const std::string& text, std::string* words, int n) {
  size_t i = 0;
  for (int k = 0; k < n; ++k) {
    while (i < text.size() && IsSpace(text[i])) ++i;
    size_t e = i;
    while (e < text.size() && !IsSpace(text[e])) ++e;
    words[k] = text.substr(i, e - i);
    i = e;
  }
}

// A value that a floating-point conversion consumes whole (the empty value too).
bool IsPlainNumber(const std::string& value) {
  if (value.empty()) return true;
  const char* start = value.c_str();
  char* end = nullptr;
  std::strtod(start, &end);
  return end != start && end == start + value.size();
}

bool HasInfOrNan(const std::string& value) {
  for (const char* group : {"inf", "nan", "INF", "NAN", "Inf", "Nan"})
    if (value.find(group) != std::string::npos) return true;
  return false;
}

// Each run of k slashes keeps k mod 2 of them: the result of deleting the
// first "//" again and again until none is left.
void RemoveJoins(std::string& text) {
  std::string joined;
  joined.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text[i] != '/') {
      joined.push_back(text[i++]);
      continue;
    }
    size_t run = 0;
    while (i < text.size() && text[i] == '/') ++i, ++run;
    if (run % 2 == 1) joined.push_back('/');
  }
  text.swap(joined);
}

// Substitution stops with an error beyond these: only a text that keeps
// producing new symbol references can reach them.
constexpr size_t kMaxGrowth = 1 << 20;
constexpr int kMaxSubstitutions = 100000;

const char* const kRule = "\n-----------------------------------------------------------\n";

}  // namespace

std::string SymbolPreprocessor::PreprocessedName(const std::string& controlFileName) {
  return controlFileName + ".$$$";
}

void SymbolPreprocessor::Fatal(const std::string& message, int code) {
  *diag << message.c_str() << "[end-entry]";
  throw code;
}

void SymbolPreprocessor::FreeBuffers() {
  std::vector<std::string>().swap(names);
  std::vector<std::string>().swap(values);
  count = 0;
}

std::string& SymbolPreprocessor::ReplaceSymbols(std::string& text, int lineNumber,
                                                const std::vector<std::string>& symbolNames,
                                                const std::vector<std::string>& symbolValues, int symbolCount) {
  const std::string where =
      "line " + std::to_string(lineNumber) + (fileName.empty() ? std::string() : " of the control file " + fileName);

  // A comment ends the text: the "#" and what follows go, the value before
  // it stays whole. A blank before the "#" becomes the line's end (so a
  // comment in the first column leaves nothing); a "#" right after a value
  // is replaced by the line's end of a line that had one.
  const size_t hash = text.find('#');
  if (hash != std::string::npos && hash > 0) {
    const bool lineEnd = text.back() == '\n';
    text.resize(hash);
    if (IsSpace(text.back()))
      text.back() = '\n';
    else if (lineEnd)
      text.push_back('\n');
  }
  if (text.find("$set") != std::string::npos) return text;

  // Each substituted value is an open region of the text while later
  // references are found inside it; a symbol met again inside its own region
  // refers to itself, directly or through other symbols.
  struct Region {
    int symbol;
    size_t end;
  };
  std::vector<Region> open;
  const int last = std::min<int>(symbolCount, static_cast<int>(std::min(symbolNames.size(), symbolValues.size())) - 1);
  int substitutions = 0;
  for (size_t at; (at = text.find('$')) != std::string::npos;) {
    size_t end = at;
    while (end < text.size() && !IsSpace(text[end])) ++end;
    std::string word = text.substr(at, end - at);
    word.resize(std::min(word.find("//"), word.size()));
    word.resize(std::min(word.find(';'), word.size()));
    int symbol = 0;
    for (int i = 1; i <= last; ++i) {
      if (symbolNames[i] == word) {
        symbol = i;
        break;
      }
    }
    // "$inpath/zones.asc": the longest symbol the word begins with, where its
    // name ends at a character that cannot continue a name.
    for (int i = 1; i <= last && symbol == 0; ++i) {
      const std::string& name = symbolNames[i];
      if (name.size() < 2 || name.size() >= word.size() || word.compare(0, name.size(), name) != 0) continue;
      const unsigned char next = static_cast<unsigned char>(word[name.size()]);
      if (std::isalnum(next) || next == '_') continue;
      int longest = i;
      for (int j = i + 1; j <= last; ++j) {
        const std::string& other = symbolNames[j];
        if (other.size() > symbolNames[longest].size() && other.size() < word.size() &&
            word.compare(0, other.size(), other) == 0 &&
            !std::isalnum(static_cast<unsigned char>(word[other.size()])) && word[other.size()] != '_')
          longest = j;
      }
      symbol = longest;
      word.resize(symbolNames[symbol].size());
      // A value ending in "/" and one "/" in the text make one "/" (not the
      // join "//", which would take both away).
      const std::string& value = symbolValues[symbol];
      const size_t after = at + word.size();
      if (!value.empty() && value.back() == '/' && text[after] == '/' &&
          (after + 1 >= text.size() || text[after + 1] != '/'))
        text.erase(after, 1);
    }
    if (symbol == 0) {
      *diag << "FATAL: \n-----------------------------------------------------------"
            << "\npossible error in control file!\n"
            << "undefined symbol at line " << lineNumber << ":\n"
            << text.c_str() << "\n\n-----------------------------------------------------------\n"
            << "[end-entry]";
      throw 17;
    }
    std::erase_if(open, [at](const Region& r) { return r.end <= at; });
    for (const Region& r : open) {
      if (r.symbol == symbol)
        Fatal("FATAL: symbol " + word + " at " + where +
                  " refers to itself (directly or through other symbols), its substitution would not end:\n" + text,
              17);
    }
    const std::string& value = symbolValues[symbol];
    for (Region& r : open) {
      const size_t shifted = r.end + value.size() >= word.size() ? r.end + value.size() - word.size() : 0;
      r.end = std::max(shifted, at + value.size());
    }
    open.push_back(Region{symbol, at + value.size()});
    text.replace(at, word.size(), value);
    if (text.size() > kMaxGrowth || ++substitutions > kMaxSubstitutions)
      Fatal("FATAL: symbol substitution at " + where + " does not end: the text grows past " +
                std::to_string(kMaxGrowth) + " characters or " + std::to_string(kMaxSubstitutions) + " substitutions",
            17);
  }
  RemoveJoins(text);
  return text;
}

void SymbolPreprocessor::CollectSymbols(ControlFile& in) {
  std::string line;
  int lineNumber = 0;
  std::vector<int> definedAt(1, 0);  // line of each symbol's definition
  while (in.GetLine(line)) {
    ++lineNumber;
    if (!line.empty() && line[0] == '#') continue;
    if (line.find("$set") == std::string::npos) continue;
    std::string words[4];
    FirstWords(line, words, 4);
    // "$set" elsewhere than as the first word (a commented-out definition, a
    // reference such as $settings) defines nothing.
    if (words[0] != "$set") continue;
    const std::string& name = words[1];
    const std::string where = "line " + std::to_string(lineNumber) + " of the control file " + fileName;
    if (name.size() > kMaxSymbolText)
      Fatal("FATAL: error in control file, the symbol name at " + where + " is longer than " +
                std::to_string(kMaxSymbolText) + " characters",
            17);
    if (words[2].size() > kMaxSeparator)
      Fatal("FATAL: error in control file, the separator word of symbol " + name + " at " + where + " is longer than " +
                std::to_string(kMaxSeparator) + " characters",
            17);
    if (words[3].size() > kMaxSymbolText)
      Fatal("FATAL: error in control file, the value of symbol " + name + " at " + where + " is longer than " +
                std::to_string(kMaxSymbolText) + " characters",
            17);
    if (count == kMaxSymbols)
      Fatal("FATAL: error in control file, more than " + std::to_string(kMaxSymbols) + " symbols: " + name + " at " +
                where + " finds no free place",
            17);
    // Every reference takes the first symbol of a name: a later definition is dead.
    for (int i = 1; i <= count; ++i)
      if (names[i] == name)
        *diag << ("WARNING: the symbol " + name + " is defined twice in the control file " + fileName + ", at line " +
                  std::to_string(definedAt[i]) + " and at line " + std::to_string(lineNumber) +
                  "; the definition at line " + std::to_string(definedAt[i]) + " is used")
                     .c_str()
              << "[end-entry]";
    // The value sees the symbols defined before and the new entry itself.
    const int entry = count + 1;
    definedAt.resize(static_cast<size_t>(entry) + 1, 0);
    definedAt[entry] = lineNumber;
    names[entry] = name;
    values[entry] = words[3];
    std::string value = words[3];
    ReplaceSymbols(value, lineNumber, names, values, entry);
    if (value.size() > kMaxSymbolText)
      Fatal("FATAL: error in control file, the value of symbol " + name + " at " + where + " is longer than " +
                std::to_string(kMaxSymbolText) + " characters after substitution",
            17);
    values[entry] = value;
    count = entry;
    if (count > 1 && !IsPlainNumber(value) && !HasInfOrNan(value)) {
      for (int i = 1; i < count; ++i) {
        if (values[i] != value) continue;
        *diag << "INFO: \n------------------------ WARNING --------------------------"
              << "\npossible error in control file!\n"
              << "content of symbol " << names[i].c_str() << " is the same as symbol " << name.c_str()
              << ", \n (which is: " << value.c_str() << ").\n"
              << "this may lead to collusions!" << kRule << "[end-entry]";
      }
    }
  }
}

void SymbolPreprocessor::WriteLines(ControlFile& in, std::FILE* out, const std::string& outputName) {
  std::string piece;
  int lineNumber = 0;
  sourceLines.assign(1, 0);
  std::map<std::string, int> sectionAt;  // line of each section header's first occurrence
  while (in.GetLine(piece)) {
    ++lineNumber;
    // The blank in front lets a "#" in the first column cut the whole line.
    std::string text = " " + piece;
    ReplaceSymbols(text, lineNumber, names, values, count);
    // Definitions that begin in the first column are not copied.
    if (text.size() > 1 && text[1] == '$') continue;
    size_t length = text.size() - 1;
    if (length > 0 && text.back() == '\n') --length;
    if (length > kMaxLineLength)
      Fatal("FATAL: error in control file, line " + std::to_string(lineNumber) + " of " + fileName +
                " is longer than " + std::to_string(kMaxLineLength) + " characters after symbol substitution",
            17);
    if (text.size() > 1 && std::fwrite(text.data() + 1, 1, text.size() - 1, out) != text.size() - 1)
      Fatal("FATAL: write error " + outputName + " ! (line " + std::to_string(lineNumber) + ")", 18);
    if (text.size() > 1) sourceLines.push_back(lineNumber);
    // Every reader finds the first section of a name: a second one is never read.
    std::string first[1];
    FirstWords(text, first, 1);
    if (first[0].size() > 2 && first[0].front() == '[' && first[0].back() == ']') {
      const auto [at, isNew] = sectionAt.emplace(first[0], lineNumber);
      if (!isNew)
        *diag << ("WARNING: the section " + first[0] + " stands twice in the control file " + fileName + ", at line " +
                  std::to_string(at->second) + " and at line " + std::to_string(lineNumber) +
                  "; only the one at line " + std::to_string(at->second) + " is read")
                     .c_str()
              << "[end-entry]";
    }
  }
}

std::string SymbolPreprocessor::CompileSymbols(const std::string& controlFileName) {
  struct Release {
    SymbolPreprocessor* self;
    ~Release() { self->FreeBuffers(); }
  } release{this};
  fileName = controlFileName;
  *diag << ("compiling symbols in control file " + controlFileName).c_str() << "[end-entry]";
  const std::string outputName = PreprocessedName(controlFileName);
  names.assign(kMaxSymbols + 1, std::string());
  values.assign(kMaxSymbols + 1, std::string());
  count = 0;

  ControlFile in;
  if (!in.Open(controlFileName, diag)) Fatal("FATAL: error opening " + controlFileName, 28);
  CollectSymbols(in);
  if (in.Failed()) Fatal("FATAL: error opening " + controlFileName + " (the file cannot be read)", 28);
  if (!in.Rewind()) Fatal("FATAL: error rewinding " + controlFileName, 28);

  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(outputName.c_str(), "w"), &std::fclose);
  if (!out) Fatal("FATAL: error opening " + outputName, 28);
  WriteLines(in, out.get(), outputName);
  if (!in.Close()) Fatal("FATAL: error closing " + controlFileName, 11);
  if (std::fclose(out.release()) != 0) Fatal("FATAL: error closing " + outputName, 11);
  ControlFile::SetOrigin(outputName, controlFileName, sourceLines);
  return outputName;
}
