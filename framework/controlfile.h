// Bounded reader of the (preprocessed) control file.
//
// The file is read line by line; a line may hold at most kMaxLine characters
// besides its line end, and a word at most kMaxLine characters. A longer line
// is a fatal error 17 that names the file, the line number and the section
// being read, never a silent split or an overflow.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

class DiagStream;

// Destination of one conversion of ControlFile::Scan.
struct ScanTarget {
  enum Kind { Int, Long, Double, Float, String, Char };
  ScanTarget(int* p) : kind(Int), target(p) {}
  ScanTarget(long* p) : kind(Long), target(p) {}
  ScanTarget(double* p) : kind(Double), target(p) {}
  ScanTarget(float* p) : kind(Float), target(p) {}
  ScanTarget(std::string* p) : kind(String), target(p) {}
  ScanTarget(char* p) : kind(Char), target(p) {}
  Kind kind;
  void* target;
};

class ControlFile {
 public:
  static constexpr size_t kMaxLine = 1200;

  ControlFile() = default;
  ~ControlFile();
  ControlFile(const ControlFile&) = delete;
  ControlFile& operator=(const ControlFile&) = delete;

  // Opens the file for reading; false when it cannot be opened. diag receives
  // the report of an over-long line.
  bool Open(const std::string& fileName, DiagStream* diag);
  bool IsOpen() const { return file != nullptr; }
  // Closes the file; false when closing failed. A closed file is fine.
  bool Close();
  // Back to the start of the file; false when the file cannot be rewound.
  bool Rewind();
  const std::string& Name() const { return name; }
  // Number of the line the reading position stands in (1 = first line).
  int LineNumber() const { return lineNumber; }
  // True once a read has met the end of the file.
  bool Eof() const { return eof; }
  // True when reading the file failed (a directory, an I/O error).
  bool Failed() const { return file != nullptr && std::ferror(file) != 0; }
  // The section being read, named in the report of an over-long line.
  void SetContext(const std::string& section) { context = section; }

  // The preprocessed copy drops lines (symbol definitions, whole-line
  // comments); messages name the user's file and line instead. sourceLine[i]
  // is the line of original that became line i of copy (index 0 unused).
  static void SetOrigin(const std::string& copy, const std::string& original, const std::vector<int>& sourceLine);
  // Collective: the other MPI instances take the origin instance 0 has set.
  static void ShareOrigin(const std::string& copy);
  // "control file <name>, line <n>" for the line the reading position stands
  // in, in the user's own file when the copy's origin is known.
  std::string Where() const;
  // The same for the lines first to the reading position's ("lines <a>-<b>"
  // when they are several).
  std::string WhereLines(int first) const;
  // The same for the lines first to last of the copy (a text read earlier).
  std::string WhereBetween(int first, int last) const;
  // The user's control file (the copy's own name when its origin is unknown).
  std::string SourceName() const;
  // The user's control file of a preprocessed copy named copy.
  static std::string SourceNameOf(const std::string& copy);

  // scanf-like reading: white space in the format skips blanks, tabs and line
  // ends; %d, %ld, %lf, %f, %s and %c convert into the targets in order; other
  // characters must match. Returns the number of conversions, or -1 when the
  // end of the file came before the first conversion.
  int Scan(const char* format, std::initializer_list<ScanTarget> targets);
  // The rest of the current line without its line end (which is consumed).
  void RestOfLine(std::string& rest);
  // The next line piece up to and including its line end, as fgets gives it;
  // false at the end of the file.
  bool GetLine(std::string& line);
  // The next white-space separated word of at most maxLength characters
  // (longer ones are cut); empty at the end of the file.
  std::string NextWord(size_t maxLength = 1000);

 private:
  bool FetchLine();       // reads the next line into `line`
  bool SkipWhiteSpace();  // false at the end of the file
  [[noreturn]] void LineTooLong();
  // A number followed by more than a blank, a line end or a comment: error 17
  // naming the file, the line and the text.
  [[noreturn]] void Unreadable(const char* start);

  std::FILE* file = nullptr;
  DiagStream* diag = nullptr;
  std::string name;
  std::string context;
  std::string line;  // current line with its line end, if it has one
  size_t pos = 0;    // reading position in `line`
  int lineNumber = 0;
  bool eof = false;
};
