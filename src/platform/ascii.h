// SPDX-License-Identifier: Apache-2.0
// Reading numbers and comparing names the way the C locale does, whatever
// locale the process runs in: the one integer reader and the one
// case-insensitive comparison of the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace larkspur::platform {

// The white space that isspace() knows in the C locale.
constexpr bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

constexpr bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

constexpr char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether the texts are equal when the ASCII letters are paired regardless
// of case; every other byte must match exactly.
bool ascii_iequals(std::string_view a, std::string_view b) noexcept;
bool ascii_istarts_with(std::string_view text, std::string_view prefix) noexcept;

// What parse_integer accepts in front of the digits.
enum class IntegerForm {
  kDigits,    // nothing: digits only
  kSigned,    // an optional '+' or '-'
  kLikeAtoi,  // white space, then an optional sign, as C's atoi reads
};

struct ParsedInteger {
  std::int64_t value = 0;  // saturated at the limits of std::int64_t; 0 without digits
  std::size_t end = 0;     // where reading stopped; 0 without digits
  bool digits = false;     // at least one digit was read
  bool saturated = false;  // the digits meant more than the limits

  // The number took the whole text and fits.
  bool whole(std::string_view text) const noexcept {
    return digits && !saturated && end == text.size();
  }
};

// Reads the decimal integer at the start of `text`, up to the first byte
// that is not a digit; what follows is the caller's.
ParsedInteger parse_integer(std::string_view text, IntegerForm form) noexcept;

// The way atoi reads a count: huge values saturate at INT_MAX, and a
// negative value or no digits at all give 0.
int parse_count_like_atoi(std::string_view text) noexcept;

}  // namespace larkspur::platform
