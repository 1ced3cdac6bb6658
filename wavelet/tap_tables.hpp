// Low-pass scaling filters of the orthogonal wavelet families, kept in double
// precision and rounded to single precision (nearest, ties to even) on use.
//
// Order index k names a filter of 2k + 2 taps (Daubechies) or 2k + 4 taps
// (Symlet). Only the filters the codec builds are held: Daubechies order 3 and
// Symlet order 2, both of 8 taps. Taps are in the classical table order, which
// is the reconstruction low-pass filter; analysis uses them time-reversed.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace corvane::wavelet {

struct DaubechiesFamily {
    // The stored taps of order k, or an empty span for an order not held.
    static std::span<const double> taps(std::size_t order);
    // The taps of order k rounded to single precision; empty when not held.
    static std::vector<float> get_wavelet(std::size_t order);
};

struct SymletFamily {
    static std::span<const double> taps(std::size_t order);
    static std::vector<float> get_wavelet(std::size_t order);
};

// Quadrature mirror of an even-length low-pass filter:
// g[m] = (-1)^m * h[L-1-m]. Negation only flips the sign bit, so g carries
// exactly the magnitudes of h.
std::vector<float> low_pass_to_high(std::span<const float> low_pass);

}  // namespace corvane::wavelet
