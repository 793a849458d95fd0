#pragma once
// The response of a layered half-space at one complex frequency and one horizontal
// wavenumber k: the displacement at the receivers' depth for unit jumps of the
// motion-stress vector at each source depth (see greens.hpp for the method).
//
// In a layer the P-SV motion-stress vector b = (U, V, P, Q) (U vertical, down; V the
// poloidal horizontal part; P and Q the matching tractions) is a sum of down- and up-going
// P and S waves,
//   down P (-nu_p, k, mu g, -2 mu k nu_p),   down S (k, -nu_s, -2 mu k nu_s, mu g),
//   up P   ( nu_p, k, mu g,  2 mu k nu_p),   up S   (k,  nu_s,  2 mu k nu_s, mu g),
// nu = sqrt(k^2 - w^2/c^2) with a non-negative real part and g = 2 k^2 - w^2/Vs^2; SH's
// (W, N) is (1, -mu nu_s) down and (1, mu nu_s) up. Down-going amplitudes are referred
// to the layer's top and up-going ones to its bottom, so only decaying exponentials
// appear (Luco and Apsel 1983; Chen 1993).
//
// Where w / (k c) is small (low frequencies at large wavenumbers: the near field of a
// shallow source over a long window) the P and S vectors of each direction become one
// and the same, down S -> -down P and up S -> up P, and the quasi-static motion is the
// small difference of two huge amplitudes: in that basis the recursion loses everything
// to rounding (as (k c / w)^6, NaN at the first frequency for a source at 0.05 km).
// So the P-SV amplitudes are kept in the basis of P and the difference,
//   D1 = down P,  D2 = (down S + down P) / ws,   U1 = up P,  U2 = (up S - up P) / ws,
// ws = (w / Vs)^2, whose vectors stay apart as w / k -> 0 (their limits are the static
// solutions e^{-kz} and z e^{-kz}); every entry of E = (D1, D2, U1, U2) and of its inverse
// is written with k - nu = (w / c)^2 / (k + nu), so nothing cancels. Across a height h
// the amplitudes then move by a triangular matrix (algebra.hpp's Phase), whose corner
// (e^{-nu_p h} - e^{-nu_s h}) / ws comes from expm1 of the small exponent difference.

#include "algebra.hpp"

#include <cstddef>
#include <span>
#include <vector>

namespace greens {

// One layer at one frequency.
struct LayerAtFrequency {
    double thickness_km;  // +infinity for the half-space
    Complex wp, ws;        // (omega / Vp)^2, (omega / Vs)^2 with the complex speeds
    Complex mu, modulus_p; // mu and lambda + 2 mu, GPa
    Complex inverse_ws, half_per_mu;  // 1 / ws and 1 / (2 mu)
};

// A source's place in the stack: its layer, its height above the layer's top and its
// depth above the layer's bottom (+infinity in the half-space).
struct SourcePlace {
    std::size_t layer;
    double below_top_km, above_bottom_km;
};

// The displacement at the receivers for unit jumps at a source: U (down) and V for jumps
// of U, V and Q; W for jumps of W and N.
struct SourceResponse {
    Complex uu, vu, uv, vv, uq, vq, ww, wn;
};

class Stack {
public:
    // Makes the scratch for `layers` (receivers at the top of `receiver_layer`) and
    // `sources`; allocates, so it is made once per frequency.
    Stack(std::span<const LayerAtFrequency> layers, std::size_t receiver_layer,
          std::span<const SourcePlace> sources);

    // The response at wavenumber k (1/km) of the sources numbered in `sources` (indices
    // into the constructor's), each into its own place in `out`; the others' places are
    // left as they were. Allocates nothing.
    void respond(double k, std::span<const std::size_t> sources, std::span<SourceResponse> out);

private:
    struct Interface {
        Mat2 rd, tu, td, ru;              // P-SV
        Complex rd_sh, tu_sh, td_sh, ru_sh;  // SH
    };
    struct Layer {
        Complex nu_p, nu_s, g;
        Phase phase;                 // across the layer
        Mat2 up_reflection;          // d = R u at the layer's top, from everything above
        Mat2 down_reflection;        // u = R d at the layer's bottom, from everything below
        Mat2 receiver_row;           // receiver (U, V) from the up-going wave at the top
        Complex phase_sh, up_reflection_sh, down_reflection_sh, receiver_row_sh;
        Blocks e, e_inverse;
    };

    std::size_t layers_down_to_echo(double k, std::size_t deepest);
    void interface(std::size_t upper, Interface& out) const;
    void source_response(const SourcePlace& place, SourceResponse& out) const;

    std::span<const LayerAtFrequency> media_;
    std::size_t receiver_layer_;
    std::span<const SourcePlace> sources_;
    std::vector<Layer> layers_;
    std::vector<Interface> interfaces_;
    std::vector<Mat2> transmission_;      // up-going at the bottom of layer i from the top of i + 1
    std::vector<Complex> transmission_sh_;
};

}  // namespace greens
