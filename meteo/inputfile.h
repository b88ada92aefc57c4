// An input file read line by line or in binary records, with byte offsets
// that can be stored and sought again, and lines of bounded length.
#pragma once

#include <cstdio>
#include <string>

class InputFile {
 public:
  enum Result { kLine, kEnd, kTooLong };

  InputFile() = default;
  ~InputFile() { Close(); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens the file for binary reading; false when it cannot be opened.
  bool Open(const std::string& fileName);
  // False when closing failed; a closed file is fine.
  bool Close();
  bool IsOpen() const { return file != nullptr; }
  bool Seek(long position);
  // Offset of the next byte to be read.
  long Tell() const { return offset; }
  // The next line without its line end (a trailing carriage return is
  // dropped). kTooLong when it holds more than maxLength characters; the rest
  // of that line is then skipped.
  Result ReadLine(std::string& line, size_t maxLength);
  // Skips the rest of the current line, whatever its length; kEnd at the end of the file.
  Result SkipLine();
  // Reads up to count bytes; returns the number read.
  size_t ReadBytes(void* buffer, size_t count);
  // True when nothing but white space follows (reads to the end of the file).
  bool RestIsBlank();

 private:
  std::FILE* file = nullptr;
  long offset = 0;
};
