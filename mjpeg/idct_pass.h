// The 8-point pass of the inverse DCT written once for every vector width.
// Included by each vector source file after its target options, so that the
// instantiations are compiled for that target.
#pragma once

namespace {

// The 8-point pass on vectors (each lane an independent 8-point vector).
// `Ops` provides add, sub, multiply by a constant (low 32 bits) and the
// arithmetic shift right by 9.
template <class Ops, class V>
inline void Pass(V x[8]) {
  const V a = Ops::Shr9(Ops::Mul(Ops::Add(x[0], x[4]), 362));
  const V b = Ops::Shr9(Ops::Mul(Ops::Sub(x[0], x[4]), 362));
  const V c = Ops::Shr9(Ops::Add(Ops::Mul(x[2], 473), Ops::Mul(x[6], 196)));
  const V d = Ops::Shr9(Ops::Sub(Ops::Mul(x[2], 196), Ops::Mul(x[6], 473)));
  const V e0 = Ops::Add(a, c), e3 = Ops::Sub(a, c), e1 = Ops::Add(b, d), e2 = Ops::Sub(b, d);
  const V p = Ops::Shr9(Ops::Add(Ops::Mul(x[1], 502), Ops::Mul(x[7], 100)));
  const V q = Ops::Shr9(Ops::Add(Ops::Mul(x[3], 426), Ops::Mul(x[5], 284)));
  const V r = Ops::Shr9(Ops::Sub(Ops::Mul(x[1], 100), Ops::Mul(x[7], 502)));
  const V t = Ops::Shr9(Ops::Sub(Ops::Mul(x[5], 426), Ops::Mul(x[3], 284)));
  const V o0 = Ops::Add(p, q), o3 = Ops::Add(r, t);
  const V pq = Ops::Sub(p, q), rt = Ops::Sub(r, t);
  const V u = Ops::Shr9(Ops::Mul(Ops::Add(pq, rt), 362));
  const V v = Ops::Shr9(Ops::Mul(Ops::Sub(pq, rt), 362));
  x[0] = Ops::Add(e0, o0);
  x[7] = Ops::Sub(e0, o0);
  x[1] = Ops::Add(e1, u);
  x[6] = Ops::Sub(e1, u);
  x[2] = Ops::Add(e2, v);
  x[5] = Ops::Sub(e2, v);
  x[3] = Ops::Add(e3, o3);
  x[4] = Ops::Sub(e3, o3);
}

}  // namespace

namespace {

// A block whose only nonzero coefficients are the three lowest, (0,0), (0,1)
// and (1,0) (zigzag positions 0..2), transforms into sums: the column pass
// leaves column 0 with a + {p, u, v, r, -r, -v, -u, -p} (from C00 and C10),
// column 1 with one constant (from C01) and the others zero; the row pass
// then gives sample (n, m) = (column0[n] * 362 >> 9) + odd[m], the even part
// of row n plus the odd part of the constant column. Every term is the full
// transform's own 32-bit value.
inline void CornerTerms(const SHORT* coefficients, LONG column0[8], LONG odd[8]) {
  const LONG x0 = coefficients[0] * 4, x1 = coefficients[8] * 4;
  const LONG a = (x0 * 362) >> 9;
  const LONG p = (x1 * 502) >> 9, r = (x1 * 100) >> 9;
  const LONG u = ((p + r) * 362) >> 9, v = ((p - r) * 362) >> 9;
  column0[0] = a + p, column0[1] = a + u, column0[2] = a + v, column0[3] = a + r;
  column0[4] = a - r, column0[5] = a - v, column0[6] = a - u, column0[7] = a - p;
  const LONG constant = (coefficients[1] * 4 * 362) >> 9;
  const LONG pp = (constant * 502) >> 9, rr = (constant * 100) >> 9;
  const LONG uu = ((pp + rr) * 362) >> 9, vv = ((pp - rr) * 362) >> 9;
  odd[0] = pp, odd[1] = uu, odd[2] = vv, odd[3] = rr;
  odd[4] = -rr, odd[5] = -vv, odd[6] = -uu, odd[7] = -pp;
}

}  // namespace
