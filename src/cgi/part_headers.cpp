// SPDX-License-Identifier: Apache-2.0
#include "cgi/part_headers.h"

#include <string.h>  // strnlen

#include <algorithm>
#include <cstring>

#include "cgi/request_env.h"
#include "platform/ascii.h"

namespace larkspur::cgi {
namespace {

// The blanks that may surround a header's separator.
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }
bool is_space(char c) { return is_blank(c) || c == '\r' || c == '\n'; }
bool is_alnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Appends while the buffer keeps room for its NUL; later bytes are dropped.
void append_capped(std::span<char> buffer, std::size_t& size, char byte) {
  if (size + 1 < buffer.size()) buffer[size++] = byte;
}

void store_capped(std::span<char> buffer, std::string_view text) {
  if (buffer.empty()) return;
  const std::size_t n = std::min(text.size(), buffer.size() - 1);
  std::memcpy(buffer.data(), text.data(), n);
  buffer[n] = '\0';
}

// A value as it follows a "=" or starts a header: quoted up to the next quote
// (whatever trails it up to ';' is dropped), or plain up to ';', trailing
// blanks kept. Leaves `pos` at the ';' or the end.
std::string_view take_value(std::string_view text, std::size_t& pos) {
  std::string_view value;
  if (pos < text.size() && text[pos] == '"') {
    const std::size_t start = pos + 1;
    std::size_t end = text.find('"', start);
    if (end == std::string_view::npos) end = text.size();
    value = text.substr(start, end - start);
    pos = end;
  } else {
    std::size_t end = text.find(';', pos);
    if (end == std::string_view::npos) end = text.size();
    value = text.substr(pos, end - pos);
    pos = end;
  }
  pos = std::min(text.find(';', pos), text.size());
  return value;
}

}  // namespace

std::string_view header_text(const HeaderText& text) {
  return {text.data(), ::strnlen(text.data(), kHeaderTextRoom)};
}

void read_part_headers(BodyReader& reader, PartHeaders& part) {
  static constexpr std::array<std::string_view, 2> kDispositionKeys = {"name", "filename"};
  const std::array<std::span<char>, 2> disposition_values = {part.name, part.file_name};
  HeaderText line_name, line_value;
  while (read_header_line(reader, line_name, line_value)) {
    const std::string_view header = header_text(line_name);
    if (platform::ascii_iequals(header, "Content-Disposition")) {
      parse_header_value(header_text(line_value), part.disposition, kDispositionKeys,
                         disposition_values);
    } else if (platform::ascii_iequals(header, "Content-Type")) {
      parse_header_value(header_text(line_value), part.content_type, {}, {});
    }
  }
}

bool read_header_line(BodyReader& reader, std::span<char> name, std::span<char> value) {
  std::size_t name_size = 0, value_size = 0;
  bool separated = false;
  bool line_ended = false;
  while (!line_ended) {
    char c;
    if (body_read(reader, &c, 1) != 1) return false;
    if (c == '\r') {
      char next;
      if (body_read(reader, &next, 1) == 1 && next != '\n') body_unread(reader, &next, 1);
      line_ended = true;
    } else if (c == '\n') {
      line_ended = true;
    } else if (c == ':' && !separated && name_size > 0) {
      separated = true;
      char next;
      while (body_read(reader, &next, 1) == 1) {
        if (!is_blank(next)) {
          body_unread(reader, &next, 1);
          break;
        }
      }
    } else if (!separated) {
      if (!is_blank(c)) append_capped(name, name_size, c);
    } else {
      append_capped(value, value_size, c);
    }
  }
  if (!name.empty()) name[name_size] = '\0';
  if (!value.empty()) value[value_size] = '\0';
  return name_size > 0 && value_size > 0;
}

void parse_header_value(std::string_view text, std::span<char> main,
                        std::span<const std::string_view> keys,
                        std::span<const std::span<char>> values) {
  for (std::span<char> buffer : values) {
    if (!buffer.empty()) buffer[0] = '\0';
  }
  std::size_t pos = 0;
  while (pos < text.size() && is_space(text[pos])) ++pos;
  store_capped(main, take_value(text, pos));

  while (pos < text.size() && text[pos] == ';') {
    ++pos;
    while (pos < text.size() && is_space(text[pos])) ++pos;
    const std::size_t name_start = pos;
    while (pos < text.size() && is_alnum(text[pos])) ++pos;
    const std::string_view name =
        text.substr(name_start, std::min(pos - name_start, kHeaderTextRoom - 1));
    while (pos < text.size() && is_space(text[pos])) ++pos;
    if (pos >= text.size() || text[pos] != '=') return;
    ++pos;
    while (pos < text.size() && is_space(text[pos])) ++pos;
    const std::string_view attribute = take_value(text, pos);
    for (std::size_t k = 0; k < keys.size() && k < values.size(); ++k) {
      if (platform::ascii_iequals(name, keys[k])) {
        store_capped(values[k], attribute);
        break;
      }
    }
  }
}

}  // namespace larkspur::cgi
