// SPDX-License-Identifier: Apache-2.0
// The one entry of the new-password rules: which rule, if any, refuses a new
// password, cheapest first.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "rules/rule_settings.h"

namespace larkspur::rules {

enum class Rule {
  kNone,           // accepted
  kSameAsOld,      // the old password again
  kHoldsUserName,  // the user's name within it, ASCII case ignored
  kQuality,        // libpwquality refused it; see `reason`
  kBreached,       // the breached-password list holds it often enough
  kUnchecked,      // a rule could not be checked; see `error`
};

struct Verdict {
  Rule rule = Rule::kNone;
  std::string reason;                    // libpwquality's, for kQuality
  std::optional<platform::Error> error;  // for kUnchecked
};

// May throw std::bad_alloc.
Verdict check_new_password(const RuleSettings& settings, std::string_view user,
                           std::string_view old_password, std::string_view new_password);

// The files the rules read, for confinement: the list, the pwquality
// configuration, its .d directory and the dictionary's directory.
std::vector<std::string> files_read(const RuleSettings& settings);

}  // namespace larkspur::rules
