// SPDX-License-Identifier: Apache-2.0
#include "web/file_reasons.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "config/ini_file.h"
#include "platform/platform.h"
#include "platform/posix_io.h"

namespace larkspur::web {
namespace {

std::string config_file_name() { return config::config_file_name(platform::program_path()); }

// Opens like the readers do, to learn what they were told.
int open_error(const std::string& path) {
  const platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  return fd ? 0 : errno;
}

}  // namespace

std::string config_file_shown() {
  const std::string name = config_file_name();
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) return name;
  std::string shown = std::string(cwd) + "/" + name;
  std::free(cwd);
  return shown;
}

std::string config_failure_reason() {
  if (platform::program_path().empty()) return "the program's own name is unknown";
  if (const int error = open_error(config_file_name())) return std::strerror(error);
  return "holds no setting under a [section]";
}

std::string unreadable_reason(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (const int error = open_error(path)) return std::strerror(error);
  return std::strerror(EIO);
}

}  // namespace larkspur::web
