// SPDX-License-Identifier: Apache-2.0
// Windows: what the process asks of the system for itself: its own path,
// standard streams, temporary files' place, random bytes, lines on standard
// error and memory wiped for good.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

// After windows.h, which it needs.
#include <bcrypt.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/diagnose.h"
#include "platform/platform.h"
#include "platform/posix_io.h"
#include "platform/random.h"
#include "platform/wipe.h"

namespace larkspur::platform {

// Windows has no links under which a CGI program is commonly run, and
// argv[0] may be a bare name: the module's path is the one to trust.
void set_invocation_name(std::string_view) {}

std::string program_path() {
  // MAX_PATH first; a longer path (allowed since Windows 10) comes back cut
  // short, which would name another INI file, so try again with more room.
  std::string buffer(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    if (buffer.size() >= 32768) return {};
    buffer.assign(buffer.size() * 2, '\0');
  }
}

// Windows writes no core file of a crashed process; a dump by Windows Error
// Reporting is the machine administrator's setting, not the program's.
void forbid_core_dumps() {}

// The C runtime opens files and the standard streams in text mode, which
// turns CR LF into LF and ends input at Ctrl-Z. Requests, pages and the
// files we read and write are bytes.
void use_binary_io() noexcept {
  _fmode = _O_BINARY;
  ::_setmode(_fileno(stdin), _O_BINARY);
  ::_setmode(_fileno(stdout), _O_BINARY);
  ::_setmode(_fileno(stderr), _O_BINARY);
}

// The user's temporary folder, as GetTempPathA finds it (TMP, TEMP, the
// profile, the Windows folder).
std::string temp_dir() {
  char buffer[MAX_PATH + 1] = {};
  const DWORD n = ::GetTempPathA(sizeof buffer, buffer);
  if (n == 0 || n > MAX_PATH) return ".";
  std::string dir(buffer, n);
  // "C:\Temp\" but not "C:\": keep a root's separator.
  if (dir.size() > 3 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  return dir;
}

std::string temp_path(std::string_view name) {
  std::string path = temp_dir();
  if (path.back() != '\\' && path.back() != '/') path += '\\';
  path.append(name);
  return path;
}

// The system's preferred generator.
Status random_bytes(void* out, std::size_t size) noexcept {
  auto* bytes = static_cast<unsigned char*>(out);
  while (size > 0) {
    const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 20));
    if (!BCRYPT_SUCCESS(
            ::BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      return fixed_error(Step::kRead, {}, "the system's random generator failed");
    }
    bytes += chunk;
    size -= chunk;
  }
  return {};
}

// An anonymous pipe (what Apache hands a CGI as standard input) cannot be
// waited on, so its queue is looked at with PeekNamedPipe, at short
// intervals first. Files are always readable.
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

// No writev, so the line is put together in a buffer on the stack (no
// allocation: running out of memory is one of the things worth saying) and
// written with one write when it fits.
void diagnose(std::string_view message) noexcept {
  constexpr std::string_view kPrefix = "larkspur: ";
  char line[2048];
  const std::size_t room = sizeof line - kPrefix.size() - 1;
  const std::string_view head = message.substr(0, std::min(message.size(), room));
  std::memcpy(line, kPrefix.data(), kPrefix.size());
  std::memcpy(line + kPrefix.size(), head.data(), head.size());
  if (head.size() == message.size()) {
    line[kPrefix.size() + head.size()] = '\n';
    (void)write_all(2, line, kPrefix.size() + head.size() + 1);
    return;
  }
  // A longer message goes out in pieces.
  if (!write_all(2, line, kPrefix.size() + head.size())) return;
  if (!write_all(2, message.substr(head.size()))) return;
  (void)write_all(2, "\n", 1);
}

// SecureZeroMemory is the wipe the compiler may not drop.
void secure_wipe(void* data, std::size_t size) noexcept {
  if (data != nullptr && size != 0) ::SecureZeroMemory(data, size);
}

}  // namespace larkspur::platform
