// SPDX-License-Identifier: Apache-2.0
#include <cerrno>

#include "config/ini_file.h"
#include "config/key_aliases.h"
#include "platform/file_checks.h"
#include "platform/no_memory.h"
#include "platform/platform.h"

namespace larkspur::config {

platform::Status load_config(IniFile& ini) {
  const platform::Status out_of_memory = platform::Error{platform::Step::kRead, {}, ENOMEM, {}};
  return platform::or_on_no_memory(out_of_memory, [&]() -> platform::Status {
    const std::string program = platform::program_path();
    // Without our own name there is no file to look for; ".ini" is not it.
    if (program.empty()) {
      return platform::fixed_error(platform::Step::kMissing, {},
                                   "the program's own name is unknown");
    }
    // Named after the program, looked up in the working directory, not the
    // program's own.
    if (platform::Status loaded = ini.load(config_file_name(program)); !loaded) return loaded;
    apply_key_aliases(ini);
    return {};
  });
}

std::string config_file_shown() {
  return platform::in_current_directory(config_file_name(platform::program_path()));
}

}  // namespace larkspur::config
