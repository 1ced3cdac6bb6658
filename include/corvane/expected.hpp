// The result type used across the engine and the codec: a value or one error.
//
// With a standard library that ships std::expected this is exactly that type.
// Some toolchains we build with (clang against an older libstdc++, used for the
// fuzzing and sanitizer builds) lack it, so a small stand-in covering the part
// of the interface the project uses follows. Code always spells the names as
// corvane::expected / corvane::unexpected.
#pragma once

#include <version>

#if defined(__cpp_lib_expected) && __cpp_lib_expected >= 202202L
#include <expected>

namespace corvane {
using std::expected;
using std::unexpected;
}  // namespace corvane

#else
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace corvane {

template <class E>
class unexpected {
public:
    constexpr explicit unexpected(E e) : error_(std::move(e)) {}
    constexpr const E& error() const& noexcept { return error_; }
    constexpr E& error() & noexcept { return error_; }
    constexpr E&& error() && noexcept { return std::move(error_); }

private:
    E error_;
};

template <class E>
unexpected(E) -> unexpected<E>;

template <class T, class E>
class expected {
public:
    using value_type = T;
    using error_type = E;

    constexpr expected() : v_(std::in_place_index<0>) {}
    template <class U = T,
              class = std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                       !std::is_same_v<std::remove_cvref_t<U>, expected> &&
                                       !std::is_same_v<std::remove_cvref_t<U>, unexpected<E>>>>
    constexpr expected(U&& value) : v_(std::in_place_index<0>, std::forward<U>(value)) {}
    template <class G>
    constexpr expected(const unexpected<G>& u) : v_(std::in_place_index<1>, u.error()) {}
    template <class G>
    constexpr expected(unexpected<G>&& u) : v_(std::in_place_index<1>, std::move(u).error()) {}

    constexpr bool has_value() const noexcept { return v_.index() == 0; }
    constexpr explicit operator bool() const noexcept { return has_value(); }

    constexpr T& operator*() & { return *std::get_if<0>(&v_); }
    constexpr const T& operator*() const& { return *std::get_if<0>(&v_); }
    constexpr T&& operator*() && { return std::move(*std::get_if<0>(&v_)); }
    constexpr T* operator->() { return std::get_if<0>(&v_); }
    constexpr const T* operator->() const { return std::get_if<0>(&v_); }
    constexpr T& value() & { return std::get<0>(v_); }
    constexpr const T& value() const& { return std::get<0>(v_); }
    constexpr T&& value() && { return std::get<0>(std::move(v_)); }

    constexpr E& error() & { return *std::get_if<1>(&v_); }
    constexpr const E& error() const& { return *std::get_if<1>(&v_); }
    constexpr E&& error() && { return std::move(*std::get_if<1>(&v_)); }

private:
    std::variant<T, E> v_;
};

template <class E>
class expected<void, E> {
public:
    using value_type = void;
    using error_type = E;

    constexpr expected() = default;
    template <class G>
    constexpr expected(const unexpected<G>& u) : e_(u.error()) {}
    template <class G>
    constexpr expected(unexpected<G>&& u) : e_(std::move(u).error()) {}

    constexpr bool has_value() const noexcept { return !e_.has_value(); }
    constexpr explicit operator bool() const noexcept { return has_value(); }
    constexpr void operator*() const noexcept {}
    constexpr void value() const {}

    constexpr E& error() & { return *e_; }
    constexpr const E& error() const& { return *e_; }
    constexpr E&& error() && { return std::move(*e_); }

private:
    std::optional<E> e_;
};

}  // namespace corvane
#endif
