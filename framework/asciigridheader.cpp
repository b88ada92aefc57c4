#include "framework/asciigridheader.h"

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
  return end != word && *end == '\0' && std::isfinite(value);
}

}  // namespace

bool StartsLikeAsciiGrid(const unsigned char* bytes, size_t n) {
  std::string start;
  for (size_t i = 0; i < n && i < 12 && !std::isspace(bytes[i]); ++i) start.push_back(static_cast<char>(bytes[i]));
  return KeyIndex(start) >= 0;
}

std::string ReadAsciiGridHeader(std::FILE* stream, double header[6]) {
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
