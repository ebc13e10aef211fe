// SPDX-License-Identifier: Apache-2.0
// URL-encoded decoding and the field lookups the pages make afterwards.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cgi/form.h"

using namespace larkspur::cgi;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const DecodeResult result = form_decode_urlencoded(text);
  // Only the limit on entries can be reached by an input of this size.
  if (result != DECODE_SUCCESS &&
      !(result == DECODE_NO_MEMORY && form_entries().size() == kMaxFormEntries)) {
    std::abort();
  }

  std::array<char, 81> buffer;
  for (const std::string_view name : {"name", "op", "p1", "p2", "chgpasswd", ""}) {
    const FormResult r = form_get_value(name, buffer);
    // Always a NUL-terminated text, never a line break in it.
    const std::string_view got(buffer.data());
    if (got.size() > 80 || got.find_first_of("\r\n") != std::string_view::npos) std::abort();
    if ((r == FORM_NOT_FOUND) != (form_has_field(name) == FORM_NOT_FOUND)) std::abort();
  }
  // The name of the first entry must be found again.
  if (!form_entries().empty() && form_find(form_entries()[0].name) != &form_entries()[0]) {
    std::abort();
  }
  form_free_all();
  if (!form_entries().empty()) std::abort();
  return 0;
}
