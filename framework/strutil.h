// Small string operations of the control-file and table readers.
#pragma once

#include <string>
#include <vector>

// Splits text at every delimiter character and appends the tokens; runs of
// delimiters give no empty tokens. A token that starts with a double quote
// (when the quote is no delimiter) runs to its closing quote, quotes included;
// a quote after a single backslash does not close it. With keepTrailingEmpty a
// text ending in a delimiter gives one more, empty token. Returns the number of
// tokens the vector holds.
int SplitString(const std::string& text, const std::string& delimiters, std::vector<std::string>& tokens,
                bool keepTrailingEmpty);

// Offset of the first occurrence of pattern in text, 0 when there is none
// (an occurrence at offset 0 also gives 0: callers test for a result > 0).
int FindSubstring(const std::string& text, const std::string& pattern);

// Keeps the characters first ... first + n of text (fewer when the text ends
// before; at most 1199); a negative first or n leaves the text unchanged.
std::string& CutSubstring(std::string& text, int first, int n);

// The name of a per-layer grid: the base followed by the layer number.
std::string Numbered(const std::string& base, int layer);

// The file name of vegetation layer `layer` > 1: "_Layer_" and the layer
// number before the extension (after the name when it has no dot).
std::string LayerFileName(const std::string& name, int layer);

// Writes value as printf's "%.<precision>g" writes it (no terminating zero)
// and returns the end of the text; out needs room for 32 characters. The
// shortest exact conversion of the standard library, several times faster
// than printf: the result files write millions of numbers.
char* FormatGeneral(char* out, double value, int precision);
