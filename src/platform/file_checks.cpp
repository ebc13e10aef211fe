// SPDX-License-Identifier: Apache-2.0
#include "platform/file_checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix_io.h"

namespace larkspur::platform {

std::string in_current_directory(std::string_view name) {
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) return std::string(name);
  std::string path = cwd;
  std::free(cwd);
  path += '/';
  path += name;
  return path;
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

FileKind file_kind(const std::string& path, bool follow_link) noexcept {
  struct stat st {};
  if ((follow_link ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
    return FileKind::kNone;
  }
  if (S_ISREG(st.st_mode)) return FileKind::kRegular;
  if (S_ISDIR(st.st_mode)) return FileKind::kDirectory;
  if (S_ISLNK(st.st_mode)) return FileKind::kLink;
  return FileKind::kOther;
}

int directory_write_error(const std::string& dir) noexcept {
  // Write and search permission, for the effective user as a request runs.
  return ::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

int append_open_error(const std::string& path) noexcept {
  const UniqueFd fd(
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  return fd ? 0 : errno;
}

}  // namespace larkspur::platform
