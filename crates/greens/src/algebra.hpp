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

// How the P-SV waves' amplitudes (in stack.hpp's basis) move across a height h of a
// layer: p = e^{-nu_p h}, s = e^{-nu_s h} and cross = (p - s) / ws; down-going ones by
// [[p, cross], [0, s]], up-going ones by [[p, -cross], [0, s]].
struct Phase {
    Complex p, s, cross;
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
inline Mat2 down(const Phase& e) { return {e.p, e.cross, 0.0, e.s}; }
inline Mat2 up(const Phase& e) { return {e.p, -e.cross, 0.0, e.s}; }

inline Mat2 inverse(const Mat2& m) {
    const Complex per_det = 1.0 / (m.a * m.d - m.b * m.c);
    return {m.d * per_det, -m.b * per_det, -m.c * per_det, m.a * per_det};
}

// A 4 x 4 matrix as 2 x 2 blocks [[m11, m12], [m21, m22]].
struct Blocks {
    Mat2 m11, m12, m21, m22;
};

}  // namespace greens
