// Reading numbers and words from one line of text that is already in memory.
#pragma once

#include <string>

class LineTokens {
 public:
  explicit LineTokens(const std::string& text, size_t start = 0) : line(text), pos(start) {}

  // The next white-space separated word; false at the end of the line.
  bool Word(std::string& word);
  // Skips the next word; false at the end of the line.
  bool Skip();
  // The next word as a whole finite number or a whole integer; false (and
  // nothing consumed) when there is no word or the word is not entirely one.
  bool Number(double& value);
  bool Integer(long& value);
  // scanf-like conversions: a number at the start of the next word, the word
  // itself need not end there. False when no number starts there.
  bool ScanDouble(double& value);
  bool ScanInt(int& value);
  // True when only white space is left.
  bool AtEnd();
  size_t Position() const { return pos; }

 private:
  void SkipSpace();
  const std::string& line;
  size_t pos;
};
