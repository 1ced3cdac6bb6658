// A candidate's size and error predicted from per-band statistics of the
// coefficients, without quantising them.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "src/codec/inverse.hpp"
#include "src/target/stages.hpp"

namespace corvane::tuning {

namespace {

// Every band zero but for a unit coefficient in the middle of one.
class ImpulseSupply final : public BandSupply {
public:
    explicit ImpulseSupply(std::size_t band) : band_(band) {}
    void give(std::size_t band, std::size_t length, float* out) override {
        std::fill_n(out, length, 0.0f);
        if (band == band_) out[length / 2] = 1.0f;
    }

private:
    std::size_t band_;
};

}  // namespace

// Measured from an impulse in the middle of each band of a signal long
// enough for borders not to matter, through the decoder's inverse pipeline.
const std::vector<double>& band_gains(Method method, std::uint8_t levels) {
    static std::mutex lock;
    static std::map<std::pair<Method, std::uint8_t>, std::vector<double>> known;
    const std::scoped_lock hold(lock);
    std::vector<double>& gains = known[{method, levels}];
    if (!gains.empty()) return gains;

    const auto executor = make_executor(method);
    const std::size_t length = filter_length(method) * (std::size_t{4} << levels);
    const std::vector<std::size_t> lengths = band_lengths(*executor, length, levels);
    gains.assign(lengths.size(), 1.0);
    InverseWork work;
    for (std::size_t b = 0; b < lengths.size(); ++b) {
        ImpulseSupply impulse(b);
        const auto y = recompose(method, *executor, lengths, impulse, work);
        if (!y) continue;
        double energy = 0.0;
        for (const float v : *y) energy += static_cast<double>(v) * static_cast<double>(v);
        gains[b] = energy;
    }
    return gains;
}

Statistics gather(const Transformed& t) {
    Statistics s;
    s.shift = t.n >= 8192 ? 18 : 20;
    const std::uint32_t top = s.key_of(t.peak);
    const std::uint32_t below = static_cast<std::uint32_t>(kOctavesBelowPeak) << (23 - s.shift);
    s.first_key = top > below ? top - below : 0;
    const std::size_t count = top - s.first_key + 1;
    s.bands.resize(t.bands.size());
    // Slot 0 of the tables gathers what lies below the first bin, so that no
    // coefficient takes a branch on its size (which small coefficients,
    // scattered among the rest, would mispredict). Each statistic has a
    // table of its own, counts in integers, until the band is done: sums into
    // one table of bins would each wait for the one before.
    std::vector<std::uint32_t> counts(count + 1), pairs(count + 1);
    std::vector<double> sums(count + 1), squares(count + 1);
    const std::uint32_t first = s.first_key;
    const auto slot = [first](std::uint32_t key) {
        return static_cast<std::uint32_t>(key >= first) * (key - first + 1);
    };
    for (std::size_t b = 0; b < t.bands.size(); ++b) {
        BandStatistics& out = s.bands[b];
        out.thresholded = b != 0;
        out.size = static_cast<double>(t.bands[b].size());
        // (keys and slots grow with the magnitude, so the slot of the larger
        // of two magnitudes is the larger of their slots)
        std::uint32_t previous = slot(s.key_of(0.0f));
        std::uint32_t highest = 0;  // the highest slot the band reaches
        for (const float v : t.bands[b]) {
            const float a = std::abs(v);
            const double ad = a;
            const std::uint32_t j = slot(s.key_of(a));
            counts[j] += 1;
            sums[j] += ad;
            squares[j] += ad * ad;
            pairs[std::max(j, previous)] += 1;
            highest = std::max(highest, j);
            previous = j;
        }
        out.peak = t.band_peaks[b];  // (what the transform found)
        out.small_count = counts[0];
        out.small_squares = squares[0];
        out.small_pairs = pairs[0];
        counts[0] = pairs[0] = 0;
        sums[0] = squares[0] = 0.0;
        // Only the occupied bins are kept, each with its key; the tables go
        // back to the next band cleared. (A pair's slot is one of its two
        // coefficients', so no slot past the highest holds anything.)
        std::vector<Bin> occupied;
        occupied.reserve(highest);
        for (std::size_t j = 1; j <= highest; ++j) {
            if (counts[j] != 0 || pairs[j] != 0) {
                occupied.push_back(Bin{static_cast<double>(counts[j]), sums[j], squares[j],
                                       static_cast<double>(pairs[j]), static_cast<std::uint32_t>(first + j - 1)});
            }
            counts[j] = pairs[j] = 0;
            sums[j] = squares[j] = 0.0;
        }
        out.bins = std::move(occupied);
        out.lo.resize(out.bins.size());
        out.hi.resize(out.bins.size());
        out.before.resize(out.bins.size() + 1);
        for (std::size_t j = 0; j < out.bins.size(); ++j) {
            const Bin& bin = out.bins[j];
            out.lo[j] = static_cast<double>(s.bin_start(bin.key));
            out.hi[j] = static_cast<double>(s.bin_start(bin.key + 1));
            BinTotals next = out.before[j];
            next.count += bin.count;
            next.squares += bin.squares;
            next.pairs += bin.pairs;
            if (bin.count > 0.0) next.spread += bin.count * std::log2((out.hi[j] - out.lo[j]) / bin.count);
            out.before[j + 1] = next;
        }
    }
    return s;
}

namespace {

// log2 to within 3e-6, linearly between the values of a table in steps of
// 1/1024 of an octave: all the size estimates need, at a fraction of the
// library function's cost. (Zero, subnormal and larger arguments than any
// estimate forms take the library's path.)
constexpr int kLog2Steps = 1024;
const std::array<double, kLog2Steps + 1> kLog2Table = [] {
    std::array<double, kLog2Steps + 1> table{};
    for (int i = 0; i <= kLog2Steps; ++i) table[static_cast<std::size_t>(i)] = std::log2(1.0 + i / double{kLog2Steps});
    return table;
}();

double fast_log2(double x) {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    const auto biased = static_cast<int>(bits >> 52);  // the sign is 0 for the positive x taken here
    if (biased == 0 || biased >= 0x7ff) return std::log2(x);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    const auto step = static_cast<std::size_t>(fraction >> 42);
    const double within = static_cast<double>(fraction & ((std::uint64_t{1} << 42) - 1)) * 0x1p-42;
    const double below = kLog2Table[step];
    return static_cast<double>(biased - 1023) + below + within * (kLog2Table[step + 1] - below);
}

// floor(x) for x >= 0, exactly, by truncation (without an instruction to
// round, as on the baseline processors, std::floor is a library call).
double floor_positive(double x) {
    constexpr double kIntegral = 4503599627370496.0;  // 2^52: every double from here on is an integer
    return x < kIntegral ? static_cast<double>(static_cast<std::int64_t>(x)) : x;
}

// Cost of a binary decision of probability p in the adaptive model, which
// never believes a decision more certain than 4081 in 4096.
double decision_bits(double p) {
    constexpr double kFloor = 15.0 / 4096.0;
    const double q = std::clamp(p, kFloor, 1.0 - kFloor);
    return -(p * fast_log2(q) + (1.0 - p) * fast_log2(1.0 - q));
}

}  // namespace

namespace {

// The estimate, or with Bits false its squares alone (what the bits take
// from the bins is then left out).
template <bool Bits>
Estimate estimate_of(const Statistics& s, float m, int threshold, std::span<const double> gains) {
    constexpr std::size_t kCells = 48;
    // Bins at least 1/63 octave wide (the narrowest there are) that start
    // here span more than one cell.
    constexpr double kSpreadFrom = 64.0;
    Estimate e;
    std::array<double, kCells> cells{};
    std::size_t cells_touched = 0;
    const double md = m;
    const double log2_m = fast_log2(md);
    for (std::size_t b = 0; b < s.bands.size(); ++b) {
        const BandStatistics& band = s.bands[b];
        if (band.size == 0.0) continue;
        const double zero_below = std::max(band.thresholded ? threshold : 0, 1);
        double zeros = band.small_count, zero_pairs = band.small_pairs, squares = band.small_squares;
        double spread_count = 0.0, spread_bits = 0.0;
        std::fill_n(cells.begin(), cells_touched, 0.0);
        std::size_t cells_used = 0;
        // Bins that quantise to zero whole come first, and from the first
        // whose lower bound is past both the dead zone and the cells counted
        // one by one, every bin spans several cells: both runs are summed
        // from the band's totals, only the bins between are taken one by one.
        const std::size_t count = band.bins.size();
        const auto index_of = [&](auto&& before_it) {
            std::size_t first = 0, last = count;
            while (first < last) {
                const std::size_t mid = first + (last - first) / 2;
                if (before_it(mid)) first = mid + 1;
                else last = mid;
            }
            return first;
        };
        const std::size_t zero_end = index_of([&](std::size_t j) { return band.hi[j] * md <= zero_below; });
        const double spread_from = std::max(zero_below, kSpreadFrom);
        const std::size_t wide_from = index_of([&](std::size_t j) { return band.lo[j] * md < spread_from; });
        const BinTotals& zero = band.before[zero_end];
        zeros += zero.count;
        zero_pairs += zero.pairs;
        squares += zero.squares;
        const BinTotals& all = band.before[count];
        const BinTotals& below_wide = band.before[wide_from];
        const double wide = all.count - below_wide.count;
        if (wide > 0.0) {
            squares += wide / (3.0 * md * md);
            if constexpr (Bits) {
                spread_count += wide;
                spread_bits += all.spread - below_wide.spread + wide * log2_m;
            }
        }
        for (std::size_t j = zero_end; j < wide_from; ++j) {
            const Bin& bin = band.bins[j];
            const double lo = band.lo[j] * md;
            const double hi = band.hi[j] * md;
            double kept = bin.count, kept_share = 1.0, from = lo;
            if (lo < zero_below) {
                // (only the first bin taken can reach into the dead zone)
                const double zero_share = (zero_below - lo) / (hi - lo);
                zeros += zero_share * bin.count;
                zero_pairs += zero_share * bin.pairs;
                squares += zero_share * bin.squares;
                kept_share = 1.0 - zero_share;
                kept = kept_share * bin.count;
                from = zero_below;
            }
            if (kept == 0.0) continue;
            const double cell = floor_positive(from);
            if (floor_positive(hi) == cell || hi - from < 1.0) {
                // One quantisation cell: truncation to `cell` exactly.
                const double step = cell / md;
                squares += kept_share * (bin.squares - 2.0 * step * bin.sum + bin.count * step * step);
            } else {
                squares += kept / (3.0 * md * md);
            }
            if constexpr (!Bits) continue;
            if (hi <= static_cast<double>(kCells)) {
                // spread evenly over the cells the bin covers
                const double density = kept / (hi - from);
                for (double left = from, k = cell; left < hi; k += 1.0) {
                    const double right = std::min(k + 1.0, hi);
                    cells[static_cast<std::size_t>(k)] += density * (right - left);
                    left = right;
                }
                cells_used = std::max(cells_used, static_cast<std::size_t>(hi) + 1);
            } else {
                const double width = std::max(hi - from, 1.0);
                spread_count += kept;
                spread_bits += kept * fast_log2(width / kept);
            }
        }
        e.squares += gains[b] * squares;
        if constexpr (!Bits) continue;
        cells_touched = std::min(cells_used, kCells);

        const double nonzero = std::max(band.size - zeros, 0.0);
        if (zeros > 0.0 && zeros < band.size) {
            // zero flags in the context of the previous one
            const double after_zero = zero_pairs / zeros;
            const double after_nonzero = std::clamp((zeros - zero_pairs) / nonzero, 0.0, 1.0);
            e.bits += zeros * decision_bits(std::min(after_zero, 1.0)) + nonzero * decision_bits(after_nonzero);
        } else {
            e.bits += band.size * decision_bits(zeros > 0.0 ? 1.0 : 0.0);
        }
        if (nonzero > 0.0) {
            const double log2_nonzero = fast_log2(nonzero);
            double magnitude_bits = spread_bits + spread_count * log2_nonzero;
            for (std::size_t k = 0; k < std::min(cells_used, kCells); ++k)
                if (cells[k] > 0.0) magnitude_bits += cells[k] * (log2_nonzero - fast_log2(cells[k]));
            const double top = std::floor(static_cast<double>(band.peak) * md);
            const double width = top >= 1.0 ? static_cast<double>(std::bit_width(static_cast<std::uint32_t>(top))) : 1.0;
            // signs, the magnitude distribution, and the near-certain upper
            // magnitude bits the adaptive model still pays for
            e.bits += nonzero * (1.0 + width * 0.0053) + std::max(magnitude_bits, 0.0);
        }
    }
    return e;
}

}  // namespace

Estimate estimate(const Statistics& s, float m, int threshold, std::span<const double> gains) {
    return estimate_of<true>(s, m, threshold, gains);
}

double estimated_squares(const Statistics& s, float m, int threshold, std::span<const double> gains) {
    return estimate_of<false>(s, m, threshold, gains).squares;
}

}  // namespace corvane::tuning
