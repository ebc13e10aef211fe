// SPDX-License-Identifier: Apache-2.0
// Windows: the temporary file is opened without following a reparse point
// (a symbolic link or junction) and shared with no one while it is written.
#include "platform/rewrite_temp.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>

namespace larkspur::platform {

UniqueFd open_rewrite_temp(const std::string& temp) {
  const HANDLE file =
      ::CreateFileA(temp.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = ::GetLastError() == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
    return {};
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const DWORD foreign = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & foreign) != 0 || info.nNumberOfLinks != 1) {
    ::CloseHandle(file);
    errno = EEXIST;  // not a file we made: leave it where it is
    return {};
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
  if (fd < 0) ::CloseHandle(file);
  return UniqueFd(fd);
}

bool empty_file(int fd) noexcept { return ::_chsize(fd, 0) == 0; }

bool copy_file_attributes(int, const std::string&) noexcept { return true; }

void remove_file(const std::string& path) noexcept {
  const int error = errno;
  ::DeleteFileA(path.c_str());
  errno = error;
}

}  // namespace larkspur::platform
