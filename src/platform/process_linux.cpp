// SPDX-License-Identifier: Apache-2.0
// Linux: what the process asks of the system for itself: its own path, no
// core dumps, standard streams, temporary files' place, random bytes, lines
// on standard error and memory wiped for good.
#include <poll.h>
#include <string.h>  // explicit_bzero
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/diagnose.h"
#include "platform/platform.h"
#include "platform/posix_io.h"
#include "platform/random.h"
#include "platform/wipe.h"

namespace larkspur::platform {
namespace {

std::string& invocation_name() {
  static std::string name;
  return name;
}

// The kernel's idea of our executable; used only when argv[0] was empty.
std::string self_exe() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return buffer;
    }
    // Possibly truncated: readlink does not say, so try again with more room.
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

// Resolved now when argv[0] is empty: once the request is confined, /proc
// may be out of reach.
void set_invocation_name(std::string_view argv0) {
  if (argv0.empty()) {
    invocation_name() = self_exe();
  } else {
    invocation_name().assign(argv0);
  }
}

std::string program_path() {
  // The name as the web server gave it, links unresolved: the INI file is
  // named after the link the site was set up with, not after its target.
  if (!invocation_name().empty()) return invocation_name();
  return self_exe();
}

void forbid_core_dumps() {
  // Not dumpable: no core file (unless an administrator set
  // fs.suid_dumpable), and no other process of the same user may attach or
  // read our memory through /proc. The zero limit is the second guard, which
  // core helpers such as systemd-coredump honour as well.
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);
}

// POSIX reads and writes bytes as they are: nothing to do.
void use_binary_io() noexcept {}

std::string temp_dir() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

std::string temp_path(std::string_view name) {
  std::string path = temp_dir();
  if (path.back() != '/') path += '/';
  path.append(name);
  return path;
}

Status random_bytes(void* out, std::size_t size) noexcept {
  auto* bytes = static_cast<unsigned char*>(out);
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t got = ::getrandom(bytes + filled, size - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      return system_error(Step::kRead, {});
    }
  }
  return {};
}

bool wait_readable(int fd, std::chrono::milliseconds timeout) noexcept {
  pollfd ready{fd, POLLIN, 0};
  int polled;
  do {
    polled = ::poll(&ready, 1, static_cast<int>(timeout.count()));
  } while (polled < 0 && errno == EINTR);
  return polled != 0;
}

void diagnose(std::string_view message) noexcept {
  // Gathered rather than joined: no allocation, so it works when memory has
  // run out, which is one of the things worth saying.
  constexpr std::string_view kPrefix = "larkspur: ";
  iovec parts[3] = {
      {const_cast<char*>(kPrefix.data()), kPrefix.size()},
      {const_cast<char*>(message.data()), message.size()},
      {const_cast<char*>("\n"), 1},
  };
  const std::size_t total = kPrefix.size() + message.size() + 1;
  ssize_t n;
  do {
    n = ::writev(STDERR_FILENO, parts, 3);
  } while (n < 0 && errno == EINTR);
  if (n <= 0 || static_cast<std::size_t>(n) == total) return;
  // A long message on a pipe may go out in pieces: finish it.
  std::size_t done = static_cast<std::size_t>(n);
  for (const iovec& part : parts) {
    if (done >= part.iov_len) {
      done -= part.iov_len;
      continue;
    }
    if (!write_all(STDERR_FILENO, static_cast<const char*>(part.iov_base) + done,
                   part.iov_len - done)) {
      return;
    }
    done = 0;
  }
}

void secure_wipe(void* data, std::size_t size) noexcept {
  if (data != nullptr && size != 0) ::explicit_bzero(data, size);
}

}  // namespace larkspur::platform
