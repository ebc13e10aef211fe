// SPDX-License-Identifier: Apache-2.0
#include <cerrno>

#include "config/ini_file.h"
#include "config/settings.h"
#include "platform/file_checks.h"
#include "platform/file_range.h"
#include "platform/no_memory.h"
#include "platform/platform.h"
#include "platform/posix_io.h"

namespace larkspur::config {
namespace {

// Why load_config failed, taken where it failed.
platform::Error load_failure() {
  using platform::Step;
  const std::string program = platform::program_path();
  const std::string shown = config_file_shown();
  if (program.empty()) {
    return platform::fixed_error(Step::kMissing, shown, "the program's own name is unknown");
  }
  const platform::UniqueFd fd(platform::open_for_reading(config_file_name(program)));
  if (!fd) return platform::system_error(Step::kOpen, shown);
  return platform::fixed_error(Step::kRead, shown, "holds no setting under a [section]");
}

}  // namespace

bool load_config(IniFile& ini) {
  return platform::or_on_no_memory(false, [&] {
    const std::string program = platform::program_path();
    // Without our own name there is no file to look for; ".ini" is not it.
    if (program.empty()) return false;
    // Named after the program, looked up in the working directory, not the
    // program's own.
    return ini.load(config_file_name(program));
  });
}

std::string config_file_shown() {
  return platform::in_current_directory(config_file_name(platform::program_path()));
}

platform::Result<ParsedSettings> load_settings(IniFile& ini) {
  if (!load_config(ini)) return load_failure();
  return parse_settings(ini);
}

}  // namespace larkspur::config
