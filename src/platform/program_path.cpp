// SPDX-License-Identifier: Apache-2.0
#include <unistd.h>

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace larkspur::platform {
namespace {

std::string& invocation_name() {
  static std::string name;
  return name;
}

// The kernel's idea of our executable; used only when argv[0] was empty.
std::string self_exe() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return buffer;
    }
    // Possibly truncated: readlink does not say, so try again with more room.
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

// Resolved now when argv[0] is empty: once the request is confined, /proc
// may be out of reach.
void set_invocation_name(std::string_view argv0) {
  if (argv0.empty()) {
    invocation_name() = self_exe();
  } else {
    invocation_name().assign(argv0);
  }
}

std::string program_path() {
  // The name as the web server gave it, links unresolved: the INI file is
  // named after the link the site was set up with, not after its target.
  if (!invocation_name().empty()) return invocation_name();
  return self_exe();
}

}  // namespace larkspur::platform
