// Speed of each transform at the codec's level choice on a 1M-sample signal:
// forward (multi_dwt) and inverse (multi_idwt) samples per second, the median
// of repeated runs. The last two columns time one level alone into buffers
// allocated beforehand: the arithmetic without the drivers' allocations.
// Usage: wavelet_bench [samples] [runs]
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "src/format/bands.hpp"
#include "wavelet/factory.hpp"

namespace {

using namespace corvane::wavelet;

template <class F>
double median_seconds(int runs, F&& body) {
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        body();
        const auto stop = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double>(stop - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 21;

    std::mt19937 rng(1);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    std::vector<float> signal(n);
    float walk = 0.0f;
    for (auto& v : signal) v = walk += noise(rng);

    struct Method {
        const char* name;
        corvane::Method method;
        std::shared_ptr<DwtExecutor> executor;
    };
    const Method methods[] = {{"cdf53", corvane::Method::Cdf53, corvane::make_executor(corvane::Method::Cdf53)},
                              {"cdf97", corvane::Method::Cdf97, corvane::make_executor(corvane::Method::Cdf97)},
                              {"db4", corvane::Method::Db4, corvane::make_executor(corvane::Method::Db4)},
                              {"sym4", corvane::Method::Sym4, corvane::make_executor(corvane::Method::Sym4)}};

    std::printf("%zu samples, median of %d runs\n", n, runs);
    std::printf("%-6s %6s %14s %14s %12s %14s %14s\n", "method", "levels", "forward Ms/s", "inverse Ms/s",
                "max error", "1-level fwd", "1-level inv");
    for (const auto& m : methods) {
        const std::size_t levels = corvane::pick_levels(n, m.method);
        auto decomposition = m.executor->multi_dwt(signal, levels);
        if (!decomposition) {
            std::printf("%s: %s\n", m.name, decomposition.error().message().c_str());
            return 1;
        }
        std::vector<std::span<const float>> details;
        for (const auto& level : decomposition->levels) details.emplace_back(level.details);
        const MultiDwtInput input{details, decomposition->levels.back().approximations};

        std::size_t sink = 0;
        const double forward = median_seconds(runs, [&] { sink += m.executor->multi_dwt(signal, levels)->levels.size(); });
        const double inverse = median_seconds(runs, [&] { sink += m.executor->multi_idwt(input)->size(); });

        const auto restored = m.executor->multi_idwt(input);
        double worst = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            worst = std::max(worst, static_cast<double>(std::abs((*restored)[i] - signal[i])));
        }
        const DwtSize size = m.executor->dwt_size(n);
        std::vector<float> approx(size.approx_length), detail(size.details_length);
        std::vector<float> output(m.executor->idwt_size(size.approx_length, size.details_length));
        const double level_forward =
            median_seconds(runs, [&] { sink += m.executor->execute_forward(signal, approx, detail).has_value(); });
        const double level_inverse =
            median_seconds(runs, [&] { sink += m.executor->execute_inverse(approx, detail, output).has_value(); });

        const auto rate = [n](double seconds) { return static_cast<double>(n) / seconds / 1e6; };
        std::printf("%-6s %6zu %14.1f %14.1f %12.3g %14.1f %14.1f%s\n", m.name, levels, rate(forward), rate(inverse),
                    worst, rate(level_forward), rate(level_inverse), sink == 0 ? "!" : "");
    }
    return 0;
}
