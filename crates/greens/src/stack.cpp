#include "stack.hpp"

#include <algorithm>
#include <cmath>

namespace greens {

namespace {

// Where the stack may end below the deepest source (Stack::layers_down_to_echo): an echo
// from deeper down is damped by exp(-2 ECHO_DECAY), about 4e-18, below double round-off.
constexpr double ECHO_DECAY = 20.0;

// What the basis needs of a layer at one wavenumber (stack.hpp): k + nu_p and k + nu_s,
// which give k - nu = (w / c)^2 / (k + nu) without cancelling, and gamma = wp / ws.
struct Terms {
    double k;
    Complex nu_p, nu_s, g, mu, ws, gamma, k_nu_p, k_nu_s;
    Complex d2_q;  // mu (2 k gamma / (k + nu_p) - 1): Q of D2 and U2, (g - 2 k nu_p) mu / ws
};

Terms terms(double k, Complex nu_p, Complex nu_s, Complex g, const LayerAtFrequency& medium) {
    const Complex gamma = medium.wp * medium.inverse_ws;
    const Complex k_nu_p = k + nu_p;
    const Complex k_nu_s = k + nu_s;
    return {k, nu_p, nu_s, g, medium.mu, medium.ws, gamma, k_nu_p, k_nu_s,
            medium.mu * (2.0 * k * gamma / k_nu_p - 1.0)};
}

// The layer's E matrix (stack.hpp) as 2 x 2 blocks: rows (U, V) and (P, Q), columns
// down-going (D1, D2) and up-going (U1, U2).
Blocks e_matrix(const Terms& t) {
    const Complex mg = t.mu * t.g;
    const Complex kp = 2.0 * t.mu * t.k * t.nu_p;
    const Complex p1 = t.gamma / t.k_nu_p;                      // (k - nu_p) / ws
    const Complex s1 = 1.0 / t.k_nu_s;                          // (k - nu_s) / ws
    const Complex s2 = t.mu * t.ws * s1 * s1;                   // (g - 2 k nu_s) mu / ws
    return {{-t.nu_p, p1, t.k, s1}, {t.nu_p, p1, t.k, -s1}, {mg, s2, -kp, t.d2_q}, {mg, -s2, kp, t.d2_q}};
}

// E^-1 in closed form: rows D1, D2, U1, U2; columns U, V, P, Q. (D1 and U1's rows are
// those of down and up P less or plus those of S in the plain basis, whose 1 / ws
// factors cancel in closed form.)
Blocks e_inverse(const Terms& t, const LayerAtFrequency& medium) {
    const Complex per_nu_p = 1.0 / t.nu_p;
    const Complex per_nu_s = 1.0 / t.nu_s;
    const Complex half_per_mu = medium.half_per_mu;
    const Complex a = 0.5 * (t.d2_q / t.mu) * per_nu_p;                // (2 k gamma / (k + nu_p) - 1) / (2 nu_p)
    const Complex b = -0.5 * t.ws * per_nu_s / (t.k_nu_s * t.k_nu_s);  // -ws / (2 nu_s (k + nu_s)^2)
    const Complex c = half_per_mu * per_nu_s / t.k_nu_s;               // 1 / (2 mu nu_s (k + nu_s))
    const Complex d = half_per_mu * t.gamma * per_nu_p / t.k_nu_p;     // gamma / (2 mu nu_p (k + nu_p))
    const Complex g = 0.5 * t.g * per_nu_s;
    const Complex ks = half_per_mu * t.k * per_nu_s;
    return {{a, b, t.k, g}, {c, -d, -ks, -half_per_mu}, {-a, b, t.k, -g}, {c, d, ks, -half_per_mu}};
}

// e^z - 1 for a complex z, without cancelling for small z.
Complex expm1(Complex z) {
    const double sine_half = std::sin(0.5 * z.imag());
    return {std::expm1(z.real()) * std::cos(z.imag()) - 2.0 * sine_half * sine_half,
            std::exp(z.real()) * std::sin(z.imag())};
}

// The phase across a height (zero across the half-space, where nothing comes back).
// p - s = s (e^{(nu_s - nu_p) h} - 1), with nu_s - nu_p = (wp - ws) / (nu_p + nu_s),
// where the two are close.
Phase phase_across(Complex nu_p, Complex nu_s, const LayerAtFrequency& medium, double height_km) {
    if (std::isinf(height_km)) return {0.0, 0.0, 0.0};
    const Complex p = std::exp(-nu_p * height_km);
    const Complex s = std::exp(-nu_s * height_km);
    const Complex exponent = (medium.wp - medium.ws) / (nu_p + nu_s) * height_km;  // (nu_s - nu_p) h
    const Complex difference = std::abs(exponent) < 1.0 ? s * expm1(exponent) : p - s;
    return {p, s, difference * medium.inverse_ws};
}

}  // namespace

Stack::Stack(std::span<const LayerAtFrequency> layers, std::size_t receiver_layer,
             std::span<const SourcePlace> sources)
    : media_(layers), receiver_layer_(receiver_layer), sources_(sources), layers_(layers.size()),
      interfaces_(layers.size() - 1), transmission_(layers.size() - 1), transmission_sh_(layers.size() - 1) {}

// The reflection and transmission coefficients of the interface below layer `upper`:
// [u_upper; d_lower] = [[rd, tu], [td, ru]] [d_upper; u_lower]. Continuity of the
// motion-stress vector carries the waves across, w_lower = E_lower^-1 E_upper w_upper =
// Q w_upper, and the coefficients follow from Q's blocks.
void Stack::interface(std::size_t upper, Interface& out) const {
    const Blocks& e = layers_[upper].e;
    const Blocks& f = layers_[upper + 1].e_inverse;
    const Mat2 q11 = f.m11 * e.m11 + f.m12 * e.m21;
    const Mat2 q12 = f.m11 * e.m12 + f.m12 * e.m22;
    const Mat2 q21 = f.m21 * e.m11 + f.m22 * e.m21;
    const Mat2 q22 = f.m21 * e.m12 + f.m22 * e.m22;
    out.tu = inverse(q22);
    out.rd = ZERO - out.tu * q21;
    out.td = q11 + q12 * out.rd;
    out.ru = q12 * out.tu;

    const Complex z1 = media_[upper].mu * layers_[upper].nu_s;
    const Complex z2 = media_[upper + 1].mu * layers_[upper + 1].nu_s;
    const Complex per_sum = 1.0 / (z1 + z2);
    out.rd_sh = (z1 - z2) * per_sum;
    out.ru_sh = (z2 - z1) * per_sum;
    out.tu_sh = 2.0 * z2 * per_sum;
    out.td_sh = 2.0 * z1 * per_sum;
}

// Works out the layers at wavenumber k from the top down, and returns the last one the
// stack needs: the half-space, or the first layer below `deepest` by which the slower
// decaying of P and S has decayed by ECHO_DECAY across the layers beneath `deepest` (that
// one included). The stack then ends there, that layer taken for a half-space: an echo
// from below it crosses those layers twice, so it is down by exp(-2 ECHO_DECAY) against
// what reaches `deepest` directly, below the round-off of the rest.
std::size_t Stack::layers_down_to_echo(double k, std::size_t deepest) {
    const std::size_t count = layers_.size();
    const double k2 = k * k;
    double decay = 0.0;
    for (std::size_t l = 0; l < count; ++l) {
        Layer& layer = layers_[l];
        const LayerAtFrequency& medium = media_[l];
        layer.nu_p = std::sqrt(k2 - medium.wp);
        layer.nu_s = std::sqrt(k2 - medium.ws);
        layer.g = 2.0 * k2 - medium.ws;
        const Terms t = terms(k, layer.nu_p, layer.nu_s, layer.g, medium);
        layer.phase = phase_across(layer.nu_p, layer.nu_s, medium, medium.thickness_km);
        layer.phase_sh = layer.phase.s;
        layer.e = e_matrix(t);
        layer.e_inverse = e_inverse(t, medium);
        if (l + 1 == count) return l;
        if (l > deepest) {
            decay += medium.thickness_km * std::min(layer.nu_p.real(), layer.nu_s.real());
            if (decay >= ECHO_DECAY) return l;
        }
    }
    return count - 1;
}

void Stack::respond(double k, std::span<const std::size_t> sources, std::span<SourceResponse> out) {
    // What comes from above is needed down to the deepest source's layer only; what comes
    // from below, down to where the layers beneath that one have damped their echo away.
    std::size_t deepest = receiver_layer_;
    for (std::size_t s : sources) deepest = std::max(deepest, sources_[s].layer);
    const std::size_t last = layers_down_to_echo(k, deepest);

    for (std::size_t i = 0; i < last; ++i) interface(i, interfaces_[i]);

    // Reflection from above, layer by layer down from the free surface, where the tractions
    // vanish: d = -E21^-1 E22 u.
    layers_[0].up_reflection = ZERO - inverse(layers_[0].e.m21) * layers_[0].e.m22;
    layers_[0].up_reflection_sh = 1.0;
    for (std::size_t i = 0; i < deepest; ++i) {
        const Interface& face = interfaces_[i];
        const Mat2 above = down(layers_[i].phase) * layers_[i].up_reflection * up(layers_[i].phase);
        transmission_[i] = inverse(IDENTITY - face.rd * above) * face.tu;
        layers_[i + 1].up_reflection = face.ru + face.td * above * transmission_[i];

        const Complex phase = layers_[i].phase_sh;
        const Complex above_sh = phase * layers_[i].up_reflection_sh * phase;
        transmission_sh_[i] = face.tu_sh / (1.0 - face.rd_sh * above_sh);
        layers_[i + 1].up_reflection_sh = face.ru_sh + face.td_sh * above_sh * transmission_sh_[i];
    }

    // Reflection from below, layer by layer up from the half-space (or the layer taken
    // for it), which sends nothing up.
    layers_[last].down_reflection = ZERO;
    layers_[last].down_reflection_sh = 0.0;
    for (std::size_t i = last; i-- > receiver_layer_;) {
        const Interface& face = interfaces_[i];
        const Layer& lower = layers_[i + 1];
        if (i + 1 == last) {
            layers_[i].down_reflection = face.rd;
            layers_[i].down_reflection_sh = face.rd_sh;
            continue;
        }
        const Mat2 below = up(lower.phase) * lower.down_reflection * down(lower.phase);
        layers_[i].down_reflection = face.rd + face.tu * below * inverse(IDENTITY - face.ru * below) * face.td;
        const Complex below_sh = lower.phase_sh * lower.down_reflection_sh * lower.phase_sh;
        layers_[i].down_reflection_sh =
            face.rd_sh + face.tu_sh * below_sh * face.td_sh / (1.0 - face.ru_sh * below_sh);
    }

    // The receivers' displacement from the up-going wave at each layer's top: at the
    // receivers' own layer (U, V) = (E11 R + E12) u, then down through the transmissions.
    {
        Layer& layer = layers_[receiver_layer_];
        layer.receiver_row = layer.e.m11 * layer.up_reflection + layer.e.m12;
        layer.receiver_row_sh = layer.up_reflection_sh + 1.0;
    }
    for (std::size_t i = receiver_layer_; i < deepest; ++i) {
        layers_[i + 1].receiver_row = layers_[i].receiver_row * up(layers_[i].phase) * transmission_[i];
        layers_[i + 1].receiver_row_sh = layers_[i].receiver_row_sh * layers_[i].phase_sh * transmission_sh_[i];
    }

    for (std::size_t s : sources) source_response(sources_[s], out[s]);
}

// Just above the source the up-going wave u- and down-going d- satisfy d- = RU u-; just
// below, u+ = RD d+; the jump is d+ - d- = Sd, u+ - u- = Su. So
// u- = (I - RD RU)^-1 (RD Sd - Su), carried up to the layer's top and on to the receivers.
void Stack::source_response(const SourcePlace& place, SourceResponse& out) const {
    const Layer& layer = layers_[place.layer];
    const LayerAtFrequency& medium = media_[place.layer];
    const Phase up_phase = phase_across(layer.nu_p, layer.nu_s, medium, place.below_top_km);
    const Phase down_phase = phase_across(layer.nu_p, layer.nu_s, medium, place.above_bottom_km);
    const Mat2 ru = down(up_phase) * layer.up_reflection * up(up_phase);
    const Mat2 rd = up(down_phase) * layer.down_reflection * down(down_phase);
    const Mat2 reverberation = inverse(IDENTITY - rd * ru);
    const Mat2 row = layer.receiver_row * up(up_phase);
    // The waves of unit jumps of U, V and Q: columns 0, 1 and 3 of E^-1.
    const Blocks& f = layer.e_inverse;
    const Vec2 sent_down[3] = {{f.m11.a, f.m11.c}, {f.m11.b, f.m11.d}, {f.m12.b, f.m12.d}};
    const Vec2 sent_up[3] = {{f.m21.a, f.m21.c}, {f.m21.b, f.m21.d}, {f.m22.b, f.m22.d}};
    Vec2 displacement[3];
    for (std::size_t j = 0; j < 3; ++j) displacement[j] = row * (reverberation * (rd * sent_down[j] - sent_up[j]));
    out.uu = displacement[0].x;
    out.vu = displacement[0].y;
    out.uv = displacement[1].x;
    out.vv = displacement[1].y;
    out.uq = displacement[2].x;
    out.vq = displacement[2].y;

    // SH: E^-1 of a jump of W is (1/2, 1/2), of N (-1, 1) / (2 mu nu).
    const Complex ru_sh = up_phase.s * layer.up_reflection_sh * up_phase.s;
    const Complex rd_sh = down_phase.s * layer.down_reflection_sh * down_phase.s;
    const Complex reverberation_sh = 1.0 / (1.0 - rd_sh * ru_sh);
    const Complex row_sh = layer.receiver_row_sh * up_phase.s;
    const Complex impedance = 2.0 * medium.mu * layer.nu_s;
    out.ww = row_sh * reverberation_sh * (rd_sh * 0.5 - 0.5);
    out.wn = row_sh * reverberation_sh * (-rd_sh / impedance - 1.0 / impedance);
}

}  // namespace greens
