#pragma once
// How failure messages write the numbers they quote.

#include <cstdint>
#include <string>

namespace kernels {

// Plain unsigned decimal: no sign, grouping or padding.
std::string format_count(std::uint64_t value);

// The product a * b in plain decimal, also when it does not fit in 64 bits.
std::string format_product(std::uint64_t a, std::uint64_t b);

// The shortest decimal that reads back as the same double, positional (never an
// exponent), without a fractional part when integral; "NaN", "inf", "-inf" and "-0".
std::string format_shortest(double value);

// Exactly `decimals` digits after the point, correctly rounded from the binary value,
// an exact tie going to the even digit.
std::string format_fixed(double value, int decimals);

// Builds a visitor from lambdas, for rendering a failure variant kind by kind:
// std::visit(Overloaded{[](const A&) {...}, [](const B&) {...}}, failure).
template <class... Lambdas>
struct Overloaded : Lambdas... {
    using Lambdas::operator()...;
};

}  // namespace kernels
