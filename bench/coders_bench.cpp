// Throughput of the coefficient model and the rANS byte coder on a few
// synthetic inputs. Each figure is the median of several timed runs, timed in
// the thread's own CPU time so that other work on a shared machine counts
// less; input MB/s counts the uncoded bytes (2 per coefficient), decisions are
// the binary decisions coded.
//
//   coders_bench [scale]   scale multiplies the input sizes (default 1)

#include <algorithm>
#include <bit>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "src/entropy/arans.hpp"
#include "src/entropy/cmodel.hpp"

namespace {

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}
using Bands = std::vector<std::vector<int16_t>>;

// Median seconds per call: each sample repeats the call for at least 50 ms.
double median_seconds(const std::function<void()>& call) {
    call();  // warm up
    std::vector<double> samples;
    for (int s = 0; s < 9; ++s) {
        int reps = 0;
        const double t0 = cpu_seconds();
        double elapsed = 0;
        do {
            call();
            ++reps;
            elapsed = cpu_seconds() - t0;
        } while (elapsed < 0.05);
        samples.push_back(elapsed / reps);
    }
    std::nth_element(samples.begin(), samples.begin() + 4, samples.end());
    return samples[4];
}

// Quantised wavelet-like bands of a signal of `n` samples over 8 levels: the
// approximation first, then the details from finest to coarsest, Laplacian
// with a spread that grows towards the coarse levels, dead zone |v| < 2.
Bands wavelet_like(size_t n, double spread, std::mt19937& rng) {
    constexpr size_t kLevels = 8;
    Bands bands(kLevels + 1);
    std::vector<size_t> sizes;
    size_t len = n;
    for (size_t l = 0; l < kLevels; ++l) {
        len = (len + 1) / 2;
        sizes.push_back(len);
    }
    auto laplace = [&](double scale) {
        std::exponential_distribution<double> e(1.0 / scale);
        const double v = (rng() & 1 ? 1 : -1) * e(rng);
        return static_cast<int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
    };
    bands[0].resize(sizes.back());
    for (auto& v : bands[0]) v = laplace(spread * 200);
    for (size_t l = 0; l < kLevels; ++l) {
        auto& band = bands[1 + l];
        band.resize(sizes[l]);
        const double scale = spread * std::pow(2.0, static_cast<double>(l));
        for (auto& v : band) {
            v = laplace(scale);
            if (std::abs(v) < 2) v = 0;
        }
    }
    return bands;
}

uint64_t cmodel_decisions(const Bands& bands) {
    uint64_t d = 0;
    for (const auto& band : bands) {
        uint32_t largest = 0;
        uint64_t nonzero = 0;
        for (int16_t v : band) {
            largest = std::max<uint32_t>(largest, static_cast<uint32_t>(std::abs(int32_t{v})));
            nonzero += v != 0;
        }
        const uint32_t w = largest == 0 ? 1 : static_cast<uint32_t>(std::bit_width(largest));
        d += band.size() + nonzero * (1 + w);
    }
    return d;
}

std::vector<uint8_t> as_le_bytes(const Bands& bands) {
    std::vector<uint8_t> out;
    for (const auto& band : bands)
        for (int16_t v : band) {
            const auto u = static_cast<uint16_t>(v);
            out.push_back(static_cast<uint8_t>(u));
            out.push_back(static_cast<uint8_t>(u >> 8));
        }
    return out;
}

void report(const char* what, const char* dir, double bytes, double decisions, double secs,
            double coded) {
    std::printf("%-34s %-6s %9.1f MB/s %8.1f M dec/s   (%.2f bits/decision, ratio %.3f)\n", what,
                dir, bytes / secs / 1e6, decisions / secs / 1e6, coded * 8 / decisions,
                coded / bytes);
}

void bench_cmodel(const char* name, const Bands& bands) {
    std::vector<std::span<const int16_t>> views(bands.begin(), bands.end());
    std::vector<size_t> lengths;
    size_t count = 0;
    for (const auto& b : bands) {
        lengths.push_back(b.size());
        count += b.size();
    }
    const double decisions = static_cast<double>(cmodel_decisions(bands));
    const std::vector<uint8_t> stream = corvane::encode_coeffs(views);
    const auto check = corvane::decode_coeffs(stream, lengths);
    if (!check || *check != bands) {
        std::fprintf(stderr, "cmodel round trip failed on %s\n", name);
        std::exit(1);
    }
    const double bytes = 2.0 * static_cast<double>(count);
    const auto coded = static_cast<double>(stream.size());
    std::size_t sink = 0;
    report(name, "encode", bytes, decisions,
           median_seconds([&] { sink += corvane::encode_coeffs(views).size(); }), coded);
    report(name, "decode", bytes, decisions,
           median_seconds([&] { sink += corvane::decode_coeffs(stream, lengths)->size(); }), coded);
    if (sink == 0) std::puts("");
}

void bench_arans(const char* name, const std::vector<uint8_t>& input) {
    const std::vector<uint8_t> stream = corvane::encode_stream(input);
    const auto check = corvane::decode_stream(stream);
    if (!check || *check != input) {
        std::fprintf(stderr, "arans round trip failed on %s\n", name);
        std::exit(1);
    }
    const double bytes = static_cast<double>(input.size());
    const double decisions = 8.0 * static_cast<double>(input.size() / 2 * 2);
    const auto coded = static_cast<double>(stream.size());
    std::size_t sink = 0;
    report(name, "encode", bytes, decisions,
           median_seconds([&] { sink += corvane::encode_stream(input).size(); }), coded);
    report(name, "decode", bytes, decisions,
           median_seconds([&] { sink += corvane::decode_stream(stream)->size(); }), coded);
    if (sink == 0) std::puts("");
}

}  // namespace

int main(int argc, char** argv) {
    const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
    const auto samples = static_cast<size_t>(1'000'000 * scale);
    std::mt19937 rng(1);

    const Bands sparse = wavelet_like(samples, 0.6, rng);  // smooth signal, mostly zeros
    const Bands dense = wavelet_like(samples, 40.0, rng);  // noisy signal, wide magnitudes
    std::printf("inputs: %zu coefficients per band set\n\n", samples);
    bench_cmodel("cmodel wavelet sparse", sparse);
    bench_cmodel("cmodel wavelet dense", dense);

    bench_arans("arans wavelet sparse (LE16)", as_le_bytes(sparse));
    bench_arans("arans wavelet dense (LE16)", as_le_bytes(dense));
    std::vector<uint8_t> noise(2 * samples);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    bench_arans("arans uniform noise", noise);
    std::vector<uint8_t> small(4000);
    for (auto& b : small) b = static_cast<uint8_t>(rng() % 16);
    bench_arans("arans 4000 bytes, 16 symbols", small);
    return 0;
}
