// SPDX-License-Identifier: Apache-2.0
// Windows: the same questions through the system's own calls. A directory's
// read-only attribute says nothing of who may create files in it, so that
// is learnt by creating one, which the system deletes as its handle closes.
#include "platform/file_checks.h"

#include <direct.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace larkspur::platform {
namespace {

int errno_from(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    default:
      return EIO;
  }
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

// A handle that is closed when it goes.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (valid()) ::CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace

std::string in_current_directory(std::string_view name) {
  char* cwd = ::_getcwd(nullptr, 0);
  if (cwd == nullptr) return std::string(name);
  std::string path = cwd;
  std::free(cwd);
  // A drive's root ("C:\") already ends in its separator.
  if (!path.empty() && !is_separator(path.back())) path += '\\';
  path += name;
  return path;
}

std::string directory_of(const std::string& path) {
  const auto separator = path.find_last_of("/\\");
  const bool drive = path.size() >= 2 && path[1] == ':';
  if (separator == std::string::npos) return drive ? path.substr(0, 2) : ".";
  // Keep the separator of a root: "\x" is in "\", "C:\x" in "C:\".
  if (separator == 0 || (drive && separator == 2)) return path.substr(0, separator + 1);
  return path.substr(0, separator);
}

FileKind file_kind(const std::string& path, bool follow_link) noexcept {
  // Backup semantics open a directory too; only the right to read its
  // attributes is asked for, not the right to read the file.
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
  if (!follow_link) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  const Handle file(::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, flags, nullptr));
  if (!file.valid()) {
    errno = errno_from(::GetLastError());
    return FileKind::kNone;
  }
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) return FileKind::kOther;  // a device, a pipe
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) {
    errno = errno_from(::GetLastError());
    return FileKind::kNone;
  }
  if (!follow_link && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return FileKind::kLink;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileKind::kDirectory;
  return FileKind::kRegular;
}

int directory_write_error(const std::string& dir) noexcept {
  std::string path = dir;
  if (!path.empty() && !is_separator(path.back()) && path.back() != ':') path += '\\';
  const std::size_t stem = path.size();
  char name[64];
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    // CREATE_NEW never touches a file that is there already.
    std::snprintf(name, sizeof name, "larkspur-check-%lu-%llu-%u.tmp", ::GetCurrentProcessId(),
                  static_cast<unsigned long long>(::GetTickCount64()), attempt);
    path.resize(stem);
    path += name;
    const Handle file(::CreateFileA(
        path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (file.valid()) return 0;
    if (::GetLastError() != ERROR_FILE_EXISTS) return errno_from(::GetLastError());
  }
  return EEXIST;
}

int append_open_error(const std::string& path) noexcept {
  const Handle file(::CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return errno_from(::GetLastError());
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(file.get()) != FILE_TYPE_DISK ||
      !::GetFileInformationByHandle(file.get(), &info)) {
    return EINVAL;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return ELOOP;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EISDIR;
  return 0;
}

}  // namespace larkspur::platform
