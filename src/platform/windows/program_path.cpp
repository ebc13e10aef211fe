// SPDX-License-Identifier: Apache-2.0
// Windows: the program's own path is the path of its executable module.
#include <windows.h>

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace larkspur::platform {

// Windows has no links under which a CGI program is commonly run, and
// argv[0] may be a bare name: the module's path is the one to trust.
void set_invocation_name(std::string_view) {}

std::string program_path() {
  // MAX_PATH first; a longer path (allowed since Windows 10) comes back cut
  // short, which would name another INI file, so try again with more room.
  std::string buffer(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    if (buffer.size() >= 32768) return {};
    buffer.assign(buffer.size() * 2, '\0');
  }
}

}  // namespace larkspur::platform
