// SPDX-License-Identifier: Apache-2.0
#include "platform/rewrite_temp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace larkspur::platform {

UniqueFd open_rewrite_temp(const std::string& temp) {
  // A symlink or FIFO planted under the temporary name makes the open fail
  // instead of sending the text elsewhere. A stale file is used only once it
  // is known to have no other name: a hard link to some other file must not
  // empty that file.
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
  if (!fd) return fd;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return {};
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
    errno = EEXIST;  // not a file we made: leave it where it is
    return {};
  }
  return fd;
}

bool empty_file(int fd) noexcept { return ::ftruncate(fd, 0) == 0; }

bool copy_file_attributes(int fd, const std::string& like) noexcept {
  struct stat old {};
  if (::stat(like.c_str(), &old) != 0) return true;  // nothing to copy from
  // Changing the owner needs privileges we may lack; then the group alone
  // is tried, and the file stays ours.
  if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
    if (errno != EPERM) return false;
    if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0 && errno != EPERM) return false;
  }
  return ::fchmod(fd, old.st_mode & 07777) == 0;
}

void remove_file(const std::string& path) noexcept {
  const int error = errno;
  ::unlink(path.c_str());
  errno = error;
}

}  // namespace larkspur::platform
