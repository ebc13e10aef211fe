// Rewriting the AuthUserFile: the whole new text goes to "<path>.tmp", is made
// durable, and only then replaces the file in one step, so that the web
// server and a crash at any moment find either the old file or the new one.

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <new>

#include "passwd/password_file.h"
#include "passwd/segment_sink.h"
#include "platform/platform.h"

namespace larkspur::passwd {

namespace {

// Joins ranges that touch in memory and hands them to writev in batches, so
// that the text reaches the file without being copied into one buffer.
class DescriptorSink final : public SegmentSink {
 public:
  explicit DescriptorSink(int fd) : fd_(fd) {}

  void add(const char* data, std::size_t size) override {
    if (size == 0 || failed_) return;
    if (count_ > 0) {
      iovec& last = iov_[count_ - 1];
      if (static_cast<const char*>(last.iov_base) + last.iov_len == data) {
        last.iov_len += size;
        return;
      }
      if (count_ == iov_.size() && !flush()) return;
    }
    iov_[count_++] = {const_cast<char*>(data), size};
  }

  // Writes what is pending; false once any write has failed.
  bool flush() {
    std::size_t first = 0;
    while (!failed_ && first < count_) {
      ssize_t written = ::writev(fd_, &iov_[first], static_cast<int>(count_ - first));
      if (written < 0) {
        if (errno != EINTR) failed_ = true;
        continue;
      }
      if (written == 0) {
        failed_ = true;
        break;
      }
      // A partial write: skip what went out, resume inside the next range.
      auto left = static_cast<std::size_t>(written);
      while (first < count_ && left >= iov_[first].iov_len) left -= iov_[first++].iov_len;
      if (left > 0) {
        iov_[first].iov_base = static_cast<char*>(iov_[first].iov_base) + left;
        iov_[first].iov_len -= left;
      }
    }
    count_ = 0;
    return !failed_;
  }

 private:
  int fd_;
  bool failed_ = false;
  std::size_t count_ = 0;
  std::array<iovec, IOV_MAX> iov_{};
};

class SizeSink final : public SegmentSink {
 public:
  void add(const char*, std::size_t size) override { total += size; }
  std::size_t total = 0;
};

class StringSink final : public SegmentSink {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  void add(const char* data, std::size_t size) override { out_.append(data, size); }

 private:
  std::string& out_;
};

// Gives the new file the owner, group and permission bits of the one it
// replaces. Changing the owner needs privileges we may lack; then the group
// alone is tried, and the file stays ours.
bool copy_attributes(int fd, const std::string& path) {
  struct stat old {};
  if (::stat(path.c_str(), &old) != 0) return true;  // nothing to copy from
  if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
    if (errno != EPERM) return false;
    if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0 && errno != EPERM) return false;
  }
  return ::fchmod(fd, old.st_mode & 07777) == 0;
}

}  // namespace

bool PasswordFile::text(std::string& out) const {
  out.clear();
  SizeSink size;
  emit(size);
  try {
    out.reserve(size.total);
  } catch (const std::bad_alloc&) {
    return false;
  }
  StringSink sink(out);
  emit(sink);  // within the reserved room: cannot throw
  return true;
}

bool PasswordFile::save() const {
  if (unsaveable_ || path_.empty() || path_.find('\0') != std::string::npos) return false;
  std::string temp;
  try {
    temp = path_ + ".tmp";
  } catch (const std::bad_alloc&) {
    return false;
  }

  // Private until complete; a symlink or FIFO planted under the temporary
  // name makes the open fail instead of sending the text elsewhere. A stale
  // file is emptied only once it is known to have no other name: a hard link
  // to some other file must not empty that file.
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    ::close(fd);  // not a file we made: leave it where it is
    return false;
  }
  if (::ftruncate(fd, 0) != 0) {
    ::close(fd);
    ::unlink(temp.c_str());
    return false;
  }

  bool ok = copy_attributes(fd, path_);
  if (ok) {
    DescriptorSink sink(fd);
    emit(sink);
    ok = sink.flush();
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && platform::replace_file(temp, path_)) return true;
  // No half-written or unplaced copy of the hashes is left behind.
  ::unlink(temp.c_str());
  return false;
}

}  // namespace larkspur::passwd
