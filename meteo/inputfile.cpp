#include "meteo/inputfile.h"

bool InputFile::Open(const std::string& fileName) {
  Close();
  file = std::fopen(fileName.c_str(), "rb");
  offset = 0;
  return file != nullptr;
}

bool InputFile::Close() {
  if (!file) return true;
  const int result = std::fclose(file);
  file = nullptr;
  return result == 0;
}

bool InputFile::Seek(long position) {
  if (!file || std::fseek(file, position, SEEK_SET) != 0) return false;
  offset = position;
  return true;
}

InputFile::Result InputFile::ReadLine(std::string& line, size_t maxLength) {
  line.clear();
  if (!file) return kEnd;
  bool any = false;
  bool tooLong = false;
  int c;
  while ((c = getc_unlocked(file)) != EOF) {
    ++offset;
    any = true;
    if (c == '\n') break;
    if (line.size() >= maxLength) {
      tooLong = true;
      continue;
    }
    line.push_back(static_cast<char>(c));
  }
  if (!any) return kEnd;
  if (tooLong) return kTooLong;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return kLine;
}

InputFile::Result InputFile::SkipLine() {
  if (!file) return kEnd;
  bool any = false;
  int c;
  while ((c = getc_unlocked(file)) != EOF) {
    ++offset;
    any = true;
    if (c == '\n') break;
  }
  return any ? kLine : kEnd;
}

size_t InputFile::ReadBytes(void* buffer, size_t count) {
  if (!file) return 0;
  const size_t n = std::fread(buffer, 1, count, file);
  offset += static_cast<long>(n);
  return n;
}

bool InputFile::RestIsBlank() {
  if (!file) return true;
  int c;
  while ((c = getc_unlocked(file)) != EOF) {
    ++offset;
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f') return false;
  }
  return true;
}
