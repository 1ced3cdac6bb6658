#include "wavelet/factory.hpp"

#include <array>
#include <vector>

#include "wavelet/completed_dwt_executor.hpp"
#include "wavelet/lifting.hpp"
#include "wavelet/tap_tables.hpp"
#include "wavelet/wavelet8taps.hpp"

namespace corvane::wavelet {

namespace {

std::shared_ptr<DwtExecutor> make_filter_bank(const std::vector<float>& low_pass, BorderMode mode) {
    if (low_pass.size() != Wavelet8Taps::kTaps) return nullptr;
    std::array<float, Wavelet8Taps::kTaps> taps{};
    for (std::size_t k = 0; k < taps.size(); ++k) taps[k] = low_pass[k];
    auto bank = std::make_shared<const Wavelet8Taps>(mode, taps);
    return std::make_shared<CompletedDwtExecutor>(std::move(bank));
}

}  // namespace

std::shared_ptr<DwtExecutor> make_cdf53_f32() { return std::make_shared<LiftingDwtExecutor>(kCdf53); }

std::shared_ptr<DwtExecutor> make_cdf97_f32() { return std::make_shared<LiftingDwtExecutor>(kCdf97); }

std::shared_ptr<DwtExecutor> make_daubechies_f32(std::size_t order, BorderMode mode) {
    return make_filter_bank(DaubechiesFamily::get_wavelet(order), mode);
}

std::shared_ptr<DwtExecutor> make_symlet_f32(std::size_t order, BorderMode mode) {
    return make_filter_bank(SymletFamily::get_wavelet(order), mode);
}

std::shared_ptr<DwtExecutor> make_executor(Transform transform) {
    switch (transform) {
        case Transform::Cdf53:
            return make_cdf53_f32();
        case Transform::Cdf97:
            return make_cdf97_f32();
        case Transform::Db4:
            return make_daubechies_f32(3, BorderMode::Periodic);
        case Transform::Sym4:
            return make_symlet_f32(2, BorderMode::Periodic);
    }
    return make_cdf97_f32();
}

std::size_t filter_length(Transform transform) {
    switch (transform) {
        case Transform::Cdf53:
            return kCdf53.filter_length;
        case Transform::Cdf97:
            return kCdf97.filter_length;
        case Transform::Db4:
        case Transform::Sym4:
            return Wavelet8Taps::kTaps;
    }
    return kCdf97.filter_length;
}

bool is_lifting(Transform transform) { return transform == Transform::Cdf53 || transform == Transform::Cdf97; }

}  // namespace corvane::wavelet
