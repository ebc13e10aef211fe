// SPDX-License-Identifier: Apache-2.0
#include "web/file_reasons.h"

#include <cerrno>
#include <cstring>

#include "config/ini_file.h"
#include "platform/file_checks.h"
#include "platform/file_range.h"
#include "platform/platform.h"
#include "platform/posix_io.h"

namespace larkspur::web {
namespace {

// Opens like the readers do, to learn what they were told.
int open_error(const std::string& path) {
  const platform::UniqueFd fd(platform::open_for_reading(path));
  return fd ? 0 : errno;
}

}  // namespace

std::string unreadable_reason(const std::string& path) {
  const platform::FileKind kind = platform::file_kind(path, true);
  if (kind == platform::FileKind::kNone) return std::strerror(errno);
  if (kind != platform::FileKind::kRegular) return "not a regular file";
  if (const int error = open_error(path)) return std::strerror(error);
  return std::strerror(EIO);
}

}  // namespace larkspur::web
