// SPDX-License-Identifier: Apache-2.0
// The text of an AuthUserFile: an open file read in bounded windows, or a
// string given in memory. No private copy of a file is ever made, so memory
// stays the same at a thousand users or ten million.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file_range.h"
#include "platform/posix_io.h"
#include "platform/result.h"

namespace larkspur::passwd {

class TextSource {
 public:
  // Opens a regular file; on failure this stays as it was.
  platform::Status open(const std::string& path);
  // Holds `text` instead of a file.
  void assign(std::string text);

  bool is_file() const { return fd_.valid(); }
  // What the open file was when it was opened.
  const platform::FileInfo& info() const { return info_; }
  int fd() const { return fd_.get(); }
  std::uint64_t size() const { return is_file() ? info_.size : given_.size(); }
  std::size_t block_size() const { return info_.block_size; }
  // The given text; empty for a file.
  std::string_view memory() const { return given_; }

  // Appends [offset, offset + size) to `out`. Fails on a read error or when
  // the file ended sooner. May throw std::bad_alloc.
  platform::Status append_to(std::string& out, std::uint64_t offset, std::size_t size) const;
  // Fails (platform::kFileChanged) when the file is no longer the one
  // opened: another program changed it in place since, so its offsets mean
  // nothing now.
  platform::Status unchanged() const;
  // Closes the file once its text has been copied into the new one, where
  // replacing it needs that (platform::kReplaceNeedsTargetClosed).
  void close_before_replace() const { fd_.reset(); }

 private:
  mutable platform::UniqueFd fd_;
  platform::FileInfo info_;
  std::string given_;
};

// Walks a text in windows of whole lines (the text's last line may lack its
// line feed). A window of a file is a read-only view of at most 4 MiB unless
// one line is longer; it is unmapped before the next one is made.
class LineWindows {
 public:
  explicit LineWindows(const TextSource& source) : source_(source) {}

  // Moves to the next window; false at the end or on a read error.
  bool next();
  bool failed() const { return !status_.ok(); }
  // Why it failed.
  const platform::Status& status() const { return status_; }
  std::string_view text() const { return text_; }
  // Where text() starts in the whole text.
  std::uint64_t offset() const { return offset_; }

 private:
  const TextSource& source_;
  platform::FileView view_;
  std::string_view text_;
  std::uint64_t offset_ = 0;
  std::uint64_t next_ = 0;
  platform::Status status_;
};

}  // namespace larkspur::passwd
