#pragma once
// Slip-rate pulses for every subfault, as compressed sparse rows.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "buffer.hpp"

namespace kernels {

namespace pulse {
struct LengthMismatch { const char* name; std::uint64_t length, n; };
struct BadSampleInterval { double dt; };
struct NonFiniteSlip { std::uint64_t index; double slip; };
struct BetaOutOfRange { std::uint64_t index; double beta; };
struct BadRiseTime { std::uint64_t index; double rise; };
}  // namespace pulse

using PulseError = std::variant<pulse::LengthMismatch, pulse::BadSampleInterval,
                                pulse::NonFiniteSlip, pulse::BetaOutOfRange, pulse::BadRiseTime>;

// Row k of the pulses is samples[offsets[k] : offsets[k + 1]].
struct CsrRows {
    Buffer<std::uint64_t> offsets;
    Buffer<double> samples;
};

// Samples every subfault's slip-rate pulse (m/s) at interval `dt` (s): the
// Liu-Archuleta-Hartzell shape when `beta` is given, a single-sample impulse otherwise.
std::variant<CsrRows, PulseError> sample_pulses(std::span<const double> slip_m,
                                                std::span<const double> rise_time_s,
                                                std::optional<std::span<const double>> beta,
                                                double dt);

std::string message(const PulseError& error);

}  // namespace kernels
