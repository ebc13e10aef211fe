// Reading the AuthUserFile and finding and replacing hashes in memory.

#include "passwd/password_file.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "passwd/line_format.h"
#include "passwd/segment_sink.h"

namespace larkspur::passwd {

namespace {

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

// No record can carry a user name with a colon or a line feed in it.
bool can_be_user(std::string_view user) { return user.find_first_of(":\n") == user.npos; }

std::string needle_for(std::string_view user) {
  std::string needle;
  needle.reserve(user.size() + 2);
  needle += '\n';
  needle += user;
  needle += ':';
  return needle;
}

}  // namespace

bool PasswordFile::load(const std::string& path) {
  try {
    path_ = path;
  } catch (const std::bad_alloc&) {
    return false;
  }
  // A NUL byte would make the system open a shorter name than the one given.
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  // Non-blocking so that a FIFO put in the file's place cannot hang us.
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return false;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  FileBuffer buffer;
  // A read error must not pass for the end of the file: a later save would
  // drop every user after the point where reading stopped.
  if (!buffer.read_from(fd.get(), static_cast<std::size_t>(st.st_size))) return false;
  loaded_ = std::move(buffer);
  given_ = std::string();
  looked_up_ = false;
  edits_.clear();
  replacements_.clear();
  unsaveable_ = false;
  return true;
}

void PasswordFile::parse(std::string text) {
  loaded_.clear();
  given_ = std::move(text);
  looked_up_ = false;
  edits_.clear();
  replacements_.clear();
  unsaveable_ = false;
}

std::string_view PasswordFile::content() const {
  return loaded_.view().empty() ? std::string_view(given_) : loaded_.view();
}

// A record of `user` is a line that starts with the name and a colon: it is
// found by searching for "\n" user ":" rather than by splitting every line.
std::size_t PasswordFile::find_record(std::string_view user, std::string_view needle,
                                      std::size_t from) const {
  std::string_view text = content();
  if (from == 0 && text.size() > user.size() && text.compare(0, user.size(), user) == 0 &&
      text[user.size()] == ':') {
    return user.size() + 1;
  }
  if (from >= text.size()) return std::string_view::npos;
  const void* found =
      ::memmem(text.data() + from, text.size() - from, needle.data(), needle.size());
  if (found == nullptr) return std::string_view::npos;
  return static_cast<std::size_t>(static_cast<const char*>(found) - text.data()) + needle.size();
}

const PasswordFile::Edit* PasswordFile::edit_at(std::size_t begin) const {
  auto it = std::lower_bound(edits_.begin(), edits_.end(), begin,
                             [](const Edit& e, std::size_t b) { return e.begin < b; });
  return it != edits_.end() && it->begin == begin ? &*it : nullptr;
}

std::string PasswordFile::find_hash(std::string_view user) const {
  if (!can_be_user(user)) return {};
  try {
    std::size_t begin = find_record(user, needle_for(user), 0);
    looked_up_ = false;
    looked_up_user_.assign(user);
    looked_up_begin_ = begin;
    looked_up_ = true;
    if (begin == std::string_view::npos) return {};
    if (const Edit* edit = edit_at(begin)) return replacements_[edit->hash];
    std::string_view text = content();
    return std::string(text.substr(begin, hash_end(text, begin) - begin));
  } catch (const std::bad_alloc&) {
    return {};  // reads as an unknown user: the change is refused
  }
}

void PasswordFile::set_hash(std::string_view user, std::string_view hash) {
  // A line break in a hash would write extra lines, even extra users.
  if (hash.find_first_of("\r\n") != std::string_view::npos) {
    unsaveable_ = true;
    return;
  }
  if (!can_be_user(user)) return;
  try {
    const std::string needle = needle_for(user);
    std::size_t index = std::string::npos;
    // The change looks the user up first: the search need not be repeated.
    std::size_t begin =
        looked_up_ && looked_up_user_ == user ? looked_up_begin_ : find_record(user, needle, 0);
    for (; begin != std::string_view::npos; begin = find_record(user, needle, begin)) {
      if (index == std::string::npos) {
        replacements_.emplace_back(hash);
        index = replacements_.size() - 1;
      }
      auto it = std::lower_bound(edits_.begin(), edits_.end(), begin,
                                 [](const Edit& e, std::size_t b) { return e.begin < b; });
      if (it != edits_.end() && it->begin == begin) {
        it->hash = index;
      } else {
        edits_.insert(it, Edit{begin, hash_end(content(), begin), index});
      }
    }
  } catch (const std::bad_alloc&) {
    unsaveable_ = true;
  }
}

void PasswordFile::visit_records(void (*f)(void*, const PasswordRecord&), void* context) const {
  std::string_view text = content();
  for (std::size_t pos = 0; pos < text.size();) {
    LineSpan line = line_at(text, pos);
    pos = next_line(text, line);
    if (!line.is_record()) continue;
    PasswordRecord record{text.substr(line.begin, line.colon - line.begin), {}};
    if (const Edit* edit = edit_at(line.colon + 1)) {
      record.hash = replacements_[edit->hash];
    } else {
      record.hash = text.substr(line.colon + 1, line.kept_end - line.colon - 1);
    }
    f(context, record);
  }
}

// The text to write, as ranges of the text held and of the replaced hashes.
// Without carriage returns every line goes out as it came in, so the text is
// passed on in the few long runs between replaced hashes. Otherwise line by
// line; line feeds are then taken from the text where one follows in place,
// so that a sink can still join neighbouring lines.
void PasswordFile::emit(SegmentSink& sink) const {
  static constexpr char kLineFeed = '\n';
  std::string_view text = content();
  if (text.empty()) return;
  if (std::memchr(text.data(), '\r', text.size()) == nullptr) {
    std::size_t pos = 0;
    for (const Edit& edit : edits_) {
      sink.add(text.data() + pos, edit.begin - pos);
      sink.add(replacements_[edit.hash].data(), replacements_[edit.hash].size());
      pos = edit.end;
    }
    sink.add(text.data() + pos, text.size() - pos);
    if (text.back() != '\n') sink.add(&kLineFeed, 1);
    return;
  }
  auto edit = edits_.begin();
  for (std::size_t pos = 0; pos < text.size();) {
    LineSpan line = line_at(text, pos);
    pos = next_line(text, line);
    if (line.is_record() && edit != edits_.end() && edit->begin == line.colon + 1) {
      const std::string& hash = replacements_[edit->hash];
      sink.add(text.data() + line.begin, line.colon + 1 - line.begin);
      sink.add(hash.data(), hash.size());
      sink.add(&kLineFeed, 1);
      ++edit;
      continue;
    }
    sink.add(text.data() + line.begin, line.kept_end - line.begin);
    const bool in_place = line.kept_end < text.size() && text[line.kept_end] == '\n';
    sink.add(in_place ? text.data() + line.kept_end : &kLineFeed, 1);
  }
}

}  // namespace larkspur::passwd
