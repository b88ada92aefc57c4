#include "framework/gifread.h"

#include <cmath>
#include <cstdio>

namespace {

constexpr int kMaxCodes = 4096;  // 12-bit codes
constexpr double kNoValue = -9999.0;

std::string Hex(int value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

std::string InvalidBlock(int id) {
  return "invalid extension type ID \"" + Hex(id) + "\" found";
}

// Index within first ... last nearest to v (v may be far outside or NaN).
int ClampIndex(double v, int first, int last) {
  if (!(v >= first)) return first;
  if (!(v <= last)) return last;
  return static_cast<int>(v);
}

}  // namespace

GifGridReader::GifGridReader(const std::string& fileName) : filename(fileName) {}

void GifGridReader::Open() {
  if (file.is_open()) file.close();
  file.clear();
  file.open(filename, std::ios::in | std::ios::binary);
  if (!file.is_open()) throw std::string("cannot open the file");
}

int GifGridReader::NextByte() {
  const int b = file.get();
  if (b == std::char_traits<char>::eof()) throw EndOfFile{};
  return b;
}

void GifGridReader::ReadBytes(uint8_t* target, int count) {
  for (int i = 0; i < count; ++i) target[i] = static_cast<uint8_t>(NextByte());
}

void GifGridReader::ReadScreen() {
  try {
    ReadBytes(signature, 6);
    ReadBytes(screen, 7);
  } catch (const EndOfFile&) {
    throw std::string("the file ends within the GIF header");
  }
  width = screen[0] | (screen[1] << 8);
  height = screen[2] | (screen[3] << 8);
  packed = screen[4];
}

void GifGridReader::GetDimensions(int& w, int& h) {
  Open();
  ReadScreen();
  file.close();
  w = width;
  h = height;
}

void GifGridReader::SkipSubBlocks() {
  for (int size = NextByte(); size != 0; size = NextByte())
    for (int i = 0; i < size; ++i) NextByte();
}

void GifGridReader::ReadExtension() {
  const int label = NextByte();
  switch (label) {
    case 0x01: {  // plain text: a header block, then text sub-blocks
      const int size = NextByte();
      for (int i = 0; i < size; ++i) NextByte();
      SkipSubBlocks();
      break;
    }
    case 0xF9: {  // graphic control: one block and its terminator
      const int size = NextByte();
      for (int i = 0; i < size; ++i) NextByte();
      if (NextByte() != 0)
        throw "Graphics COntrol extension found, but block end not found as 0x00 after " + std::to_string(size) +
            " bytes";
      break;
    }
    case 0xFE:  // comment
    case 0xFF:  // application
      SkipSubBlocks();
      break;
    default:
      throw InvalidBlock(label);
  }
}

void GifGridReader::Read(Grid pixels) {
  Open();
  ReadScreen();
  endReached = false;
  if (width < 1 || height < 1)
    throw "the image has " + std::to_string(width) + " x " + std::to_string(height) + " pixels";
  bool decoded = false;
  try {
    if (packed & 0x80) {
      colourCount = 1 << ((packed & 0x07) + 1);
      colourTable.assign(static_cast<size_t>(colourCount) * 3, 0);
      ReadBytes(colourTable.data(), colourCount * 3);
    }
    for (;;) {
      const int block = NextByte();
      if (block == 0x3B) break;
      if (block == 0x21) {
        ReadExtension();
      } else if (block == 0x2C) {
        ReadImage(pixels);
        decoded = true;
        if (endReached) break;
      } else {
        throw InvalidBlock(block);
      }
    }
  } catch (const EndOfFile&) {
    // The end of the file ends the decoding once an image is complete
    // (ReadImage reports an image cut short itself).
    if (!decoded) throw std::string("the file ends before the image data");
  }
  if (!decoded) throw std::string("the file holds no image");
  file.close();
}

void GifGridReader::ReadImage(Grid pixels) {
  uint8_t descriptor[9];
  ReadBytes(descriptor, 9);
  // Left and top are not used: the image fills the screen.
  const int imageWidth = descriptor[4] | (descriptor[5] << 8);
  const int imageHeight = descriptor[6] | (descriptor[7] << 8);
  if (descriptor[8] & 0x80) {
    colourCount = 1 << ((descriptor[8] & 0x07) + 1);
    colourTable.assign(static_cast<size_t>(colourCount) * 3, 0);
    ReadBytes(colourTable.data(), colourCount * 3);
  }
  row = 1;
  column = 1;
  DecodeImage(pixels, static_cast<int64_t>(imageWidth) * imageHeight);
}

void GifGridReader::ResetDictionary() {
  dictionary.resize(static_cast<size_t>(clearCode) + 2);
  for (int i = 0; i < clearCode + 2; ++i)
    dictionary[i] = Entry{-1, static_cast<uint8_t>(i), static_cast<uint8_t>(i), 1};
  codeWidth = minimumCodeSize + 1;
  maxCode = (1 << codeWidth) - 1;
  firstCode = true;
}

void GifGridReader::AddEntry(int prefix, uint8_t suffix) {
  // A full dictionary takes no more entries; codes keep 12 bits.
  if (static_cast<int>(dictionary.size()) >= kMaxCodes) return;
  const Entry& p = dictionary[prefix];
  dictionary.push_back(Entry{prefix, suffix, p.first, static_cast<uint16_t>(p.length + 1)});
  if (static_cast<int>(dictionary.size()) == (1 << codeWidth) && codeWidth < 12) {
    ++codeWidth;
    maxCode = (1 << codeWidth) - 1;
  }
}

void GifGridReader::OutputString(Grid pixels, int c) {
  uint8_t bytes[kMaxCodes + 1];
  const int length = dictionary[c].length;
  for (int k = length - 1; k >= 0; --k) {
    bytes[k] = dictionary[c].suffix;
    c = dictionary[c].prefix;
  }
  for (int k = 0; k < length; ++k) {
    if (row <= height) pixels[row][column] = bytes[k] == 255 ? kNoValue : bytes[k];
    if (++column > width) {
      column = 1;
      ++row;
    }
  }
  pixelsOut += length;
}

void GifGridReader::DecodeImage(Grid pixels, int64_t expectedPixels) {
  pixelsOut = 0;
  try {
    minimumCodeSize = NextByte();
    // Root entries are bytes, so at most 8 bits; a code must stay within 12 bits.
    if (minimumCodeSize < 1 || minimumCodeSize > 8)
      throw "invalid LZW minimum code size " + std::to_string(minimumCodeSize);
    clearCode = 1 << minimumCodeSize;
    endCode = clearCode + 1;
    dictionary.reserve(kMaxCodes);
    ResetDictionary();
    bitBuffer = 0;
    bitCount = 0;
    previous = -1;
    for (int size = NextByte(); size != 0; size = NextByte()) {
      for (int i = 0; i < size; ++i) {
        bitBuffer |= static_cast<uint32_t>(NextByte()) << bitCount;
        bitCount += 8;
        while (bitCount >= codeWidth) {
          code = static_cast<int>(bitBuffer & static_cast<uint32_t>(maxCode));
          bitBuffer >>= codeWidth;
          bitCount -= codeWidth;
          const int next = static_cast<int>(dictionary.size());
          if (code == clearCode) {
            ResetDictionary();
          } else if (code == endCode) {
            // The rest of the sub-block is padding.
            for (++i; i < size; ++i) NextByte();
            bitBuffer = 0;
            bitCount = 0;
          } else if (firstCode) {
            if (code >= clearCode)
              throw "invalid LZW code " + std::to_string(code) + " at the start of the data (" +
                  std::to_string(pixelsOut) + " pixels decoded)";
            OutputString(pixels, code);
            firstCode = false;
            previous = code;
          } else if (code < next) {
            OutputString(pixels, code);
            AddEntry(previous, dictionary[code].first);
            previous = code;
          } else if (code == next) {
            AddEntry(previous, dictionary[previous].first);
            OutputString(pixels, code);
            previous = code;
          } else {
            throw "invalid LZW code " + std::to_string(code) + " (next free code " + std::to_string(next) + ", " +
                std::to_string(pixelsOut) + " pixels decoded)";
          }
        }
      }
    }
  } catch (const EndOfFile&) {
    if (pixelsOut < expectedPixels)
      throw "the file ends after " + std::to_string(pixelsOut) + " of " + std::to_string(expectedPixels) +
          " pixels of the image";
    endReached = true;  // the image is complete: the end of the file ends the decoding
    return;
  }
  if (pixelsOut < expectedPixels)
    throw "the image data end after " + std::to_string(pixelsOut) + " of " + std::to_string(expectedPixels) + " pixels";
}

void GifGridReader::Resample(Grid source, int sourceFirstRow, int sourceLastRow, int sourceFirstColumn,
                             int sourceLastColumn, Grid destination, int firstRow, int lastRow, int firstColumn,
                             int lastColumn, Grid mask, double xs, double ys, double cs, double xd, double yd,
                             double cd) {
  if (lastColumn < firstColumn) return;
  const double h = sourceLastRow;  // source rows are counted from the top
  // Source columns and weights depend on the column only.
  std::vector<int> j1(static_cast<size_t>(lastColumn) + 1), j2(static_cast<size_t>(lastColumn) + 1);
  std::vector<double> t(static_cast<size_t>(lastColumn) + 1);
  for (int c = firstColumn; c <= lastColumn; ++c) {
    const double x = xd + (c - 1) * cd;  // lower-left corner of the model cell
    const double j = std::floor((x - (xs + cs / 2)) / cs) + 1;
    j1[c] = ClampIndex(j, sourceFirstColumn, sourceLastColumn);
    j2[c] = ClampIndex(j + 1, sourceFirstColumn, sourceLastColumn);
    t[c] = (x - (xs + (j1[c] - 0.5) * cs)) / cs;
  }
  for (int r = lastRow; r >= firstRow; --r) {
    double* out = destination[r];
    if (!out) continue;
    const double* maskRow = mask ? mask[r] : nullptr;
    const double y = yd + (lastRow - r) * cd;
    const double i = h - std::floor((y - (ys + cs / 2)) / cs);
    const int i1 = ClampIndex(i, sourceFirstRow, sourceLastRow);
    const int i2 = ClampIndex(i - 1, sourceFirstRow, sourceLastRow);
    const double u = (y - (ys + (h - i1 + 0.5) * cs)) / cs;
    const double* lower = source[i1];
    const double* upper = source[i2];
    for (int c = firstColumn; c <= lastColumn; ++c) {
      if (maskRow && maskRow[c] <= kNoValue) {
        out[c] = maskRow[c];
        continue;
      }
      const double a = lower[j1[c]], b = lower[j2[c]], p = upper[j1[c]], q = upper[j2[c]];
      if (a <= kNoValue || b <= kNoValue || p <= kNoValue || q <= kNoValue) {
        out[c] = kNoValue;
        continue;
      }
      const double tc = t[c];
      out[c] = a * (1 - tc) * (1 - u) + b * tc * (1 - u) + p * (1 - tc) * u + q * tc * u;
    }
  }
}

void GifGridReader::Map(Grid grid, int firstRow, int lastRow, int firstColumn, int lastColumn, int threshold, double f1,
                        double x1, double f2, double x2) {
  for (int r = firstRow; r <= lastRow; ++r) {
    double* values = grid[r];
    if (!values) continue;
    for (int c = firstColumn; c <= lastColumn; ++c) {
      const double v = values[c];
      if (!(v > kNoValue) || v == 0) continue;
      if (v <= threshold)
        values[c] = f1 * std::exp(x1 * v);
      else if (v <= 250)
        values[c] = f2 * std::exp(x2 * v);
      else
        values[c] = kNoValue;
    }
  }
}
