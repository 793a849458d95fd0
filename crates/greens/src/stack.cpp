#include "stack.hpp"

#include <cmath>

namespace greens {

namespace {

// The layer's E matrix (stack.hpp) as 2 x 2 blocks: rows (U, V) and (P, Q), columns
// down-going (P, S) and up-going (P, S).
Blocks e_matrix(double k, Complex nu_p, Complex nu_s, Complex mu, Complex g) {
    const Complex mg = mu * g;
    const Complex kp = 2.0 * mu * k * nu_p;
    const Complex ks = 2.0 * mu * k * nu_s;
    return {{-nu_p, k, k, -nu_s}, {nu_p, k, k, nu_s}, {mg, -ks, -kp, mg}, {mg, ks, kp, mg}};
}

// E^-1 in closed form: every entry carries 1 / (k^2 - nu_s^2) = 1 / ws, taken from ws
// itself, so no difference of nearly equal numbers appears however slow the wave.
Blocks e_inverse(double k, Complex nu_p, Complex nu_s, Complex g, const LayerAtFrequency& medium) {
    const Complex w = medium.inverse_ws;
    const Complex half_w = 0.5 * w;
    const Complex per_nu_p = 1.0 / nu_p;
    const Complex per_nu_s = 1.0 / nu_s;
    const Complex gp = g * half_w * per_nu_p;
    const Complex gs = g * half_w * per_nu_s;
    const Complex kw = k * w;
    const Complex half_mu = -medium.half_per_mu * w;
    const Complex kp = half_mu * k * per_nu_p;
    const Complex ks = half_mu * k * per_nu_s;
    // Rows: down P, down S, up P, up S; columns U, V, P, Q.
    return {{gp, kw, kw, gs}, {half_mu, kp, ks, half_mu}, {-gp, kw, kw, -gs}, {half_mu, -kp, -ks, half_mu}};
}

// The Rayleigh function g^2 - 4 k^2 nu_p nu_s. Where its two terms nearly cancel (slow
// waves, k much above omega / c, and towards zero frequency) it is taken from the
// product with its conjugate form, whose leading terms cancel in closed form:
// g^4 - 16 k^4 nu_p^2 nu_s^2 = 16 k^6 (wp - ws) + 24 k^4 ws^2 - 16 k^4 wp ws
//                              - 8 k^2 ws^3 + ws^4.
Complex rayleigh_function(double k, Complex wp, Complex ws, Complex g, Complex nu_p, Complex nu_s) {
    const Complex g2 = g * g;
    const Complex cross = 4.0 * k * k * nu_p * nu_s;
    const Complex direct = g2 - cross;
    if (std::abs(direct) >= 0.5 * std::abs(g2)) return direct;
    const double k2 = k * k;
    const Complex product = 16.0 * k2 * k2 * k2 * (wp - ws) + 24.0 * k2 * k2 * ws * ws -
                            16.0 * k2 * k2 * wp * ws - 8.0 * k2 * ws * ws * ws + ws * ws * ws * ws;
    return product / (g2 + cross);
}

Diag2 phase_across(Complex nu_p, Complex nu_s, double height_km) {
    if (std::isinf(height_km)) return {0.0, 0.0};
    return {std::exp(-nu_p * height_km), std::exp(-nu_s * height_km)};
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

void Stack::respond(double k, std::span<SourceResponse> out) {
    const std::size_t count = layers_.size();
    const double k2 = k * k;
    for (std::size_t l = 0; l < count; ++l) {
        Layer& layer = layers_[l];
        const LayerAtFrequency& medium = media_[l];
        layer.nu_p = std::sqrt(k2 - medium.wp);
        layer.nu_s = std::sqrt(k2 - medium.ws);
        layer.g = 2.0 * k2 - medium.ws;
        layer.phase = phase_across(layer.nu_p, layer.nu_s, medium.thickness_km);
        layer.phase_sh = layer.phase.s;
        layer.e = e_matrix(k, layer.nu_p, layer.nu_s, medium.mu, layer.g);
        layer.e_inverse = e_inverse(k, layer.nu_p, layer.nu_s, layer.g, medium);
    }
    for (std::size_t i = 0; i + 1 < count; ++i) interface(i, interfaces_[i]);

    // Reflection from above, layer by layer down from the free surface (tractions vanish:
    // d = -E21^-1 E22 u, written out in closed form).
    {
        const Layer& top = layers_[0];
        const LayerAtFrequency& medium = media_[0];
        const Complex d = rayleigh_function(k, medium.wp, medium.ws, top.g, top.nu_p, top.nu_s);
        const Complex s = top.g * top.g + 4.0 * k2 * top.nu_p * top.nu_s;
        const Complex four_kg = 4.0 * k * top.g;
        layers_[0].up_reflection = {-s / d, -four_kg * top.nu_s / d, -four_kg * top.nu_p / d, -s / d};
        layers_[0].up_reflection_sh = 1.0;
    }
    for (std::size_t i = 0; i + 1 < count; ++i) {
        const Interface& face = interfaces_[i];
        const Mat2 above = sandwich(layers_[i].phase, layers_[i].up_reflection);
        transmission_[i] = inverse(IDENTITY - face.rd * above) * face.tu;
        layers_[i + 1].up_reflection = face.ru + face.td * above * transmission_[i];

        const Complex phase = layers_[i].phase_sh;
        const Complex above_sh = phase * layers_[i].up_reflection_sh * phase;
        transmission_sh_[i] = face.tu_sh / (1.0 - face.rd_sh * above_sh);
        layers_[i + 1].up_reflection_sh = face.ru_sh + face.td_sh * above_sh * transmission_sh_[i];
    }

    // Reflection from below, layer by layer up from the half-space, which sends nothing up.
    layers_[count - 1].down_reflection = ZERO;
    layers_[count - 1].down_reflection_sh = 0.0;
    for (std::size_t i = count - 1; i-- > receiver_layer_;) {
        const Interface& face = interfaces_[i];
        const Layer& lower = layers_[i + 1];
        if (i + 1 == count - 1) {
            layers_[i].down_reflection = face.rd;
            layers_[i].down_reflection_sh = face.rd_sh;
            continue;
        }
        const Mat2 below = sandwich(lower.phase, lower.down_reflection);
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
    for (std::size_t i = receiver_layer_; i + 1 < count; ++i) {
        layers_[i + 1].receiver_row = layers_[i].receiver_row * layers_[i].phase * transmission_[i];
        layers_[i + 1].receiver_row_sh = layers_[i].receiver_row_sh * layers_[i].phase_sh * transmission_sh_[i];
    }

    for (std::size_t s = 0; s < sources_.size(); ++s) source_response(sources_[s], out[s]);
}

// Just above the source the up-going wave u- and down-going d- satisfy d- = RU u-; just
// below, u+ = RD d+; the jump is d+ - d- = Sd, u+ - u- = Su. So
// u- = (I - RD RU)^-1 (RD Sd - Su), carried up to the layer's top and on to the receivers.
void Stack::source_response(const SourcePlace& place, SourceResponse& out) const {
    const Layer& layer = layers_[place.layer];
    const LayerAtFrequency& medium = media_[place.layer];
    const Diag2 up_phase = phase_across(layer.nu_p, layer.nu_s, place.below_top_km);
    const Diag2 down_phase = phase_across(layer.nu_p, layer.nu_s, place.above_bottom_km);
    const Mat2 ru = sandwich(up_phase, layer.up_reflection);
    const Mat2 rd = sandwich(down_phase, layer.down_reflection);
    const Mat2 reverberation = inverse(IDENTITY - rd * ru);
    const Mat2 row = layer.receiver_row * up_phase;
    // The waves of unit jumps of U, V and Q: columns 0, 1 and 3 of E^-1.
    const Blocks& f = layer.e_inverse;
    const Vec2 down[3] = {{f.m11.a, f.m11.c}, {f.m11.b, f.m11.d}, {f.m12.b, f.m12.d}};
    const Vec2 up[3] = {{f.m21.a, f.m21.c}, {f.m21.b, f.m21.d}, {f.m22.b, f.m22.d}};
    Vec2 displacement[3];
    for (std::size_t j = 0; j < 3; ++j) displacement[j] = row * (reverberation * (rd * down[j] - up[j]));
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
