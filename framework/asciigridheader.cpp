#include "framework/asciigridheader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace {

const char* const kKeys[] = {"ncols",    "nrows",        "xllcorner", "yllcorner",
                             "cellsize", "nodata_value", "xllcenter", "yllcenter"};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

int KeyIndex(const std::string& word) {
  const std::string key = Lower(word);
  for (int i = 0; i < 8; ++i)
    if (key == kKeys[i]) return i;
  return -1;
}

// A number that is the whole word and finite.
bool WholeNumber(const char* word, double& value) {
  char* end = nullptr;
  value = std::strtod(word, &end);
  return end != word && *end == '\0' && std::isfinite(value) && !HexNumber(word, end);
}

// The UTF-8 byte-order mark that some editors write before the text.
constexpr unsigned char kByteOrderMark[3] = {0xEF, 0xBB, 0xBF};

}  // namespace

bool HexNumber(const char* word, const char* end) {
  for (const char* p = word; p < end; ++p)
    if (*p == 'x' || *p == 'X') return true;
  return false;
}

bool StartsLikeAsciiGrid(const unsigned char* bytes, size_t n) {
  size_t i = n >= 3 && std::equal(kByteOrderMark, kByteOrderMark + 3, bytes) ? 3 : 0;
  std::string start;
  for (const size_t first = i; i < n && i < first + 12 && !std::isspace(bytes[i]); ++i)
    start.push_back(static_cast<char>(bytes[i]));
  return KeyIndex(start) >= 0;
}

std::string ReadAsciiGridHeader(std::FILE* stream, double header[6]) {
  // A byte-order mark before the first key is no part of it.
  unsigned char mark[3] = {};
  const long start = std::ftell(stream);
  if (std::fread(mark, 1, 3, stream) != 3 || !std::equal(kByteOrderMark, kByteOrderMark + 3, mark))
    std::fseek(stream, start, SEEK_SET);
  bool seen[8] = {};
  double value[8] = {};
  for (int line = 1; line <= 6; ++line) {
    const long position = std::ftell(stream);
    char word[102];
    if (std::fscanf(stream, "%101s", word) != 1) return "the header ends after " + std::to_string(line - 1) + " lines";
    const int key = KeyIndex(word);
    if (key < 0) {
      // The nodata line may be left out; its place then holds the first value.
      if (line == 6 && !seen[5]) {
        std::fseek(stream, position, SEEK_SET);
        value[5] = -9999;
        seen[5] = true;
        break;
      }
      return "header line " + std::to_string(line) + " starts with \"" + std::string(word, 0, 100) +
             "\", which is no key (ncols, nrows, xllcorner or xllcenter, yllcorner or yllcenter, cellsize, "
             "nodata_value)";
    }
    const int slot = key >= 6 ? key - 4 : key;  // a centre fills the corner's slot
    if (seen[slot]) return "the key " + std::string(word) + " stands twice in the header";
    char number[102] = "";
    if (std::fscanf(stream, "%101s", number) != 1 || !WholeNumber(number, value[key]))
      return "the value of " + std::string(word) + " on header line " + std::to_string(line) + " is no number (\"" +
             std::string(number, 0, 100) + "\")";
    if (key >= 6) value[slot] = value[key];
    seen[slot] = true;
    seen[key] = true;
  }
  for (int i = 0; i < 5; ++i)
    if (!seen[i]) return std::string("the header has no ") + kKeys[i] + " line";
  for (int i = 0; i < 2; ++i)
    if (value[i] != std::floor(value[i]))
      return std::string("the value of ") + kKeys[i] + " is no whole number (" + std::to_string(value[i]) + ")";
  // A centre lies half a cell from the lower-left corner.
  if (seen[6]) value[2] = value[6] - value[4] / 2;
  if (seen[7]) value[3] = value[7] - value[4] / 2;
  for (int i = 0; i < 6; ++i) header[i] = value[i];
  return std::string();
}
