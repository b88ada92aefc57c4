// A small GIF writer for the tests: an LZW encoder written after the GIF
// format description and the container around one image.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace giftest {

// LZW codes of pixels with minimum code size m, packed least significant bit
// first. The code width follows the decoder's dictionary, which lags one entry
// behind the encoder's: it grows when that dictionary reaches 2^width entries.
// clearWhenFull: send a clear code when the dictionary is full, else keep
// coding with the full dictionary. fullSize receives the largest dictionary size.
inline std::vector<uint8_t> Lzw(const std::vector<uint8_t>& pixels, int m, bool clearWhenFull = false,
                                int* fullSize = nullptr) {
  const int clear = 1 << m;
  std::vector<uint8_t> out;
  uint32_t bits = 0;
  int count = 0;
  int width = m + 1;
  auto put = [&](int code) {
    bits |= static_cast<uint32_t>(code) << count;
    count += width;
    while (count >= 8) {
      out.push_back(static_cast<uint8_t>(bits & 0xFF));
      bits >>= 8;
      count -= 8;
    }
  };
  std::map<std::pair<int, int>, int> table;
  int next = 0, decoderSize = 0, largest = 0;
  bool first = true;
  auto reset = [&] {
    put(clear);
    table.clear();
    next = decoderSize = clear + 2;
    width = m + 1;
    first = true;
  };
  auto emit = [&](int code) {
    put(code);
    if (!first && decoderSize < 4096 && ++decoderSize == (1 << width) && width < 12) ++width;
    first = false;
    if (decoderSize > largest) largest = decoderSize;
  };
  reset();
  int w = pixels.at(0);
  for (size_t i = 1; i < pixels.size(); ++i) {
    const int k = pixels[i];
    const auto found = table.find({w, k});
    if (found != table.end()) {
      w = found->second;
      continue;
    }
    emit(w);
    if (next < 4096) {
      table[{w, k}] = next++;
    } else if (clearWhenFull && decoderSize == 4096) {
      reset();
    }
    w = k;
  }
  emit(w);
  put(clear + 1);
  if (count > 0) out.push_back(static_cast<uint8_t>(bits & 0xFF));
  if (fullSize) *fullSize = largest;
  return out;
}

inline std::string Word(int v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}

// A GIF file of one width x height image: a global colour table of 2^m
// entries, the extensions as given, the image descriptor, minimum code size m
// and the code bytes in sub-blocks of at most 255 bytes.
inline std::string Gif(const char* version, int width, int height, int m, const std::vector<uint8_t>& codes,
                       const std::string& extensions = "") {
  std::string f = version;
  f += Word(width) + Word(height);
  f += static_cast<char>(0x80 | (m - 1));
  f += std::string(2, '\0');
  for (int i = 0; i < (1 << m); ++i) f += std::string(3, static_cast<char>(i));
  f += extensions;
  f += ',' + Word(0) + Word(0) + Word(width) + Word(height) + '\0';
  f += static_cast<char>(m);
  for (size_t at = 0; at < codes.size(); at += 255) {
    const size_t n = std::min<size_t>(255, codes.size() - at);
    f += static_cast<char>(n);
    f.append(reinterpret_cast<const char*>(codes.data() + at), n);
  }
  f += '\0';
  f += ';';
  return f;
}

}  // namespace giftest
