// The four ways to obtain a transform. Each call builds a new, immutable
// executor behind a shared_ptr (atomic count); callers work only through the
// DwtExecutor interface.
//
//   method   call                                  filter_length
//   cdf53    make_cdf53_f32()                      6
//   cdf97    make_cdf97_f32()                      10
//   db4      make_daubechies_f32(3, Periodic)      8
//   sym4     make_symlet_f32(2, Periodic)          8
//
// The filter-bank factories build the 8-tap bank only: for any other order
// (a tap count this engine does not implement) they return nullptr.
//
// make_executor(Transform) is the one place that says which factory, order
// and border mode each of the four transforms is built with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "wavelet/border_mode.hpp"
#include "wavelet/dwt_executor.hpp"
#include "corvane/expected.hpp"
#include "wavelet/wavelet_error.hpp"

namespace corvane::wavelet {

std::shared_ptr<DwtExecutor> make_cdf53_f32();
std::shared_ptr<DwtExecutor> make_cdf97_f32();
// Daubechies filter of 2 * order + 2 taps; order 3 (8 taps) only.
std::shared_ptr<DwtExecutor> make_daubechies_f32(std::size_t order, BorderMode mode);
// Symlet filter of 2 * order + 4 taps; order 2 (8 taps) only.
std::shared_ptr<DwtExecutor> make_symlet_f32(std::size_t order, BorderMode mode);

// The four transforms by name, as the table above builds them.
enum class Transform : std::uint8_t { Cdf53 = 0, Cdf97 = 1, Db4 = 2, Sym4 = 3 };
std::shared_ptr<DwtExecutor> make_executor(Transform transform);

// The filter length of a transform's executor, read from the same tables the
// executor is built from, without building one.
std::size_t filter_length(Transform transform);

// The lifting transforms write every output value of an inverse level and
// pass each reconstruction whole to the next level; the filter banks add
// their synthesis into the output and keep only part of a reconstruction
// (the rest is border extension).
bool is_lifting(Transform transform);

}  // namespace corvane::wavelet
