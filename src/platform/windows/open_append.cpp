// SPDX-License-Identifier: Apache-2.0
// Windows: the C runtime's append mode seeks to the end before each write,
// so two processes can overwrite each other's lines. A handle with append
// access alone has every write placed at the end by the system, whole.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>

#include "platform/posix_io.h"

namespace larkspur::platform {

UniqueFd open_for_appending(const std::string& path) noexcept {
  const HANDLE file =
      ::CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = EACCES;
    return {};
  }
  // Like O_NOFOLLOW: a link at the log's name is not written through.
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    ::CloseHandle(file);
    errno = ELOOP;
    return {};
  }
  const int fd =
      ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_APPEND | _O_BINARY);
  if (fd < 0) ::CloseHandle(file);
  return UniqueFd(fd);
}

}  // namespace larkspur::platform
