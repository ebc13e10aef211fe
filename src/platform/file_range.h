// SPDX-License-Identifier: Apache-2.0
// The file calls of the password store: opening the AuthUserFile for reading,
// bounded reads at an offset, copying a byte range from one file to another
// and making a file durable. Kept apart so that another operating system can
// give them its own side (bounded reads and writes, no copy_file_range).
// The system calls they make once a request is confined are those of
// syscall_allow_list.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/posix_io.h"
#include "platform/result.h"

namespace larkspur::platform {

// Why a file that changed under the store cannot be read or replaced.
inline constexpr std::string_view kFileChanged = "changed by another program since it was opened";

// Where `needle` first occurs in `haystack`, else npos; 0 for an empty one.
std::size_t find_bytes(std::string_view haystack, std::string_view needle) noexcept;

// What the store needs to know of an open file.
struct FileInfo {
  std::uint64_t size = 0;
  std::size_t block_size = 4096;  // the file system's preferred unit of I/O
  std::int64_t modified_ns = 0;
  bool regular = false;
  // Which file it is, where the system says (0 where it does not): a file
  // replaced by rename is another file, with another identity.
  std::uint64_t device = 0;
  std::uint64_t inode = 0;

  // Whether both name the same file, unchanged: same identity, size and time.
  bool same_file(const FileInfo& other) const {
    return inode != 0 && inode == other.inode && device == other.device && size == other.size &&
           modified_ns == other.modified_ns;
  }
};

// Opens the regular file `path` read-only, never waiting on a FIFO nor
// taking a terminal. A link at its name is followed: an administrator may
// keep the INI file or the AuthUserFile elsewhere.
Result<UniqueFd> open_for_reading(const std::string& path);

Result<FileInfo> file_info(int fd) noexcept;

// Reads exactly `size` bytes at `offset`, resuming after short reads and
// EINTR; a file that ends sooner gives EIO.
Status read_at(int fd, std::uint64_t offset, char* buffer, std::size_t size) noexcept;

// A read-only view of part of a file, mapped rather than copied: searching a
// file of tens of megabytes then costs no copy of it. The mapping is made
// only after checking that the file still reaches that far, so that a file
// truncated by another program is an error, not a signal.
class FileView {
 public:
  FileView() = default;
  ~FileView() { reset(); }
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;

  // Views [offset, offset + size) of `fd`; size > 0. Fails with
  // kFileChanged when the file no longer reaches that far.
  Status map(int fd, std::uint64_t offset, std::size_t size) noexcept;
  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  void reset() noexcept;

 private:
  void* mapping_ = nullptr;
  std::size_t mapped_ = 0;
  const char* data_ = nullptr;
  std::size_t size_ = 0;
};

// Copies byte ranges of `in` to `out` at out's current position, in the
// kernel where it can (copy_file_range: on a file system with shared extents,
// block-aligned ranges are shared rather than copied). Where the kernel
// refuses (another file system, an old kernel, a special file), it carries on
// through a bounded buffer with no visible difference.
class RangeCopier {
 public:
  RangeCopier(int in, int out) noexcept : in_(in), out_(out) {}

  // A source that ends sooner gives EIO.
  Status copy(std::uint64_t offset, std::uint64_t length) noexcept;

 private:
  Status copy_through_memory(std::uint64_t offset, std::uint64_t length) noexcept;

  int in_;
  int out_;
  bool in_kernel_ = true;
  std::unique_ptr<char[]> buffer_;
};

// Makes the file's data durable.
Status sync_file(int fd) noexcept;

// Asks the system to start writing the file's changed pages to the disk now,
// without waiting for them: the disk then works while the rest of the file
// is still being made, and the sync_file that ends it has little left to do.
// Only advice: where the system cannot, nothing happens.
void start_writeback(int fd) noexcept;

// Tells the system that `fd` is read at scattered places, so that a read
// brings in its own page and no read-ahead: a search that touches a few
// pages of a large file then reads only those. Only advice.
void advise_scattered_reads(int fd) noexcept;

}  // namespace larkspur::platform
