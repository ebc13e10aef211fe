// SPDX-License-Identifier: Apache-2.0
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/posix_io.h"

namespace larkspur::platform {

std::string temp_dir() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

std::string temp_path(std::string_view name) {
  std::string path = temp_dir();
  if (path.back() != '/') path += '/';
  path.append(name);
  return path;
}

}  // namespace larkspur::platform
