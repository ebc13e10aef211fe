// SPDX-License-Identifier: Apache-2.0
// Descriptors and files, one way: an owning descriptor, whole writes and
// reads that survive signals and short transfers, and where temporary files go.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/result.h"

namespace larkspur::platform {

// Owns one descriptor and closes it when destroyed.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }
  // Gives the descriptor up without closing it.
  int release() noexcept { return std::exchange(fd_, -1); }
  // Closes the descriptor held, if any, and holds `fd` instead.
  void reset(int fd = -1) noexcept;
  // Closes now and says whether close(2) succeeded: the last chance to hear
  // of a failed write on some file systems. Fine when nothing was held.
  Status close() noexcept;

 private:
  int fd_ = -1;
};

// Opens `path` for appending, creating it (0640) when missing, without
// following a link at its name and without waiting: only a regular file is
// opened (a FIFO or device is refused). Every write lands at the end, whole,
// even with other processes appending too.
Result<UniqueFd> open_for_appending(const std::string& path);

// Opens `path` to read and write, creating it private (0600) when `create`
// says so; never through a link, never waiting on a FIFO, and only when it
// is a regular file.
Result<UniqueFd> open_private_file(const std::string& path, bool create);

// Replaces the whole content of the file open as `fd` by `text`, in place.
Status overwrite_file(int fd, std::string_view text) noexcept;

// Writes every byte, resuming after short writes and EINTR; a write of
// nothing counts as EIO.
Status write_all(int fd, const void* data, std::size_t size) noexcept;
inline Status write_all(int fd, std::string_view bytes) noexcept {
  return write_all(fd, bytes.data(), bytes.size());
}

// Waits at most `timeout` for `fd` to have something to read (or its end,
// or an error, which the read then reports). False on a time-out.
bool wait_readable(int fd, std::chrono::milliseconds timeout) noexcept;

// One read(2) into `buffer`, repeated while interrupted by a signal: the
// number of bytes read, 0 at the end.
Result<std::size_t> read_some(int fd, std::span<char> buffer) noexcept;

// Appends everything up to the end of the file to `out`. On a read error
// (a directory gives EISDIR) `out` holds what came before it. May throw
// std::bad_alloc.
Status read_to_end(int fd, std::string& out);

// Where private temporary files go: $TMPDIR when set and not empty, else /tmp.
std::string temp_dir();
// `name` inside temp_dir(), joined by exactly one '/'.
std::string temp_path(std::string_view name);

}  // namespace larkspur::platform
