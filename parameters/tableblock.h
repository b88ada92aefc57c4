// Table blocks of the control file: a header line that names an entry, then
// items "key = value;" up to the first closing brace.
//
//   12 forest method = VariableDayCount {
//     LAI = 1 3 5 3;  Z0 = 0.1 0.2 0.3 0.2;
//   }
//
// Keys are searched in the body (from the first "{") only, so the code, name
// and method of the header are never taken for keys. A key occurrence counts
// only when it is not part of a longer identifier (letters, digits and "_"):
// "ksat" is not found inside "ksat_topmodel", "Z0" not inside "Z0_max". The
// first such occurrence wins, also when it stands in free text between items.
// The value text runs from the first "=" after the key to the first ";" after
// it (see FindValueText for the cases without "=" or ";").
#pragma once

#include <string>
#include <vector>

class ControlFile;
class DiagStream;

class TableBlock {
 public:
  explicit TableBlock(std::string blockText);

  // Appends to text (which holds the header line) the lines that follow in
  // the control file until the text contains "}". False when the file ends
  // before the closing brace.
  static bool ReadRest(ControlFile& file, std::string& text);

  const std::string& Text() const { return text; }
  const std::string& Body() const { return body; }

  // The value text of key in the body; false when the key is absent.
  bool FindValueText(const std::string& key, std::string& value) const;
  bool Has(const std::string& key) const;

  // One number: the value text (up to a closing brace) holds it and blanks
  // and line ends only. False when the key is absent. A text that is no
  // such number ("abc", "0,5", "1.5" for an int) gives 0 and is kept as
  // the block's first unreadable value (ConvertDouble takes "nan" and "inf",
  // ReadKeyValue does not).
  bool ConvertDouble(const std::string& key, double& value) const;
  bool ConvertInt(const std::string& key, int& value) const;
  bool ReadKeyValue(const std::string& key, double& value) const;
  bool ReadKeyValue(const std::string& key, int& value) const;
  // Like ReadKeyValue(double), but a text that is no finite number clears ok
  // (and is not kept as unreadable).
  bool ReadCheckedValue(const std::string& key, double& value, bool& ok) const;
  // The key and the text of the first value that was no number (empty key:
  // none); the reader of the block refuses it.
  const std::string& UnreadableKey() const { return unreadableKey; }
  const std::string& UnreadableText() const { return unreadableText; }
  // Lines of the block's text before the line of that key (0: its first line).
  int UnreadableLineOffset() const;

  // Reads n white-space separated doubles into values[1..n] and sets
  // values[0] = values[n]. Returns the number of values read (fewer than n
  // when the list is short or holds an item that is not a number; a comma
  // ends the list), or -1 when the key is absent. values[1..n] and values[0]
  // are left untouched when the list is short.
  int ReadKeyValues(const std::string& key, double* values, int n) const;

  // Day list: the value text split at tabs, blanks, ";" and ","; days[1..count]
  // are the days, days[0] = days[count] - 366. A line end is no separator.
  // Returns false when the key is absent; clears ok when a token is not an
  // integer or the list is empty.
  bool ReadDayList(const std::string& key, std::vector<int>& days, bool& ok) const;

  // Flag text: from the first "0" or "1" of the value text to its end.
  // Returns false when the key is absent; clears ok when there is no "0" or "1".
  bool ReadFlagText(const std::string& key, std::string& flags, bool& ok) const;

  // Finds the first whole-key occurrence of key in text at or after from;
  // std::string::npos when there is none.
  static size_t FindKey(const std::string& text, const std::string& key, size_t from = 0);
  // Parses an integer token that may be followed by white space only.
  static bool ParseIntToken(const std::string& token, int& value);
  static bool ParseDoubleToken(const std::string& token, double& value);

 private:
  static std::string SingleValueText(const std::string& value);
  void MarkUnreadable(const std::string& key, const std::string& value) const;

  std::string text;
  std::string body;
  mutable std::string unreadableKey;
  mutable std::string unreadableText;
};

// Finds "[name]" as the first word of a line of the control file, which then
// stands at the following line. Not found: false, or, when required, the
// control-file error "FATAL: error in control file, [name]; (EOF) not found!"
// and error code 17.
bool FindTableSection(ControlFile& file, DiagStream& diag, const std::string& header, bool required);

// Reads the count line of a table section ("%d", the rest of the line is
// skipped). A line without a number, or a negative number, is fatal, error
// code 17.
int ReadTableCount(ControlFile& file, DiagStream& diag, const std::string& header);

// "control file NAME, line N" or "lines N-M" for messages: the lines from
// firstLine to the reading position, in the user's own control file.
std::string WhereInFile(const ControlFile& file, int firstLine);

// A line that cannot begin a table entry: empty, or the header of the next
// section. A table whose count is larger than its entries meets one.
bool IsNoEntry(const std::string& line);
// Such a line for a message: "an empty line", or the line in quotes.
std::string NoEntryText(const std::string& line);
