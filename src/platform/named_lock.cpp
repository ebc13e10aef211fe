#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/platform.h"

namespace larkspur::platform {
namespace {

// Read-only is enough for flock, and lets a process of another user share a
// lock file that it does not own. O_NONBLOCK keeps a FIFO planted under the
// name from blocking the open; it has no effect on a regular file.
constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

UniqueFd open_regular(const std::string& path, int extra_flags) {
  UniqueFd fd(::open(path.c_str(), kOpenFlags | extra_flags, 0644));
  if (!fd) return fd;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    fd.reset();
    errno = EINVAL;
  }
  return fd;
}

}  // namespace

NamedLock::NamedLock(std::string name) : name_(std::move(name)) {}

NamedLock::~NamedLock() { release(); }

std::string NamedLock::lock_file_path(std::string_view name) {
  std::string path = temp_path(name);
  path += ".lock";
  return path;
}

bool NamedLock::open() {
  if (fd_) return true;
  const std::string path = lock_file_path(name_);
  // Open the existing file first: in a sticky /tmp, O_CREAT on a file of
  // another user can be refused (fs.protected_regular) even though a plain
  // open would succeed. Another process may create or remove the file
  // between the steps, so go round a few times.
  for (int attempt = 0; attempt < 8; ++attempt) {
    fd_ = open_regular(path, 0);
    if (fd_) return true;
    if (errno != ENOENT) return false;
    fd_ = open_regular(path, O_CREAT | O_EXCL);
    if (fd_) {
      // Whatever the umask, other users must be able to open it read-only.
      ::fchmod(fd_.get(), 0644);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool NamedLock::wait(std::chrono::milliseconds timeout) {
  if (!fd_) return false;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
  std::chrono::microseconds pause(1000);
  const std::chrono::microseconds longest_pause(10000);
  for (;;) {
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
      owned_ = true;
      return true;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    // A blocking flock cannot time out, so poll; short pauses first, as a
    // lock held by another request is usually given up within milliseconds.
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, longest_pause);
  }
}

void NamedLock::release() {
  if (!owned_) return;
  ::flock(fd_.get(), LOCK_UN);
  owned_ = false;
}

}  // namespace larkspur::platform
