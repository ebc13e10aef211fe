// SPDX-License-Identifier: Apache-2.0
// Windows: an anonymous pipe (what Apache hands a CGI as standard input)
// cannot be waited on, so its queue is looked at with PeekNamedPipe, at
// short intervals first. Files are always readable.
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <chrono>

#include "platform/posix_io.h"

namespace larkspur::platform {

bool wait_readable(int fd, std::chrono::milliseconds timeout) noexcept {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) return true;  // the read reports it
  const DWORD type = ::GetFileType(handle);
  if (type == FILE_TYPE_CHAR) {
    return ::WaitForSingleObject(
               handle, static_cast<DWORD>(std::max<long long>(0, timeout.count()))) != WAIT_TIMEOUT;
  }
  if (type != FILE_TYPE_PIPE) return true;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  DWORD pause = 1;
  for (;;) {
    DWORD available = 0;
    // A closed or broken pipe is readable too: the read then sees the end.
    if (!::PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr) || available > 0) {
      return true;
    }
    const auto now = Clock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    ::Sleep(static_cast<DWORD>(std::min<long long>(pause, left + 1)));
    pause = std::min<DWORD>(pause * 2, 50);
  }
}

}  // namespace larkspur::platform
