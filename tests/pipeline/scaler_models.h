// Direct models of the scaling routines, per output sample from its position
// (no runs, line buffers or caching); YUY2 in and out.
#pragma once

#include <algorithm>
#include <functional>

#include "scaler_test_util.h"

namespace scaler_test {

using Plane = std::vector<int>;

inline int RoundedWeight(int x, int k, int n) { return (2 * x * k + n) / (2 * n); }

// Byte of sample c in row r of plane `which` (YUY2 positions 0, 1, 3).
inline size_t PlaneByte(size_t w, int which, size_t r, size_t c) { return 2 * w * r + (which ? 4 : 2) * c + which; }

inline Plane GetPlane(const Bytes& f, size_t w, size_t h, int which, size_t* pw) {
  *pw = which ? w / 2 : w;
  Plane p(*pw * h);
  for (size_t i = 0; i < p.size(); ++i) p[i] = f[PlaneByte(w, which, i / *pw, i % *pw)];
  return p;
}

inline void PutPlane(Bytes& f, size_t w, int which, const Plane& p) {
  const size_t pw = which ? w / 2 : w;
  for (size_t i = 0; i < p.size(); ++i) f[PlaneByte(w, which, i / pw, i % pw)] = static_cast<UCHAR>(p[i]);
}

// n samples -> n * num / den samples, output k at input position k * den / num.
// The last output takes the last sample.
inline std::vector<int> Enlarge1D(const std::vector<int>& s, int num, int den) {
  const int n = static_cast<int>(s.size());
  std::vector<int> out(n * num / den);
  for (int k = 0; k < static_cast<int>(out.size()); ++k) {
    const int t = k * den, i = t / num, f = t % num;
    const int a = s[i];
    if (i + 1 >= n) { out[k] = s[n - 1]; continue; }
    const int b = s[i + 1];
    if (f == 0) { out[k] = a; continue; }
    if (num == 5) { out[k] = RoundedWeight(a, 5 - f, 5) + RoundedWeight(b, f, 5); continue; }
    const int eighths[8] = {a, (7 * a + b + 4) >> 3, (3 * a + b + 2) >> 2,
                            RoundedWeight(a, 5, 8) + RoundedWeight(b, 3, 8), (a + b + 1) >> 1,
                            RoundedWeight(a, 3, 8) + RoundedWeight(b, 5, 8), (a + 3 * b + 2) >> 2,
                            (a + 7 * b + 4) >> 3};
    out[k] = eighths[f];
  }
  return out;
}

// Separable enlargement of every plane: rows, then columns.
inline Bytes EnlargeModel(const Bytes& src, size_t inW, size_t inH, int num, int den) {
  const size_t outW = inW * num / den, outH = inH * num / den;
  Bytes out(2 * outW * outH);
  for (int which : {0, 1, 3}) {
    size_t pw;
    Plane p = GetPlane(src, inW, inH, which, &pw);
    const size_t ow = pw * num / den;
    Plane wide(ow * inH), tall(ow * outH);
    for (size_t r = 0; r < inH; ++r) {
      auto row = Enlarge1D(std::vector<int>(p.begin() + r * pw, p.begin() + (r + 1) * pw), num, den);
      std::copy(row.begin(), row.end(), wide.begin() + r * ow);
    }
    for (size_t c = 0; c < ow; ++c) {
      std::vector<int> col(inH);
      for (size_t r = 0; r < inH; ++r) col[r] = wide[r * ow + c];
      auto e = Enlarge1D(col, num, den);
      for (size_t r = 0; r < outH; ++r) tall[r * ow + c] = e[r];
    }
    PutPlane(out, outW, which, tall);
  }
  return out;
}

// 6:5 with crop: outW x outH from the top-left of the input.
inline Bytes Enlarge6of5Model(const Bytes& src, size_t inW, size_t outW, size_t outH) {
  Bytes out(2 * outW * outH);
  const size_t inH = outH * 5 / 6;  // 480 or 240 rows read
  for (int which : {0, 1, 3}) {
    size_t pw;
    Plane p = GetPlane(src, inW, inH, which, &pw);
    const size_t ow = which == 0 ? outW : outW / 2;
    auto h = [&](size_t row) {
      std::vector<int> o(ow);
      for (size_t k = 0; k < ow; ++k) {
        const int* s = &p[row * pw + 5 * (k / 6)];
        const int v[6] = {s[0], (s[0] + 3 * s[1]) >> 2, (s[1] + s[2]) >> 1, (s[2] + s[3]) >> 1,
                          (3 * s[3] + s[4]) >> 2, s[4]};
        o[k] = v[k % 6];
      }
      return o;
    };
    Plane t(ow * outH);
    auto put = [&](size_t r, const std::vector<int>& v) { std::copy(v.begin(), v.end(), t.begin() + r * ow); };
    for (size_t r = 0; r < 5; ++r) put(r, h(r));
    for (size_t c = 0; 6 * c + 10 < outH; ++c) {
      for (size_t j = 0; j < 5; ++j) put(6 * c + 6 + j, h(5 * c + 5 + j));
      for (size_t k = 0; k < ow; ++k)
        t[(6 * c + 5) * ow + k] = (t[(6 * c + 4) * ow + k] + t[(6 * c + 6) * ow + k]) >> 1;
    }
    for (size_t k = 0; k < ow; ++k) t[(outH - 1) * ow + k] = t[(outH - 2) * ow + k];
    PutPlane(out, outW, which, t);
  }
  return out;
}

// Bilinear doubling of the grid S at output (r, c): even positions copy a
// sample, odd ones average it with the next one across, down or both.
template <class Grid>
int Doubled(const Grid& S, size_t r, size_t c) {
  const size_t i = r / 2, k = c / 2;
  return !(r & 1) && !(c & 1) ? S(i, k)
       : !(r & 1) ? (S(i, k) + S(i, k + 1)) >> 1
       : !(c & 1) ? (S(i, k) + S(i + 1, k)) >> 1
                  : (S(i, k) + S(i, k + 1) + S(i + 1, k) + S(i + 1, k + 1)) >> 2;
}

// Sharpening doubler (inW even).
inline Bytes DoublerModel(const Bytes& src, size_t inW, size_t inH) {
  const size_t W2 = 2 * inW, H2 = 2 * inH;
  auto Y = [&](size_t i, size_t j) { return static_cast<int>(src[2 * (i * inW + j)]); };
  Plane U((H2 - 1) * W2);
  for (size_t r = 0; r + 1 < H2; ++r)
    for (size_t c = 0; c < W2; ++c) U[r * W2 + c] = Doubled(Y, r, std::min(c, W2 - 2));
  auto u = [&](size_t r, size_t c) { return U[r * W2 + c]; };
  Bytes out(2 * W2 * H2);
  for (size_t r = 0; r < H2; ++r)
    for (size_t c = 0; c < W2; ++c) {
      int v;
      const bool first = c == 0, last = c == W2 - 1;
      if (r == H2 - 1) {
        const size_t b = H2 - 2;
        const int h = first ? u(b, 1) : last ? u(b, c - 1) : (u(b, c - 1) + u(b, c + 1)) >> 1;
        v = 2 * u(b, c) - h;
      } else {
        const int self = u(r, c);
        const int below = r == H2 - 2 ? self : u(r + 1, c);
        const int left = first ? 0 : u(r, c - 1), right = last ? 0 : u(r, c + 1);
        int n;
        if (r == 0) {
          n = (first ? right : last ? left : (left + right) >> 1) + below;
        } else {
          const int above = u(r - 1, c);
          n = first ? ((above + below) >> 1) + right
            : last  ? ((above + below) >> 1) + left
                    : (left + right + above + below) >> 1;
        }
        v = 3 * self - n;
      }
      if (v < -256 || v > 767) return Bytes();  // outside the clamp table
      out[2 * (r * W2 + c)] = static_cast<UCHAR>(std::clamp(v, 0, 255));
    }
  for (size_t r = 0; r < H2; ++r)
    for (size_t g = 0; g < inW; ++g)
      for (int comp : {1, 3}) {
        auto S = [&](size_t i, size_t k) { return static_cast<int>(src[2 * inW * i + 4 * k + comp]); };
        const int v = Doubled(S, r == H2 - 1 ? H2 - 2 : r, g == inW - 1 ? g - 1 : g);
        out[2 * W2 * r + 4 * g + comp] = static_cast<UCHAR>(v);
      }
  return out;
}

// General bilinear: the window of the plan's steps from (0, 0); groups past
// the computed ones repeat the last computed group's second luma (twice) and
// its chroma, rows past the computed ones the last computed row.
inline Bytes GeneralModel(const Bytes& src, size_t inW, size_t inH, size_t outW, size_t outH) {
  GeneralScalingPlan gp;
  if (!PlanGeneralScaling(inW, inH, outW, outH, &gp)) return Bytes();
  Bytes out = fx::ReferenceBilinear(src, inW, inH, outW, outH, int(gp.dx), int(gp.dy), 0, 0, fx::Order{true});
  const size_t row = 2 * outW, lg = 4 * (gp.groupsComputed - 1);
  for (size_t k = 0; k < outH; ++k) {
    UCHAR* o = &out[k * row];
    if (k >= gp.rowsComputed) {
      std::copy(o - row, o, o);
      continue;
    }
    for (size_t g = gp.groupsComputed; g < outW / 2; ++g) {
      o[4 * g] = o[4 * g + 2] = o[lg + 2];
      o[4 * g + 1] = o[lg + 1];
      o[4 * g + 3] = o[lg + 3];
    }
  }
  return out;
}

}  // namespace scaler_test
