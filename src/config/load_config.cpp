#include "config/ini_file.h"
#include "platform/platform.h"

namespace larkspur::config {

bool load_config(IniFile& ini) {
  const std::string program = platform::program_path();
  // Without our own name there is no file to look for; ".ini" is not it.
  if (program.empty()) return false;
  // Named after the program, looked up in the working directory, not the
  // program's own.
  return ini.load(config_file_name(program));
}

}  // namespace larkspur::config
