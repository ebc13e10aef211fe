// SPDX-License-Identifier: Apache-2.0
// The INI file named after the program: paths, limits and every page text.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace larkspur::config {

class IniFile {
 public:
  // Reads the file at `path`; fine when it opened and at least one entry is
  // stored.
  platform::Status load(const std::string& path);
  // Runs every line of `text` through the grammar; true when any entry is stored.
  bool parse(std::string_view text);
  // The stored value, or the empty text.
  std::string get(std::string_view section, std::string_view key) const;
  void clear() { entries.clear(); }
  // Whether a load succeeded: one that stores nothing fails.
  bool loaded() const { return !entries.empty(); }

  // Section + kJoiner + key -> value; no value is ever empty.
  std::map<std::string, std::string, std::less<>> entries;
  static constexpr std::string_view kJoiner = "_____***_______";
};

// The process-wide configuration.
IniFile& ini_file();

// "<text after the last '/' or '\\'>.ini", relative to the working directory.
std::string config_file_name(std::string_view program_path);

// Loads the file named after the program's own path.
platform::Status load_config(IniFile& ini);

// That file with the working directory in front, as diagnostics name it.
std::string config_file_shown();

}  // namespace larkspur::config
