// The band plan: which transform each method is coded with, how many levels a
// signal of n samples is decomposed into, and the lengths of its bands in the
// order the stream holds them. Encoder and decoder must agree on all of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "corvane/corvane.hpp"
#include "wavelet/factory.hpp"

namespace corvane {

// The transform each method is coded with, its filter length (read without
// building an executor), and a fresh executor of it.
wavelet::Transform transform_of(Method method);
std::size_t filter_length(Method method);
std::shared_ptr<wavelet::DwtExecutor> make_executor(Method method);

// Number of decomposition levels for n samples, 1 to 8.
std::uint8_t pick_levels(std::size_t n, Method method);

// Band order is part of the stream: the coarsest approximation, then the
// details from the finest level to the coarsest.
std::vector<std::size_t> lengths_in_stream_order(std::span<const wavelet::DwtSize> layout);

// The band lengths of a stream of `sample_count` samples and `levels` levels
// (at least 1), in stream order. Signals shorter than the filter are
// transformed at its length.
std::vector<std::size_t> band_lengths(const wavelet::IncompleteDwtExecutor& executor, std::size_t sample_count,
                                      std::size_t levels);

// Where each band starts in one buffer of all bands in stream order, and
// (last) their total length.
std::vector<std::size_t> band_offsets(std::span<const std::size_t> lengths);

}  // namespace corvane
