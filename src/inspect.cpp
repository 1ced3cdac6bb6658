// The facts of a run of streams, read from their headers.
#include <utility>

#include "corvane/corvane.hpp"
#include "src/error.hpp"
#include "src/header.hpp"

namespace corvane {

expected<std::vector<StreamFacts>, CorvaneError> inspect_streams(std::span<const std::uint8_t> run) {
    std::vector<StreamFacts> facts;
    std::size_t offset = 0;
    do {
        // An empty run, or a tail too short for a header, is an invalid header.
        const auto rest = run.subspan(offset);
        auto header = CorvaneHeader::from_bytes(rest);
        if (!header) return unexpected(std::move(header).error());
        const std::size_t length = kHeaderSize + std::size_t{header->payload_len};
        if (rest.size() < length) {
            return unexpected(stream_cut_short(length, rest.size()));
        }
        const StreamParameters p = header->parameters();
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
