// Damaged and random grid files: every read ends with a grid or with an int
// code after a FATAL entry, never with a crash, a hang or another exception.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "tests/framework/gifencoder.h"
#include "tests/framework/gridtestobject.h"

using fluvextest::ReadFile;
using fluvextest::WriteFile;

namespace {

// Text added to the XML diagnostics file since the last call.
class XmlTail {
 public:
  explicit XmlTail(std::string name) : file(std::move(name)) {}
  std::string Next() {
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(seen));
    std::string added((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    seen += added.size();
    return added;
  }

 private:
  std::string file;
  size_t seen = 0;
};

std::string Mutate(std::string s, std::mt19937& random) {
  const int kind = static_cast<int>(random() % 4);
  const int edits = 1 + static_cast<int>(random() % 8);
  for (int e = 0; e < edits && !s.empty(); ++e) {
    const size_t at = random() % s.size();
    if (kind == 0) s[at] = static_cast<char>(random());                           // overwrite
    if (kind == 1) s[at] = static_cast<char>(s[at] ^ (1 << (random() % 8)));      // flip a bit
    if (kind == 2) s.insert(at, 1 + random() % 16, static_cast<char>(random()));  // insert
    if (kind == 3) s.resize(at);                                                  // truncate
  }
  return s;
}

}  // namespace

TEST(GridFileFuzz, DamagedFilesGiveAGridOrAFatalCode) {
  if (fluvextest::MpiRank() != 0) GTEST_SKIP() << "single-instance reader";
  GridTestBench b("grid_fuzz");
  GridTestObject& o = b.object;
  o.SetGeometry(4, 3, 0, 0, 10, -9999);
  o.SetGifGeometry(-5, 3, 12, nullptr);
  o.GifThreshold = 127;
  o.GifF1 = 1e-4;
  o.GifX1 = 0.07;
  o.GifF2 = 6e-6;
  o.GifX2 = 0.1;

  // Seeds: the writer's three formats and GIF images of both code sizes.
  Grid g = o.matrix(1, 3, 1, 4, 3);
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 4; ++c) g[r][c] = (r == 2 && c == 3) ? -9999 : r * 1.5 + c;
  o.WriteGrid("seed.asc", g, true, false);
  o.WriteGrid("seed.flt", g, false, false);
  o.WriteGrid("seed.dbl", g, false, true);
  o.FreeMatrix(g, 1, 3, 1, 4);
  std::vector<uint8_t> pixels(200);
  std::mt19937 random(20240611);
  for (uint8_t& p : pixels) p = static_cast<uint8_t>(random() % 6 == 0 ? 255 : random() % 256);
  std::vector<uint8_t> small(200);
  for (uint8_t& p : small) p = static_cast<uint8_t>(random() % 4);
  const std::vector<std::string> seeds = {ReadFile(b.dir / "seed.asc"), ReadFile(b.dir / "seed.flt"),
                                          ReadFile(b.dir / "seed.dbl"),
                                          giftest::Gif("GIF89a", 20, 10, 8, giftest::Lzw(pixels, 8)),
                                          giftest::Gif("GIF87a", 20, 10, 2, giftest::Lzw(small, 2))};

  XmlTail xml(b.diag->FileName());
  xml.Next();
  int grids = 0, codes = 0;
  for (int i = 0; i < 1500; ++i) {
    std::string file;
    if (i % 10 == 9) {
      // Random bytes behind a prefix that selects a reading path.
      static const char* const prefixes[] = {"", "ncols", "GIF89a"};
      file = prefixes[random() % 3];
      const size_t extra = random() % 300;
      for (size_t k = 0; k < extra; ++k) file += static_cast<char>(random());
    } else {
      file = Mutate(seeds[random() % seeds.size()], random);
    }
    WriteFile(b.dir / "f.grid", file);
    const int fillMode = static_cast<int>(random() % 3);
    const bool strict = random() % 2;
    Grid read = nullptr;
    try {
      o.ReadGrid("f.grid", &read, fillMode, true, false, strict, true, true, false, 1.0);
      ASSERT_NE(read, nullptr);
      o.FreeMatrix(read, 1, 3, 1, 4);
      ++grids;
      xml.Next();
    } catch (int code) {
      ++codes;
      EXPECT_TRUE(code == 22 || code == 24 || code == 25) << "code " << code << " for input " << i;
      EXPECT_NE(xml.Next().find("<line level=\"0\""), std::string::npos) << "no FATAL entry for input " << i;
    } catch (...) {
      ADD_FAILURE() << "a non-int exception for input " << i;
    }
  }
  // Both outcomes occur, so the inputs reach the value readers and not only the format test.
  EXPECT_GT(grids, 100);
  EXPECT_GT(codes, 100);
}
