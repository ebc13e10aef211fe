// SPDX-License-Identifier: Apache-2.0
// Why a file the program needs cannot be used, with the C runtime's calls:
// the Windows side of the reasons the diagnostics give.
#include <direct.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/ini_file.h"
#include "platform/platform.h"
#include "web/file_reasons.h"

namespace larkspur::web {
namespace {

std::string config_file_name() { return config::config_file_name(platform::program_path()); }

int open_error(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return errno != 0 ? errno : EIO;
  std::fclose(file);
  return 0;
}

}  // namespace

std::string config_file_shown() {
  const std::string name = config_file_name();
  char* cwd = ::_getcwd(nullptr, 0);
  if (cwd == nullptr) return name;
  std::string shown = std::string(cwd) + "\\" + name;
  std::free(cwd);
  return shown;
}

std::string config_failure_reason() {
  if (platform::program_path().empty()) return "the program's own name is unknown";
  if (const int error = open_error(config_file_name())) return std::strerror(error);
  return "holds no setting under a [section]";
}

std::string unreadable_reason(const std::string& path) {
  struct _stat64 st {};
  if (::_stat64(path.c_str(), &st) != 0) return std::strerror(errno);
  if ((st.st_mode & _S_IFMT) != _S_IFREG) return "not a regular file";
  if (const int error = open_error(path)) return std::strerror(error);
  return std::strerror(EIO);
}

}  // namespace larkspur::web
