// A Jinja constant: string, integer, double, boolean, none, list or dict.
// An integer outside 64 bits keeps its digits (BigInt): its value is exact
// wherever it goes, and the binding turns the digits into a Python int.
//
// A literal owns its whole payload. Copying, comparing and destroying walk
// the value with explicit stacks, so a list nested a million levels deep
// costs memory, never native stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace trelm::jinja {

class Literal {
 public:
  using Str = std::string;
  using Int = std::int64_t;
  using Float = double;
  using Bool = bool;
  struct None {
    bool operator==(const None&) const = default;
  };
  using List = std::vector<Literal>;
  using Dict = std::vector<std::pair<Literal, Literal>>;
  // An integer that does not fit Int: an optional "-", then decimal digits
  // without leading zeros, or the digits as written after a 0b, 0o or 0x
  // prefix (underscores removed) when they do not fit 64 bits either.
  struct BigInt {
    std::string digits;
    bool operator==(const BigInt&) const = default;
  };
  // The alternatives in this order: Str, Int, Float, Bool, None, List, Dict, BigInt.
  using Value = std::variant<Str, Int, Float, Bool, None, List, Dict, BigInt>;

  Literal() : value_(None{}) {}
  static Literal str(std::string text) { return Literal(std::in_place_index<0>, std::move(text)); }
  static Literal integer(Int v) { return Literal(std::in_place_index<1>, v); }
  static Literal floating(Float v) { return Literal(std::in_place_index<2>, v); }
  static Literal boolean(Bool v) { return Literal(std::in_place_index<3>, v); }
  static Literal none() { return Literal(); }
  static Literal list(List items = {}) { return Literal(std::in_place_index<5>, std::move(items)); }
  static Literal dict(Dict pairs = {}) { return Literal(std::in_place_index<6>, std::move(pairs)); }
  static Literal big_integer(std::string digits) { return Literal(std::in_place_index<7>, BigInt{std::move(digits)}); }

  Literal(const Literal& other);
  Literal& operator=(const Literal& other);
  Literal(Literal&& other) noexcept = default;
  Literal& operator=(Literal&& other) noexcept;
  ~Literal();

  // Structural equality; doubles compare as doubles (NaN is unequal to itself).
  bool operator==(const Literal& other) const;

  const Value& value() const { return value_; }
  Value& value() { return value_; }

  template <typename T>
  bool holds() const { return std::holds_alternative<T>(value_); }
  bool is_none() const { return holds<None>(); }
  // The payload of the alternative T; only valid when holds<T>().
  template <typename T>
  const T& as() const { return std::get<T>(value_); }
  template <typename T>
  T& as() { return std::get<T>(value_); }

 private:
  // Built in place: a variant moved in from a temporary leads g++ 12 (with
  // the sanitizers) to warn that the alternative may be uninitialized.
  template <std::size_t I, typename Arg>
  Literal(std::in_place_index_t<I> index, Arg&& arg) : value_(index, std::forward<Arg>(arg)) {}
  void release_children() noexcept;

  Value value_;
};

}  // namespace trelm::jinja
