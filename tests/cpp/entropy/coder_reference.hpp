// Slow, literal transcriptions of the binary rANS coder, the coefficient model
// and the byte-plane coder, step by step as the stream format defines them.
// The fast code must produce the same bytes and the same results (errors
// included) on every input; these are only ever used by the tests.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <span>
#include <utility>
#include <vector>

namespace corvane::ref {

// Input for comparing a coder with its transcription: a mix of flat noise and
// skewed, locally correlated bytes.
inline std::vector<uint8_t> random_bytes(std::mt19937& rng, size_t n) {
    std::vector<uint8_t> out(n);
    const unsigned spread = 1u << (rng() % 9);
    uint8_t prev = 0;
    for (auto& b : out) {
        b = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : prev + rng() % spread);
        prev = b;
    }
    return out;
}

struct Symbol {
    uint32_t freq;
    uint32_t start;
};

inline uint16_t adapt(uint16_t p, unsigned bit) {
    uint32_t q = bit == 0 ? p + ((4096u - p) >> 4) : p - (p >> 4);
    q = std::clamp<uint32_t>(q, 1, 4095);
    return static_cast<uint16_t>(q);
}

struct Enc {
    std::vector<uint16_t> probs;
    std::vector<Symbol> pending;

    explicit Enc(size_t count) : probs(std::max<size_t>(count, 1), 2048) {}

    void encode_bit(uint32_t ctx, unsigned bit) {
        const uint16_t p = probs.at(ctx);
        pending.push_back(bit == 0 ? Symbol{p, 0} : Symbol{4096u - p, p});
        probs.at(ctx) = adapt(p, bit);
    }

    std::vector<uint8_t> finish() const {
        std::vector<uint8_t> buf;
        uint32_t x = 65536;
        for (size_t i = pending.size(); i-- > 0;) {
            const auto [freq, start] = pending[i];
            while (uint64_t{x} >= uint64_t{freq} << 20) {
                buf.push_back(static_cast<uint8_t>((x >> 8) & 0xFF));
                buf.push_back(static_cast<uint8_t>(x & 0xFF));
                x >>= 16;
            }
            x = (x / freq) * 4096 + (x % freq) + start;
        }
        buf.push_back(static_cast<uint8_t>(x >> 24));
        buf.push_back(static_cast<uint8_t>((x >> 16) & 0xFF));
        buf.push_back(static_cast<uint8_t>((x >> 8) & 0xFF));
        buf.push_back(static_cast<uint8_t>(x & 0xFF));
        std::reverse(buf.begin(), buf.end());
        return buf;
    }
};

struct Dec {
    std::vector<uint16_t> probs;
    uint32_t x;
    size_t pos = 4;
    std::span<const uint8_t> bytes;

    Dec(size_t count, std::span<const uint8_t> b)
        : probs(std::max<size_t>(count, 1), 2048),
          x(uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24),
          bytes(b) {}

    // nullopt: truncated
    std::optional<unsigned> decode_bit(uint32_t ctx) {
        const uint16_t p = probs.at(ctx);
        const uint32_t slot = x & 0xFFF;
        const uint32_t q = x >> 12;
        unsigned bit;
        if (slot < p) {
            bit = 0;
            x = p * q + slot;
        } else {
            bit = 1;
            x = (4096u - p) * q + slot - p;
        }
        while (x < 65536) {
            if (bytes.size() - pos < 2) return std::nullopt;
            x = (x << 16) | (uint32_t{bytes[pos]} | uint32_t{bytes[pos + 1]} << 8);
            pos += 2;
        }
        probs.at(ctx) = adapt(p, bit);
        return bit;
    }
};

// ------------------------------------------------------------- coefficients

inline uint32_t width_of(std::span<const int16_t> band) {
    if (band.empty()) return 1;
    uint32_t m = 0;
    for (int16_t v : band) m = std::max(m, static_cast<uint32_t>(std::abs(int32_t{v})));
    return m == 0 ? 1 : 32 - static_cast<uint32_t>(std::countl_zero(m));
}

// Codes the bands with the given widths (each nonzero |v| - 1 must fit).
inline std::vector<uint8_t> encode_coeffs_with(const std::vector<std::vector<int16_t>>& bands,
                                               const std::vector<uint32_t>& widths) {
    std::vector<uint32_t> base;
    uint32_t total = 0;
    for (uint32_t w : widths) {
        base.push_back(total);
        total += (1u << w) + 3;
    }
    Enc enc(total);
    for (size_t i = 0; i < bands.size(); ++i) {
        const uint32_t b = base[i], w = widths[i];
        uint32_t prev = 0;
        for (int16_t v : bands[i]) {
            const uint32_t z = v != 0;
            enc.encode_bit(b + prev, z);
            prev = z;
            if (z) {
                enc.encode_bit(b + 2, v < 0);
                const uint32_t m = static_cast<uint32_t>(std::abs(int32_t{v})) - 1;
                uint32_t node = 1;
                for (uint32_t k = w; k-- > 0;) {
                    const uint32_t bit = (m >> k) & 1;
                    enc.encode_bit(b + 3 + node, bit);
                    node = 2 * node + bit;
                }
            }
        }
    }
    std::vector<uint8_t> out{static_cast<uint8_t>(bands.size())};
    for (uint32_t w : widths) out.push_back(static_cast<uint8_t>(w));
    const auto body = enc.finish();
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

inline std::vector<uint8_t> encode_coeffs(const std::vector<std::vector<int16_t>>& bands) {
    std::vector<uint32_t> widths;
    for (const auto& band : bands) widths.push_back(width_of(band));
    return encode_coeffs_with(bands, widths);
}

enum class CoeffErr { Truncated, InconsistentLength };
using CoeffResult = std::pair<std::optional<CoeffErr>, std::vector<std::vector<int16_t>>>;

inline CoeffResult decode_coeffs(std::span<const uint8_t> s, std::span<const size_t> lengths) {
    auto fail = [](CoeffErr e) { return CoeffResult{e, {}}; };
    if (s.empty()) return fail(CoeffErr::Truncated);
    const size_t n = s[0];
    if (n != lengths.size()) return fail(CoeffErr::InconsistentLength);
    if (s.size() <= n) return fail(CoeffErr::Truncated);
    std::vector<uint32_t> widths;
    for (size_t i = 0; i < n; ++i) {
        if (s[1 + i] > 16) return fail(CoeffErr::InconsistentLength);
        widths.push_back(s[1 + i]);
    }
    std::vector<uint32_t> base;
    uint32_t total = 0;
    for (uint32_t w : widths) {
        base.push_back(total);
        total += (1u << w) + 3;
    }
    const auto coded = s.subspan(n + 1);
    if (coded.size() < 4) return fail(CoeffErr::Truncated);
    Dec dec(total, coded);
    std::vector<std::vector<int16_t>> bands;
    for (size_t i = 0; i < n; ++i) {
        std::vector<int16_t> band(lengths[i], 0);
        const uint32_t b = base[i], w = widths[i];
        uint32_t prev = 0;
        for (auto& v : band) {
            auto z = dec.decode_bit(b + prev);
            if (!z) return fail(CoeffErr::Truncated);
            prev = *z;
            if (!*z) continue;
            auto sign = dec.decode_bit(b + 2);
            if (!sign) return fail(CoeffErr::Truncated);
            uint32_t node = 1, m = 0;
            for (uint32_t k = 0; k < w; ++k) {
                auto bit = dec.decode_bit(b + 3 + node);
                if (!bit) return fail(CoeffErr::Truncated);
                node = 2 * node + *bit;
                m = 2 * m + *bit;
            }
            const uint32_t value = *sign == 0 ? m + 1 : 0u - (m + 1);
            v = static_cast<int16_t>(static_cast<uint16_t>(value & 0xFFFF));
        }
        bands.push_back(std::move(band));
    }
    return {std::nullopt, std::move(bands)};
}

// ------------------------------------------------------------- byte planes

inline std::vector<uint8_t> encode_plane(std::span<const uint8_t> plane, unsigned k) {
    if (plane.empty()) return {};
    Enc enc(256u << k);
    uint32_t prev = 0;
    for (uint8_t y : plane) {
        const uint32_t t = (prev >> (8 - k)) * 256;
        uint32_t node = 1;
        for (int pos = 7; pos >= 0; --pos) {
            const uint32_t bit = (y >> pos) & 1;
            enc.encode_bit(t + node, bit);
            node = 2 * node + bit;
        }
        prev = y;
    }
    return enc.finish();
}

enum class RansErr { Truncated, InconsistentOrOversized };
using BytesResult = std::pair<std::optional<RansErr>, std::vector<uint8_t>>;

inline BytesResult decode_plane(std::span<const uint8_t> coded, size_t count, unsigned k) {
    if (count == 0) return {};
    if (coded.size() < 4) return {RansErr::Truncated, {}};
    Dec dec(256u << k, coded);
    std::vector<uint8_t> out;
    uint32_t prev = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t t = (prev >> (8 - k)) * 256;
        uint32_t node = 1;
        for (int j = 0; j < 8; ++j) {
            auto bit = dec.decode_bit(t + node);
            if (!bit) return {RansErr::Truncated, {}};
            node = 2 * node + *bit;
        }
        out.push_back(static_cast<uint8_t>(node & 0xFF));
        prev = node & 0xFF;
    }
    return {std::nullopt, out};
}

inline void put_varint(std::vector<uint8_t>& out, uint64_t v) {
    while (true) {
        const uint8_t low = v & 0x7F;
        v >>= 7;
        if (v == 0) {
            out.push_back(low);
            return;
        }
        out.push_back(low | 0x80);
    }
}

inline std::pair<std::optional<RansErr>, uint64_t> rv(std::span<const uint8_t> s, size_t& pos) {
    uint64_t v = 0;
    for (int i = 0;; ++i) {
        if (pos >= s.size()) return {RansErr::Truncated, 0};
        const uint8_t b = s[pos++];
        if (i == 9) {
            if (b & 0x80) return {RansErr::InconsistentOrOversized, 0};
            v |= uint64_t{b & 1u} << 63;
            return {std::nullopt, v};
        }
        v |= uint64_t{b & 0x7Fu} << (7 * i);
        if (!(b & 0x80)) return {std::nullopt, v};
    }
}

inline std::vector<uint8_t> encode_stream(std::span<const uint8_t> in) {
    const size_t n = in.size();
    if (n <= 5) return {in.begin(), in.end()};
    const size_t p = n / 2;
    std::vector<uint8_t> a, b;
    for (size_t i = 0; i < p; ++i) {
        a.push_back(in[2 * i]);
        b.push_back(in[2 * i + 1]);
    }
    const unsigned k = n < 16384 ? 3 : 8;
    const auto ca = encode_plane(a, k), cb = encode_plane(b, k);
    std::vector<uint8_t> out{static_cast<uint8_t>(n & 1), static_cast<uint8_t>(k)};
    put_varint(out, p);
    put_varint(out, ca.size());
    out.insert(out.end(), ca.begin(), ca.end());
    out.insert(out.end(), cb.begin(), cb.end());
    if (n & 1) out.push_back(in[n - 1]);
    return out;
}

inline BytesResult decode_stream(std::span<const uint8_t> s) {
    auto fail = [](RansErr e) { return BytesResult{e, {}}; };
    if (s.size() <= 5) return {std::nullopt, {s.begin(), s.end()}};
    const unsigned k = s[1];
    if (k > 8) return fail(RansErr::InconsistentOrOversized);
    size_t pos = 2;
    auto [e1, p64] = rv(s, pos);
    if (e1) return fail(*e1);
    const uint32_t p = static_cast<uint32_t>(p64);
    if (p > (1u << 28)) return fail(RansErr::InconsistentOrOversized);
    auto [e2, la64] = rv(s, pos);
    if (e2) return fail(*e2);
    const uint32_t la = static_cast<uint32_t>(la64);
    const uint64_t end_a = uint64_t{pos} + la;
    if (end_a > 0xFFFFFFFFu) return fail(RansErr::InconsistentOrOversized);
    const size_t odd = s[0] & 1;
    const size_t usable = s.size() - odd;
    if (usable < end_a) return fail(RansErr::Truncated);
    auto [ea, a] = decode_plane(s.subspan(pos, end_a - pos), p, k);
    if (ea) return fail(*ea);
    auto [eb, b] = decode_plane(s.subspan(end_a, usable - end_a), p, k);
    if (eb) return fail(*eb);
    std::vector<uint8_t> out;
    for (size_t i = 0; i < p; ++i) {
        out.push_back(a[i]);
        out.push_back(b[i]);
    }
    if (odd) out.push_back(s.back());
    return {std::nullopt, out};
}

}  // namespace corvane::ref
