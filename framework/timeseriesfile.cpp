#include "framework/timeseriesfile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "framework/diagstream.h"

namespace {

bool IsSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
bool IsDigit(int c) {
  return c >= '0' && c <= '9';
}

// A whole word of the form [+-]digits whose value fits an int.
bool ParseInteger(const std::string& word, int64_t& value) {
  size_t i = (!word.empty() && (word[0] == '+' || word[0] == '-')) ? 1 : 0;
  if (i == word.size()) return false;
  for (size_t k = i; k < word.size(); ++k)
    if (!IsDigit(static_cast<unsigned char>(word[k]))) return false;
  errno = 0;
  const long long v = std::strtoll(word.c_str(), nullptr, 10);
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  value = v;
  return true;
}

// A whole word that is a finite decimal number: [+-](digits[.digits]|.digits)[(e|E)[+-]digits].
bool ParseNumber(const std::string& word, double& value) {
  const size_t n = word.size();
  size_t i = 0;
  if (i < n && (word[i] == '+' || word[i] == '-')) ++i;
  size_t digits = 0;
  while (i < n && IsDigit(static_cast<unsigned char>(word[i]))) ++i, ++digits;
  if (i < n && word[i] == '.') {
    ++i;
    while (i < n && IsDigit(static_cast<unsigned char>(word[i]))) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (word[i] == 'e' || word[i] == 'E')) {
    ++i;
    if (i < n && (word[i] == '+' || word[i] == '-')) ++i;
    size_t exponent = 0;
    while (i < n && IsDigit(static_cast<unsigned char>(word[i]))) ++i, ++exponent;
    if (exponent == 0) return false;
  }
  if (i != n) return false;
  const double v = std::strtod(word.c_str(), nullptr);
  if (!std::isfinite(v)) return false;
  value = v;
  return true;
}

}  // namespace

// Byte-wise reading that keeps the file offset and the line number.
class timeseriesfile::Input {
 public:
  Input(std::FILE* file, int64_t offset, int64_t lineNumber) : f(file), pos(offset), line(lineNumber) {}
  int Get() {
    const int c = std::getc(f);
    if (c != EOF) {
      ++pos;
      if (c == '\n') ++line;
    }
    return c;
  }
  void Unget(int c) {
    if (c == EOF) return;
    std::ungetc(c, f);
    --pos;
    if (c == '\n') --line;
  }
  // False at the end of the file.
  bool SkipSpace() {
    int c;
    while ((c = Get()) != EOF && IsSpace(c)) {
    }
    Unget(c);
    return c != EOF;
  }
  // The next word of at most kMaxWord characters; false at the end of the file
  // or when the word is longer.
  bool Word(std::string& word) {
    word.clear();
    if (!SkipSpace()) return false;
    int c;
    while ((c = Get()) != EOF && !IsSpace(c)) {
      if (word.size() == kMaxWord) return false;
      word.push_back(static_cast<char>(c));
    }
    Unget(c);
    return true;
  }
  void SkipLine() {
    int c;
    while ((c = Get()) != EOF && c != '\n') {
    }
  }

  std::FILE* f;
  int64_t pos;
  int64_t line;
};

timeseriesfile::timeseriesfile(const std::string& name, int flagValue, int64_t budgetBytes, DiagStream* diagnostics)
    : diag(diagnostics) {
  Open(name, flagValue, budgetBytes);
}

timeseriesfile::~timeseriesfile() {
  Clear();
}

void timeseriesfile::Fail(int code, const std::string& why) {
  state = kFormatError;
  errorText = why;
  if (diag) *diag << ("FATAL: error reading time series file " + fileName + ": " + why).c_str() << "[end-entry]";
  throw code;
}

int timeseriesfile::Open(const std::string& name, int flagValue, int64_t budgetBytes) {
  if (state != kNotOpened) return 0;
  fileName = name;
  flag = flagValue;
  budget = budgetBytes;
  std::FILE* f = std::fopen(fileName.c_str(), "rb");
  if (!f) {
    state = kCannotOpen;
    errorText = "the file cannot be opened";
    return kCannotOpen;
  }
  Input in(f, 0, 1);

  // Header: every line up to the first that begins with a digit.
  int skipped = 0;
  int c = in.Get();
  while (c != EOF && !IsDigit(c)) {
    while (c != EOF && c != '\n') c = in.Get();
    if (c == EOF) break;
    ++skipped;
    c = in.Get();
  }
  if (c == EOF || std::ferror(f)) {
    std::fclose(f);
    state = kFormatError;
    errorText = "no line begins with a digit (no data)";
    return kFormatError;
  }
  in.Unget(c);
  const long start = std::ftell(f);
  if (start < 0) {
    std::fclose(f);
    Fail(202, "the start of the data (line " + std::to_string(in.line) + ") cannot be located");
  }
  dataStart = start;
  const int64_t firstLine = in.line;

  // The first data line fixes the number of value columns.
  std::string text;
  while ((c = in.Get()) != EOF && c != '\n') {
    if (text.size() == kMaxFirstLine) {
      std::fclose(f);
      Fail(201, "the first data line (line " + std::to_string(firstLine) + ") is longer than " +
                    std::to_string(kMaxFirstLine) + " characters");
    }
    text.push_back(static_cast<char>(c));
  }
  std::vector<std::string> words;
  for (size_t i = 0; i < text.size();) {
    while (i < text.size() && IsSpace(static_cast<unsigned char>(text[i]))) ++i;
    size_t e = i;
    while (e < text.size() && !IsSpace(static_cast<unsigned char>(text[e]))) ++e;
    if (e > i) words.push_back(text.substr(i, e - i));
    i = e;
  }
  int64_t date = 0;
  for (size_t k = 0; k < 4; ++k) {
    if (k >= words.size() || words[k].size() > kMaxWord || !ParseInteger(words[k], date)) {
      std::fclose(f);
      Fail(201, "the first data line (line " + std::to_string(firstLine) +
                    ") does not begin with four integers (year, month, day, hour)");
    }
  }
  double number = 0;
  columns = 0;
  for (size_t k = 4; k < words.size() && words[k].size() <= kMaxWord && ParseNumber(words[k], number); ++k) ++columns;

  if (std::fseek(f, 0, SEEK_END) != 0 || (fileSize = std::ftell(f)) < 0) {
    std::fclose(f);
    Fail(202, "the end of the file cannot be located");
  }
  std::fclose(f);

  // At least one record per block, however small the budget: a block of no
  // records would never move the reading position.
  blockSize = std::max<int64_t>(1, budget / (columns * 8 + 16));
  dates.assign(static_cast<size_t>(blockSize + 1), RecordDate{0, 0, 0, 0});
  values.assign(static_cast<size_t>(blockSize * columns), 0.0);
  nextOffset = dataStart;
  nextLine = firstLine;
  state = kMoreBlocks;
  ReadBlock();
  return skipped;
}

void timeseriesfile::ReadBlock() {
  count = 0;
  cursor = 0;
  std::FILE* f = std::fopen(fileName.c_str(), "rb");
  if (!f) {
    state = kCannotOpen;
    errorText = "the file cannot be opened again at line " + std::to_string(nextLine);
    return;
  }
  if (std::fseek(f, nextOffset, SEEK_SET) != 0) {
    std::fclose(f);
    state = kFormatError;
    errorText = "the file cannot be positioned at line " + std::to_string(nextLine);
    return;
  }
  Input in(f, nextOffset, nextLine);
  std::string word;
  for (;;) {
    if (count == blockSize) {
      state = kMoreBlocks;
      break;
    }
    // At most 9 bytes left, or only white space: the data have ended.
    if (fileSize - in.pos <= 9 || !in.SkipSpace()) {
      state = kDataEnded;
      break;
    }
    const int64_t recordStart = in.pos;
    int64_t date[4];
    bool ok = true;
    for (int k = 0; k < 4 && ok; ++k) ok = in.Word(word) && ParseInteger(word, date[k]);
    double* v = values.data() + count * columns;
    for (int64_t k = 0; k < columns && ok; ++k) ok = in.Word(word) && ParseNumber(word, v[k]);
    if (!ok) {
      state = kFormatError;
      errorText = "line " + std::to_string(in.line) + ": " +
                  (word.empty() ? std::string("the file ends") : "\"" + word + "\" stands") +
                  " where a number of a record (4 + " + std::to_string(columns) + " numbers) is expected";
      count = 0;
      std::fclose(f);
      return;
    }
    dates[count] = RecordDate{date[0], date[1], date[2], date[3]};
    // What follows the values on the first data line is a comment.
    if (recordStart == dataStart) in.SkipLine();
    ++count;
  }
  const bool readError = std::ferror(f) != 0;
  std::fclose(f);
  if (readError) {
    state = kFormatError;
    errorText = "read error near line " + std::to_string(in.line);
    count = 0;
    return;
  }
  nextOffset = in.pos;
  nextLine = in.line;
  // A block without records (the data ended at a block boundary) leaves no
  // record under the cursor: the series is over.
  if (count == 0 && state == kDataEnded) state = kPastEnd;
}

void timeseriesfile::Clear() {
  std::vector<RecordDate>().swap(dates);
  std::vector<double>().swap(values);
  count = 0;
  cursor = 0;
  // Without its buffers the reader can take no further block: the series is over.
  if (state == kMoreBlocks || state == kDataEnded) state = kPastEnd;
}

void timeseriesfile::Refill() {
  if (state == kMoreBlocks) ReadBlock();
}

void timeseriesfile::Next() {
  if (state != kMoreBlocks && state != kDataEnded) return;
  if (cursor < count - 1) {
    ++cursor;
  } else if (state == kMoreBlocks) {
    ReadBlock();
  } else {
    state = kPastEnd;
  }
}

void timeseriesfile::Seek(int64_t index) {
  if (index >= -1 && index <= count) cursor = index;
}

void timeseriesfile::SeekRelative(int64_t offset) {
  Seek(cursor + offset);
}

void timeseriesfile::GetDate(int& year, int& month, int& day, int& hour) const {
  if (!OnRecord()) {
    year = month = day = hour = -9999;
    return;
  }
  const RecordDate& d = dates[cursor];
  year = static_cast<int>(d.year);
  month = static_cast<int>(d.month);
  day = static_cast<int>(d.day);
  hour = static_cast<int>(d.hour);
}

double timeseriesfile::GetValue(int i) const {
  if (i < 0 || i >= columns || !OnRecord()) return -9999.0;
  return values[cursor * columns + i];
}
