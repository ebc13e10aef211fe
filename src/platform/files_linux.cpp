// SPDX-License-Identifier: Apache-2.0
// Linux: every way the program opens, creates, reads, copies, replaces and
// locks files, and the questions --check asks about them. Each open of a
// named file goes through open_regular.
#include <fcntl.h>
#include <stdlib.h>  // mkostemp
#include <string.h>  // memmem
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
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

enum class Links { kFollow, kRefuse };

// Opens `path` with `flags` and keeps it only when it is a regular file.
// O_NONBLOCK: a FIFO put under the name fails at once or is refused below,
// instead of holding the request (and maybe the update lock) until a peer
// comes. kRefuse adds O_NOFOLLOW: a link planted under the name cannot
// redirect what is written.
Result<UniqueFd> open_regular(const std::string& path, int flags, Links links, mode_t mode = 0) {
  // A NUL byte would make the system open a shorter name than the one given.
  if (path.find('\0') != std::string::npos) {
    return fixed_error(Step::kOpen, path, "names no file: it holds a NUL byte");
  }
  flags |= O_CLOEXEC | O_NONBLOCK | (links == Links::kRefuse ? O_NOFOLLOW : 0);
  UniqueFd fd(::open(path.c_str(), flags, mode));
  if (!fd) return system_error(errno == ENOENT ? Step::kMissing : Step::kOpen, path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return system_error(Step::kOpen, path);
  if (!S_ISREG(st.st_mode)) return fixed_error(Step::kOpen, path, kNotRegular);
  return fd;
}

}  // namespace

// ---- Opening, reading and writing ----

Result<UniqueFd> open_for_reading(const std::string& path) {
  return open_regular(path, O_RDONLY | O_NOCTTY, Links::kFollow);
}

Result<UniqueFd> open_for_appending(const std::string& path) {
  return open_regular(path, O_WRONLY | O_APPEND | O_CREAT, Links::kRefuse, 0640);
}

Result<UniqueFd> open_private_file(const std::string& path, bool create) {
  return open_regular(path, O_RDWR | (create ? O_CREAT : 0), Links::kRefuse, 0600);
}

std::size_t find_bytes(std::string_view haystack, std::string_view needle) noexcept {
  if (needle.empty()) return 0;
  const void* hit = ::memmem(haystack.data(), haystack.size(), needle.data(), needle.size());
  return hit == nullptr ? std::string_view::npos
                        : static_cast<std::size_t>(static_cast<const char*>(hit) - haystack.data());
}

Result<FileInfo> file_info(int fd) noexcept {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return system_error(Step::kRead, {});
  FileInfo info;
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.block_size = st.st_blksize > 0 ? static_cast<std::size_t>(st.st_blksize) : 4096;
  info.modified_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  info.regular = S_ISREG(st.st_mode);
  info.device = static_cast<std::uint64_t>(st.st_dev);
  info.inode = static_cast<std::uint64_t>(st.st_ino);
  return info;
}

Status read_at(int fd, std::uint64_t offset, char* buffer, std::size_t size) noexcept {
  while (size > 0) {
    const ssize_t got = ::pread(fd, buffer, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return system_error(Step::kRead, {});
    if (got == 0) return Error{Step::kRead, {}, EIO, {}, {}};
    buffer += got;
    size -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return {};
}

Status FileView::map(int fd, std::uint64_t offset, std::size_t size) noexcept {
  reset();
  struct stat st {};
  if (::fstat(fd, &st) != 0) return system_error(Step::kRead, {});
  if (static_cast<std::uint64_t>(st.st_size) < offset + size) {
    return fixed_error(Step::kRead, {}, kFileChanged);
  }
  static const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t start = offset - offset % page;
  const auto length = static_cast<std::size_t>(offset - start) + size;
  // Populated at once: the pages are in the page cache, so this only maps
  // them, without a fault per page.
  void* mapping =
      ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, static_cast<off_t>(start));
  if (mapping == MAP_FAILED) return system_error(Step::kRead, {});
  mapping_ = mapping;
  mapped_ = length;
  data_ = static_cast<const char*>(mapping) + (offset - start);
  size_ = size;
  return {};
}

void FileView::reset() noexcept {
  if (mapping_ != nullptr) ::munmap(mapping_, mapped_);
  mapping_ = nullptr;
  mapped_ = 0;
  data_ = nullptr;
  size_ = 0;
}

Status RangeCopier::copy(std::uint64_t offset, std::uint64_t length) noexcept {
  while (length > 0 && in_kernel_) {
    auto from = static_cast<off_t>(offset);
    // A single call may copy less than asked; it never passes the file's end.
    const ssize_t done = ::copy_file_range(in_, &from, out_, nullptr, length, 0);
    if (done < 0) {
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        return system_error(Step::kWrite, {});
      }
      in_kernel_ = false;  // refused: nothing was copied by this call
      break;
    }
    // The source is shorter than when it was read.
    if (done == 0) return Error{Step::kRead, {}, EIO, {}, {}};
    offset += static_cast<std::uint64_t>(done);
    length -= static_cast<std::uint64_t>(done);
  }
  if (length == 0) return {};
  return copy_through_memory(offset, length);
}

Status sync_file(int fd) noexcept {
  if (::fsync(fd) == 0) return {};
  return system_error(Step::kWrite, {});
}

void start_writeback(int fd) noexcept {
  // The whole file: pages already on their way are passed over.
  (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void advise_scattered_reads(int fd) noexcept { (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM); }

// ---- Rewriting and replacing ----

Result<UniqueFd> open_rewrite_temp(const std::string& temp) {
  // A symlink or FIFO planted under the temporary name makes the open fail
  // instead of sending the text elsewhere. A stale file is used only once it
  // is known to have no other name: a hard link to some other file must not
  // empty that file.
  Result<UniqueFd> fd = open_regular(temp, O_WRONLY | O_CREAT, Links::kRefuse, 0600);
  if (!fd) return fd;
  struct stat st {};
  if (::fstat(fd.value().get(), &st) != 0) return system_error(Step::kOpen, temp);
  // Not a file we made: leave it where it is.
  if (st.st_nlink != 1) return fixed_error(Step::kOpen, temp, "has another name too");
  return fd;
}

Status empty_file(int fd) noexcept {
  if (::ftruncate(fd, 0) == 0) return {};
  return system_error(Step::kWrite, {});
}

Status copy_file_attributes(int fd, const std::string& like) noexcept {
  struct stat old {};
  if (::stat(like.c_str(), &old) != 0) return {};  // nothing to copy from
  // Changing the owner needs privileges we may lack; then the group alone
  // is tried, and the file stays ours.
  if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
    if (errno != EPERM) return system_error(Step::kWrite, {});
    if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0 && errno != EPERM) {
      return system_error(Step::kWrite, {});
    }
  }
  if (::fchmod(fd, old.st_mode & 07777) != 0) return system_error(Step::kWrite, {});
  return {};
}

void remove_file(const std::string& path) noexcept { ::unlink(path.c_str()); }

const bool kReplaceNeedsTargetClosed = false;

Status replace_file(const std::string& source, const std::string& target) {
  if (std::rename(source.c_str(), target.c_str()) != 0) return system_error(Step::kWrite, target);
  // rename(2) is atomic but not durable until the directory entry reaches the
  // disk; a crash right after could otherwise bring the old file back. The
  // replacement has happened either way, so a failed fsync is not a failure.
  const UniqueFd dir(::open(directory_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return {};
}

// ---- Uploads: a file without a name (O_TMPFILE), or, where the file
// system refuses that, a named one unlinked at once ----

// A file in memory that never had a name (memfd), so that a confined
// request needs no right over any directory for it; the body's bound keeps
// it small. Where the kernel lacks memfd: a file without a name in the
// temporary directory (O_TMPFILE), or, where the file system refuses that,
// a named one unlinked at once.
Result<UploadFile> create_upload_file() {
  UploadFile upload;
  upload.fd.reset(::memfd_create("larkspur-upload", MFD_CLOEXEC));
  // Private like any other upload file, for whoever looks in /proc.
  if (upload.fd && ::fchmod(upload.fd.get(), 0600) != 0) return system_error(Step::kOpen, "memfd");
  if (upload.fd) {
    upload.path = "/proc/self/fd/" + std::to_string(upload.fd.get());
    return upload;
  }
  if (errno != ENOSYS) return system_error(Step::kOpen, "memfd");
  upload.fd.reset(::open(temp_dir().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!upload.fd) {
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      return system_error(Step::kOpen, temp_dir());
    }
    std::string path = temp_path("larkspur-upload-XXXXXX");
    upload.fd.reset(::mkostemp(path.data(), O_CLOEXEC));
    if (!upload.fd) return system_error(Step::kOpen, path);
    if (::unlink(path.c_str()) != 0) return system_error(Step::kOpen, path);
  }
  upload.path = "/proc/self/fd/" + std::to_string(upload.fd.get());
  return upload;
}

// ---- Questions for --check and the diagnostics ----

std::string in_current_directory(std::string_view name) {
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) return std::string(name);
  std::string path = cwd;
  std::free(cwd);
  path += '/';
  path += name;
  return path;
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

Result<FileKind> file_kind(const std::string& path, bool follow_link) {
  struct stat st {};
  if ((follow_link ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
    return system_error(errno == ENOENT ? Step::kMissing : Step::kOpen, path);
  }
  if (S_ISREG(st.st_mode)) return FileKind::kRegular;
  if (S_ISDIR(st.st_mode)) return FileKind::kDirectory;
  if (S_ISLNK(st.st_mode)) return FileKind::kLink;
  return FileKind::kOther;
}

Status check_directory_writable(const std::string& dir) {
  // Write and search permission, for the effective user as a request runs.
  if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return {};
  return system_error(errno == ENOENT ? Step::kMissing : Step::kOpen, dir);
}

Status check_appendable(const std::string& path) {
  Result<UniqueFd> fd = open_regular(path, O_WRONLY | O_APPEND, Links::kRefuse);
  if (!fd) return fd.error();
  return {};
}

// ---- The update lock: "<AuthUserFile>.lock", held with flock ----

UpdateLock::UpdateLock(std::string auth_user_file) : auth_user_file_(std::move(auth_user_file)) {}

// flock belongs to the open file, which a forked child shares: closing our
// descriptor alone could leave the lock held.
UpdateLock::~UpdateLock() { release(); }

std::string UpdateLock::lock_file_path(std::string_view auth_user_file) {
  std::string path(auth_user_file);
  path += ".lock";
  return path;
}

Status UpdateLock::open() {
  if (fd_) return {};
  const std::string path = lock_file_path(auth_user_file_);
  if (auth_user_file_.empty()) return fixed_error(Step::kLock, path, "no AuthUserFile to lock");
  // Read-only is enough for flock.
  Result<UniqueFd> fd = open_regular(path, O_RDONLY | O_CREAT, Links::kRefuse, 0600);
  if (!fd) {
    Error error = fd.error();
    error.step = error.code == ENOENT || error.code == ENOTDIR ? Step::kMissing : Step::kLock;
    return error;
  }
  fd_ = std::move(fd).value();
  return {};
}

Status UpdateLock::wait(std::chrono::milliseconds timeout) {
  const std::string path = lock_file_path(auth_user_file_);
  if (!fd_) return fixed_error(Step::kWait, path, "not open");
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
  std::chrono::microseconds pause(1000);
  const std::chrono::microseconds longest_pause(10000);
  for (;;) {
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
      owned_ = true;
      return {};
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return system_error(Step::kWait, path);
    const auto now = Clock::now();
    if (now >= deadline) return fixed_error(Step::kWait, path, "held by another process");
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
