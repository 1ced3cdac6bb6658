// The corrections of a refined chunk as the encoder forms and weighs them:
// the step a bound asks for, each sample's residual checked with the
// decoder's own arithmetic, what the residuals of a base would cost, and
// the bound a search over f32 samples runs at.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "src/refine/container.hpp"
#include "src/refine/residuals.hpp"
#include "src/target/split.hpp"

namespace corvane::target {

// The kind, bound and step of a chunk's corrections.
struct Corrector {
    refine::Kind kind = refine::Kind::Float;
    double bound = 0.0;  // floor(bound) for integers
    float step = 0.0f;
    // Whether a long predictor is weighed for the residuals: where integers
    // are kept exactly. There the residuals are most of what a chunk codes,
    // and a long predictor takes up to a tenth off smooth records; at wider
    // bounds it would take some bits off too, but move them from the base,
    // whose coder decodes fast, to the residuals', which would decode at
    // half the speed.
    bool long_predicted = false;
};

// The corrections for `bound` (the step a little under twice it for floats,
// 2 floor(bound) + 1 for integers).
Corrector corrector_for(const Held& held, double bound);

// The corrections of the base's samples y, each checked with the decoder's
// own arithmetic; a sample none brings within the bound is escaped.
refine::Refinement corrections(const Held& held, const Corrector& c, std::span<const float> y);

// Whether every sample of y (a base, or what a chunk decodes to) lies within
// the bound as the reader sees it (rounded, for an integer sample type):
// exactly, sample by sample, in blocks without a branch per sample, stopping
// at the first block with a miss.
bool keeps_bound(const Held& held, const Corrector& c, std::span<const float> y);

// What the corrections of the base y cost, in bits. The residuals of the
// blocks refine::sampling_for() takes are counted exactly (each the nearest
// quotient: the decoder's last-bit roundings, which the coded chunk heeds,
// move too few to matter here), and scaled to the whole signal by the
// modelled bits of every block against those of the blocks taken, so bursts
// the sample misses still count.
// `sample` is working memory; where the sample is every residual, as one
// block, it is left holding them, and `fitted`, when given, receives the
// predictor fitted to them and their bits. `weights`, when given, receives
// the two weights least squares fitted (whichever predictor then won).
double correction_bits(const Held& held, const Corrector& c, std::span<const float> y,
                       std::vector<std::int32_t>& sample, std::optional<refine::Fitted>* fitted = nullptr,
                       refine::Predictor* weights = nullptr);

// The largest error of decoded samples, as the chunk's reader sees them.
double largest_error(const Held& held, std::span<const float> decoded);

// The bound the search runs at, and the step of its corrections (0: the one
// corrector_for() takes from the bound).
struct Prepared {
    double bound = 0.0;
    float step = 0.0f;
    double spacing = 0.0;  // u, where the step is (2k + 1) u
};

// Single-precision samples and every value within a bound E of them lie on
// one grid: the spacing u of single-precision values at the smallest
// magnitude any of them can have, as spacings only grow with magnitude, by
// powers of two. Their distances are multiples of u, so every bound in
// [k u, (k + 1) u) admits the same decoded values as k u (below u, the
// samples alone), and the search runs at k u: all those bounds give one
// chunk, and a looser bound never runs at a tighter one. When all those
// values lie where the spacing is u itself, a step of (2k + 1) u reaches
// one value in every 2k + 1 along the grid, exactly (the integers' own
// step, in units of u): each sample is reached within k u of it, with a
// step wider than the usual one by a spacing.
// Integers and samples held wider, whose bounds mean otherwise, keep theirs.
Prepared on_grid(const Held& held, double bound);

}  // namespace corvane::target
