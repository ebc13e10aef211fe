// SPDX-License-Identifier: Apache-2.0
// Windows: the store's file calls as bounded reads and writes through the
// handles behind the C runtime's descriptors. No mapping, no copy in the
// kernel: a view is a private copy, a range copy goes through a buffer.
#include "platform/file_range.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "platform/posix_io.h"

namespace larkspur::platform {
namespace {

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

// Windows counts time in 100 ns steps since 1601.
std::int64_t nanoseconds(const FILETIME& time) {
  const auto ticks = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  return ticks * 100;
}

}  // namespace

// The C runtime has no ESTALE.
const int kFileChanged = EIO;

std::size_t find_bytes(std::string_view haystack, std::string_view needle) noexcept {
  return haystack.find(needle);
}

int open_for_reading(const std::string& path) noexcept {
  // Shared for deletion too: the rewrite replaces the file while this
  // descriptor still reads from it, and so may another instance.
  const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = ::GetLastError() == ERROR_FILE_NOT_FOUND || ::GetLastError() == ERROR_PATH_NOT_FOUND
                ? ENOENT
                : EACCES;
    return -1;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
  if (fd < 0) ::CloseHandle(file);
  return fd;
}

bool file_info(int fd, FileInfo& info) noexcept {
  const HANDLE file = handle_of(fd);
  BY_HANDLE_FILE_INFORMATION details{};
  if (file == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(file, &details)) {
    errno = EBADF;
    return false;
  }
  info.size = (static_cast<std::uint64_t>(details.nFileSizeHigh) << 32) | details.nFileSizeLow;
  info.block_size = 4096;
  info.modified_ns = nanoseconds(details.ftLastWriteTime);
  info.regular = ::GetFileType(file) == FILE_TYPE_DISK &&
                 (details.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  return true;
}

bool read_at(int fd, std::uint64_t offset, char* buffer, std::size_t size) noexcept {
  const HANDLE file = handle_of(fd);
  while (size > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(file, buffer, want, &got, &at)) {
      errno = ::GetLastError() == ERROR_HANDLE_EOF ? EIO : EACCES;
      return false;
    }
    if (got == 0) {
      errno = EIO;
      return false;
    }
    buffer += got;
    size -= got;
    offset += got;
  }
  return true;
}

bool FileView::map(int fd, std::uint64_t offset, std::size_t size) noexcept {
  reset();
  FileInfo info;
  if (!file_info(fd, info)) return false;
  if (info.size < offset + size) {
    errno = kFileChanged;  // the file no longer reaches that far
    return false;
  }
  std::unique_ptr<char[]> copy(new (std::nothrow) char[size]);
  if (!copy) {
    errno = ENOMEM;
    return false;
  }
  if (!read_at(fd, offset, copy.get(), size)) return false;
  data_ = copy.get();
  size_ = mapped_ = size;
  mapping_ = copy.release();  // owned again by reset()
  return true;
}

void FileView::reset() noexcept {
  std::unique_ptr<char[]>(static_cast<char*>(mapping_)).reset();
  mapping_ = nullptr;
  mapped_ = 0;
  data_ = nullptr;
  size_ = 0;
}

bool RangeCopier::copy(std::uint64_t offset, std::uint64_t length) noexcept {
  in_kernel_ = false;
  return copy_through_memory(offset, length);
}

bool sync_file(int fd) noexcept {
  if (::FlushFileBuffers(handle_of(fd))) return true;
  errno = EIO;
  return false;
}

// Windows writes back on its own schedule; FlushFileBuffers waits for it all.
void start_writeback(int) noexcept {}

void advise_scattered_reads(int) noexcept {}

}  // namespace larkspur::platform
