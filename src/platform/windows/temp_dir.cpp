// SPDX-License-Identifier: Apache-2.0
// Windows: the user's temporary folder, as GetTempPathA finds it (TMP,
// TEMP, the profile, the Windows folder).
#include <windows.h>

#include <string>
#include <string_view>

#include "platform/posix_io.h"

namespace larkspur::platform {

std::string temp_dir() {
  char buffer[MAX_PATH + 1] = {};
  const DWORD n = ::GetTempPathA(sizeof buffer, buffer);
  if (n == 0 || n > MAX_PATH) return ".";
  std::string dir(buffer, n);
  // "C:\Temp\" but not "C:\": keep a root's separator.
  if (dir.size() > 3 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  return dir;
}

std::string temp_path(std::string_view name) {
  std::string path = temp_dir();
  if (path.back() != '\\' && path.back() != '/') path += '\\';
  path.append(name);
  return path;
}

}  // namespace larkspur::platform
