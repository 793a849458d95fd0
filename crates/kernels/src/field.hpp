#pragma once
// Pairs of Gaussian random fields by circulant embedding, from a seeded normal stream.

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "buffer.hpp"

namespace kernels {

namespace field {
struct EmptyEmbedding { std::uint64_t pi, pj; };
struct QuadrantShape { std::uint64_t pi, pj, ri, rj; };
struct FaultTooLarge { std::uint64_t ci, cj, pi, pj; };
}  // namespace field

using DrawError = std::variant<field::EmptyEmbedding, field::QuadrantShape, field::FaultTooLarge>;

// The real and imaginary parts of one draw, each ci x cj values, row-major.
struct FieldPair {
    Buffer<double> real;
    Buffer<double> imaginary;
};

std::variant<FieldPair, DrawError> draw_pair(std::span<const double> amplitudes, std::uint64_t ri,
                                             std::uint64_t rj, std::uint64_t pi, std::uint64_t pj,
                                             std::uint64_t ci, std::uint64_t cj, std::uint64_t seed);

std::string message(const DrawError& error);

}  // namespace kernels
