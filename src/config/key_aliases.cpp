// SPDX-License-Identifier: Apache-2.0
#include "config/key_aliases.h"

#include <string>
#include <string_view>

namespace larkspur::config {

namespace {

struct Alias {
  std::string_view section;
  std::string_view alias;
  std::string_view key;
};

constexpr Alias kAliases[] = {
    {"setup", "pass_min_length", "password_min_length"},
    {"html", "please_enter_name", "enter_name"},
};

std::string entry_key(std::string_view section, std::string_view key) {
  std::string entry(section);
  entry += IniFile::kJoiner;
  entry += key;
  return entry;
}

}  // namespace

void apply_key_aliases(IniFile& ini) {
  for (const Alias& a : kAliases) {
    const std::string value = ini.get(a.section, a.alias);
    // The documented key wins when both are set.
    if (value.empty() || !ini.get(a.section, a.key).empty()) continue;
    ini.entries[entry_key(a.section, a.key)] = value;
  }
}

}  // namespace larkspur::config
