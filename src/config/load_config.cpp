// SPDX-License-Identifier: Apache-2.0
#include <cerrno>

#include "config/ini_file.h"
#include "config/settings.h"
#include "platform/file_checks.h"
#include "platform/no_memory.h"
#include "platform/platform.h"

namespace larkspur::config {

platform::Status load_config(IniFile& ini) {
  const platform::Status out_of_memory = platform::Error{platform::Step::kRead, {}, ENOMEM, {}, {}};
  return platform::or_on_no_memory(out_of_memory, [&]() -> platform::Status {
    const std::string program = platform::program_path();
    // Without our own name there is no file to look for; ".ini" is not it.
    if (program.empty()) {
      return platform::fixed_error(platform::Step::kMissing, {},
                                   "the program's own name is unknown");
    }
    // Named after the program, looked up in the working directory, not the
    // program's own.
    return ini.load(config_file_name(program));
  });
}

std::string config_file_shown() {
  return platform::in_current_directory(config_file_name(platform::program_path()));
}

platform::Result<ParsedSettings> load_settings(IniFile& ini) {
  if (platform::Status loaded = load_config(ini); !loaded) {
    platform::Error error = loaded.error();
    error.subject = config_file_shown();
    return error;
  }
  return parse_settings(ini);
}

}  // namespace larkspur::config
