// SPDX-License-Identifier: Apache-2.0
// The header lines of one multipart part, and the parsers under them.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "cgi/body_reader.h"

namespace larkspur::cgi {

inline constexpr std::size_t kHeaderTextRoom = 1024;  // texts keep at most 1023 bytes
using HeaderText = std::array<char, kHeaderTextRoom>;

// The text of `text` up to its NUL.
std::string_view header_text(const HeaderText& text);

// What the decoder needs from a part's headers, each NUL-terminated.
struct PartHeaders {
  HeaderText disposition{};
  HeaderText name{};
  HeaderText file_name{};
  HeaderText content_type{};
};

// Reads header lines up to the empty line that ends them (or the end of the
// input), keeping Content-Disposition with its name and filename, and
// Content-Type; other headers are read over.
void read_part_headers(BodyReader& reader, PartHeaders& part);

// Reads one header line into `name` and `value` (each NUL-terminated, cut to
// their size less one). True when the line held both a name and a value; an
// empty line, one without ':', one with nothing after it, or the end of the
// input give false.
bool read_header_line(BodyReader& reader, std::span<char> name, std::span<char> value);

// Splits a header value such as 'form-data; name="a"; filename=b' into its
// main value and the attributes named in `keys` (matched ignoring case), each
// into its own buffer of `values`; every text is NUL-terminated and cut to
// its buffer's size less one. Attributes not asked for are read over.
void parse_header_value(std::string_view text, std::span<char> main,
                        std::span<const std::string_view> keys,
                        std::span<const std::span<char>> values);

}  // namespace larkspur::cgi
