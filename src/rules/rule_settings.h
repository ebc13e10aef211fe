// SPDX-License-Identifier: Apache-2.0
// The settings of the new-password rules, taken from the settings record.
// Every default keeps the rules off.
#pragma once

#include <string>

#include "config/settings.h"

namespace larkspur::rules {

struct RuleSettings {
  std::string password_quality;    // a pwquality configuration file; empty: no check
  std::string breached_passwords;  // a sorted HASH:COUNT list; empty: no check
  long breached_min_count = 1;     // sightings that refuse a password
  bool password_context = false;   // refuse the old password and the user's name

  // Whether any rule beyond the length is in force.
  bool any() const {
    return !password_quality.empty() || !breached_passwords.empty() || password_context;
  }
};

RuleSettings rule_settings(const config::Settings& settings);

}  // namespace larkspur::rules
