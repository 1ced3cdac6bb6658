// corvane: lossy wavelet compression of 1-D single-precision signals.
//
// The core's one public header: what a program that compresses and
// decompresses streams needs, and nothing of how it is done. Everything else
// under src/ and wavelet/ is internal to the core and may change at any time.
//
// Every function here is stateless and safe to call from any number of
// threads at once; failures come back as values (a CorvaneError), never as
// exceptions, except std::bad_alloc when memory runs out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "corvane/expected.hpp"

namespace corvane {

// ---------------------------------------------------------------- settings

// The numeric values are part of the contract: `Method` indexes the stream
// header's method codes, the first three `Coder` values are the header's coder
// codes, and the Python options class stores exactly these values.
enum class Method : std::uint8_t { Cdf53 = 0, Cdf97 = 1, Db4 = 2, Sym4 = 3 };
enum class Cutoff : std::uint8_t { Low = 0, Medium = 1, High = 2 };
enum class Coder : std::uint8_t { Deflate = 0, Arans = 1, Cmodel = 2, Auto = 3 };

struct CompressionConfig {
    Method method = Method::Cdf97;
    std::uint8_t scale = 11;  // 6..12
    Cutoff cutoff = Cutoff::Low;
    Coder coder = Coder::Auto;
    std::optional<float> quant_multiplier;  // absent: 2^scale

    friend bool operator==(const CompressionConfig&, const CompressionConfig&) = default;
};

// The scales a stream can be written with (2^scale is the default quantiser
// multiplier).
inline constexpr std::uint8_t kMinScale = 6;
inline constexpr std::uint8_t kMaxScale = 12;

// The largest sample count a stream can carry.
inline constexpr std::size_t kMaxSamples = 2147483647;

// Every stream starts with a header of kHeaderSize bytes, whose little-endian
// 32-bit word at kSampleCountOffset is the stream's sample count (what a
// reader of streams laid back to back needs before decoding any).
inline constexpr std::size_t kHeaderSize = 52;
inline constexpr std::size_t kSampleCountOffset = 16;

// The settings' names as options take them and messages list them, in that
// order; name_of gives the name of a value.
template <class Value>
struct Named {
    std::string_view name;
    Value value;
};
inline constexpr Named<Method> kMethodNames[] = {
    {"cdf97", Method::Cdf97}, {"cdf53", Method::Cdf53}, {"db4", Method::Db4}, {"sym4", Method::Sym4}};
inline constexpr Named<Cutoff> kCutoffNames[] = {
    {"low", Cutoff::Low}, {"medium", Cutoff::Medium}, {"high", Cutoff::High}};
inline constexpr Named<Coder> kCoderNames[] = {
    {"auto", Coder::Auto}, {"deflate", Coder::Deflate}, {"arans", Coder::Arans}, {"cmodel", Coder::Cmodel}};

template <class Value, std::size_t N>
constexpr std::string_view name_of(const Named<Value> (&names)[N], Value value) {
    for (const auto& entry : names) {
        if (entry.value == value) return entry.name;
    }
    return {};
}

// ---------------------------------------------------------------- errors

// The codec's single error type. Variants are declared in a fixed order (the
// tag values are part of the contract) and each renders to one line of text.
// Errors of other components arrive here already rendered to text.
class CorvaneError {
public:
    enum class Tag : std::uint8_t {
        InvalidMethod = 0,
        InvalidMagic = 1,
        InvalidFormatTag = 2,
        InvalidVersion = 3,
        Wavelet = 4,
        Io = 5,
        OutOfMemory = 6,
        InvalidHeader = 7,
        UnsupportedConfiguration = 8,
        Decompress = 9,
        UnsupportedScale = 10,
        UnknownCoder = 11,
    };

    static CorvaneError invalid_method(std::array<std::uint8_t, 4> code);
    static CorvaneError invalid_magic(std::array<std::uint8_t, 4> magic);
    static CorvaneError invalid_format_tag(std::array<std::uint8_t, 2> tag);
    static CorvaneError invalid_version(std::array<std::uint8_t, 2> version);
    static CorvaneError wavelet(std::string message);
    static CorvaneError io(std::string message);
    static CorvaneError out_of_memory(std::size_t additional);
    static CorvaneError invalid_header();
    static CorvaneError unsupported_configuration(std::string message);
    static CorvaneError decompress(std::string reason);
    static CorvaneError unsupported_scale(std::uint8_t scale);
    static CorvaneError unknown_coder(std::uint8_t coder);

    Tag tag() const noexcept { return static_cast<Tag>(payload_.index()); }
    std::string message() const;

    friend bool operator==(const CorvaneError&, const CorvaneError&) = default;

private:
    template <Tag T, class P>
    struct Carrying {
        P value;
        friend bool operator==(const Carrying&, const Carrying&) = default;
    };
    struct Nothing {
        friend bool operator==(const Nothing&, const Nothing&) = default;
    };
    // Alternatives in tag order: the variant index is the tag.
    using Payload = std::variant<Carrying<Tag::InvalidMethod, std::array<std::uint8_t, 4>>,
                                 Carrying<Tag::InvalidMagic, std::array<std::uint8_t, 4>>,
                                 Carrying<Tag::InvalidFormatTag, std::array<std::uint8_t, 2>>,
                                 Carrying<Tag::InvalidVersion, std::array<std::uint8_t, 2>>,
                                 Carrying<Tag::Wavelet, std::string>,
                                 Carrying<Tag::Io, std::string>,
                                 Carrying<Tag::OutOfMemory, std::size_t>,
                                 Nothing,
                                 Carrying<Tag::UnsupportedConfiguration, std::string>,
                                 Carrying<Tag::Decompress, std::string>,
                                 Carrying<Tag::UnsupportedScale, std::uint8_t>,
                                 Carrying<Tag::UnknownCoder, std::uint8_t>>;

    explicit CorvaneError(Payload payload) : payload_(std::move(payload)) {}
    template <Tag T, class... Value>
    static CorvaneError make(Value&&... value);

    Payload payload_;
};

// ---------------------------------------------------------------- the codec

// A complete stream (52-byte header and payload) for the samples. Refuses an
// empty or over-long signal, a signal whose range exceeds single precision,
// and settings out of their ranges (a scale outside kMinScale..kMaxScale, an
// enumerator no option names, a multiplier that is not a positive finite
// number), so every stream it writes decodes.
expected<std::vector<std::uint8_t>, CorvaneError> compress(std::span<const float> samples,
                                                           const CompressionConfig& config);

// What compress() refuses of a sample count alone (none, or more than
// kMaxSamples), in its words; callers that convert or copy samples first ask
// this before they do.
expected<void, CorvaneError> check_sample_count(std::size_t n);

// float64 samples rounded to the nearest float into out[0 .. in.size()).
// NaN and infinities pass through (compression sanitises them); a finite
// value beyond the float range is refused, as it would otherwise come back as
// an infinity's stand-in.
expected<void, CorvaneError> narrow_to_single(std::span<const double> in, float* out);

// Exactly the stream's sample count of samples. Validates the header and every
// declared size before trusting it, so hostile input yields an error.
expected<std::vector<float>, CorvaneError> decompress(std::span<const std::uint8_t> stream);

// ---------------------------------------------------------------- error targets

// Error targets: the smallest stream whose decoded samples stay within a given
// error of the input. The stream is an ordinary one; what the search chooses
// (the multiplier, and the dead zone through scale and cutoff) is all in its
// header. The method and the coder stay the ones configured.
//
// Cost: the signal is normalised and transformed once. Candidates are sized
// and their errors predicted from per-band statistics of the coefficients;
// the few most promising are quantised and reconstructed exactly (the
// decoder's own arithmetic), and the chosen one is encoded once and decoded
// once to check it. A candidate that fails the check is never returned.

enum class ErrorMeasure : std::uint8_t {
    // The largest |x[i] - y[i]|, in the signal's units.
    MaxAbs = 0,
    // Percent root-mean-square difference with the mean removed:
    // 100 * ||x - y|| / ||x - mean(x)||. A constant signal has a PRD of 0
    // when it decodes to its value in single precision, and none (infinity)
    // otherwise.
    Prd = 1,
};

inline constexpr Named<ErrorMeasure> kErrorMeasureNames[] = {
    {"max_abs_error", ErrorMeasure::MaxAbs}, {"prd", ErrorMeasure::Prd}};

struct ErrorTarget {
    ErrorMeasure measure = ErrorMeasure::MaxAbs;
    double bound = 0.0;  // finite and >= 0
};

// The error of `decoded` against `reference`, as `measure` defines it, in
// double precision (see ErrorMeasure for a constant reference). Sizes must
// agree.
double measure_error(ErrorMeasure measure, std::span<const double> reference, std::span<const float> decoded);
double measure_error(ErrorMeasure measure, std::span<const float> reference, std::span<const float> decoded);

struct TunedStream {
    std::vector<std::uint8_t> stream;
    double error = 0.0;  // of the stream as decoded, measured
    float multiplier = 0.0f;
    std::uint8_t scale = 0;
    Cutoff cutoff = Cutoff::Low;
};

// The target is finer than any stream of the configured method can keep:
// `best` is the smallest error reachable (the largest multiplier that keeps
// every coefficient inside 16 bits, no dead zone).
struct UnreachableTarget {
    ErrorMeasure measure = ErrorMeasure::MaxAbs;
    double best = 0.0;
};

using TuningError = std::variant<CorvaneError, UnreachableTarget>;

// Compresses `samples` with `config`'s method and coder into the smallest
// stream the search finds whose decoded samples meet `target` against
// `reference` (the samples as the caller holds them, in double precision),
// or against the samples themselves when `reference` is empty. The
// configuration's scale, cutoff and multiplier are not used. Non-finite
// samples are refused: no decoded value lies within any distance of them.
expected<TunedStream, TuningError> compress_to_target(std::span<const float> samples,
                                                      const CompressionConfig& config, ErrorTarget target,
                                                      std::span<const double> reference = {});

// ---------------------------------------------------------------- lanes

// A chunk coded as one stream per 1-D lane, the streams back to back in lane
// order. Each is the stream compress() writes for that lane alone, and its
// header gives its length, so a run of lanes needs no container of its own
// and its first stream decodes on its own. Lanes share nothing, so they are
// coded on several threads at once; the bytes and samples do not depend on
// how many.

// A C-ordered chunk seen as (outer, length, inner): outer * inner lanes of
// `length` samples. Lane o * inner + i holds the samples at
// (o * length + t) * inner + i for t = 0 .. length - 1; lanes along the last
// axis have inner 1, lanes along the first have outer 1.
struct LaneLayout {
    std::size_t outer = 1;
    std::size_t length = 0;
    std::size_t inner = 1;

    std::size_t lanes() const { return outer * inner; }
    std::size_t samples() const { return outer * length * inner; }
};

// The streams of the chunk's lanes, back to back. `chunk` holds exactly
// layout.samples() values; float64 samples are narrowed as compress_signal
// narrows them. `threads` is the most threads to use, 0 for one per core.
expected<std::vector<std::uint8_t>, CorvaneError> compress_lanes(std::span<const float> chunk,
                                                                 const LaneLayout& layout,
                                                                 const CompressionConfig& config,
                                                                 unsigned threads);
expected<std::vector<std::uint8_t>, CorvaneError> compress_lanes(std::span<const double> chunk,
                                                                 const LaneLayout& layout,
                                                                 const CompressionConfig& config,
                                                                 unsigned threads);

// A run of lane streams, split where each header says its stream ends, and
// the layout it fills when its lanes form groups of `inner` (0: all lanes in
// one group, as lanes along a chunk's first axis do). Reads the headers only;
// refuses a header the decoder would refuse, lanes of unequal length, and a
// lane count that is not a whole number of groups, and a lane whose length is
// more than its payload could yield, so that a short run of bare headers
// cannot claim a large output. Each header is copied as it is read, and
// decoding reads the copies: a caller's buffer rewritten meanwhile cannot make
// a lane disagree with the layout.
struct LaneRun {
    std::vector<std::span<const std::uint8_t>> streams;
    std::vector<std::array<std::uint8_t, 52>> headers;  // of each stream, as split read it
    LaneLayout layout;
};
expected<LaneRun, CorvaneError> split_lanes(std::span<const std::uint8_t> run, std::size_t inner);

// Decodes every lane of `run` into out[0 .. run.layout.samples()), each sample
// where `run.layout` puts it (float64: the float32 samples widened).
expected<void, CorvaneError> decompress_lanes(const LaneRun& run, float* out, unsigned threads);
expected<void, CorvaneError> decompress_lanes(const LaneRun& run, double* out, unsigned threads);

// The same into a new buffer (a single lane's decoded samples themselves).
expected<std::vector<float>, CorvaneError> decompress_lanes(const LaneRun& run, unsigned threads);

// One stream as the codec layer decodes it: decompress(), except that a
// header whose sample count is too small for its level count is refused in
// those words (decompress() passes on the transform's complaint, which the
// module keeps).
expected<std::vector<float>, CorvaneError> decompress_stream(std::span<const std::uint8_t> stream);

// ---------------------------------------------------------------- inspection

// How a refined chunk corrects its base stream's samples: by residuals of
// `step` (integer: to the nearest integer first), and `escapes` samples
// stored as they are.
struct RefinementFacts {
    bool integer = false;
    float step = 0.0f;
    std::uint32_t escapes = 0;
    std::size_t correction_bytes = 0;  // residuals and escapes
};

// What one stream's header says, as the decoder reads it; for a refined
// chunk, its base stream's header and the refinement.
struct StreamFacts {
    std::array<std::uint8_t, 2> version{};  // major, minor
    Method method = Method::Cdf97;
    std::uint8_t levels = 0;
    std::uint8_t scale = 0;
    Coder coder = Coder::Cmodel;  // one of the three stream coders
    std::uint32_t sample_count = 0;
    float multiplier = 0.0f;  // the one the payload is dequantised with
    float min = 0.0f;
    float max = 0.0f;
    float mean = 0.0f;
    std::uint32_t payload_length = 0;
    std::size_t length = 0;  // header and payload (a refined chunk: the whole container), in bytes
    std::optional<RefinementFacts> refinement;
};

// The facts of every stream in `run`: one stream, or a chunk's lanes back to
// back, any of them refined. Reads the headers alone, each checked as the decoder checks it, and
// refuses a stream whose payload runs past the end of `run` (with the
// decoder's message), so every stream listed is whole.
expected<std::vector<StreamFacts>, CorvaneError> inspect_streams(std::span<const std::uint8_t> run);

}  // namespace corvane
