// SPDX-License-Identifier: Apache-2.0
// The search for the next multipart delimiter, and where the bytes before it go.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "cgi/body_reader.h"
#include "cgi/form.h"

namespace larkspur::cgi {

// Where read_to_delimiter puts the bytes before the delimiter.
struct PartOutput {
  enum class Kind { kDiscard, kMemory, kFile };
  Kind kind = Kind::kDiscard;
  int fd = -1;  // kFile: an open file, written from its current offset
  // kMemory: more bytes than this end the search with DECODE_NO_MEMORY.
  std::size_t memory_limit = SIZE_MAX;
};

// Reads up to and including the next delimiter: "\r\n--" + boundary, or with
// `first` set "--" + boundary, found also at the very start. The line break
// before a delimiter belongs to it. Then reads two more bytes and puts them
// back when the first is '-' (the closing "--"); otherwise drops them.
// Memory output lands in `body`, `length` counts the bytes collected or
// written. DECODE_IO when the input ends first or a file write fails,
// DECODE_NO_MEMORY when memory runs out; on failure `body` is empty and
// `length` 0. `delimiter_found`, when given, tells whether a failure came
// after the delimiter itself had been read.
DecodeResult read_to_delimiter(BodyReader& reader, std::string_view boundary, bool first,
                               const PartOutput& output, std::string& body, std::int64_t& length,
                               bool* delimiter_found = nullptr);

}  // namespace larkspur::cgi
