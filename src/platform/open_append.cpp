// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/posix_io.h"

namespace larkspur::platform {

UniqueFd open_for_appending(const std::string& path) noexcept {
  // O_NONBLOCK: a FIFO without a reader fails at once instead of waiting,
  // and one with a reader is refused below like any other non-file.
  UniqueFd fd(::open(path.c_str(),
                     O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0640));
  struct stat st;
  if (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
    fd.reset();
    errno = EINVAL;
  }
  return fd;
}

}  // namespace larkspur::platform
