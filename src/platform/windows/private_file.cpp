// SPDX-License-Identifier: Apache-2.0
// Windows: a file of our own, opened without following a reparse point.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>

#include "platform/posix_io.h"

namespace larkspur::platform {

UniqueFd open_private_file(const std::string& path, bool create) noexcept {
  const HANDLE file =
      ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = ::GetLastError() == ERROR_FILE_NOT_FOUND ? ENOENT : EACCES;
    return {};
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const DWORD foreign = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & foreign) != 0) {
    ::CloseHandle(file);
    errno = EINVAL;
    return {};
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
  if (fd < 0) ::CloseHandle(file);
  return UniqueFd(fd);
}

bool overwrite_file(int fd, std::string_view text) noexcept {
  return ::_lseeki64(fd, 0, SEEK_SET) == 0 && write_all(fd, text) &&
         ::_chsize(fd, static_cast<long>(text.size())) == 0;
}

}  // namespace larkspur::platform
