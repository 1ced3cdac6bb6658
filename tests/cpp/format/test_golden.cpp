// The golden streams (tests/golden, shared with the Python tests): every
// stored stream decodes to the stored floats bit for bit, and the stored
// samples compress to the stored stream. Any change to the arithmetic, the
// band plan, the quantiser or a coder shows here first.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "corvane/corvane.hpp"
#include "src/entropy/deflate.hpp"

namespace corvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes read_file(const std::string& name) {
    std::ifstream in(std::string(CORVANE_GOLDEN_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Little-endian float32 values, as their bit patterns.
std::vector<std::uint32_t> read_bits(const std::string& name) {
    const Bytes bytes = read_file(name);
    std::vector<std::uint32_t> bits(bytes.size() / 4);
    for (std::size_t i = 0; i < bits.size(); ++i) {
        bits[i] = std::uint32_t{bytes[4 * i]} | std::uint32_t{bytes[4 * i + 1]} << 8 |
                  std::uint32_t{bytes[4 * i + 2]} << 16 | std::uint32_t{bytes[4 * i + 3]} << 24;
    }
    return bits;
}

template <class Value, std::size_t N>
Value parse(const Named<Value> (&names)[N], const std::string& text) {
    for (const auto& entry : names) {
        if (entry.name == text) return entry.value;
    }
    ADD_FAILURE() << "unknown name " << text;
    return names[0].value;
}

struct Case {
    std::string name;
    CompressionConfig config;
};

std::vector<Case> cases() {
    const Bytes text = read_file("cases.txt");
    std::istringstream lines(std::string(text.begin(), text.end()));
    std::vector<Case> out;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string name, method, cutoff, coder, multiplier;
        unsigned scale = 0;
        fields >> name >> method >> scale >> cutoff >> coder >> multiplier;
        CompressionConfig config;
        config.method = parse(kMethodNames, method);
        config.scale = static_cast<std::uint8_t>(scale);
        config.cutoff = parse(kCutoffNames, cutoff);
        config.coder = parse(kCoderNames, coder);
        if (multiplier != "-") config.quant_multiplier = std::stof(multiplier);
        out.push_back({name, config});
    }
    return out;
}

TEST(GoldenStreams, DecodeToTheStoredFloatsAndEncodeToTheStoredStream) {
    const std::vector<Case> all = cases();
    ASSERT_GE(all.size(), 17u);
    for (const Case& c : all) {
        SCOPED_TRACE(c.name);
        const Bytes stream = read_file(c.name + ".stream");
        const auto decoded = decompress(stream);
        ASSERT_TRUE(decoded) << decoded.error().message();
        std::vector<std::uint32_t> bits(decoded->size());
        for (std::size_t i = 0; i < bits.size(); ++i) bits[i] = std::bit_cast<std::uint32_t>((*decoded)[i]);
        EXPECT_EQ(bits, read_bits(c.name + ".decoded.f32"));

        std::vector<float> samples;
        for (const std::uint32_t b : read_bits(c.name + ".input.f32")) samples.push_back(std::bit_cast<float>(b));
        const auto fresh = compress(samples, c.config);
        ASSERT_TRUE(fresh) << fresh.error().message();
        if (c.config.coder != Coder::Deflate) {
            EXPECT_EQ(*fresh, stream);
            continue;
        }
        // DEFLATE's compressed bytes are zlib's: the header but for the
        // payload length, and the inflated coefficients.
        ASSERT_GE(fresh->size(), kHeaderSize);
        EXPECT_TRUE(std::equal(fresh->begin(), fresh->begin() + 32, stream.begin()));
        EXPECT_TRUE(std::equal(fresh->begin() + 36, fresh->begin() + kHeaderSize, stream.begin() + 36));
        const auto inflate = [](const Bytes& s) {
            return inflate_prefix(std::span(s).subspan(kHeaderSize), std::size_t{1} << 24);
        };
        EXPECT_EQ(*inflate(*fresh), *inflate(stream));
    }
}

}  // namespace
}  // namespace corvane
