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

inline void scale_into(const float* __restrict from, std::size_t count, float factor, float* __restrict to) {
    for (std::size_t i = 0; i < count; ++i) to[i] = from[i] * factor;
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

// The inverse of split.
inline void merge(const float* __restrict s, const float* __restrict d, std::size_t n, float* __restrict x) {
    const std::size_t pairs = n / 2;
    for (std::size_t i = 0; i < pairs; ++i) {
        x[2 * i] = s[i];
        x[2 * i + 1] = d[i];
    }
    if (n % 2 != 0) x[n - 1] = s[pairs];
}

// The inverse of split for a level whose approximation already sits at the
// front of x: x[0 .. A) holds s, d lies elsewhere, and afterwards
// x[2j] = s[j], x[2i+1] = d[i]. Pairs are placed from the top down, so pair j
// lands at 2j >= j and never overwrites an s[j'] still to be read (j' < j).
// They go in blocks [lo, top) with 2 lo >= top, whose destinations
// x[2 lo .. 2 top) lie wholly above their sources x[lo .. top): each block is
// a merge of disjoint memory, which the compiler vectorises. Requires D >= 1
// and D <= A <= D + 1.
inline void merge_in_place(float* x, std::size_t approx, const float* __restrict d, std::size_t details) {
    if (approx > details) x[2 * details] = x[details];  // A = D + 1: s[D] is the last sample
    std::size_t top = details;
    while (top > 1) {
        const std::size_t lo = top - top / 2;
        merge(x + lo, d + lo, 2 * (top - lo), x + 2 * lo);
        top = lo;
    }
    x[1] = d[0];  // s[0] is in place already
}

// A level's two halves, s (A values) and d (D values), with the steps on
// them: forward they run on the split input, inverse on the halves before
// they are merged.
struct Halves {
    float* s;
    std::size_t approx;
    float* d;
    std::size_t details;
    void predict(float c) const { lifting::predict(d, details, s, approx, c); }
    void update(float c) const { lifting::update(s, approx, d, details, c); }
};

}  // namespace lifting

// A lifting transform as its constants. The steps alternate, a predict
// first: forward they run in order with their constants, and the halves are
// then multiplied by their scales; the inverse multiplies each half by the
// other half's scale (the two scales are each other's inverse), runs the
// steps in reverse order with the constants negated, and merges the halves.
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
    // The halves are lifted apart, the approximation at the front of the
    // output and the details in a copy of their own, then merged in place.
    Status execute_inverse(std::span<const float> approximation, std::span<const float> details,
                           std::span<float> output) const override;
    // The same, the details lifted where they are: no memory of its own.
    Status execute_inverse_consuming(std::span<float> approximation, std::span<float> details,
                                     std::span<float> output) const override;
    std::size_t idwt_size(std::size_t approx_length, std::size_t details_length) const override {
        return std::max<std::size_t>(approx_length + details_length, scheme_.minimum_length);
    }
    std::size_t filter_length() const override { return scheme_.filter_length; }

private:
    Status check_forward(std::size_t n, std::size_t approx, std::size_t details) const;
    Status check_inverse(std::size_t approx, std::size_t details, std::size_t output) const;
    // to[i] = from[i] times the factor if the scheme is scaled, else from[i].
    void place(const float* from, std::size_t count, float factor, float* to) const;
    // The rest of an inverse once the approximation, unscaled, is at the
    // front of the output and the details, unscaled, in d.
    void lift_and_merge(std::span<float> output, std::size_t approx, float* d, std::size_t details) const;

    LiftingScheme scheme_;
};

}  // namespace corvane::wavelet
