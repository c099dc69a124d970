// A small std::expected for clang-tidy only, never for the build.
//
// clang before 16 cannot compile libstdc++ 12's <expected> (it needs conditionally trivial
// special members), so <expected> comes out empty and every Result would be an error.
// scripts/tidy.sh force-includes this header for such a clang-tidy; it covers the part of the
// interface that the program uses.
#pragma once

#if defined(__clang__) && !defined(__cpp_lib_expected)

#include <exception>
#include <type_traits>
#include <utility>
#include <variant>

namespace std {

template <class E>
class unexpected {
 public:
  template <class Err = E>
    requires(!is_same_v<remove_cvref_t<Err>, unexpected> && is_constructible_v<E, Err>)
  constexpr explicit unexpected(Err&& e) : error_(std::forward<Err>(e)) {}
  constexpr const E& error() const& noexcept { return error_; }
  constexpr E& error() & noexcept { return error_; }
  constexpr E&& error() && noexcept { return std::move(error_); }

 private:
  E error_;
};
template <class E>
unexpected(E) -> unexpected<E>;

struct unexpect_t {
  explicit unexpect_t() = default;
};
inline constexpr unexpect_t unexpect{};

template <class E>
class bad_expected_access : public exception {
 public:
  explicit bad_expected_access(E e) : error_(std::move(e)) {}
  const char* what() const noexcept override { return "bad access to std::expected"; }
  const E& error() const noexcept { return error_; }

 private:
  E error_;
};

template <class T, class E>
class expected {
  using Stored = conditional_t<is_void_v<T>, monostate, T>;

 public:
  using value_type = T;
  using error_type = E;
  using unexpected_type = unexpected<E>;

  constexpr expected() : state_(in_place_index<0>) {}
  template <class U = Stored>
    requires(!is_void_v<T> && !is_same_v<remove_cvref_t<U>, expected> &&
             !is_same_v<remove_cvref_t<U>, in_place_t> && is_constructible_v<Stored, U>)
  constexpr expected(U&& v) : state_(in_place_index<0>, std::forward<U>(v)) {}
  template <class G>
  constexpr expected(const unexpected<G>& u) : state_(in_place_index<1>, u.error()) {}
  template <class G>
  constexpr expected(unexpected<G>&& u) : state_(in_place_index<1>, std::move(u).error()) {}
  template <class... A>
  constexpr explicit expected(in_place_t, A&&... a)
      : state_(in_place_index<0>, std::forward<A>(a)...) {}
  template <class... A>
  constexpr explicit expected(unexpect_t, A&&... a)
      : state_(in_place_index<1>, std::forward<A>(a)...) {}

  template <class U = Stored>
    requires(!is_void_v<T> && !is_same_v<remove_cvref_t<U>, expected> &&
             is_constructible_v<Stored, U>)
  constexpr expected& operator=(U&& v) {
    state_.template emplace<0>(std::forward<U>(v));
    return *this;
  }
  template <class G>
  constexpr expected& operator=(const unexpected<G>& u) {
    state_.template emplace<1>(u.error());
    return *this;
  }
  template <class G>
  constexpr expected& operator=(unexpected<G>&& u) {
    state_.template emplace<1>(std::move(u).error());
    return *this;
  }

  constexpr bool has_value() const noexcept { return state_.index() == 0; }
  constexpr explicit operator bool() const noexcept { return has_value(); }

  constexpr const Stored& operator*() const& { return *get_if<0>(&state_); }
  constexpr Stored& operator*() & { return *get_if<0>(&state_); }
  constexpr Stored&& operator*() && { return std::move(*get_if<0>(&state_)); }
  constexpr const Stored* operator->() const { return get_if<0>(&state_); }
  constexpr Stored* operator->() { return get_if<0>(&state_); }

  constexpr const Stored& value() const& { return checked(), *get_if<0>(&state_); }
  constexpr Stored& value() & { return checked(), *get_if<0>(&state_); }
  constexpr Stored&& value() && { return checked(), std::move(*get_if<0>(&state_)); }
  template <class U>
  constexpr Stored value_or(U&& other) const& {
    return has_value() ? **this : static_cast<Stored>(std::forward<U>(other));
  }
  template <class U>
  constexpr Stored value_or(U&& other) && {
    return has_value() ? std::move(**this) : static_cast<Stored>(std::forward<U>(other));
  }

  constexpr const E& error() const& { return *get_if<1>(&state_); }
  constexpr E& error() & { return *get_if<1>(&state_); }
  constexpr E&& error() && { return std::move(*get_if<1>(&state_)); }

 private:
  constexpr void checked() const {
    if (!has_value()) throw bad_expected_access<E>(error());
  }

  variant<Stored, E> state_;
};

}  // namespace std

#endif
