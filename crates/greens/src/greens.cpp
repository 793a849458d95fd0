#include "greens.hpp"

#include "stack.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <numbers>
#include <vector>

namespace greens {

namespace {

// Displacement in km per GPa km^3 of moment is 1e3 m per 1e18 N m.
constexpr double METRES_PER_NEWTON_METRE = 1e-15;
// Wavenumbers whose kernels are made together before they are summed over distances.
constexpr std::size_t WAVENUMBER_BLOCK = 64;
// The kernel values summed against each Bessel factor (stack.cpp's SourceResponse made
// into the integrands, as real and imaginary parts): 4 against J0, 4 against J1, 2
// against J1(x)/x and 1 against J2(x)/x, with x = k r.
constexpr std::size_t SUMS = 22;

// The stack of layers with the receivers' depth as a boundary of its own, and where
// each source sits in it.
struct Layout {
    std::vector<std::size_t> model_layer;  // the model's layer each stack layer lies in
    std::vector<double> thickness_km;      // +infinity for the half-space
    std::size_t receiver_layer = 0;
    std::vector<SourcePlace> sources;
};

Layout lay_out(const Model& model, const Geometry& geometry) {
    Layout layout;
    const std::size_t count = model.top_km.size();
    const double receiver = geometry.receiver_depth_km;
    std::vector<double> tops;
    for (std::size_t l = 0; l < count; ++l) {
        const double top = model.top_km[l];
        const double next = l + 1 < count ? model.top_km[l + 1] : std::numeric_limits<double>::infinity();
        if (receiver == top) layout.receiver_layer = tops.size();
        tops.push_back(top);
        layout.model_layer.push_back(l);
        if (receiver > top && receiver < next) {  // the receivers split this layer
            layout.receiver_layer = tops.size();
            tops.push_back(receiver);
            layout.model_layer.push_back(l);
        }
    }
    for (std::size_t l = 0; l < tops.size(); ++l) {
        layout.thickness_km.push_back(l + 1 < tops.size() ? tops[l + 1] - tops[l]
                                                          : std::numeric_limits<double>::infinity());
    }
    for (double depth : geometry.source_depth_km) {
        // A source on a boundary lies in the layer below it.
        const std::size_t layer =
            static_cast<std::size_t>(std::upper_bound(tops.begin(), tops.end(), depth) - tops.begin()) - 1;
        layout.sources.push_back({layer, depth - tops[layer], tops[layer] + layout.thickness_km[layer] - depth});
    }
    return layout;
}

// The layers at complex angular frequency omega: constant-Q slownesses
// 1/c (1 - ln(-i omega / omega_ref) / (pi Q)) (Futterman 1962; Aki and Richards 2002, 5.5).
void layers_at(const Model& model, const Layout& layout, Complex omega, std::vector<LayerAtFrequency>& out) {
    const double reference = 2.0 * std::numbers::pi * model.reference_frequency_hz;
    const Complex dispersion = std::log(Complex(0.0, -1.0) * omega / reference) / std::numbers::pi;
    for (std::size_t l = 0; l < layout.model_layer.size(); ++l) {
        const std::size_t m = layout.model_layer[l];
        const Complex slowness_p = (1.0 - dispersion / model.qp[m]) / model.vp_km_s[m];
        const Complex slowness_s = (1.0 - dispersion / model.qs[m]) / model.vs_km_s[m];
        const double rho = model.rho_g_cm3[m];
        const Complex ws = omega * omega * slowness_s * slowness_s;
        const Complex mu = rho / (slowness_s * slowness_s);
        out[l] = {layout.thickness_km[l], omega * omega * slowness_p * slowness_p, ws, mu,
                  rho / (slowness_p * slowness_p), 1.0 / ws, 0.5 / mu};
    }
}

// The integrands of the ten responses at wavenumber k for one source (see greens.hpp and
// the jumps of Aki and Richards 2002, 7.3: [U] = Mzz / (2 pi (lambda + 2 mu)) at order 0,
// [V] and [W] from Mxz, Myz / (4 pi mu) at order 1, [Q] and [N] from k M / (4 pi) at
// orders 0 and 2), each weighted by k dk and laid out as SUMS doubles.
void integrands(const SourceResponse& r, const LayerAtFrequency& medium, double k, double weight,
                double* out) {
    constexpr double two_pi = 2.0 * std::numbers::pi;
    const Complex lambda = medium.modulus_p - 2.0 * medium.mu;
    const Complex per_modulus = weight / (two_pi * medium.modulus_p);
    const Complex per_mu = weight / (two_pi * medium.mu);
    const double per_two_pi = weight * k / two_pi;
    const Complex values[11] = {
        (r.uu - r.uq * k * lambda) * per_modulus,    // a:  J0
        r.uq * per_two_pi,                            // c:  J0
        r.vv * per_mu,                                // g1: J0
        -r.ww * per_mu,                               // h1: J0
        -(r.vu - r.vq * k * lambda) * per_modulus,   // b:  J1
        -r.vq * per_two_pi,                           // d:  J1
        r.uv * per_mu,                                // e:  J1
        r.wn * per_two_pi,                            // l1: J1
        r.uq * per_two_pi,                            // c:  J1(x)/x
        (r.ww - r.vv) * per_mu,                       // g2: J1(x)/x
        (r.vq - r.wn) * (2.0 * per_two_pi),           // q2: J2(x)/x
    };
    for (std::size_t i = 0; i < 11; ++i) {
        out[2 * i] = values[i].real();
        out[2 * i + 1] = values[i].imag();
    }
}

// Four doubles, one per distance, in whatever vector registers the build targets (GCC's
// and Clang's vector extension; the arithmetic is lane by lane, as scalars would do it).
typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));
constexpr std::size_t LANES = 4;

inline Lanes load(const double* from) {
    Lanes lanes;
    std::memcpy(&lanes, from, sizeof lanes);
    return lanes;
}

// Adds to sums[i * distances + d] the integrands of wavenumbers [first, last) (kernels
// holds them from `base` on) times their Bessel factors at each distance: J0 for the
// first 8, J1 for the next 8, J1(x)/x for 4 and J2(x)/x for 2. Four distances at a time,
// their 22 sums kept in registers across the wavenumbers; each sum is added to in
// increasing wavenumber.
void accumulate(const double* kernels, std::size_t base, std::size_t first, std::size_t last,
                const Sampling& sampling, std::span<const double> inverse_distance,
                std::span<const double> half_at_zero, double* sums) {
    const std::size_t distances = inverse_distance.size();
    const std::size_t rows = sampling.j0.size() / distances;
    std::size_t d = 0;
    for (; d + LANES <= distances; d += LANES) {
        const double* j0[LANES];
        const double* j1[LANES];
        for (std::size_t lane = 0; lane < LANES; ++lane) {
            j0[lane] = sampling.j0.data() + (d + lane) * rows;
            j1[lane] = sampling.j1.data() + (d + lane) * rows;
        }
        const Lanes inverse_r = load(inverse_distance.data() + d);
        const Lanes half = load(half_at_zero.data() + d);
        Lanes total[SUMS] = {};
        for (std::size_t m = first; m < last; ++m) {
            const double* v = kernels + (m - base) * SUMS;
            const double inverse_k = 1.0 / ((static_cast<double>(m) + 0.5) * sampling.wavenumber_step_per_km);
            const Lanes b0 = {j0[0][m], j0[1][m], j0[2][m], j0[3][m]};
            const Lanes b1 = {j1[0][m], j1[1][m], j1[2][m], j1[3][m]};
            const Lanes inverse_x = inverse_k * inverse_r;
            const Lanes p = b1 * inverse_x + half;       // J1(x)/x, 1/2 at x = 0
            const Lanes q = (2.0 * p - b0) * inverse_x;  // J2(x)/x, 0 at x = 0
            for (std::size_t i = 0; i < 8; ++i) total[i] += v[i] * b0;
            for (std::size_t i = 8; i < 16; ++i) total[i] += v[i] * b1;
            for (std::size_t i = 16; i < 20; ++i) total[i] += v[i] * p;
            for (std::size_t i = 20; i < 22; ++i) total[i] += v[i] * q;
        }
        for (std::size_t i = 0; i < SUMS; ++i) {
            for (std::size_t lane = 0; lane < LANES; ++lane) sums[i * distances + d + lane] += total[i][lane];
        }
    }
    for (; d < distances; ++d) {  // the last few distances, one at a time, the same way
        const double* j0 = sampling.j0.data() + d * rows;
        const double* j1 = sampling.j1.data() + d * rows;
        double total[SUMS] = {};
        for (std::size_t m = first; m < last; ++m) {
            const double* v = kernels + (m - base) * SUMS;
            const double inverse_k = 1.0 / ((static_cast<double>(m) + 0.5) * sampling.wavenumber_step_per_km);
            const double inverse_x = inverse_k * inverse_distance[d];
            const double p = j1[m] * inverse_x + half_at_zero[d];
            const double q = (2.0 * p - j0[m]) * inverse_x;
            for (std::size_t i = 0; i < 8; ++i) total[i] += v[i] * j0[m];
            for (std::size_t i = 8; i < 16; ++i) total[i] += v[i] * j1[m];
            for (std::size_t i = 16; i < 20; ++i) total[i] += v[i] * p;
            for (std::size_t i = 20; i < 22; ++i) total[i] += v[i] * q;
        }
        for (std::size_t i = 0; i < SUMS; ++i) sums[i * distances + d] += total[i];
    }
}

// The ten responses at one distance from the sums (see greens.hpp for the order; U in
// the integrands is down, the responses' Z up).
void responses(const double* sums, std::size_t distances, std::size_t d, Complex out[RESPONSES]) {
    auto sum = [&](std::size_t i) { return Complex(sums[2 * i * distances + d], sums[(2 * i + 1) * distances + d]); };
    const Complex a_j0 = sum(0), c_j0 = sum(1), g1_j0 = sum(2), h1_j0 = sum(3);
    const Complex b_j1 = sum(4), d_j1 = sum(5), e_j1 = sum(6), l1_j1 = sum(7);
    const Complex c_p = sum(8), g2_p = sum(9), q2_q = sum(10);
    out[0] = -a_j0;              // ZZZ
    out[1] = b_j1;               // RZZ
    out[2] = -c_j0;              // ZH
    out[3] = d_j1;               // RH
    out[4] = -e_j1;              // Z1
    out[5] = g1_j0 + g2_p;       // R1
    out[6] = h1_j0 + g2_p;       // T1
    out[7] = 2.0 * c_p - c_j0;   // Z2
    out[8] = d_j1 + q2_q;        // R2
    out[9] = l1_j1 + q2_q;       // T2
    for (std::size_t i = 0; i < RESPONSES; ++i) out[i] *= METRES_PER_NEWTON_METRE;
}

// One frequency of the block: the kernels of every source, wavenumber block by block,
// summed over distances, then written out.
void one_frequency(const Model& model, const Geometry& geometry, const Sampling& sampling,
                   const Layout& layout, std::size_t n, std::span<Complex> out) {
    const std::size_t sources = layout.sources.size();
    const std::size_t distances = geometry.distance_km.size();
    const std::size_t frequencies = sampling.frequencies;
    const double frequency = static_cast<double>(sampling.first_frequency + n) * sampling.frequency_step_hz;
    const Complex omega(2.0 * std::numbers::pi * frequency, sampling.damping_per_s);

    std::vector<LayerAtFrequency> layers(layout.model_layer.size());
    layers_at(model, layout, omega, layers);
    Stack stack(layers, layout.receiver_layer, layout.sources);
    std::vector<SourceResponse> response(sources);
    std::vector<double> kernels(sources * WAVENUMBER_BLOCK * SUMS);
    std::vector<double> sums(sources * SUMS * distances, 0.0);
    std::vector<double> inverse_distance(distances), half_at_zero(distances);
    for (std::size_t d = 0; d < distances; ++d) {
        const double r = geometry.distance_km[d];
        inverse_distance[d] = r > 0.0 ? 1.0 / r : 0.0;
        half_at_zero[d] = r > 0.0 ? 0.0 : 0.5;
    }
    // The sources by their own count, most first: at wavenumber m only those whose sum
    // still runs (a prefix of this order) are worked out. A shallow source needs many
    // times the wavenumbers of a deep one, and every source's terms are its own.
    auto own = [&](std::size_t s) { return static_cast<std::size_t>(sampling.wavenumber_count[s * frequencies + n]); };
    std::vector<std::size_t> order(sources);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return own(a) > own(b); });
    const std::size_t wavenumbers = sources == 0 ? 0 : own(order[0]);
    std::size_t active = sources;

    for (std::size_t first = 0; first < wavenumbers; first += WAVENUMBER_BLOCK) {
        const std::size_t last = std::min(wavenumbers, first + WAVENUMBER_BLOCK);
        for (std::size_t m = first; m < last; ++m) {
            while (own(order[active - 1]) <= m) --active;
            const double k = (static_cast<double>(m) + 0.5) * sampling.wavenumber_step_per_km;
            const std::span<const std::size_t> summed(order.data(), active);
            stack.respond(k, summed, response);
            for (std::size_t s : summed) {
                integrands(response[s], layers[layout.sources[s].layer], k, k * sampling.wavenumber_step_per_km,
                           kernels.data() + (s * WAVENUMBER_BLOCK + (m - first)) * SUMS);
            }
        }
        for (std::size_t s = 0; s < sources; ++s) {
            if (own(s) <= first) continue;
            accumulate(kernels.data() + s * WAVENUMBER_BLOCK * SUMS, first, first, std::min(last, own(s)), sampling,
                       inverse_distance, half_at_zero, sums.data() + s * SUMS * distances);
        }
    }

    for (std::size_t s = 0; s < sources; ++s) {
        for (std::size_t d = 0; d < distances; ++d) {
            Complex values[RESPONSES];
            responses(sums.data() + s * SUMS * distances, distances, d, values);
            for (std::size_t i = 0; i < RESPONSES; ++i) {
                out[((s * distances + d) * RESPONSES + i) * frequencies + n] = values[i];
            }
        }
    }
}

bool finite_positive(double value) { return std::isfinite(value) && value > 0.0; }

// Why the arguments cannot be used, or false.
bool refused(const Model& model, const Geometry& geometry, const Sampling& sampling, std::size_t out_size,
             Refusal& refusal) {
    const std::size_t layers = model.top_km.size();
    if (layers == 0 || model.vp_km_s.size() != layers || model.vs_km_s.size() != layers ||
        model.rho_g_cm3.size() != layers || model.qp.size() != layers || model.qs.size() != layers) {
        refusal.say("the model needs the same number (at least one) of tops, Vp, Vs, densities, Qp and Qs");
        return true;
    }
    for (std::size_t l = 0; l < layers; ++l) {
        const double top = model.top_km[l];
        if (!std::isfinite(top) || (l == 0 && top != 0.0) || (l > 0 && !(top > model.top_km[l - 1]))) {
            refusal.say("layer %zu: tops must start at 0 km and increase", l + 1);
            return true;
        }
        if (!finite_positive(model.vs_km_s[l]) || !finite_positive(model.rho_g_cm3[l]) ||
            !std::isfinite(model.vp_km_s[l]) || !(model.vp_km_s[l] > model.vs_km_s[l]) ||
            !(model.qp[l] > 0.0) || !(model.qs[l] > 0.0)) {
            refusal.say("layer %zu: Vs, density and Q must be positive, Vp above Vs", l + 1);
            return true;
        }
    }
    if (!finite_positive(model.reference_frequency_hz)) {
        refusal.say("the reference frequency must be a positive number of Hz");
        return true;
    }
    if (!std::isfinite(geometry.receiver_depth_km) || geometry.receiver_depth_km < 0.0) {
        refusal.say("the receivers' depth must be a finite number of km, 0 or more");
        return true;
    }
    for (double depth : geometry.source_depth_km) {
        if (!std::isfinite(depth) || !(depth > geometry.receiver_depth_km)) {
            refusal.say("source depth %g km: sources must lie below the receivers' depth", depth);
            return true;
        }
    }
    for (double distance : geometry.distance_km) {
        if (!std::isfinite(distance) || distance < 0.0) {
            refusal.say("distance %g km: distances must be finite numbers of km, 0 or more", distance);
            return true;
        }
    }
    if (!finite_positive(sampling.frequency_step_hz) || !finite_positive(sampling.damping_per_s) ||
        !finite_positive(sampling.wavenumber_step_per_km)) {
        refusal.say("the frequency step, the damping and the wavenumber step must be positive numbers");
        return true;
    }
    const std::size_t sources = geometry.source_depth_km.size();
    const std::size_t distances = geometry.distance_km.size();
    if (sampling.wavenumber_count.size() != sources * sampling.frequencies) {
        refusal.say("wavenumber_count needs one count per source and frequency");
        return true;
    }
    const std::size_t rows = distances == 0 ? 0 : sampling.j0.size() / distances;
    if (sampling.j1.size() != sampling.j0.size() || rows * distances != sampling.j0.size()) {
        refusal.say("j0 and j1 need the same whole number of rows of one value per distance");
        return true;
    }
    for (std::int64_t count : sampling.wavenumber_count) {
        if (count < 0 || static_cast<std::uint64_t>(count) > rows) {
            refusal.say("wavenumber count %lld is outside 0 ... %zu, the rows of j0 and j1",
                        static_cast<long long>(count), rows);
            return true;
        }
    }
    if (out_size != sources * distances * RESPONSES * sampling.frequencies) {
        refusal.say("out needs %zu complex values", sources * distances * RESPONSES * sampling.frequencies);
        return true;
    }
    return false;
}

}  // namespace

void Refusal::say(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(reason, sizeof reason, format, arguments);
    va_end(arguments);
}

Status spectra(const Model& model, const Geometry& geometry, const Sampling& sampling,
               std::span<Complex> out, Refusal& refusal) {
    if (refused(model, geometry, sampling, out.size(), refusal)) return Status::REFUSED;
    try {
        const Layout layout = lay_out(model, geometry);
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, sampling.frequencies, 1),
                          [&](const tbb::blocked_range<std::size_t>& range) {
                              for (std::size_t n = range.begin(); n != range.end(); ++n) {
                                  one_frequency(model, geometry, sampling, layout, n, out);
                              }
                          });
    } catch (const std::bad_alloc&) {
        return Status::OUT_OF_MEMORY;
    }
    return Status::DONE;
}

}  // namespace greens
