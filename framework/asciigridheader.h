// The six-line header of an ASCII grid file as GIS tools write it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// True when the file starts with one of the header keys (any case): the
// file is an ASCII grid.
bool StartsLikeAsciiGrid(const unsigned char* bytes, size_t n);
// True when the number text word ... end is written in hexadecimal ("0x1A"),
// which strtod takes but no grid or table writes.
bool HexNumber(const char* word, const char* end);

// Reads the header lines "key value" from the stream into header[0..5]:
// ncols, nrows, x and y of the lower-left corner, cellsize, nodata value.
// Keys are taken in any order and any case; "xllcenter"/"yllcenter" give the
// centre of the lower-left cell and are moved half a cell to its corner; a
// missing nodata line means -9999. The stream is left at the first grid value.
// Returns an empty text, or what is wrong with the header.
std::string ReadAsciiGridHeader(std::FILE* stream, double header[6]);
