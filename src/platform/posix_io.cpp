// SPDX-License-Identifier: Apache-2.0
#include "platform/posix_io.h"

#include <unistd.h>

#include <array>
#include <cerrno>

namespace larkspur::platform {

void UniqueFd::reset(int fd) noexcept {
  // A failed close still frees the descriptor on Linux; retrying could close
  // one another thread has just been given.
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool UniqueFd::close() noexcept {
  if (fd_ < 0) return true;
  return ::close(release()) == 0;
}

bool write_all(int fd, const void* data, std::size_t size) noexcept {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

ssize_t read_some(int fd, std::span<char> buffer) noexcept {
  ssize_t n;
  do {
    n = ::read(fd, buffer.data(), buffer.size());
  } while (n < 0 && errno == EINTR);
  return n;
}

bool read_to_end(int fd, std::string& out) {
  std::array<char, 16384> buffer;
  for (;;) {
    const ssize_t n = read_some(fd, buffer);
    if (n == 0) return true;
    if (n < 0) return false;
    out.append(buffer.data(), static_cast<std::size_t>(n));
  }
}

}  // namespace larkspur::platform
