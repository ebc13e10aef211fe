// SPDX-License-Identifier: Apache-2.0
#include "platform/ascii.h"

#include <climits>
#include <limits>

namespace larkspur::platform {

bool ascii_istarts_with(std::string_view text, std::string_view prefix) noexcept {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (ascii_lower(text[i]) != ascii_lower(prefix[i])) return false;
  }
  return true;
}

bool ascii_iequals(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && ascii_istarts_with(a, b);
}

ParsedInteger parse_integer(std::string_view text, IntegerForm form) noexcept {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::size_t pos = 0;
  if (form == IntegerForm::kLikeAtoi) {
    while (pos < text.size() && is_ascii_space(text[pos])) ++pos;
  }
  bool negative = false;
  if (form != IntegerForm::kDigits && pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos++] == '-';
  }
  ParsedInteger parsed;
  // Towards the sign, so that the most negative value fits too; a saturated
  // value keeps reading the digits.
  for (; pos < text.size() && is_ascii_digit(text[pos]); ++pos) {
    parsed.digits = true;
    if (parsed.saturated) continue;
    const int digit = text[pos] - '0';
    if (negative ? parsed.value < (kMin + digit) / 10 : parsed.value > (kMax - digit) / 10) {
      parsed.value = negative ? kMin : kMax;
      parsed.saturated = true;
    } else {
      parsed.value = parsed.value * 10 + (negative ? -digit : digit);
    }
  }
  if (parsed.digits) parsed.end = pos;
  return parsed;
}

int parse_count_like_atoi(std::string_view text) noexcept {
  const std::int64_t value = parse_integer(text, IntegerForm::kLikeAtoi).value;
  if (value <= 0) return 0;
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

}  // namespace larkspur::platform
