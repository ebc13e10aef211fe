// SPDX-License-Identifier: Apache-2.0
// The file calls of the password store: opening the AuthUserFile for reading,
// bounded reads at an offset, copying a byte range from one file to another
// and making a file durable. Kept apart so that another operating system can
// give them its own side (bounded reads and writes, no copy_file_range).
//
// System calls made here, after start-up: openat, fstat (newfstatat),
// mmap, munmap, pread64, fadvise64, copy_file_range, write, sync_file_range,
// fsync, close. A save adds,
// in passwd/password_writer.cpp and replace_file: openat (O_CREAT),
// newfstatat, ftruncate, fchown, fchmod, rename, fsync of the directory
// and, after a failure, unlink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace larkspur::platform {

// The errno of a file that changed under the store: ESTALE where the C
// library has it (Windows' has not).
extern const int kFileChanged;

// Where `needle` first occurs in `haystack`, else npos; 0 for an empty one.
std::size_t find_bytes(std::string_view haystack, std::string_view needle) noexcept;

// What the store needs to know of an open file.
struct FileInfo {
  std::uint64_t size = 0;
  std::size_t block_size = 4096;  // the file system's preferred unit of I/O
  std::int64_t modified_ns = 0;
  bool regular = false;
};

// Opens `path` read-only without following it into a FIFO's wait or a
// terminal; -1 with errno on failure.
int open_for_reading(const std::string& path) noexcept;

// False with errno when fstat fails.
bool file_info(int fd, FileInfo& info) noexcept;

// Reads exactly `size` bytes at `offset`, resuming after short reads and
// EINTR. False with errno on an error; a file that ends sooner gives EIO.
bool read_at(int fd, std::uint64_t offset, char* buffer, std::size_t size) noexcept;

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

  // Views [offset, offset + size) of `fd`; size > 0. False with errno
  // (ESTALE when the file no longer reaches that far).
  bool map(int fd, std::uint64_t offset, std::size_t size) noexcept;
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

  // False with errno on an error; a source that ends sooner gives EIO.
  bool copy(std::uint64_t offset, std::uint64_t length) noexcept;

 private:
  bool copy_through_memory(std::uint64_t offset, std::uint64_t length) noexcept;

  int in_;
  int out_;
  bool in_kernel_ = true;
  std::unique_ptr<char[]> buffer_;
};

// Makes the file's data durable. False with errno on failure.
bool sync_file(int fd) noexcept;

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
