#include "framework/gifread.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tests/framework/gifencoder.h"
#include "tests/framework/gridtestobject.h"

using fluvextest::WriteFile;
using giftest::Gif;
using giftest::Lzw;

namespace {

// Decodes a GIF file into a width x height pixel matrix (rows from the top).
std::vector<double> Decode(const std::string& path, int& width, int& height) {
  GifGridReader reader(path);
  reader.GetDimensions(width, height);
  memory_handling memory;
  Grid pixels = memory.matrix(1, height, 1, width, 0);
  std::vector<double> out;
  try {
    reader.Read(pixels);
  } catch (...) {
    memory.FreeMatrix(pixels, 1, height, 1, width);
    throw;
  }
  for (int r = 1; r <= height; ++r)
    for (int c = 1; c <= width; ++c) out.push_back(pixels[r][c]);
  memory.FreeMatrix(pixels, 1, height, 1, width);
  return out;
}

std::vector<double> AsPixels(const std::vector<uint8_t>& bytes) {
  std::vector<double> v;
  for (uint8_t b : bytes) v.push_back(b == 255 ? -9999 : b);
  return v;
}

}  // namespace

TEST(GifRead, SmallImagesOfBothVersionsDecode) {
  fluvextest::TempDir dir(TestDirName("gif_small"));
  int w = 0, h = 0;
  // Two bits per pixel: clear code 4, end code 5.
  const std::vector<uint8_t> four = {0, 1, 2, 3, 3, 1};
  WriteFile(dir / "a.gif", Gif("GIF87a", 3, 2, 2, Lzw(four, 2)));
  EXPECT_EQ(Decode(dir / "a.gif", w, h), AsPixels(four));
  EXPECT_EQ(w, 3);
  EXPECT_EQ(h, 2);
  // Hand-coded: clear 4, 1, 6 (the code being defined), 2, end 5; the end code
  // is read with four bits after entry 7 filled the three-bit codes.
  WriteFile(dir / "hand.gif", Gif("GIF87a", 2, 2, 2, {0x8C, 0x55}));
  EXPECT_EQ(Decode(dir / "hand.gif", w, h), (std::vector<double>{1, 1, 1, 2}));
  // A published 3 x 5 example with eight-bit codes (clear 256, end 257): index
  // 0x28 on the diagonal of the first two rows, 255 (no data) elsewhere.
  WriteFile(dir / "sample.gif",
            Gif("GIF89a", 3, 5, 8, {0x00, 0x51, 0xFC, 0x1B, 0x28, 0x70, 0xA0, 0xC1, 0x83, 0x01, 0x01}));
  std::vector<double> sample(15, -9999);
  sample[0] = sample[4] = 40;
  EXPECT_EQ(Decode(dir / "sample.gif", w, h), sample);
  // Every extension kind before the image is passed over.
  const std::string extensions = std::string("!\xF9\x04\x01\x00\x00\x00\x00", 8) +
                                 std::string(
                                     "!\xFE\x03"
                                     "abc\x00",
                                     7) +
                                 std::string("!\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00", 19) +
                                 std::string("!\x01\x0C", 3) + std::string(12, 'p') + std::string("\x02hi\x00", 4);
  const std::vector<uint8_t> bytes = {7, 255, 0, 254, 128, 128, 128, 128, 9, 255, 255, 1};
  WriteFile(dir / "b.gif", Gif("GIF89a", 4, 3, 8, Lzw(bytes, 8), extensions));
  EXPECT_EQ(Decode(dir / "b.gif", w, h), AsPixels(bytes));
}

TEST(GifRead, FullDictionaryKeepsTwelveBitCodes) {
  fluvextest::TempDir dir(TestDirName("gif_full"));
  std::mt19937 random(4096);
  for (const int m : {8, 2}) {
    SCOPED_TRACE(m);
    std::vector<uint8_t> pixels(60000);
    // Few distinct values for m = 2 so that strings grow long.
    for (uint8_t& p : pixels) p = static_cast<uint8_t>(random() % (m == 8 ? 200 : 4));
    for (const bool clearWhenFull : {false, true}) {
      int largest = 0;
      const std::vector<uint8_t> codes = Lzw(pixels, m, clearWhenFull, &largest);
      ASSERT_EQ(largest, 4096);
      WriteFile(dir / "full.gif", Gif("GIF89a", 300, 200, m, codes));
      int w = 0, h = 0;
      EXPECT_EQ(Decode(dir / "full.gif", w, h), AsPixels(pixels));
    }
  }
}

TEST(GifRead, DamagedImagesAreFatalWithTheReason) {
  if (fluvextest::MpiRank() != 0) GTEST_SKIP() << "single-instance reader";
  GridTestBench b("gif_damaged");
  GridTestObject& o = b.object;
  o.SetGeometry(2, 2, 0, 0, 50, -9999);
  o.SetGifGeometry(0, 0, 50, nullptr);
  const std::string valid = Gif("GIF89a", 2, 2, 8, Lzw({1, 2, 3, 4}, 8));
  const std::string head = valid.substr(0, 13 + 768);  // signature, screen and colour table
  struct Case {
    std::string file;
    std::string reason;
  };
  const Case cases[] = {
      // clear 4, 1, then 7 while 6 is the next free code
      {Gif("GIF89a", 2, 2, 2, {0xCC, 0x01}), "invalid LZW code 7 (next free code 6, 1 pixels decoded)"},
      {Gif("GIF89a", 2, 2, 2, Lzw({1, 2}, 2)), "the image data end after 2 of 4 pixels"},
      {valid.substr(0, valid.size() - 4), "the file ends after 3 of 4 pixels of the image"},
      {head.substr(0, 10), "the file ends within the GIF header"},
      {head + std::string("!\x99", 2), "invalid extension type ID \"0x99\" found"},
      {head + std::string("\x05", 1), "invalid extension type ID \"0x5\" found"},
      {head + std::string("!\xF9\x04\x01\x00\x00\x00\x07", 8),
       "Graphics COntrol extension found, but block end not found as 0x00 after 4 bytes"},
      {head + ";", "the file holds no image"},
      {head + std::string(",\0\0\0\0\x02\0\x02\0\0\x0C\x01\x00\x00;", 15), "invalid LZW minimum code size 12"},
  };
  int i = 0;
  for (const Case& k : cases) {
    const std::string name = "d" + std::to_string(i++) + ".gif";
    WriteFile(b.dir / name, k.file);
    Grid g = nullptr;
    EXPECT_EQ(CodeOf([&] { o.ReadGrid(name, &g, 0, true, false, false, true, true, false, 0); }), 22) << k.reason;
    EXPECT_NE(b.Console().find("error reading GIF " + (b.dir / name) + " (" + k.reason + ")"), std::string::npos)
        << b.Console();
  }
  o.SetGifGeometry(0, 0, 0, nullptr);
  WriteFile(b.dir / "ok.gif", valid);
  Grid g = nullptr;
  EXPECT_EQ(CodeOf([&] { o.ReadGrid("ok.gif", &g, 0, true, false, false, true, true, false, 0); }), 22);
  EXPECT_NE(b.Console().find("error reading GIF " + (b.dir / "ok.gif") + " (the image cell size 0 is not"),
            std::string::npos);
}

// Image of 3 x 2 cells of 100 m from (0, 0); model of 4 x 3 cells of 50 m from
// (0, 0). Values at the lower-left corner of each model cell, by hand:
// (row 3, col 1) lies outside the image centres and takes image cell (2, 1);
// (2, 3) halfway between (2, 1) and (2, 2); (1, 3) the mean of the four upper
// left cells; (3, 4) on the centre column 2 below the last centre row;
// (1, 4) touches image cell (1, 3), which holds no data.
TEST(GifRead, ImagesAreResampledAndMappedOntoTheModelGrid) {
  if (fluvextest::MpiRank() != 0) GTEST_SKIP() << "single-instance reader";
  GridTestBench b("gif_resample");
  GridTestObject& o = b.object;
  o.SetGeometry(4, 3, 0, 0, 50, -9999);
  WriteFile(b.dir / "r.gif", Gif("GIF87a", 3, 2, 8, Lzw({10, 20, 255, 40, 50, 60}, 8)));
  o.GifThreshold = 40;
  o.GifF1 = 2;
  o.GifX1 = 0.01;
  o.GifF2 = 3;
  o.GifX2 = 0.02;
  Grid mask = o.matrix(1, 3, 1, 4, 3);
  mask[2][2] = -12345;
  for (Grid m : {Grid{nullptr}, mask}) {
    o.SetGifGeometry(0, 0, 100, m);
    Grid g = nullptr;
    o.ReadGrid("r.gif", &g, 0, true, false, false, true, true, false, 0);
    EXPECT_DOUBLE_EQ(g[3][1], 2 * std::exp(0.01 * 40));
    EXPECT_DOUBLE_EQ(g[2][3], 3 * std::exp(0.02 * 45));
    EXPECT_DOUBLE_EQ(g[1][3], 2 * std::exp(0.01 * 30));
    EXPECT_DOUBLE_EQ(g[3][4], 3 * std::exp(0.02 * 50));
    EXPECT_EQ(g[1][4], -9999);
    if (m) {
      EXPECT_EQ(g[2][2], -12345);
    }
    for (int i = 0; i < 6; ++i) EXPECT_EQ(o.fileheader[i], (std::vector<double>{4, 3, 0, 0, 50, -9999})[i]);
    o.FreeMatrix(g, 1, 3, 1, 4);
  }
  o.FreeMatrix(mask, 1, 3, 1, 4);

  // The mapping branches around the threshold and above 250.
  memory_handling memory;
  Grid v = memory.matrix(1, 1, 1, 6, 0);
  const double pixel[6] = {0, 127, 128, 250, 251, -9999};
  for (int c = 1; c <= 6; ++c) v[1][c] = pixel[c - 1];
  GifGridReader::Map(v, 1, 1, 1, 6, 127, 8.916787e-5, 0.0767528404, 6e-6, 0.098);
  EXPECT_EQ(v[1][1], 0);
  EXPECT_DOUBLE_EQ(v[1][2], 8.916787e-5 * std::exp(0.0767528404 * 127));
  EXPECT_DOUBLE_EQ(v[1][3], 6e-6 * std::exp(0.098 * 128));
  EXPECT_DOUBLE_EQ(v[1][4], 6e-6 * std::exp(0.098 * 250));
  EXPECT_EQ(v[1][5], -9999);
  EXPECT_EQ(v[1][6], -9999);
  memory.FreeMatrix(v, 1, 1, 1, 6);
}
