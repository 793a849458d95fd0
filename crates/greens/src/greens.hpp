#pragma once
// Green's functions of a layered half-space by frequency-wavenumber integration: the
// spectra of surface (or buried-receiver) displacement for a point moment-tensor source,
// as ten fundamental responses from which any moment tensor and azimuth compose.
//
// The method. Flat homogeneous layers over a half-space, a free surface on top. In each
// layer the motion-stress vector of the P-SV system, (U, V, P, Q), and of the SH system,
// (W, N), is a sum of down- and up-going waves; the stack's response comes from the
// generalized reflection and transmission coefficients of Luco and Apsel (1983, BSSA
// 73(4), 909-929) and Chen (1993, BSSA 83(4), 1231-1243; 1999, BSSA 89(3), 733-747), in
// the form of Kennett (1983, Seismic Wave Propagation in Stratified Media): every
// exponential is a decaying one, so evanescent waves stay stable at any wavenumber. The
// source enters as the jump of the motion-stress vector across its depth (Aki and Richards
// 2002, Quantitative Seismology, sections 7.3-7.4). The wavenumber integral is a discrete
// sum on a uniform grid (Bouchon and Aki 1977, BSSA 67(2), 259-277; Bouchon 1981, BSSA
// 71(4), 959-971) with a complex frequency omega + i damping that pushes the surface-wave
// poles off the real axis and attenuates the wrap-around of the periodic source array.
// Attenuation: complex velocities of constant Q with the logarithmic dispersion about a
// reference frequency, 1/c(w) = (1/c) (1 - ln(-i w / w_ref) / (pi Q)) (Futterman 1962,
// JGR 67(13), 5279-5291; Aki and Richards 2002, section 5.5, for the e^{-i w t}
// convention used throughout), which is analytic in the upper half-plane, so causal.
//
// Conventions. Time dependence e^{-i w t}; cylindrical coordinates (r, phi, z) about the
// source with z down and phi clockwise from north seen from above (x north, y east,
// z down: Aki and Richards' frame). Lengths in km, speeds in km/s, densities in g/cm^3,
// so stresses in GPa; the output is converted to metres per newton metre.
//
// The ten responses, in this order, for a moment tensor M (x north, y east, z down) and a
// receiver at azimuth phi (displacement with z UP, radial away from the source, and
// transverse towards increasing phi):
//   up         = Mzz ZZZ + (Mxx + Myy)/2 ZH + c1 Z1 + c2 Z2
//   radial     = Mzz RZZ + (Mxx + Myy)/2 RH + c1 R1 + c2 R2
//   transverse =                              s1 T1 + s2 T2
// with c1 = Mxz cos(phi) + Myz sin(phi), s1 = Mxz sin(phi) - Myz cos(phi),
//      c2 = (Mxx - Myy)/2 cos(2 phi) + Mxy sin(2 phi),
//      s2 = (Mxx - Myy)/2 sin(2 phi) - Mxy cos(2 phi).
// Order: ZZZ, RZZ, ZH, RH, Z1, R1, T1, Z2, R2, T2.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>

namespace greens {

inline constexpr std::size_t RESPONSES = 10;

// The layers, from the surface down: top depth (the first 0, increasing), Vp, Vs (at the
// reference frequency), density, and the quality factors Qp and Qs (+infinity for none).
struct Model {
    std::span<const double> top_km, vp_km_s, vs_km_s, rho_g_cm3, qp, qs;
    double reference_frequency_hz = 1.0;
};

// Receivers on one horizontal plane (depth 0: the free surface) at `distance_km` from the
// axis; sources on the axis at `source_depth_km`, each below the receivers' depth.
struct Geometry {
    double receiver_depth_km = 0.0;
    std::span<const double> source_depth_km;
    std::span<const double> distance_km;
};

// The frequencies, the wavenumbers and the Bessel functions of the sum.
//  - frequency n of the block is (first_frequency + n) * frequency_step_hz, plus i damping;
//  - wavenumber m is (m + 1/2) * wavenumber_step_per_km (the midpoint rule);
//  - wavenumber_count[s * frequencies + n]: the terms summed for source s at frequency n;
//  - j0, j1: J0(k_m r_d) and J1(k_m r_d) at [d * rows + m], a row of `rows` wavenumbers
//    (at least the largest count) for each distance.
struct Sampling {
    double frequency_step_hz = 0.0;
    std::size_t first_frequency = 0;
    std::size_t frequencies = 0;
    double damping_per_s = 0.0;
    double wavenumber_step_per_km = 0.0;
    std::span<const std::int64_t> wavenumber_count;
    std::span<const double> j0, j1;
};

enum class Status { DONE, REFUSED, OUT_OF_MEMORY };

// What was refused, in one line.
struct Refusal {
    char reason[200] = {};
    void say(const char* format, ...);
};

// Writes the ten responses' spectra into `out`, [source][distance][response][frequency]
// complex values (frequency fastest), in metres per newton metre and per hertz: the
// Fourier transform of the displacement for a moment that is an impulse at t = 0,
// evaluated at omega + i damping. Runs on oneTBB's pool, one task per frequency; the
// result does not depend on the number of threads. Refuses inconsistent arguments,
// leaving `out` untouched.
Status spectra(const Model& model, const Geometry& geometry, const Sampling& sampling,
               std::span<std::complex<double>> out, Refusal& refusal);

}  // namespace greens
