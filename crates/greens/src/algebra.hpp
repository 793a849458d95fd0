#pragma once
// Small complex matrices of the layer recursion: the 2 x 2 blocks of the P-SV system.

#include <complex>

namespace greens {

using Complex = std::complex<double>;

struct Vec2 {
    Complex x, y;
};

// [[a, b], [c, d]]
struct Mat2 {
    Complex a, b, c, d;
};

// diag(p, s): a layer's phase factors for P and S.
struct Diag2 {
    Complex p, s;
};

inline constexpr Mat2 IDENTITY{1.0, 0.0, 0.0, 1.0};
inline constexpr Mat2 ZERO{0.0, 0.0, 0.0, 0.0};

inline Mat2 operator+(const Mat2& m, const Mat2& n) { return {m.a + n.a, m.b + n.b, m.c + n.c, m.d + n.d}; }
inline Mat2 operator-(const Mat2& m, const Mat2& n) { return {m.a - n.a, m.b - n.b, m.c - n.c, m.d - n.d}; }
inline Mat2 operator*(const Mat2& m, const Mat2& n) {
    return {m.a * n.a + m.b * n.c, m.a * n.b + m.b * n.d, m.c * n.a + m.d * n.c, m.c * n.b + m.d * n.d};
}
inline Vec2 operator*(const Mat2& m, const Vec2& v) { return {m.a * v.x + m.b * v.y, m.c * v.x + m.d * v.y}; }
inline Vec2 operator-(const Vec2& u, const Vec2& v) { return {u.x - v.x, u.y - v.y}; }
// diag * m * diag
inline Mat2 sandwich(const Diag2& e, const Mat2& m) {
    return {e.p * m.a * e.p, e.p * m.b * e.s, e.s * m.c * e.p, e.s * m.d * e.s};
}
inline Mat2 operator*(const Mat2& m, const Diag2& e) { return {m.a * e.p, m.b * e.s, m.c * e.p, m.d * e.s}; }
inline Vec2 operator*(const Diag2& e, const Vec2& v) { return {e.p * v.x, e.s * v.y}; }

inline Mat2 inverse(const Mat2& m) {
    const Complex per_det = 1.0 / (m.a * m.d - m.b * m.c);
    return {m.d * per_det, -m.b * per_det, -m.c * per_det, m.a * per_det};
}

// A 4 x 4 matrix as 2 x 2 blocks [[m11, m12], [m21, m22]].
struct Blocks {
    Mat2 m11, m12, m21, m22;
};

}  // namespace greens
