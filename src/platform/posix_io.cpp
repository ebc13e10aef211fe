// SPDX-License-Identifier: Apache-2.0
// The descriptor calls every system has alike (the Windows C runtime offers
// read, write, lseek, ftruncate and close on its descriptors too).
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

Status UniqueFd::close() noexcept {
  if (fd_ < 0) return {};
  if (::close(release()) == 0) return {};
  return system_error(Step::kWrite, {});
}

Status write_all(int fd, const void* data, std::size_t size) noexcept {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return system_error(Step::kWrite, {});
    }
    if (n == 0) return Error{Step::kWrite, {}, EIO, {}, {}};
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

Status overwrite_file(int fd, std::string_view text) noexcept {
  if (::lseek(fd, 0, SEEK_SET) != 0) return system_error(Step::kWrite, {});
  if (Status written = write_all(fd, text); !written) return written;
  if (::ftruncate(fd, static_cast<off_t>(text.size())) != 0) return system_error(Step::kWrite, {});
  return {};
}

Result<std::size_t> read_some(int fd, std::span<char> buffer) noexcept {
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return system_error(Step::kRead, {});
  }
}

Status read_to_end(int fd, std::string& out) {
  std::array<char, 16384> buffer;
  for (;;) {
    const Result<std::size_t> n = read_some(fd, buffer);
    if (!n) return n.error();
    if (n.value() == 0) return {};
    out.append(buffer.data(), n.value());
  }
}

}  // namespace larkspur::platform
