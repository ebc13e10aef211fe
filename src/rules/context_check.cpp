// SPDX-License-Identifier: Apache-2.0
#include "rules/context_check.h"

#include <algorithm>

namespace larkspur::rules {
namespace {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool contains_ignoring_case(std::string_view haystack, std::string_view needle) {
  const auto found = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                                 [](char a, char b) { return ascii_lower(a) == ascii_lower(b); });
  return found != haystack.end();
}

}  // namespace

ContextFault check_context(std::string_view user, std::string_view old_password,
                           std::string_view new_password) noexcept {
  if (new_password == old_password) return ContextFault::kSameAsOld;
  if (!user.empty() && contains_ignoring_case(new_password, user)) {
    return ContextFault::kHoldsUserName;
  }
  return ContextFault::kNone;
}

}  // namespace larkspur::rules
