// SPDX-License-Identifier: Apache-2.0
// The settings of the new-password rules, and the one place that reads them
// from the INI file. Every default keeps the rules off.
#pragma once

#include <string>
#include <vector>

#include "config/ini_file.h"

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

inline constexpr long kMaxBreachedMinCount = 2147483647;

// A key whose value cannot be read; its default is used instead.
struct SettingProblem {
  std::string key;
  std::string value;
  std::string why;
};

struct RuleSettingsRead {
  RuleSettings settings;
  std::vector<SettingProblem> problems;
};

// Keys password_quality, breached_passwords, breached_min_count and
// password_context of [setup]. May throw std::bad_alloc.
RuleSettingsRead read_rule_settings(const config::IniFile& ini);

// The settings of the process-wide configuration, for a request: each
// problem is named in one line of the server's error log.
RuleSettings rule_settings();

}  // namespace larkspur::rules
