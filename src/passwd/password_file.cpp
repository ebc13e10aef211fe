// Reading the AuthUserFile and finding and replacing hashes in memory.

#include "passwd/password_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "passwd/segment_sink.h"

namespace larkspur::passwd {

namespace {

const char* find_byte(const char* from, const char* to, char byte) {
  const void* found = std::memchr(from, byte, static_cast<std::size_t>(to - from));
  return found != nullptr ? static_cast<const char*>(found) : to;
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads what `fd` holds, sized by fstat first so that a file that does not
// change meanwhile takes one read and no reallocation. A file that grew
// while being read is read to its end all the same.
bool read_all(int fd, std::size_t expected, std::string& out) {
  out.resize(expected);
  std::size_t filled = 0;
  for (;;) {
    if (filled == out.size()) {
      char probe[4096];
      ssize_t got = ::read(fd, probe, sizeof probe);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return false;
      if (got == 0) return true;
      out.append(probe, static_cast<std::size_t>(got));
      filled = out.size();
      out.resize(out.size() + out.size() / 2 + sizeof probe);
      continue;
    }
    ssize_t got = ::read(fd, out.data() + filled, out.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) {
      out.resize(filled);
      return true;
    }
    filled += static_cast<std::size_t>(got);
  }
}

}  // namespace

bool PasswordFile::load(const std::string& path) {
  try {
    path_ = path;
    // A NUL byte would make the system open a shorter name than the one given.
    if (path.empty() || path.find('\0') != std::string::npos) return false;
    // Non-blocking so that a FIFO put in the file's place cannot hang us.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    std::string text;
    // A read error must not pass for the end of the file: a later save would
    // drop every user after the point where reading stopped.
    if (!read_all(fd.get(), static_cast<std::size_t>(st.st_size), text)) return false;
    return parse(std::move(text));
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool PasswordFile::parse(std::string text) {
  text_ = std::move(text);
  lines_.clear();
  replacements_.clear();
  unsaveable_ = false;
  if (index_lines()) return true;
  // Half a file must never be saved over the whole one.
  text_.clear();
  lines_.clear();
  unsaveable_ = true;
  return false;
}

bool PasswordFile::index_lines() {
  const char* const base = text_.data();
  const char* const end = base + text_.size();
  std::size_t count = 0;
  for (const char* p = base; p != end; ++count) {
    p = find_byte(p, end, '\n');
    if (p != end) ++p;
  }
  try {
    lines_.reserve(count);
  } catch (const std::bad_alloc&) {
    return false;
  }

  for (const char* p = base; p != end;) {
    const char* line_end = find_byte(p, end, '\n');
    if (static_cast<std::size_t>(line_end - p) >= kNoColon) return false;
    Line line{static_cast<std::size_t>(p - base), 0, kNoColon, 0, 0};
    const char* colon = find_byte(p, line_end, ':');
    if (colon != line_end) {
      line.colon = static_cast<std::uint32_t>(colon - p);
      line.hash_end = static_cast<std::uint32_t>(find_byte(colon + 1, line_end, '\r') - p);
    } else {
      // Every carriage return before the line end goes with it, so a file
      // written once comes back unchanged from the next rewrite.
      const char* kept = line_end;
      while (kept != p && kept[-1] == '\r') --kept;
      line.length = static_cast<std::uint32_t>(kept - p);
    }
    lines_.push_back(line);  // within the reserved room: cannot throw
    p = line_end == end ? end : line_end + 1;
  }
  return true;
}

PasswordRecord PasswordFile::record_of(const Line& line) const {
  std::string_view text(text_);
  std::string_view user = text.substr(line.begin, line.colon);
  std::string_view hash =
      line.hash != 0 ? std::string_view(replacements_[line.hash - 1])
                     : text.substr(line.begin + line.colon + 1, line.hash_end - line.colon - 1);
  return {user, hash};
}

std::string PasswordFile::find_hash(std::string_view user) const {
  std::string_view text(text_);
  for (const Line& line : lines_) {
    if (line.colon != kNoColon && text.substr(line.begin, line.colon) == user) {
      try {
        return std::string(record_of(line).hash);
      } catch (const std::bad_alloc&) {
        return {};  // reads as an unknown user: the change is refused
      }
    }
  }
  return {};
}

void PasswordFile::set_hash(std::string_view user, std::string_view hash) {
  // A line break in a hash would write extra lines, even extra users.
  if (hash.find_first_of("\r\n") != std::string_view::npos) {
    unsaveable_ = true;
    return;
  }
  std::string_view text(text_);
  std::uint32_t index = 0;
  for (Line& line : lines_) {
    if (line.colon == kNoColon || text.substr(line.begin, line.colon) != user) continue;
    if (index == 0) {
      try {
        replacements_.emplace_back(hash);
      } catch (const std::bad_alloc&) {
        unsaveable_ = true;
        return;
      }
      index = static_cast<std::uint32_t>(replacements_.size());
    }
    line.hash = index;
  }
}

// The file's text as ranges of text_ and of the replaced hashes. Line feeds
// are taken from text_ where one follows in place, so that a run of
// unchanged lines forms one contiguous range.
void PasswordFile::emit(SegmentSink& sink) const {
  static constexpr char kLineFeed = '\n';
  const char* const base = text_.data();
  const std::size_t size = text_.size();
  for (const Line& line : lines_) {
    std::size_t stop;
    if (line.colon == kNoColon) {
      stop = line.begin + line.length;
    } else if (line.hash == 0) {
      stop = line.begin + line.hash_end;
    } else {
      sink.add(base + line.begin, line.colon + 1);
      const std::string& hash = replacements_[line.hash - 1];
      sink.add(hash.data(), hash.size());
      sink.add(&kLineFeed, 1);
      continue;
    }
    sink.add(base + line.begin, stop - line.begin);
    sink.add(stop < size && base[stop] == '\n' ? base + stop : &kLineFeed, 1);
  }
}

}  // namespace larkspur::passwd
