// SPDX-License-Identifier: Apache-2.0
// The AuthUserFile line format (described in password_file.h), as byte
// positions in a window of the file's text.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace larkspur::passwd {

inline std::size_t find_byte(std::string_view text, std::size_t from, std::size_t to, char byte) {
  const void* found = std::memchr(text.data() + from, byte, to - from);
  return found != nullptr ? static_cast<std::size_t>(static_cast<const char*>(found) - text.data())
                          : to;
}

// Where the hash that starts at `begin` is cut.
inline std::size_t hash_end(std::string_view text, std::size_t begin) {
  std::size_t line_end = find_byte(text, begin, text.size(), '\n');
  return find_byte(text, begin, line_end, '\r');
}

struct LineSpan {
  static constexpr std::size_t kNoColon = std::string_view::npos;
  std::size_t begin = 0;
  std::size_t end = 0;  // the line feed, or the end of the text
  std::size_t colon = kNoColon;
  std::size_t kept_end = 0;  // record: where the hash is cut; else end less carriage returns
  bool is_record() const { return colon != kNoColon; }
};

// The line starting at `begin` (< text.size()).
inline LineSpan line_at(std::string_view text, std::size_t begin) {
  LineSpan line;
  line.begin = begin;
  line.end = find_byte(text, begin, text.size(), '\n');
  std::size_t colon = find_byte(text, begin, line.end, ':');
  if (colon != line.end) {
    line.colon = colon;
    line.kept_end = find_byte(text, colon + 1, line.end, '\r');
  } else {
    line.kept_end = line.end;
    while (line.kept_end > begin && text[line.kept_end - 1] == '\r') --line.kept_end;
  }
  return line;
}

inline std::size_t next_line(std::string_view text, const LineSpan& line) {
  return line.end < text.size() ? line.end + 1 : text.size();
}

}  // namespace larkspur::passwd
