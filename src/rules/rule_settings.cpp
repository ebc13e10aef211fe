// SPDX-License-Identifier: Apache-2.0
#include "rules/rule_settings.h"

namespace larkspur::rules {

RuleSettings rule_settings(const config::Settings& settings) {
  return {settings.password_quality, settings.breached_passwords, settings.breached_min_count,
          settings.password_context};
}

}  // namespace larkspur::rules
