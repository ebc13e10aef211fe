// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix_io.h"

namespace larkspur::platform {

UniqueFd open_private_file(const std::string& path, bool create) noexcept {
  UniqueFd fd(::open(path.c_str(),
                     O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | (create ? O_CREAT : 0), 0600));
  struct stat st {};
  if (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
    fd.reset();
    errno = EINVAL;
  }
  return fd;
}

bool overwrite_file(int fd, std::string_view text) noexcept {
  return ::lseek(fd, 0, SEEK_SET) == 0 && write_all(fd, text) &&
         ::ftruncate(fd, static_cast<off_t>(text.size())) == 0;
}

}  // namespace larkspur::platform
