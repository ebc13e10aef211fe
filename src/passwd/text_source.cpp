// SPDX-License-Identifier: Apache-2.0
#include "passwd/text_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace larkspur::passwd {

namespace {

// Large enough that mapping and unmapping cost little next to searching,
// small enough that the mapped pages never add up to a large file.
constexpr std::uint64_t kWindow = std::uint64_t{4} << 20;

}  // namespace

bool TextSource::open(const std::string& path) {
  // A NUL byte would make the system open a shorter name than the one given.
  if (path.empty() || path.find('\0') != std::string::npos) {
    errno = ENOENT;
    return false;
  }
  platform::UniqueFd fd(platform::open_for_reading(path));
  if (!fd) return false;
  platform::FileInfo info;
  if (!platform::file_info(fd.get(), info)) return false;
  if (!info.regular) {
    errno = EINVAL;
    return false;
  }
  fd_ = std::move(fd);
  info_ = info;
  given_ = std::string();
  return true;
}

void TextSource::assign(std::string text) {
  fd_.reset();
  info_ = platform::FileInfo();
  given_ = std::move(text);
}

bool TextSource::append_to(std::string& out, std::uint64_t offset, std::size_t size) const {
  if (!is_file()) {
    out.append(given_, static_cast<std::size_t>(offset), size);
    return true;
  }
  const std::size_t old_size = out.size();
  out.resize(old_size + size);
  if (platform::read_at(fd_.get(), offset, out.data() + old_size, size)) return true;
  out.resize(old_size);
  return false;
}

bool TextSource::unchanged() const {
  if (!is_file()) return true;
  platform::FileInfo now;
  if (!platform::file_info(fd_.get(), now)) return false;
  if (now.size == info_.size && now.modified_ns == info_.modified_ns) return true;
  errno = platform::kFileChanged;
  return false;
}

bool LineWindows::next() {
  if (failed_) return false;
  if (!source_.is_file()) {
    // Text in memory is one window.
    if (next_ > 0 || source_.memory().empty()) return false;
    text_ = source_.memory();
    next_ = text_.size();
    return true;
  }
  const std::uint64_t size = source_.size();
  offset_ = next_;
  view_.reset();
  if (offset_ >= size) return false;
  for (std::uint64_t room = kWindow;; room *= 2) {
    const auto want = static_cast<std::size_t>(std::min(size - offset_, room));
    if (!view_.map(source_.fd(), offset_, want)) {
      failed_ = true;
      return false;
    }
    std::string_view window(view_.data(), want);
    if (offset_ + want < size) {
      // End the window after its last line feed; the rest comes next.
      const std::size_t last = window.rfind('\n');
      if (last == std::string_view::npos) continue;  // one line longer than the window
      window = window.substr(0, last + 1);
    }
    text_ = window;
    next_ = offset_ + window.size();
    return true;
  }
}

}  // namespace larkspur::passwd
