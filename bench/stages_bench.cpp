// Per-stage speed of the codec (Google Benchmark), on 1M samples of one
// signal: a multi-tone signal with a little noise, or the raw float32 samples
// of the file named by CORVANE_BENCH_SIGNAL. Times are the thread's CPU time;
// bytes/s count float32 samples (4 bytes each) for the transform stages and
// the 16-bit coefficients (2 bytes each) for the coders; `decisions` is the
// coefficient model's rate in binary decisions per second.
//
//   stages_bench [--benchmark_filter=...] [--benchmark_repetitions=5]

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <span>
#include <vector>

#include "src/entropy/arans.hpp"
#include "src/entropy/cmodel.hpp"
#include "src/codec/forward.hpp"
#include "src/format/bands.hpp"

namespace {

using namespace corvane;

constexpr std::size_t kSamples = std::size_t{1} << 20;

std::vector<float> signal() {
    std::vector<float> x(kSamples);
    if (const char* path = std::getenv("CORVANE_BENCH_SIGNAL")) {
        if (FILE* f = std::fopen(path, "rb")) {
            const std::size_t got = std::fread(x.data(), sizeof(float), x.size(), f);
            std::fclose(f);
            if (got == x.size()) return x;
        }
        std::fprintf(stderr, "can't read %zu samples from %s\n", x.size(), path);
        std::exit(1);
    }
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 0.002);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double t = static_cast<double>(i) / 1000.0;
        x[i] = static_cast<float>(std::sin(8.2 * t) + 0.5 * std::sin(68.4 * t + 1.0) + 0.1 * std::sin(957.0 * t) +
                                  noise(rng));
    }
    return x;
}

const std::vector<float>& samples() {
    static const std::vector<float> x = signal();
    return x;
}

const CompressionConfig kDefaults{};

QuantisedBands quantised(Method method = Method::Cdf97) {
    const auto executor = make_executor(method);
    auto w = normalise_signal(samples(), executor->filter_length());
    auto q = decompose_and_quantise(*executor, std::move(w->samples), pick_levels(kSamples, method),
                                    static_cast<float>(1u << kDefaults.scale),
                                    dead_zone_threshold(kDefaults.scale, kDefaults.cutoff));
    return std::move(*q);
}

std::vector<std::span<const std::int16_t>> views(const QuantisedBands& q) {
    std::vector<std::span<const std::int16_t>> out;
    std::size_t at = 0;
    for (const std::size_t len : q.lengths) {
        out.emplace_back(q.values.data() + at, len);
        at += len;
    }
    return out;
}

double decisions(const QuantisedBands& q) {
    double total = 0;
    for (const auto band : views(q)) {
        std::uint32_t largest = 0;
        double nonzero = 0;
        for (const std::int16_t v : band) {
            largest = std::max<std::uint32_t>(largest, static_cast<std::uint32_t>(std::abs(int{v})));
            nonzero += v != 0;
        }
        const double width = largest == 0 ? 1 : std::bit_width(largest);
        total += static_cast<double>(band.size()) + nonzero * (1 + width);
    }
    return total;
}

std::span<const std::uint8_t> as_bytes(const QuantisedBands& q) {
    return {reinterpret_cast<const std::uint8_t*>(q.values.data()), 2 * q.values.size()};
}

void samples_rate(benchmark::State& state, std::size_t count) {
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(count * sizeof(float)));
}

// ------------------------------------------------------------------ stages

void BM_Normalise(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(normalise_signal(samples(), 10));
    samples_rate(state, kSamples);
}
BENCHMARK(BM_Normalise);

void BM_Forward(benchmark::State& state) {
    const auto executor = make_executor(static_cast<Method>(state.range(0)));
    const auto size = executor->dwt_size(kSamples);
    std::vector<float> a(size.approx_length), d(size.details_length);
    for (auto _ : state) {
        benchmark::DoNotOptimize(executor->execute_forward(samples(), a, d));
        benchmark::ClobberMemory();
    }
    samples_rate(state, kSamples);
}

void BM_Inverse(benchmark::State& state) {
    const auto executor = make_executor(static_cast<Method>(state.range(0)));
    const auto size = executor->dwt_size(kSamples);
    std::vector<float> a(size.approx_length), d(size.details_length);
    (void)executor->execute_forward(samples(), a, d);
    std::vector<float> y(executor->idwt_size(a.size(), d.size()));
    for (auto _ : state) {
        std::fill(y.begin(), y.end(), 0.0f);  // the 8-tap synthesis adds into its output
        benchmark::DoNotOptimize(executor->execute_inverse(a, d, y));
        benchmark::ClobberMemory();
    }
    samples_rate(state, y.size());
}

// Methods by their codes: cdf53, cdf97, db4, sym4.
BENCHMARK(BM_Forward)->DenseRange(0, 3)->ArgName("method");
BENCHMARK(BM_Inverse)->DenseRange(0, 3)->ArgName("method");

void BM_QuantiseDeadZone(benchmark::State& state) {
    const auto executor = make_executor(Method::Cdf97);
    const auto size = executor->dwt_size(kSamples);
    std::vector<float> a(size.approx_length), d(size.details_length);
    (void)executor->execute_forward(samples(), a, d);
    std::vector<std::int16_t> out(d.size());
    for (auto _ : state) {
        quantise_band(d, 2048.0f, 2, out.data());
        benchmark::ClobberMemory();
    }
    samples_rate(state, d.size());
}
BENCHMARK(BM_QuantiseDeadZone);

void BM_DecomposeAndQuantise(benchmark::State& state) {
    const auto method = static_cast<Method>(state.range(0));
    const auto executor = make_executor(method);
    const auto w = normalise_signal(samples(), executor->filter_length());
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            decompose_and_quantise(*executor, w->samples, pick_levels(kSamples, method), 2048.0f, 2));
    }
    samples_rate(state, kSamples);
}
BENCHMARK(BM_DecomposeAndQuantise)->DenseRange(0, 3)->ArgName("method");

// ------------------------------------------------------------------ coders

void coder_rates(benchmark::State& state, const QuantisedBands& q, bool count_decisions) {
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(2 * q.values.size()));
    if (count_decisions) {
        state.counters["decisions"] = benchmark::Counter(decisions(q) * static_cast<double>(state.iterations()),
                                                         benchmark::Counter::kIsRate);
        state.counters["per_coeff"] = decisions(q) / static_cast<double>(q.values.size());
    }
}

void BM_CmodelEncode(benchmark::State& state) {
    const QuantisedBands q = quantised();
    const auto bands = views(q);
    for (auto _ : state) benchmark::DoNotOptimize(encode_coeffs(bands));
    coder_rates(state, q, true);
}
BENCHMARK(BM_CmodelEncode);

void BM_CmodelDecode(benchmark::State& state) {
    const QuantisedBands q = quantised();
    const auto stream = encode_coeffs(views(q));
    for (auto _ : state) benchmark::DoNotOptimize(decode_coeffs(stream, q.lengths));
    coder_rates(state, q, true);
}
BENCHMARK(BM_CmodelDecode);

void BM_AransEncode(benchmark::State& state) {
    const QuantisedBands q = quantised();
    for (auto _ : state) benchmark::DoNotOptimize(encode_stream(as_bytes(q)));
    coder_rates(state, q, false);
}
BENCHMARK(BM_AransEncode);

void BM_AransDecode(benchmark::State& state) {
    const QuantisedBands q = quantised();
    const auto stream = encode_stream(as_bytes(q));
    for (auto _ : state) benchmark::DoNotOptimize(decode_stream(stream));
    coder_rates(state, q, false);
}
BENCHMARK(BM_AransDecode);

// The deflate path's own work: raw DEFLATE at level 6 of the coefficient
// bytes, and inflating them back, with the parameters the codec uses.
void BM_Deflate(benchmark::State& state) {
    const QuantisedBands q = quantised();
    const auto bytes = as_bytes(q);
    std::vector<std::uint8_t> out(compressBound(static_cast<uLong>(bytes.size())) + 64);
    for (auto _ : state) {
        z_stream zs{};
        deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        zs.next_in = const_cast<Bytef*>(bytes.data());
        zs.avail_in = static_cast<uInt>(bytes.size());
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
        benchmark::DoNotOptimize(deflate(&zs, Z_FINISH));
        deflateEnd(&zs);
    }
    coder_rates(state, q, false);
}
BENCHMARK(BM_Deflate);

// ------------------------------------------------------------------ whole codec

void BM_Compress(benchmark::State& state) {
    CompressionConfig config;
    config.coder = static_cast<Coder>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(compress(samples(), config));
    samples_rate(state, kSamples);
}

void BM_Decompress(benchmark::State& state) {
    CompressionConfig config;
    config.coder = static_cast<Coder>(state.range(0));
    const auto stream = compress(samples(), config);
    for (auto _ : state) benchmark::DoNotOptimize(decompress(*stream));
    samples_rate(state, kSamples);
}

// Coders by their codes: deflate, arans, cmodel.
BENCHMARK(BM_Compress)->DenseRange(0, 2)->ArgName("coder");
BENCHMARK(BM_Decompress)->DenseRange(0, 2)->ArgName("coder");

}  // namespace

BENCHMARK_MAIN();
