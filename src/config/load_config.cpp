// SPDX-License-Identifier: Apache-2.0
#include "config/ini_file.h"
#include "config/key_aliases.h"
#include "platform/no_memory.h"
#include "platform/platform.h"

namespace larkspur::config {

bool load_config(IniFile& ini) {
  return platform::or_on_no_memory(false, [&] {
    const std::string program = platform::program_path();
    // Without our own name there is no file to look for; ".ini" is not it.
    if (program.empty()) return false;
    // Named after the program, looked up in the working directory, not the
    // program's own.
    if (!ini.load(config_file_name(program))) return false;
    apply_key_aliases(ini);
    return true;
  });
}

}  // namespace larkspur::config
