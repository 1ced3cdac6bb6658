// The facts of a run of streams, read from their headers.
#include <utility>

#include "corvane/corvane.hpp"
#include "src/format/header.hpp"

namespace corvane {

expected<std::vector<StreamFacts>, CorvaneError> inspect_streams(std::span<const std::uint8_t> run) {
    std::vector<StreamFacts> facts;
    std::size_t offset = 0;
    do {
        // An empty run, or a tail too short for a header, is an invalid header.
        const auto rest = run.subspan(offset);
        auto header = CorvaneHeader::from_bytes(rest);
        if (!header) return unexpected(std::move(header).error());
        auto stream = locate_payload(*header, rest);  // refuses a stream cut short, in the decoder's words
        if (!stream) return unexpected(std::move(stream).error());
        const StreamParameters& p = stream->params;
        const std::size_t length = kHeaderSize + stream->payload.size();
        facts.push_back(StreamFacts{
            .version = header->version,
            .method = p.method,
            .levels = header->levels,
            .scale = p.scale,
            .coder = p.coder,
            .sample_count = p.sample_count,
            .multiplier = p.multiplier,
            .min = p.min,
            .max = p.max,
            .mean = p.mean,
            .payload_length = header->payload_len,
            .length = length,
        });
        offset += length;
    } while (offset < run.size());
    return facts;
}

}  // namespace corvane
