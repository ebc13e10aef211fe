// SPDX-License-Identifier: Apache-2.0
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

// No link is followed, so a link planted under the name cannot redirect the
// lock; O_NONBLOCK keeps a planted FIFO from blocking the open. Read-only is
// enough for flock.
constexpr int kOpenFlags = O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

}  // namespace

UpdateLock::UpdateLock(std::string auth_user_file) : auth_user_file_(std::move(auth_user_file)) {}

// flock belongs to the open file, which a forked child shares: closing our
// descriptor alone could leave the lock held.
UpdateLock::~UpdateLock() { release(); }

std::string UpdateLock::lock_file_path(std::string_view auth_user_file) {
  std::string path(auth_user_file);
  path += ".lock";
  return path;
}

UpdateLock::OpenResult UpdateLock::open() {
  if (fd_) return OpenResult::kOpened;
  const std::string path = lock_file_path(auth_user_file_);
  // A path cut short at a NUL byte would name some other file.
  if (auth_user_file_.empty() || path.find('\0') != std::string::npos) return OpenResult::kFailed;
  UniqueFd fd(::open(path.c_str(), kOpenFlags, 0600));
  if (!fd) {
    return errno == ENOENT || errno == ENOTDIR ? OpenResult::kNoDirectory : OpenResult::kFailed;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return OpenResult::kFailed;
  fd_ = std::move(fd);
  return OpenResult::kOpened;
}

bool UpdateLock::wait(std::chrono::milliseconds timeout) {
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

void UpdateLock::release() {
  if (!owned_) return;
  ::flock(fd_.get(), LOCK_UN);
  owned_ = false;
}

}  // namespace larkspur::platform
