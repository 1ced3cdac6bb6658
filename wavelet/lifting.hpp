// The CDF lifting transforms: the lifting steps themselves, and one executor
// that runs a scheme of them (cdf53f.cpp and cdf97f.cpp hold the two schemes).
// Its drivers differ from the filter banks' as DriverRules says: the minimum
// length (not filter_length) is checked on entry for every level count and
// before every level; idwt sizes its output as A + D and allows A = D + 1;
// multi_idwt passes each reconstruction whole to the next level.
//
// Layout of one level of n samples: s[j] = x[2j] (A = ceil(n/2) values),
// d[i] = x[2i+1] (D = floor(n/2) values), so D <= A <= D + 1.
//
// Every step is a <- a + c * (u + v), evaluated as t = u + v, p = c * t,
// a + p, each rounded to single precision. A missing neighbour is mirrored,
// so the term becomes u + u.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

#include "wavelet/level_drivers.hpp"

namespace corvane::wavelet {

namespace lifting {

// d[i] += c * (s[i] + s[i+1]) for every i < D; when A = D the last detail has
// no right neighbour and uses s[A-1] twice. Requires D >= 1 and D <= A <= D + 1.
inline void predict(float* __restrict d, std::size_t details, const float* __restrict s, std::size_t approx,
                    float c) {
    const std::size_t paired = details < approx ? details : approx - 1;
    for (std::size_t i = 0; i < paired; ++i) d[i] = d[i] + c * (s[i] + s[i + 1]);
    if (paired < details) d[details - 1] = d[details - 1] + c * (s[approx - 1] + s[approx - 1]);
}

// s[j] += c * (d[j-1] + d[j]); the first approximation uses d[0] twice and,
// when A = D + 1, the last uses d[D-1] twice. Requires A >= 2, D >= 1, A - 2 < D.
inline void update(float* __restrict s, std::size_t approx, const float* __restrict d, std::size_t details,
                   float c) {
    s[0] = s[0] + c * (d[0] + d[0]);
    const std::size_t inner = approx - 2;  // A - 2 < D, so min(A - 2, D - 1) = A - 2
    for (std::size_t k = 0; k < inner; ++k) s[k + 1] = s[k + 1] + c * (d[k] + d[k + 1]);
    s[approx - 1] = s[approx - 1] + c * (d[approx - 2] + d[details - 1]);
}

inline void scale(float* v, std::size_t count, float factor) {
    for (std::size_t i = 0; i < count; ++i) v[i] = v[i] * factor;
}

// Even samples to s, odd samples to d.
inline void split(const float* __restrict x, std::size_t n, float* __restrict s, float* __restrict d) {
    const std::size_t pairs = n / 2;
    for (std::size_t i = 0; i < pairs; ++i) {
        s[i] = x[2 * i];
        d[i] = x[2 * i + 1];
    }
    if (n % 2 != 0) s[pairs] = x[n - 1];
}

// update(c) on halves that are first multiplied by their factors, s[j] by
// s_factor and d[i] by d_factor, in one pass that leaves both multiplied.
// Each d[i] * d_factor is worked out where it is read, twice over, and
// stored only once both its approximations have read it (d[k] after s[k+1]),
// so the pass never reads back what it wrote; the products are the same
// rounded values either way. Requires what update does.
inline void scale_update(float* __restrict s, std::size_t approx, float s_factor, float* __restrict d,
                         std::size_t details, float d_factor, float c) {
    const float first = d[0] * d_factor;
    s[0] = s[0] * s_factor + c * (first + first);
    const std::size_t inner = approx - 2;
    for (std::size_t k = 0; k < inner; ++k) {
        s[k + 1] = s[k + 1] * s_factor + c * (d[k] * d_factor + d[k + 1] * d_factor);
        d[k] = d[k] * d_factor;
    }
    s[approx - 1] = s[approx - 1] * s_factor + c * (d[approx - 2] * d_factor + d[details - 1] * d_factor);
    scale(d + inner, details - inner, d_factor);
}

// predict(c) with its results written straight into x merged with s:
// x[2j] = s[j], x[2i+1] = d[i] + c * (s[i] + s[i+1]) (the inverse of split
// around the last step). s and d are only read. Requires what predict does.
inline void predict_merge(const float* __restrict d, std::size_t details, const float* __restrict s,
                          std::size_t approx, float c, float* __restrict x) {
    const std::size_t paired = details < approx ? details : approx - 1;
    for (std::size_t i = 0; i < paired; ++i) {
        x[2 * i] = s[i];
        x[2 * i + 1] = d[i] + c * (s[i] + s[i + 1]);
    }
    if (paired < details) {  // A = D: the last detail has no right neighbour
        x[2 * paired] = s[paired];
        x[2 * paired + 1] = d[paired] + c * (s[approx - 1] + s[approx - 1]);
    }
    if (approx > details) x[2 * details] = s[details];  // A = D + 1: the last sample
}

// A level's two halves, s (A values) and d (D values), with the steps on
// them.
struct Halves {
    float* s;
    std::size_t approx;
    float* d;
    std::size_t details;
    void predict(float c) const { lifting::predict(d, details, s, approx, c); }
    void update(float c) const { lifting::update(s, approx, d, details, c); }
};

}  // namespace lifting

// A lifting transform as its constants. The steps come in pairs, a predict
// and then an update: forward they run in order with their constants, and
// the halves are then multiplied by their scales. The inverse multiplies each
// half by the other half's scale (the two scales are each other's inverse),
// runs the steps in reverse order with the constants negated, and merges the
// halves: it starts with an update, whose pass takes the scaling too, and
// ends with a predict, whose pass writes the merged output.
struct LiftingScheme {
    std::size_t minimum_length;  // the shortest level: 2 + 1 or 2 + 2 samples
    std::size_t filter_length;
    std::span<const float> steps;
    bool scaled;  // without scales the halves are taken as they are
    float approx_scale;
    float detail_scale;
};

// The schemes of the two transforms.
extern const LiftingScheme kCdf53;
extern const LiftingScheme kCdf97;

// One level of a lifting scheme (execute_forward, execute_inverse) and its
// sizes, with the drivers of LevelDrivers.
class LiftingDwtExecutor final : public LevelDrivers {
public:
    explicit LiftingDwtExecutor(const LiftingScheme& scheme);

    // Checks the lengths, splits the input into the halves and lifts them.
    Status execute_forward(std::span<const float> input, std::span<float> approximation,
                           std::span<float> details) const override;
    // The scratch is neither checked nor used.
    Status execute_forward_with_scratch(std::span<const float> input, std::span<float> approximation,
                                        std::span<float> details, std::span<float> scratch) const override;
    std::size_t required_scratch_size(std::size_t) const override { return 0; }
    // Sizes have floors tied to the shortest input m: a level never reports
    // fewer than 2 approximations or m - 2 details, an inverse never fewer
    // than m samples (cdf53: m = 3, cdf97: m = 4).
    DwtSize dwt_size(std::size_t n) const override {
        return {std::max<std::size_t>(n - n / 2, 2), std::max<std::size_t>(n / 2, scheme_.minimum_length - 2)};
    }
    // Writes every output element; the inputs may not overlap the output.
    // Works on copies of the halves a tile at a time, on the stack.
    Status execute_inverse(std::span<const float> approximation, std::span<const float> details,
                           std::span<float> output) const override;
    // The same, the halves lifted where they are.
    Status execute_inverse_consuming(std::span<float> approximation, std::span<float> details,
                                     std::span<float> output) const override;
    std::size_t idwt_size(std::size_t approx_length, std::size_t details_length) const override {
        return std::max<std::size_t>(approx_length + details_length, scheme_.minimum_length);
    }
    std::size_t filter_length() const override { return scheme_.filter_length; }

private:
    Status check_forward(std::size_t n, std::size_t approx, std::size_t details) const;
    Status check_inverse(std::size_t approx, std::size_t details, std::size_t output) const;
    // One inverse level of halves that have passed the checks, lifted where
    // they are and merged into output.
    void lift_inverse(const lifting::Halves& level, float* output) const;

    LiftingScheme scheme_;
};

}  // namespace corvane::wavelet
