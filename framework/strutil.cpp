#include "framework/strutil.h"

#include <charconv>
#include <cstdio>

int SplitString(const std::string& text, const std::string& delimiters, std::vector<std::string>& tokens,
                bool keepTrailingEmpty) {
  const size_t length = text.size();
  auto isDelimiter = [&](char c) { return delimiters.find(c) != std::string::npos; };
  size_t start = text.find_first_not_of(delimiters);
  if (start == std::string::npos) {
    if (keepTrailingEmpty && length > 0) tokens.emplace_back();
    return static_cast<int>(tokens.size());
  }
  const bool quoteIsToken = !isDelimiter('"');
  while (start < length) {
    size_t end;  // one past the token
    if (quoteIsToken && text[start] == '"') {
      end = std::string::npos;
      for (size_t i = start + 1; i < length; ++i) {
        if (text[i] != '"') continue;
        const bool escaped = text[i - 1] == '\\' && !(i >= 2 && text[i - 2] == '\\');
        if (!escaped) {
          end = i + 1;
          break;
        }
      }
      if (end == std::string::npos) {
        tokens.push_back(text.substr(start));
        return static_cast<int>(tokens.size());
      }
    } else {
      end = start;
      while (end < length && !isDelimiter(text[end])) ++end;
    }
    tokens.push_back(text.substr(start, end - start));
    if (end + 1 >= length) break;
    start = text.find_first_not_of(delimiters, end + 1);
    if (start == std::string::npos) break;
  }
  if (keepTrailingEmpty && isDelimiter(text[length - 1])) tokens.emplace_back();
  return static_cast<int>(tokens.size());
}

int FindSubstring(const std::string& text, const std::string& pattern) {
  const size_t pos = text.find(pattern);
  return pos == std::string::npos ? 0 : static_cast<int>(pos);
}

std::string& CutSubstring(std::string& text, int first, int n) {
  if (first < 0 || n < 0) return text;
  const size_t from = static_cast<size_t>(first);
  if (from >= text.size()) {
    text.clear();
    return text;
  }
  size_t count = static_cast<size_t>(n) + 1;
  if (count > 1199) count = 1199;
  text = text.substr(from, count);
  return text;
}

std::string Numbered(const std::string& base, int layer) {
  return base + std::to_string(layer);
}

std::string LayerFileName(const std::string& name, int layer) {
  const size_t dot = name.rfind('.');
  char buffer[1300];
  if (dot == std::string::npos)
    std::snprintf(buffer, sizeof buffer, "%s_Layer_%d", name.c_str(), layer);
  else
    std::snprintf(buffer, sizeof buffer, "%.*s_Layer_%d%s", static_cast<int>(dot), name.c_str(), layer,
                  name.c_str() + dot);
  return buffer;
}

char* FormatGeneral(char* out, double value, int precision) {
  // 32 characters hold any double at up to 17 significant digits
  // ("-1.2345678901234567e-308" and "-nan").
  return std::to_chars(out, out + 32, value, std::chars_format::general, precision).ptr;
}
