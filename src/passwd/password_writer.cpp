// SPDX-License-Identifier: Apache-2.0
// Rewriting the AuthUserFile: the whole new text goes to "<path>.tmp", is made
// durable, and only then replaces the file in one step, so that the web
// server and a crash at any moment find either the old file or the new one.

#include <algorithm>
#include <cerrno>
#include <new>

#include "passwd/password_file.h"
#include "passwd/segment_sink.h"
#include "platform/file_range.h"
#include "platform/no_memory.h"
#include "platform/platform.h"
#include "platform/posix_io.h"
#include "platform/rewrite_temp.h"

namespace larkspur::passwd {

namespace {

// Writes the new file. Ranges of the old text that fill whole blocks of the
// new file, at the same place within a block in both, go file to file: a file
// system with shared extents then shares them instead of copying. Everything
// else, the blocks holding a changed hash among them, is gathered in memory
// and written in pieces of at most kPending bytes.
class FileSink final : public SegmentSink {
 public:
  FileSink(const TextSource& source, int fd)
      : source_(source), fd_(fd), copier_(source.fd(), fd), block_(source.block_size()) {
    pending_.reserve(kPending);
  }

  bool literal(std::string_view bytes) override {
    if (failed()) return false;
    if (pending_.size() + bytes.size() > kPending && !flush()) return false;
    out_ += bytes.size();
    if (bytes.size() < kPending) {
      pending_.append(bytes);
      return true;
    }
    return check(platform::write_all(fd_, bytes.data(), bytes.size()));
  }

  bool copy(std::uint64_t offset, std::uint64_t length) override {
    if (failed()) return false;
    if (!source_.is_file()) {
      return literal(source_.memory().substr(static_cast<std::size_t>(offset),
                                             static_cast<std::size_t>(length)));
    }
    if (offset % block_ != out_ % block_) {
      // Shifted by a hash of another length: no block lines up, but the
      // kernel still copies without a trip through our memory.
      return flush() && copy_in_kernel(offset, length);
    }
    const std::uint64_t head = std::min<std::uint64_t>(length, (block_ - out_ % block_) % block_);
    if (!gather(offset, head)) return false;
    offset += head;
    length -= head;
    // The text's last block is whole enough: it ends both files.
    const std::uint64_t whole =
        offset + length == source_.size() ? length : length - length % block_;
    if (whole > 0 && !(flush() && copy_in_kernel(offset, whole))) return false;
    return gather(offset + whole, length - whole);
  }

  // Writes what is still pending; false once anything has failed.
  bool flush() {
    if (failed()) return false;
    const bool ok = check(platform::write_all(fd_, pending_.data(), pending_.size()));
    pending_.clear();
    if (ok) written();
    return ok;
  }

 private:
  static constexpr std::size_t kPending = std::size_t{1} << 20;
  // How much of the new file is handed to the disk at a time while the rest
  // is still being written; the fsync at the end then waits for little.
  static constexpr std::uint64_t kWriteback = std::uint64_t{4} << 20;

  // Called once everything counted in out_ has reached the file.
  void written() {
    if (out_ - started_ < kWriteback) return;
    platform::start_writeback(fd_);
    started_ = out_;
  }

  // Reads [offset, offset + length) of the old text into the pending bytes.
  bool gather(std::uint64_t offset, std::uint64_t length) {
    while (length > 0) {
      if (pending_.size() == kPending && !flush()) return false;
      const auto piece =
          static_cast<std::size_t>(std::min<std::uint64_t>(length, kPending - pending_.size()));
      if (!check(source_.append_to(pending_, offset, piece))) return false;
      out_ += piece;
      offset += piece;
      length -= piece;
    }
    return true;
  }

  // In pieces of whole blocks, each given to the disk once it is copied.
  bool copy_in_kernel(std::uint64_t offset, std::uint64_t length) {
    const std::uint64_t piece = std::max(block_, kWriteback - kWriteback % block_);
    while (length > 0) {
      const std::uint64_t n = std::min(length, piece);
      out_ += n;
      if (!check(copier_.copy(offset, n))) return false;
      written();
      offset += n;
      length -= n;
    }
    return true;
  }

  const TextSource& source_;
  int fd_;
  platform::RangeCopier copier_;
  std::uint64_t block_;
  std::uint64_t out_ = 0;      // bytes of the new file so far, pending ones included
  std::uint64_t started_ = 0;  // bytes of it whose writeback has been started
  std::string pending_;
};

class SizeSink final : public SegmentSink {
 public:
  bool literal(std::string_view bytes) override {
    total += bytes.size();
    return true;
  }
  bool copy(std::uint64_t, std::uint64_t length) override {
    total += static_cast<std::size_t>(length);
    return true;
  }
  std::size_t total = 0;
};

class StringSink final : public SegmentSink {
 public:
  StringSink(const TextSource& source, std::string& out) : source_(source), out_(out) {}
  bool literal(std::string_view bytes) override {
    out_.append(bytes);
    return true;
  }
  bool copy(std::uint64_t offset, std::uint64_t length) override {
    return check(source_.append_to(out_, offset, static_cast<std::size_t>(length)));
  }

 private:
  const TextSource& source_;
  std::string& out_;
};

}  // namespace

bool PasswordFile::text(std::string& out) const {
  out.clear();
  try {
    SizeSink size;
    if (!emit(size)) return false;
    out.reserve(size.total);
    StringSink sink(source_, out);
    if (emit(sink)) return true;
  } catch (const std::bad_alloc&) {
  }
  out.clear();
  return false;
}

platform::Status PasswordFile::save() const {
  if (unsaveable_ || path_.empty() || path_.find('\0') != std::string::npos) {
    return platform::fixed_error(platform::Step::kWrite, path_,
                                 "holds no change that can be written");
  }
  if (platform::Status same = source_.unchanged(); !same) return same;
  const platform::Status out_of_memory =
      platform::Error{platform::Step::kWrite, {}, ENOMEM, {}, {}};
  return platform::or_on_no_memory(out_of_memory,
                                   [&] { return write_and_replace(path_ + ".tmp"); });
}

platform::Status PasswordFile::write_and_replace(const std::string& temp) const {
  // Private until complete; see open_rewrite_temp for what it refuses.
  platform::Result<platform::UniqueFd> opened = platform::open_rewrite_temp(temp);
  if (!opened) return opened.error();
  platform::UniqueFd fd = std::move(opened).value();
  platform::Status status = platform::empty_file(fd.get());
  if (status) status = platform::copy_file_attributes(fd.get(), path_);
  if (status) {
    FileSink sink(source_, fd.get());
    if (!(emit(sink) && sink.flush())) status = sink.error();
  }
  if (status) status = platform::sync_file(fd.get());
  const platform::Status closed = fd.close();
  if (status) status = closed;
  if (status && platform::kReplaceNeedsTargetClosed) source_.close_before_replace();
  if (status) status = platform::replace_file(temp, path_);
  // No half-written or unplaced copy of the hashes is left behind.
  if (!status) platform::remove_file(temp);
  return status;
}

}  // namespace larkspur::passwd
