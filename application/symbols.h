// Symbol preprocessing of the control file.
//
// A line whose first word is "$set" defines a symbol: "$set $name = value"
// (the third word is a separator whose text plays no part; the value is one
// word). Every later "$name" is replaced by its value, "#" comments are cut,
// "//" joins are removed, and the result is written as "<control file>.$$$",
// the only form of the control file that the model objects read.
//
// The set-up object runs CompileSymbols on MPI rank 0 in its first set-up step;
// the other ranks take PreprocessedName and wait at that step's barrier.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

class ControlFile;
class DiagStream;

class SymbolPreprocessor {
 public:
  // Symbols 1 ... kMaxSymbols; names and values of at most kMaxSymbolText
  // characters (a value also after its own substitution); separator words of
  // at most kMaxSeparator characters; control-file lines of at most
  // kMaxLineLength characters, also after substitution.
  static constexpr int kMaxSymbols = 1999;
  static constexpr size_t kMaxSymbolText = 299;
  static constexpr size_t kMaxSeparator = 99;
  static constexpr size_t kMaxLineLength = 1200;

  explicit SymbolPreprocessor(DiagStream* diagnostics) : diag(diagnostics) {}

  // Reads the control file twice (collecting, then writing) and returns the
  // name of the preprocessed copy. Failures write one FATAL entry and throw
  // 28 (open, rewind), 11 (close), 17 (undefined or self-referring symbol,
  // too many symbols, over-long line, word or value) or 18 (write).
  std::string CompileSymbols(const std::string& controlFileName);

  // Edits one text in place and returns it: cuts a "#" comment (the character
  // before the "#" becomes the line feed), then, unless the text holds "$set",
  // replaces every "$" word by the value of the first symbol 1 ... count of
  // that name and removes every "//". lineNumber only names the line in the
  // messages.
  std::string& ReplaceSymbols(std::string& text, int lineNumber, const std::vector<std::string>& names,
                              const std::vector<std::string>& values, int count);

  // Releases the symbol table; called on every exit of CompileSymbols.
  void FreeBuffers();

  // The line of the control file that became line i of the copy (index 0 unused).
  const std::vector<int>& SourceLines() const { return sourceLines; }

  // "<control file>.$$$"
  static std::string PreprocessedName(const std::string& controlFileName);

 private:
  [[noreturn]] void Fatal(const std::string& message, int code);
  // Pass 1: the symbol table from the "$set" lines.
  void CollectSymbols(ControlFile& in);
  // Pass 2: every line substituted into the output file.
  void WriteLines(ControlFile& in, std::FILE* out, const std::string& outputName);
  std::vector<int> sourceLines;

  DiagStream* diag;
  std::string fileName;             // the control file, named in the messages
  std::vector<std::string> names;   // slot 0 unused
  std::vector<std::string> values;  // slot 0 unused
  int count = 0;
};
