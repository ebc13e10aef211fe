// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/file_checks.h"
#include "platform/platform.h"

namespace larkspur::platform {

const bool kReplaceNeedsTargetClosed = false;

bool replace_file(const std::string& source, const std::string& target) {
  if (std::rename(source.c_str(), target.c_str()) != 0) return false;
  // rename(2) is atomic but not durable until the directory entry reaches the
  // disk; a crash right after could otherwise bring the old file back. The
  // replacement has happened either way, so a failed fsync is not a failure.
  const UniqueFd dir(::open(directory_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return true;
}

}  // namespace larkspur::platform
