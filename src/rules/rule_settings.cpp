// SPDX-License-Identifier: Apache-2.0
#include "rules/rule_settings.h"

#include <string_view>

#include "platform/diagnose.h"

namespace larkspur::rules {
namespace {

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Whole digits only, within [1, kMaxBreachedMinCount].
bool parse_count(std::string_view text, long& out) {
  if (text.empty() || text.size() > 10) return false;
  long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > kMaxBreachedMinCount) return false;
  out = static_cast<long>(value);
  return true;
}

}  // namespace

RuleSettingsRead read_rule_settings(const config::IniFile& ini) {
  RuleSettingsRead read;
  RuleSettings& s = read.settings;
  s.password_quality = ini.get("setup", "password_quality");
  s.breached_passwords = ini.get("setup", "breached_passwords");
  if (const std::string count = ini.get("setup", "breached_min_count"); !count.empty()) {
    if (!parse_count(count, s.breached_min_count)) {
      read.problems.push_back({"breached_min_count", count,
                               "not a whole number from 1 to " +
                                   std::to_string(kMaxBreachedMinCount) + "; 1 is used"});
    }
  }
  if (const std::string context = ini.get("setup", "password_context"); !context.empty()) {
    if (ascii_iequals(context, "yes")) {
      s.password_context = true;
    } else if (!ascii_iequals(context, "no")) {
      read.problems.push_back({"password_context", context, "neither yes nor no; no is used"});
    }
  }
  return read;
}

RuleSettings rule_settings() {
  RuleSettingsRead read = read_rule_settings(config::ini_file());
  for (const SettingProblem& p : read.problems) {
    platform::diagnose("[setup] " + p.key + " = " + p.value + ": " + p.why);
  }
  return std::move(read.settings);
}

}  // namespace larkspur::rules
