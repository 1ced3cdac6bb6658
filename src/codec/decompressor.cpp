#include "src/codec/decompressor.hpp"

#include <utility>

#include "src/codec/inverse.hpp"
#include "src/entropy/payload.hpp"
#include "src/format/bands.hpp"
#include "src/format/header.hpp"

namespace corvane {

namespace {

// The payload's bands, dequantised with the stream's multiplier.
class PayloadSupply final : public BandSupply {
public:
    PayloadSupply(DecodedBands& bands, float multiplier) : bands_(bands), inv_(1.0f / multiplier) {}
    void give(std::size_t band, std::size_t length, float* out) override { bands_.dequantise(band, length, inv_, out); }

private:
    DecodedBands& bands_;
    float inv_;
};

}  // namespace

expected<std::vector<float>, CorvaneError> decompress(std::span<const std::uint8_t> stream) {
    auto parsed = CorvaneHeader::from_bytes(stream);
    if (!parsed) return unexpected(std::move(parsed).error());
    return decompress_parsed(*parsed, stream);
}

expected<std::vector<float>, CorvaneError> decompress_parsed(const CorvaneHeader& header,
                                                             std::span<const std::uint8_t> stream) {
    auto located = locate_payload(header, stream);
    if (!located) return unexpected(std::move(located).error());
    return decompress_core(located->payload, located->params);
}

expected<std::vector<float>, CorvaneError> decompress_core(std::span<const std::uint8_t> payload,
                                                           const StreamParameters& p) {
    if (auto refused = check_stream_parameters(p); !refused) return unexpected(std::move(refused).error());
    const auto executor = make_executor(p.method);
    const std::vector<std::size_t> lengths = band_lengths(*executor, p.sample_count, p.levels);
    auto bands = decode_payload(payload, p.coder, lengths);
    if (!bands) return unexpected(std::move(bands).error());
    PayloadSupply supply(*bands, p.multiplier);
    InverseWork work;
    auto out = recompose(p.method, *executor, lengths, supply, work);
    if (!out) return unexpected(std::move(out).error());
    *bands = DecodedBands{};
    denormalise(*out, p.min, p.max, p.mean, p.sample_count);
    return out;
}

}  // namespace corvane
