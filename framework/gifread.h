// Decoder of GIF images (GIF87a and GIF89a) that carry gridded observations as
// 8-bit pixel values, and the two steps that turn a decoded image into model
// values: bilinear resampling onto the model grid and the exponential mapping
// of pixel values to physical values.
//
// Format errors are thrown as a std::string; the grid reader reports them with
// error code 22. These are the only non-int exceptions of the model.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "framework/memory_handling.h"

class GifGridReader {
 public:
  // Largest image (width x height) that is decoded: 2^26 pixels, 512 MB as
  // doubles; a larger screen is taken as a damaged file, not as data.
  static constexpr int64_t kMaxPixels = int64_t{1} << 26;

  explicit GifGridReader(const std::string& fileName);
  GifGridReader(const GifGridReader&) = delete;
  GifGridReader& operator=(const GifGridReader&) = delete;

  // Screen size from the logical screen descriptor; the file is closed again.
  void GetDimensions(int& width, int& height);
  // Decodes every image of the file into pixels, which holds rows 1 ... height
  // and columns 1 ... width of the screen (row 1 is the top of the image).
  // Colour index 255 is stored as -9999.
  void Read(Grid pixels);

  // Bilinear resampling of source rows sourceFirstRow ... sourceLastRow (row 1
  // at the top, lower-left corner (sourceX, sourceY), cell size sourceCellSize)
  // onto destination rows firstRow ... lastRow (lastRow is the bottom row of the
  // raster, lower-left corner (destX, destY), cell size destCellSize). Cells
  // outside the image take the nearest image cells; a destination cell whose
  // mask value is not above -9999 takes the mask value. sourceCellSize must be
  // positive.
  static void Resample(Grid source, int sourceFirstRow, int sourceLastRow, int sourceFirstColumn, int sourceLastColumn,
                       Grid destination, int firstRow, int lastRow, int firstColumn, int lastColumn, Grid mask,
                       double sourceX, double sourceY, double sourceCellSize, double destX, double destY,
                       double destCellSize);
  // Pixel values to physical values: 0 stays 0, up to threshold f1 * exp(x1 * v),
  // up to 250 f2 * exp(x2 * v), above 250 -9999; cells not above -9999 stay.
  static void Map(Grid grid, int firstRow, int lastRow, int firstColumn, int lastColumn, int threshold, double f1,
                  double x1, double f2, double x2);

 private:
  struct EndOfFile {};  // internal: the file ended where more bytes were expected
  struct Entry {
    int32_t prefix;  // -1 for a root entry
    uint8_t suffix;
    uint8_t first;    // first byte of the entry's string
    uint16_t length;  // bytes in the entry's string
  };

  void Open();
  int NextByte();
  void ReadBytes(uint8_t* target, int count);
  void ReadScreen();
  void SkipSubBlocks();
  void ReadExtension();
  void ReadImage(Grid pixels);
  void DecodeImage(Grid pixels, int64_t expectedPixels);
  void ResetDictionary();
  void AddEntry(int prefix, uint8_t suffix);
  void OutputString(Grid pixels, int code);

  std::string filename;
  std::ifstream file;
  uint8_t signature[6] = {};
  uint8_t screen[7] = {};
  int32_t width = 0;
  int32_t height = 0;
  uint8_t packed = 0;
  std::vector<uint8_t> colourTable;  // 3 bytes per entry; kept, the values do not use it
  int colourCount = 0;

  // LZW state.
  std::vector<Entry> dictionary;
  int minimumCodeSize = 0;
  int codeWidth = 0;
  int maxCode = 0;  // largest code of the current width
  uint32_t bitBuffer = 0;
  int bitCount = 0;
  int code = 0;
  int previous = -1;
  int clearCode = 0;
  int endCode = 0;
  bool firstCode = true;
  int64_t pixelsOut = 0;
  bool endReached = false;  // the file ended after a complete image

  // Output position in the pixel matrix.
  int row = 1;
  int column = 1;
};
