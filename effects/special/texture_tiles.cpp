// The texture samples, computed once by the compiler. The first row is fixed;
// the other rows are a canvas-like grain from a fixed-seed integer generator,
// each sample leaning on the one above it so that faint vertical fibres show.
// A final pass nudges samples by one step until the mean is exactly
// kTextureMean, never moving a sample out of kTextureLow..kTextureHigh.
#include "effects/special/texture_tiles.h"

namespace {

struct TextureTable {
  UCHAR v[kTextureHeight][kTextureWidth];
};

constexpr UCHAR kFirstRow[kTextureWidth] = {
    161, 183, 250, 200, 157, 203, 190, 179, 210, 199, 181, 221, 204, 165, 223, 216,
    198, 210, 240, 230, 193, 224, 203, 219, 255, 252, 169, 188, 239, 203, 206, 255};

constexpr ULONG NextRandom(ULONG& state) {
  // xorshift32
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

constexpr TextureTable BuildTexture() {
  TextureTable t{};
  for (ULONG x = 0; x < kTextureWidth; ++x) t.v[0][x] = kFirstRow[x];
  ULONG state = 0x2F6B1D35u;
  LONG sum = 0;
  for (ULONG x = 0; x < kTextureWidth; ++x) sum += kFirstRow[x];
  for (ULONG y = 1; y < kTextureHeight; ++y) {
    for (ULONG x = 0; x < kTextureWidth; ++x) {
      // Sum of three uniform draws in -28..27: a rounded grain around 0.
      LONG grain = 0;
      for (int i = 0; i < 3; ++i) grain += static_cast<LONG>(NextRandom(state) % 56) - 28;
      LONG value = kTextureMean + grain + (static_cast<LONG>(t.v[y - 1][x]) - kTextureMean) / 2;
      if (value < kTextureLow) value = kTextureLow;
      if (value > kTextureHigh) value = kTextureHigh;
      t.v[y][x] = static_cast<UCHAR>(value);
      sum += value;
    }
  }
  // Bring the sum to the exact target, stepping through the generated rows in
  // a fixed scattered order; samples at either end of the range stay put.
  const LONG target = kTextureMean * static_cast<LONG>(kTextureWidth * kTextureHeight);
  const ULONG cells = kTextureWidth * (kTextureHeight - 1);
  for (ULONG i = 0; sum != target && i < 64 * cells; ++i) {
    const ULONG cell = kTextureWidth + (i * 389u) % cells;
    UCHAR& s = t.v[cell / kTextureWidth][cell % kTextureWidth];
    if (sum < target && s > kTextureLow && s < kTextureHigh - 1) {
      ++s;
      ++sum;
    } else if (sum > target && s < kTextureHigh && s > kTextureLow + 1) {
      --s;
      --sum;
    }
  }
  return t;
}

constexpr TextureTable kTexture = BuildTexture();

}  // namespace

const UCHAR kTextureSamples[kTextureHeight][kTextureWidth] = {
#define TEXTURE_ROW(y)                                                                    \
  {kTexture.v[y][0],  kTexture.v[y][1],  kTexture.v[y][2],  kTexture.v[y][3],            \
   kTexture.v[y][4],  kTexture.v[y][5],  kTexture.v[y][6],  kTexture.v[y][7],            \
   kTexture.v[y][8],  kTexture.v[y][9],  kTexture.v[y][10], kTexture.v[y][11],           \
   kTexture.v[y][12], kTexture.v[y][13], kTexture.v[y][14], kTexture.v[y][15],           \
   kTexture.v[y][16], kTexture.v[y][17], kTexture.v[y][18], kTexture.v[y][19],           \
   kTexture.v[y][20], kTexture.v[y][21], kTexture.v[y][22], kTexture.v[y][23],           \
   kTexture.v[y][24], kTexture.v[y][25], kTexture.v[y][26], kTexture.v[y][27],           \
   kTexture.v[y][28], kTexture.v[y][29], kTexture.v[y][30], kTexture.v[y][31]}
    TEXTURE_ROW(0),  TEXTURE_ROW(1),  TEXTURE_ROW(2),  TEXTURE_ROW(3),  TEXTURE_ROW(4),
    TEXTURE_ROW(5),  TEXTURE_ROW(6),  TEXTURE_ROW(7),  TEXTURE_ROW(8),  TEXTURE_ROW(9),
    TEXTURE_ROW(10), TEXTURE_ROW(11), TEXTURE_ROW(12), TEXTURE_ROW(13), TEXTURE_ROW(14),
    TEXTURE_ROW(15), TEXTURE_ROW(16), TEXTURE_ROW(17), TEXTURE_ROW(18), TEXTURE_ROW(19),
    TEXTURE_ROW(20), TEXTURE_ROW(21), TEXTURE_ROW(22), TEXTURE_ROW(23),
#undef TEXTURE_ROW
};
