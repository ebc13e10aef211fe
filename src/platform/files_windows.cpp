// SPDX-License-Identifier: Apache-2.0
// Windows: every way the program opens, creates, reads, copies, replaces and
// locks files, and the questions --check asks about them, through the
// system's own calls behind the C runtime's descriptors. Each open of a
// named file goes through open_regular; system errors become errno values
// in errno_from, and nowhere else.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "platform/file_checks.h"
#include "platform/file_range.h"
#include "platform/platform.h"
#include "platform/posix_io.h"
#include "platform/rewrite_temp.h"
#include "platform/upload_file.h"

namespace larkspur::platform {
namespace {

constexpr std::string_view kNotRegular = "not a regular file";

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
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    default:
      return EIO;
  }
}

// The last system error, as an Error.
Error last_error(Step step, std::string subject) {
  const int code = errno_from(::GetLastError());
  if (step == Step::kOpen && code == ENOENT) step = Step::kMissing;
  return Error{step, std::move(subject), code, {}, {}};
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

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
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE handle_;
};

enum class Links { kFollow, kRefuse };

// How a file is opened: the access asked for, whom else it is shared with,
// what happens when it is missing, and the C runtime's mode of the descriptor.
struct OpenMode {
  DWORD access;
  DWORD share;
  DWORD disposition;
  int crt_flags;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens `path` and keeps it only when it is a file on a disk (not a
// directory, a device or a pipe). kRefuse opens a reparse point (a symbolic
// link or junction) itself, which is then refused, like O_NOFOLLOW.
Result<UniqueFd> open_regular(const std::string& path, const OpenMode& mode, Links links) {
  // A NUL byte would make the system open a shorter name than the one given.
  if (path.find('\0') != std::string::npos) {
    return fixed_error(Step::kOpen, path, "names no file: it holds a NUL byte");
  }
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  if (links == Links::kRefuse) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  Handle file(::CreateFileA(path.c_str(), mode.access, mode.share, nullptr, mode.disposition, flags,
                            nullptr));
  if (!file.valid()) return last_error(Step::kOpen, path);
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
    return fixed_error(Step::kOpen, path, kNotRegular);
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) return last_error(Step::kOpen, path);
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return fixed_error(Step::kOpen, path, kNotRegular);
  }
  if (links == Links::kRefuse && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return Error{Step::kOpen, path, ELOOP, {}, {}};
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file.get()), mode.crt_flags);
  if (fd < 0) return Error{Step::kOpen, path, EMFILE, {}, {}};
  file.release();  // the descriptor owns it now
  return UniqueFd(fd);
}

// Windows counts time in 100 ns steps since 1601.
std::int64_t nanoseconds(const FILETIME& time) {
  const auto ticks = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  return ticks * 100;
}

}  // namespace

// ---- Opening, reading and writing ----

Result<UniqueFd> open_for_reading(const std::string& path) {
  // Shared for deletion too: the rewrite replaces the file while this
  // descriptor still reads from it, and so may another instance.
  return open_regular(path, {GENERIC_READ, kShareAll, OPEN_EXISTING, _O_RDONLY | _O_BINARY},
                      Links::kFollow);
}

Result<UniqueFd> open_for_appending(const std::string& path) {
  // The C runtime's append mode seeks to the end before each write, so two
  // processes can overwrite each other's lines. A handle with append access
  // alone has every write placed at the end by the system, whole.
  return open_regular(
      path,
      {FILE_APPEND_DATA | SYNCHRONIZE, kShareAll, OPEN_ALWAYS, _O_WRONLY | _O_APPEND | _O_BINARY},
      Links::kRefuse);
}

Result<UniqueFd> open_private_file(const std::string& path, bool create) {
  return open_regular(
      path,
      {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
       static_cast<DWORD>(create ? OPEN_ALWAYS : OPEN_EXISTING), _O_RDWR | _O_BINARY},
      Links::kRefuse);
}

std::size_t find_bytes(std::string_view haystack, std::string_view needle) noexcept {
  return haystack.find(needle);
}

Result<FileInfo> file_info(int fd) noexcept {
  const HANDLE file = handle_of(fd);
  BY_HANDLE_FILE_INFORMATION details{};
  if (file == INVALID_HANDLE_VALUE) return Error{Step::kRead, {}, EBADF, {}, {}};
  if (!::GetFileInformationByHandle(file, &details)) return last_error(Step::kRead, {});
  FileInfo info;
  info.size = (static_cast<std::uint64_t>(details.nFileSizeHigh) << 32) | details.nFileSizeLow;
  info.block_size = 4096;
  info.modified_ns = nanoseconds(details.ftLastWriteTime);
  info.regular = ::GetFileType(file) == FILE_TYPE_DISK &&
                 (details.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  return info;
}

Status read_at(int fd, std::uint64_t offset, char* buffer, std::size_t size) noexcept {
  const HANDLE file = handle_of(fd);
  while (size > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(file, buffer, want, &got, &at)) {
      if (::GetLastError() == ERROR_HANDLE_EOF) return Error{Step::kRead, {}, EIO, {}, {}};
      return last_error(Step::kRead, {});
    }
    if (got == 0) return Error{Step::kRead, {}, EIO, {}, {}};
    buffer += got;
    size -= got;
    offset += got;
  }
  return {};
}

// No mapping: a view is a private copy.
Status FileView::map(int fd, std::uint64_t offset, std::size_t size) noexcept {
  reset();
  const Result<FileInfo> info = file_info(fd);
  if (!info) return info.error();
  if (info.value().size < offset + size) return fixed_error(Step::kRead, {}, kFileChanged);
  std::unique_ptr<char[]> copy(new (std::nothrow) char[size]);
  if (!copy) return Error{Step::kRead, {}, ENOMEM, {}, {}};
  if (Status read = read_at(fd, offset, copy.get(), size); !read) return read;
  data_ = copy.get();
  size_ = mapped_ = size;
  mapping_ = copy.release();  // owned again by reset()
  return {};
}

void FileView::reset() noexcept {
  std::unique_ptr<char[]>(static_cast<char*>(mapping_)).reset();
  mapping_ = nullptr;
  mapped_ = 0;
  data_ = nullptr;
  size_ = 0;
}

// No copy in the kernel: always through a buffer.
Status RangeCopier::copy(std::uint64_t offset, std::uint64_t length) noexcept {
  in_kernel_ = false;
  return copy_through_memory(offset, length);
}

Status sync_file(int fd) noexcept {
  if (::FlushFileBuffers(handle_of(fd))) return {};
  return last_error(Step::kWrite, {});
}

// Windows writes back on its own schedule; FlushFileBuffers waits for it all.
void start_writeback(int) noexcept {}

void advise_scattered_reads(int) noexcept {}

// ---- Rewriting and replacing ----

Result<UniqueFd> open_rewrite_temp(const std::string& temp) {
  // Shared with no one while it is written. A stale file is used only once
  // it is known to have no other name: a hard link to some other file must
  // not empty that file.
  Result<UniqueFd> fd = open_regular(
      temp, {GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS, _O_WRONLY | _O_BINARY}, Links::kRefuse);
  if (!fd) return fd;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle_of(fd.value().get()), &info)) {
    return last_error(Step::kOpen, temp);
  }
  // Not a file we made: leave it where it is.
  if (info.nNumberOfLinks != 1) return fixed_error(Step::kOpen, temp, "has another name too");
  return fd;
}

Status empty_file(int fd) noexcept {
  if (::_chsize(fd, 0) == 0) return {};
  return system_error(Step::kWrite, {});
}

// Windows files take their access from the directory.
Status copy_file_attributes(int, const std::string&) noexcept { return {}; }

void remove_file(const std::string& path) noexcept { ::DeleteFileA(path.c_str()); }

const bool kReplaceNeedsTargetClosed = true;

// One-step replacement with MoveFileExA. The writer has flushed the new file
// (FlushFileBuffers) before it closed it.
Status replace_file(const std::string& source, const std::string& target) {
  // Another program (Apache checking a login, a virus scanner) may hold the
  // old file open without sharing its deletion for a moment: try again for
  // up to a second before calling the rewrite failed.
  for (int attempt = 0;; ++attempt) {
    // WRITE_THROUGH: return only once the new name is on the disk.
    if (::MoveFileExA(source.c_str(), target.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return {};
    }
    const DWORD error = ::GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || attempt == 50) {
      return Error{Step::kWrite, target, errno_from(error), {}, {}};
    }
    ::Sleep(20);
  }
}

// ---- Uploads: created with FILE_FLAG_DELETE_ON_CLOSE, so Windows deletes
// the file when its last handle closes, which is at the latest when the
// process ends, however it ends ----

Result<UploadFile> create_upload_file() {
  char name[64];
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    // CREATE_NEW never opens what is already there, so the name need only
    // be unlikely to be taken, not secret.
    std::snprintf(name, sizeof name, "larkspur-upload-%lu-%llu-%u", ::GetCurrentProcessId(),
                  static_cast<unsigned long long>(::GetTickCount64()), attempt);
    std::string path = temp_path(name);
    Handle file(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                              nullptr));
    if (!file.valid()) {
      if (::GetLastError() == ERROR_FILE_EXISTS) continue;
      return last_error(Step::kOpen, path);
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_RDWR | _O_BINARY);
    if (fd < 0) return Error{Step::kOpen, path, EMFILE, {}, {}};
    file.release();
    UploadFile upload;
    upload.fd.reset(fd);
    upload.path = std::move(path);
    return upload;
  }
  return Error{Step::kOpen, temp_dir(), EEXIST, {}, {}};
}

// ---- The update lock: a named mutex, the same for every AuthUserFile. Its
// name has no namespace prefix, so it lives in the session's own object
// namespace, where every process the web server starts finds the same
// object ----

namespace {

constexpr const char* kMutexName = "LarkspurByWren_ZmyPB7A";

}  // namespace

UpdateLock::UpdateLock(std::string auth_user_file) : auth_user_file_(std::move(auth_user_file)) {}

UpdateLock::~UpdateLock() {
  release();
  if (mutex_ != nullptr) ::CloseHandle(mutex_);
}

// No file stands behind a mutex.
std::string UpdateLock::lock_file_path(std::string_view) { return {}; }

Status UpdateLock::open() {
  if (mutex_ != nullptr) return {};
  mutex_ = ::OpenMutexA(MUTEX_ALL_ACCESS, FALSE, kMutexName);
  if (mutex_ == nullptr) mutex_ = ::CreateMutexA(nullptr, FALSE, kMutexName);
  if (mutex_ != nullptr) return {};
  return last_error(Step::kLock, kMutexName);
}

Status UpdateLock::wait(std::chrono::milliseconds timeout) {
  if (mutex_ == nullptr) return fixed_error(Step::kWait, kMutexName, "not open");
  // INFINITE is 0xFFFFFFFF: stay below it so that a long time-out still ends.
  const auto ms = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INFINITE - 1);
  switch (::WaitForSingleObject(mutex_, static_cast<DWORD>(ms))) {
    case WAIT_OBJECT_0:
      owned_ = true;
      return {};
    case WAIT_ABANDONED:
      // The last owner died holding it. Ownership passed to us all the same;
      // the wait still counts as failed, so give it back at once rather than
      // leave the next process another abandoned mutex when we exit.
      ::ReleaseMutex(mutex_);
      return fixed_error(Step::kWait, kMutexName, "abandoned by a process that died holding it");
    case WAIT_TIMEOUT:
      return fixed_error(Step::kWait, kMutexName, "held by another process");
    default:
      return last_error(Step::kWait, kMutexName);
  }
}

void UpdateLock::release() {
  if (!owned_) return;
  ::ReleaseMutex(mutex_);
  owned_ = false;
}

// ---- Questions for --check and the diagnostics. A directory's read-only
// attribute says nothing of who may create files in it, so that is learnt
// by creating one, which the system deletes as its handle closes ----

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

Result<FileKind> file_kind(const std::string& path, bool follow_link) {
  // Backup semantics open a directory too; only the right to read its
  // attributes is asked for, not the right to read the file.
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
  if (!follow_link) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  const Handle file(::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                  OPEN_EXISTING, flags, nullptr));
  if (!file.valid()) return last_error(Step::kOpen, path);
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) return FileKind::kOther;  // a device, a pipe
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) return last_error(Step::kOpen, path);
  if (!follow_link && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return FileKind::kLink;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileKind::kDirectory;
  return FileKind::kRegular;
}

Status check_directory_writable(const std::string& dir) {
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
    if (file.valid()) return {};
    if (::GetLastError() != ERROR_FILE_EXISTS) return last_error(Step::kOpen, dir);
  }
  return Error{Step::kOpen, dir, EEXIST, {}, {}};
}

Status check_appendable(const std::string& path) {
  const Result<UniqueFd> fd = open_regular(
      path,
      {FILE_APPEND_DATA | SYNCHRONIZE, kShareAll, OPEN_EXISTING, _O_WRONLY | _O_APPEND | _O_BINARY},
      Links::kRefuse);
  if (!fd) return fd.error();
  return {};
}

}  // namespace larkspur::platform
