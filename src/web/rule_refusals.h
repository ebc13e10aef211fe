// SPDX-License-Identifier: Apache-2.0
// The new-password rules as the pages tell them: the rules in force under
// the new-password box, and each refusal's page text and log line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "rules/rule_settings.h"
#include "web/password_rules.h"

namespace larkspur::web {

// The refusal of `new_password` by the rules in force, or nothing. A rule
// that cannot be checked fails the change (and says why in the server's
// error log): a list or a configuration gone missing never lets a password
// through unchecked. May throw std::bad_alloc.
std::optional<Refusal> refuse_by_rules(const Request& request, const rules::RuleSettings& settings,
                                       std::string_view user, std::string_view old_password,
                                       std::string_view new_password);

// The rules in force, as shown under the new-password box; empty when no
// rule beyond today's length is set. May throw std::bad_alloc.
std::string rules_in_force(const Request& request, const rules::RuleSettings& settings,
                           int min_length);

}  // namespace larkspur::web
