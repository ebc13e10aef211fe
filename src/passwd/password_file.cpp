// SPDX-License-Identifier: Apache-2.0
// Reading the AuthUserFile, finding users and replacing their hashes.

#include "passwd/password_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "passwd/line_format.h"
#include "passwd/segment_sink.h"
#include "platform/file_range.h"
#include "platform/no_memory.h"

namespace larkspur::passwd {

namespace {

// No record can carry a user name with a colon or a line feed in it.
bool can_be_user(std::string_view user) { return user.find_first_of(":\n") == user.npos; }

}  // namespace

platform::Status PasswordFile::load(const std::string& path) {
  const bool path_kept = platform::or_on_no_memory(false, [&] {
    path_ = path;
    return true;
  });
  if (!path_kept) return platform::Error{platform::Step::kOpen, {}, ENOMEM, {}, {}};
  if (platform::Status opened = source_.open(path); !opened) return opened;
  forget_changes();
  return {};
}

void PasswordFile::parse(std::string text) {
  source_.assign(std::move(text));
  forget_changes();
}

void PasswordFile::forget_changes() {
  edits_.clear();
  carriage_returns_ = CarriageReturns::unknown;
  unsaveable_ = false;
}

std::vector<PasswordFile::Edit>::const_iterator PasswordFile::edit_at_or_after(
    std::uint64_t begin) const {
  return std::lower_bound(edits_.begin(), edits_.end(), begin,
                          [](const Edit& e, std::uint64_t b) { return e.begin < b; });
}

const PasswordFile::Edit* PasswordFile::edit_at(std::uint64_t begin) const {
  auto it = edit_at_or_after(begin);
  return it != edits_.end() && it->begin == begin ? &*it : nullptr;
}

// One pass finds every record of the user and whether the text holds any
// carriage return, which decides how it is written back. A record of `user`
// is a line that starts with the name and a colon: windows start at line
// starts, and inside one it is found by searching for "\n" user ":".
UserRecords PasswordFile::look_up(std::string_view user) const {
  UserRecords found;
  if (!can_be_user(user)) return found;
  try {
    std::string needle;
    needle.reserve(user.size() + 2);
    needle.append(1, '\n').append(user).append(1, ':');
    LineWindows windows(source_);
    while (windows.next()) {
      const std::string_view text = windows.text();
      if (!found.carriage_return) {
        found.carriage_return = std::memchr(text.data(), '\r', text.size()) != nullptr;
      }
      auto add = [&](std::size_t begin) {
        const std::uint64_t at = windows.offset() + begin;
        const std::size_t end = hash_end(text, begin);
        if (found.spans.empty()) {
          const Edit* edit = edit_at(at);
          found.hash =
              edit != nullptr ? std::string_view(edit->hash) : text.substr(begin, end - begin);
        }
        found.spans.push_back({at, windows.offset() + end});
      };
      if (text.size() > user.size() && text.starts_with(user) && text[user.size()] == ':') {
        add(user.size() + 1);
      }
      for (std::size_t from = 0; from < text.size();) {
        const std::size_t hit = platform::find_bytes(text.substr(from), needle);
        if (hit == std::string_view::npos) break;
        from += hit + needle.size();
        add(from);
      }
    }
    found.scan = UserRecords::Scan::done;
    if (windows.failed()) {
      found.scan = UserRecords::Scan::failed;
      found.error = windows.status().error();
    }
  } catch (const std::bad_alloc&) {
    found.scan = UserRecords::Scan::failed;
    found.error = platform::Error{platform::Step::kRead, {}, ENOMEM, {}, {}};
  }
  if (found.scan == UserRecords::Scan::failed) {
    found.hash.clear();
    found.spans.clear();
  }
  return found;
}

void PasswordFile::set_hash(const UserRecords& records, std::string_view hash) {
  // A line break in a hash would write extra lines, even extra users.
  if (hash.find_first_of("\r\n") != std::string_view::npos ||
      records.scan == UserRecords::Scan::failed) {
    unsaveable_ = true;
    return;
  }
  if (records.scan == UserRecords::Scan::skipped) return;
  carriage_returns_ = records.carriage_return ? CarriageReturns::some : CarriageReturns::none;
  try {
    for (const UserRecords::Span& span : records.spans) {
      auto it = edits_.begin() + (edit_at_or_after(span.begin) - edits_.cbegin());
      if (it != edits_.end() && it->begin == span.begin) {
        it->hash.assign(hash);
      } else {
        edits_.insert(it, Edit{span.begin, span.end, std::string(hash)});
      }
    }
  } catch (const std::bad_alloc&) {
    unsaveable_ = true;
  }
}

void PasswordFile::visit_records(void (*f)(void*, const PasswordRecord&), void* context) const {
  LineWindows windows(source_);
  while (windows.next()) {
    const std::string_view text = windows.text();
    for (std::size_t pos = 0; pos < text.size();) {
      LineSpan line = line_at(text, pos);
      pos = next_line(text, line);
      if (!line.is_record()) continue;
      PasswordRecord record{text.substr(line.begin, line.colon - line.begin), {}};
      if (const Edit* edit = edit_at(windows.offset() + line.colon + 1)) {
        record.hash = edit->hash;
      } else {
        record.hash = text.substr(line.colon + 1, line.kept_end - line.colon - 1);
      }
      f(context, record);
    }
  }
}

platform::Status PasswordFile::has_carriage_return(bool& found) const {
  if (carriage_returns_ != CarriageReturns::unknown) {
    found = carriage_returns_ == CarriageReturns::some;
    return {};
  }
  found = false;
  LineWindows windows(source_);
  while (!found && windows.next()) {
    found = std::memchr(windows.text().data(), '\r', windows.text().size()) != nullptr;
  }
  return windows.status();
}

// Without carriage returns every line goes out as it came in, so the text is
// passed on as the few long ranges between replaced hashes. Otherwise line
// by line, each line rewritten from memory.
bool PasswordFile::emit(SegmentSink& sink) const {
  const std::uint64_t size = source_.size();
  bool carriage_return = false;
  if (size == 0) return true;
  if (!sink.check(has_carriage_return(carriage_return))) return false;
  if (!carriage_return) {
    std::uint64_t pos = 0;
    for (const Edit& edit : edits_) {
      if (!sink.copy(pos, edit.begin - pos) || !sink.literal(edit.hash)) return false;
      pos = edit.end;
    }
    if (!sink.copy(pos, size - pos)) return false;
    std::string last;
    if (!sink.check(source_.append_to(last, size - 1, 1))) return false;
    return last == "\n" || sink.literal("\n");
  }
  LineWindows windows(source_);
  while (windows.next()) {
    const std::string_view text = windows.text();
    for (std::size_t pos = 0; pos < text.size();) {
      const LineSpan line = line_at(text, pos);
      pos = next_line(text, line);
      const Edit* edit = line.is_record() ? edit_at(windows.offset() + line.colon + 1) : nullptr;
      const bool ok = edit != nullptr
                          ? sink.literal(text.substr(line.begin, line.colon + 1 - line.begin)) &&
                                sink.literal(edit->hash)
                          : sink.literal(text.substr(line.begin, line.kept_end - line.begin));
      if (!ok || !sink.literal("\n")) return false;
    }
  }
  return sink.check(windows.status());
}

}  // namespace larkspur::passwd
