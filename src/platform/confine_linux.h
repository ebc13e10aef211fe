// SPDX-License-Identifier: Apache-2.0
// The two halves of confinement on Linux, used by confine_linux.cpp.
#pragma once

#include <cstddef>

#include "platform/confine.h"

namespace larkspur::platform::linux_confine {

// Collects what could not be set up, for the one diagnostic line. A fixed
// buffer: confinement runs before anything else and must not throw.
class Problems {
 public:
  // Adds "<what> (<errno name>)".
  void add(const char* what, int error) noexcept;
  bool empty() const noexcept { return length_ == 0; }
  const char* text() const noexcept { return text_; }
  std::size_t size() const noexcept { return length_; }

 private:
  char text_[256] = {};
  std::size_t length_ = 0;
};

// Restricts file-system access with Landlock to what `paths` need. Returns
// the ABI applied, or 0 when the process is left unrestricted.
int restrict_file_access(const ConfinePaths& paths, Problems& problems) noexcept;

// Installs the allow-list of system calls, with a database client's when
// `database_client`; anything else kills the process.
bool filter_system_calls(bool database_client, Problems& problems) noexcept;

}  // namespace larkspur::platform::linux_confine
