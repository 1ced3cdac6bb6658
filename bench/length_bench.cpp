// Cost of one compress and one decompress call over signal length, at the
// default options, timed in the thread's own CPU time. Reads raw float32
// samples from a file (tiled when a length asks for more than it holds) and
// prints one line per length:
//
//   <samples> <compress s> <decompress s> <stream bytes> <stream hash> <decoded hash>
//
// The hashes let a driver check that two builds write the same bytes and
// decode the same samples. bench/length_curve.py runs this program for two
// builds side by side.
//
//   length_bench SIGNAL.f32 N...        times at each length N
//   length_bench --keep STREAM SIGNAL.f32 N
//                                       the same at one length, keeping the stream
//   length_bench --decompress STREAM    times decompressing a kept stream alone
//   length_bench --peak SIGNAL.f32 N    peak resident growth of one compress
//
// A call's cost depends on what the calls before it left in the allocator
// (memory already faulted in, or fresh mappings), so the driver times each
// call in a process of its own.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

// The public header where the core has one (builds from before it reach the
// same two calls through the internal headers, for side-by-side runs).
#if __has_include("corvane/corvane.hpp")
#include "corvane/corvane.hpp"
#else
#endif

namespace {

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

std::uint64_t fnv1a(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

std::vector<float> read_signal(const char* path, std::size_t n) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        std::fprintf(stderr, "can't open %s\n", path);
        std::exit(1);
    }
    std::vector<float> file;
    float buf[4096];
    for (std::size_t got; (got = std::fread(buf, sizeof(float), 4096, f)) != 0;) file.insert(file.end(), buf, buf + got);
    std::fclose(f);
    if (file.empty()) {
        std::fprintf(stderr, "%s holds no samples\n", path);
        std::exit(1);
    }
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = file[i % file.size()];
    return x;
}

std::size_t status_bytes(const char* field) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    std::size_t kb = 0;
    const std::size_t len = std::strlen(field);
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, field, len) == 0 && line[len] == ':') kb = std::strtoull(line + len + 1, nullptr, 10);
    std::fclose(f);
    return kb * 1024;
}

// Seconds per call: the fastest of the calls made in at least `budget`
// seconds (one call at the least). Other work on the machine only ever adds
// time, so the fastest call is the one it disturbed least.
template <class Call>
double seconds_per_call(Call&& call, double budget) {
    std::vector<double> times;
    const double start = cpu_seconds();
    do {
        const double t0 = cpu_seconds();
        call();
        times.push_back(cpu_seconds() - t0);
    } while (cpu_seconds() - start < budget && times.size() < 101);
    return *std::min_element(times.begin(), times.end());
}

}  // namespace

int main(int argc, char** argv) {
    const corvane::CompressionConfig config{};
    if (argc == 4 && std::strcmp(argv[1], "--peak") == 0) {
        const std::size_t n = std::strtoull(argv[3], nullptr, 10);
        const std::vector<float> x = read_signal(argv[2], n);
        (void)corvane::compress(std::span(x).first(std::min<std::size_t>(n, 4096)), config);
        // Forget the high-water mark the input left behind.
        if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", f);
            std::fclose(f);
        }
        const std::size_t base = status_bytes("VmRSS");
        auto stream = corvane::compress(x, config);
        if (!stream) return 1;
        std::printf("%zu %zu %zu\n", n, status_bytes("VmHWM") - base, x.size() * sizeof(float));
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--decompress") == 0) {
        std::vector<std::uint8_t> stream;
        if (std::FILE* f = std::fopen(argv[2], "rb")) {
            std::uint8_t buf[65536];
            for (std::size_t got; (got = std::fread(buf, 1, sizeof buf, f)) != 0;) stream.insert(stream.end(), buf, buf + got);
            std::fclose(f);
        }
        std::vector<float> decoded;
        bool ok = true;
        const double budget = stream.size() < (std::size_t{1} << 21) ? 0.3 : 0.0;
        const double d = seconds_per_call(
            [&] {
                auto got = corvane::decompress(stream);
                ok = got.has_value();
                if (ok) decoded = std::move(*got);
            },
            budget);
        if (!ok) {
            std::fprintf(stderr, "%s does not decode\n", argv[2]);
            return 1;
        }
        std::printf("%zu %.6f %016llx\n", decoded.size(), d,
                    static_cast<unsigned long long>(fnv1a(decoded.data(), decoded.size() * sizeof(float))));
        return 0;
    }
    const char* keep = nullptr;
    if (argc == 5 && std::strcmp(argv[1], "--keep") == 0) {
        keep = argv[2];
        argv += 2;
        argc -= 2;
    }
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: length_bench SIGNAL.f32 N... | --keep STREAM SIGNAL.f32 N | --decompress STREAM"
                     " | --peak SIGNAL.f32 N\n");
        return 2;
    }
    std::size_t largest = 0;
    for (int a = 2; a < argc; ++a) largest = std::max<std::size_t>(largest, std::strtoull(argv[a], nullptr, 10));
    const std::vector<float> all = read_signal(argv[1], largest);
    for (int a = 2; a < argc; ++a) {
        const std::size_t n = std::strtoull(argv[a], nullptr, 10);
        const std::span<const float> x(all.data(), n);
        // Short signals get several calls (and a warm-up); long ones one.
        const double budget = n < (std::size_t{1} << 22) ? 0.3 : 0.0;
        if (budget > 0) (void)corvane::compress(x, config);
        std::vector<std::uint8_t> stream;
        const double c = seconds_per_call([&] { stream = *corvane::compress(x, config); }, budget);
        std::vector<float> decoded;
        const double d = seconds_per_call([&] { decoded = *corvane::decompress(stream); }, budget);
        std::printf("%zu %.6f %.6f %zu %016llx %016llx\n", n, c, d, stream.size(),
                    static_cast<unsigned long long>(fnv1a(stream.data(), stream.size())),
                    static_cast<unsigned long long>(fnv1a(decoded.data(), decoded.size() * sizeof(float))));
        std::fflush(stdout);
        if (keep != nullptr) {
            std::FILE* f = std::fopen(keep, "wb");
            if (f == nullptr || std::fwrite(stream.data(), 1, stream.size(), f) != stream.size()) return 1;
            std::fclose(f);
        }
    }
    return 0;
}
