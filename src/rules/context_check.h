// SPDX-License-Identifier: Apache-2.0
// The cheapest rules, checked before any file is opened: a new password is
// neither the old one again nor built on the user's own name.
#pragma once

#include <string_view>

namespace larkspur::rules {

enum class ContextFault { kNone, kSameAsOld, kHoldsUserName };

// Equal bytes to `old_password`, or `user` within it with ASCII case ignored.
ContextFault check_context(std::string_view user, std::string_view old_password,
                           std::string_view new_password) noexcept;

}  // namespace larkspur::rules
