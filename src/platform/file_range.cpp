// SPDX-License-Identifier: Apache-2.0
#include "platform/file_range.h"

#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix_io.h"

namespace larkspur::platform {

const int kFileChanged = ESTALE;

std::size_t find_bytes(std::string_view haystack, std::string_view needle) noexcept {
  if (needle.empty()) return 0;
  const void* hit = ::memmem(haystack.data(), haystack.size(), needle.data(), needle.size());
  return hit == nullptr ? std::string_view::npos
                        : static_cast<std::size_t>(static_cast<const char*>(hit) - haystack.data());
}

int open_for_reading(const std::string& path) noexcept {
  // Non-blocking so that a FIFO put in the file's place cannot hang us.
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

bool file_info(int fd, FileInfo& info) noexcept {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.block_size = st.st_blksize > 0 ? static_cast<std::size_t>(st.st_blksize) : 4096;
  info.modified_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  info.regular = S_ISREG(st.st_mode);
  return true;
}

bool read_at(int fd, std::uint64_t offset, char* buffer, std::size_t size) noexcept {
  while (size > 0) {
    const ssize_t got = ::pread(fd, buffer, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) {
      errno = EIO;
      return false;
    }
    buffer += got;
    size -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

bool FileView::map(int fd, std::uint64_t offset, std::size_t size) noexcept {
  reset();
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  if (static_cast<std::uint64_t>(st.st_size) < offset + size) {
    errno = ESTALE;
    return false;
  }
  static const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t start = offset - offset % page;
  const auto length = static_cast<std::size_t>(offset - start) + size;
  // Populated at once: the pages are in the page cache, so this only maps
  // them, without a fault per page.
  void* mapping =
      ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, static_cast<off_t>(start));
  if (mapping == MAP_FAILED) return false;
  mapping_ = mapping;
  mapped_ = length;
  data_ = static_cast<const char*>(mapping) + (offset - start);
  size_ = size;
  return true;
}

void FileView::reset() noexcept {
  if (mapping_ != nullptr) ::munmap(mapping_, mapped_);
  mapping_ = nullptr;
  mapped_ = 0;
  data_ = nullptr;
  size_ = 0;
}

bool RangeCopier::copy(std::uint64_t offset, std::uint64_t length) noexcept {
  while (length > 0 && in_kernel_) {
    auto from = static_cast<off_t>(offset);
    // A single call may copy less than asked; it never passes the file's end.
    const ssize_t done = ::copy_file_range(in_, &from, out_, nullptr, length, 0);
    if (done < 0) {
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        return false;
      }
      in_kernel_ = false;  // refused: nothing was copied by this call
      break;
    }
    if (done == 0) {
      errno = EIO;  // the source is shorter than when it was read
      return false;
    }
    offset += static_cast<std::uint64_t>(done);
    length -= static_cast<std::uint64_t>(done);
  }
  return length == 0 || copy_through_memory(offset, length);
}

bool sync_file(int fd) noexcept { return ::fsync(fd) == 0; }

void start_writeback(int fd) noexcept {
  // The whole file: pages already on their way are passed over.
  (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void advise_scattered_reads(int fd) noexcept { (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM); }

}  // namespace larkspur::platform
