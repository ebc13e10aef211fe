// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace larkspur::platform {
namespace {

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

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
