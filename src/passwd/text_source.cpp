// SPDX-License-Identifier: Apache-2.0
#include "passwd/text_source.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace larkspur::passwd {

namespace {

// Large enough that mapping and unmapping cost little next to searching,
// small enough that the mapped pages never add up to a large file.
constexpr std::uint64_t kWindow = std::uint64_t{4} << 20;

}  // namespace

platform::Status TextSource::open(const std::string& path) {
  platform::Result<platform::UniqueFd> fd = platform::open_for_reading(path);
  if (!fd) return fd.error();
  const platform::Result<platform::FileInfo> info = platform::file_info(fd.value().get());
  if (!info) return platform::Error{platform::Step::kOpen, path, info.error().code, {}, {}};
  fd_ = std::move(fd).value();
  info_ = info.value();
  given_ = std::string();
  return {};
}

void TextSource::assign(std::string text) {
  fd_.reset();
  info_ = platform::FileInfo();
  given_ = std::move(text);
}

platform::Status TextSource::append_to(std::string& out, std::uint64_t offset,
                                       std::size_t size) const {
  if (!is_file()) {
    out.append(given_, static_cast<std::size_t>(offset), size);
    return {};
  }
  const std::size_t old_size = out.size();
  out.resize(old_size + size);
  platform::Status read = platform::read_at(fd_.get(), offset, out.data() + old_size, size);
  if (!read) out.resize(old_size);
  return read;
}

platform::Status TextSource::unchanged() const {
  if (!is_file()) return {};
  const platform::Result<platform::FileInfo> now = platform::file_info(fd_.get());
  if (!now) return now.error();
  if (now.value().size == info_.size && now.value().modified_ns == info_.modified_ns) return {};
  return platform::fixed_error(platform::Step::kWrite, {}, platform::kFileChanged);
}

bool LineWindows::next() {
  if (failed()) return false;
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
    status_ = view_.map(source_.fd(), offset_, want);
    if (!status_) return false;
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
