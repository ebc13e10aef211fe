// SPDX-License-Identifier: Apache-2.0
// Form entries: the decoded fields of one request, the result codes of the
// gateway, URL-encoded decoding and the field operations the pages use.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>

#include "platform/posix_io.h"

namespace larkspur::cgi {

// How failures travel. A function that returns a result code (DecodeResult,
// FormResult, a bool, a status) never throws: it converts allocation failure
// at its own top, once, with platform::or_on_no_memory (DECODE_NO_MEMORY for
// the decoders), and nothing below it catches. Functions that return objects
// or fill them in may throw std::bad_alloc, and their header comments say
// "may throw". The pages in web/ let it travel up to page_main's caller,
// gateway_main, which turns anything left into a request without a
// response. No exception crosses a subsystem boundary otherwise.
enum DecodeResult {
  DECODE_SUCCESS = 0,
  DECODE_NO_MEMORY = 1,
  DECODE_IO = 2,
};

enum FormResult {
  FORM_SUCCESS = 0,
  FORM_TRUNCATED = 1,
  FORM_EMPTY = 3,
  FORM_NOT_FOUND = 4,
  FORM_WRITE_FAILED = 12,
};

struct FormEntry {
  std::string name;
  std::string value;  // may hold NUL bytes; empty for an upload
  std::int64_t value_length = 0;
  std::string file_name;
  std::string content_type;
  // An upload's file has no name in the file system: this is a path by which
  // this process can open it, "/proc/self/fd/N" for `temp_fd`.
  std::string temp_file_name;
  platform::UniqueFd temp_fd;  // closed by form_free_all
};

// What the list may hold in memory, whatever the request: going past any of
// these is a decoding failure, DECODE_NO_MEMORY, so that no body can grow
// the process without bound. Upload bytes stream to their files and do not
// count against these; the body's own bound holds them.
inline constexpr std::size_t kMaxFormEntries = 1000;
inline constexpr std::size_t kMaxValueInMemory = 64 * 1024;
inline constexpr std::size_t kMaxFormBytes = 1024 * 1024;  // all names and values
// A URL-encoded body holds nothing but names and values: a longer one is
// refused before it is read.
inline constexpr std::int64_t kMaxUrlencodedBody = kMaxFormBytes;
// The form has no file field: a multipart body beyond this is no form of
// ours, and is refused before it is read, uploads and all.
inline constexpr std::int64_t kMaxMultipartBody = 1024 * 1024;

// The bytes of names and values the list holds.
std::size_t form_bytes_held();
// True while the list keeps within the limits above.
bool form_within_limits();

// The process-wide list, in input order, duplicates included. A deque never
// moves its entries when it grows, so no stray copy of a value is left on
// the heap and references to entries stay valid.
using FormEntries = std::deque<FormEntry>;
FormEntries& form_entries();

// Appends an empty entry for a decoder to fill in place and returns it.
// May throw std::bad_alloc.
FormEntry& form_append_entry();
// Wipes and removes the last entry: a decoder's half-made entry after a failure.
void form_remove_last_entry();

DecodeResult form_unescape(std::string_view text, std::string& out);
DecodeResult form_decode_urlencoded(std::string_view text);
DecodeResult form_read_urlencoded_body();
DecodeResult form_decode_query();

// The first entry of that name (byte for byte), or nullptr. Each reads the
// entries given, or the process-wide ones.
const FormEntry* form_find(const FormEntries& form, std::string_view name);
const FormEntry* form_find(std::string_view name);
// Copies the value up to its first NUL, without CR and LF, into `buffer`
// (at least one byte), always NUL-terminated.
FormResult form_get_value(const FormEntries& form, std::string_view name, std::span<char> buffer);
FormResult form_get_value(std::string_view name, std::span<char> buffer);
FormResult form_has_field(const FormEntries& form, std::string_view name);
FormResult form_has_field(std::string_view name);

// Writes to the response stream for a double-quoted attribute: '"' becomes "&#34;".
FormResult write_attr_escaped(std::string_view text);

// Wipes and releases every entry; closes the files of uploads, which have no
// name and so are gone with their last descriptor.
void form_free_all();

}  // namespace larkspur::cgi
