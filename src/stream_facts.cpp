// The facts of a run of streams, read from their headers.
#include <utility>

#include "corvane/corvane.hpp"
#include "src/format/header.hpp"
#include "src/refine/container.hpp"

namespace corvane {

namespace {

// The facts of the one stream that `stream` starts with (header and payload).
expected<StreamFacts, CorvaneError> stream_facts(std::span<const std::uint8_t> stream) {
    auto header = CorvaneHeader::from_bytes(stream);
    if (!header) return unexpected(std::move(header).error());
    auto located = locate_payload(*header, stream);  // refuses a stream cut short, in the decoder's words
    if (!located) return unexpected(std::move(located).error());
    const StreamParameters& p = located->params;
    return StreamFacts{
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
        .length = kHeaderSize + located->payload.size(),
        .refinement = std::nullopt,
    };
}

// The facts of a refined chunk: its base stream's, and how it is corrected.
expected<StreamFacts, CorvaneError> refined_facts(std::span<const std::uint8_t> bytes) {
    auto container = refine::container_facts(bytes);
    if (!container) return unexpected(std::move(container).error());
    auto facts = stream_facts(container->base);
    if (!facts) return facts;
    facts->length = container->length;
    facts->refinement = RefinementFacts{.integer = container->kind == refine::Kind::Integer,
                                        .step = container->step,
                                        .escapes = container->escapes,
                                        .correction_bytes = container->correction_bytes};
    return facts;
}

}  // namespace

expected<std::vector<StreamFacts>, CorvaneError> inspect_streams(std::span<const std::uint8_t> run) {
    std::vector<StreamFacts> facts;
    std::size_t offset = 0;
    do {
        // An empty run, or a tail too short for a header, is an invalid header.
        const auto rest = run.subspan(offset);
        auto next = refine::is_container(rest) ? refined_facts(rest) : stream_facts(rest);
        if (!next) return unexpected(std::move(next).error());
        offset += next->length;
        facts.push_back(*std::move(next));
    } while (offset < run.size());
    return facts;
}

}  // namespace corvane
