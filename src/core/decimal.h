#pragma once

#include <charconv>
#include <optional>
#include <string_view>
#include <type_traits>

namespace va {

// A signed decimal integer: at most one leading "+" or "-", then one or more ASCII digits and
// nothing else (no spaces, no fraction, no radix prefix), within the range of T.
template <typename T> std::optional<T> parseDecimal(std::string_view text) {
  static_assert(std::is_integral_v<T> && std::is_signed_v<T>);
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-'))
    digits.remove_prefix(1);
  if (digits.empty())
    return std::nullopt;
  for (char c : digits)
    if (c < '0' || c > '9')
      return std::nullopt;
  if (text.front() == '+')
    text.remove_prefix(1); // from_chars takes "-" but not "+"
  T value{};
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  return value;
}

} // namespace va
