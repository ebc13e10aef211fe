// SPDX-License-Identifier: Apache-2.0
// The INI line grammar and lookups on what it stored.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  larkspur::config::IniFile ini;
  const bool stored = ini.parse(text);
  if (stored == ini.entries.empty()) std::abort();
  for (const auto& [key, value] : ini.entries) {
    if (value.empty()) std::abort();  // empty values are never stored
  }
  (void)ini.get("path", "auth_user_file");
  (void)ini.get("setup", "password_min_length");
  (void)ini.get("html", "title");
  (void)ini.get("", "");
  ini.clear();
  return 0;
}
