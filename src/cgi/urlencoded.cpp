// SPDX-License-Identifier: Apache-2.0
// URL-encoded input: GET query strings and application/x-www-form-urlencoded
// POST bodies, decoded into the form-entry list.
#include <algorithm>
#include <array>
#include <cstring>

#include "cgi/form.h"
#include "cgi/request_env.h"
#include "cgi/streams.h"
#include "platform/no_memory.h"
#include "platform/wipe.h"

namespace larkspur::cgi {
namespace {

// The value of each byte as a hexadecimal digit; any other byte counts as 0,
// so a broken escape still decodes to something rather than failing.
constexpr std::array<unsigned char, 256> kHexValue = [] {
  std::array<unsigned char, 256> table{};
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<unsigned char>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<unsigned char>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<unsigned char>(c - 'a' + 10);
  return table;
}();

unsigned hex_value(char c) { return kHexValue[static_cast<unsigned char>(c)]; }

// Request bodies arrive in pieces of this size; the buffer grows only with
// bytes that actually arrived, whatever CONTENT_LENGTH claims.
constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

DecodeResult form_unescape(std::string_view text, std::string& out) {
  return platform::or_on_no_memory(DECODE_NO_MEMORY, [&] {
    platform::secure_wipe(out);
    // The output is never longer than the input: reserving once means no
    // reallocation leaves a stray copy of a password behind.
    out.reserve(text.size());
    enum class State { kPlain, kFirstDigit, kSecondDigit } state = State::kPlain;
    unsigned high = 0;
    for (const char c : text) {
      switch (state) {
        case State::kPlain:
          if (c == '%') {
            state = State::kFirstDigit;
          } else {
            out.push_back(c == '+' ? ' ' : c);
          }
          break;
        case State::kFirstDigit:
          high = hex_value(c) * 16;
          state = State::kSecondDigit;
          break;
        case State::kSecondDigit:
          out.push_back(static_cast<char>(high + hex_value(c)));
          state = State::kPlain;
          break;
      }
    }
    return DECODE_SUCCESS;
  });
}

DecodeResult form_decode_urlencoded(std::string_view text) {
  return platform::or_on_no_memory(DECODE_NO_MEMORY, [&] {
    std::size_t pos = 0;
    while (pos < text.size()) {
      // The name runs to the next '=', '&' included; a last piece without '='
      // is dropped.
      const std::size_t equals = text.find('=', pos);
      if (equals == std::string_view::npos) return DECODE_SUCCESS;
      std::size_t amp = text.find('&', equals + 1);
      if (amp == std::string_view::npos) amp = text.size();

      FormEntry& entry = form_append_entry();
      if (form_unescape(text.substr(pos, equals - pos), entry.name) != DECODE_SUCCESS ||
          form_unescape(text.substr(equals + 1, amp - equals - 1), entry.value) != DECODE_SUCCESS) {
        form_remove_last_entry();
        return DECODE_NO_MEMORY;
      }
      entry.value_length = static_cast<std::int64_t>(std::strlen(entry.value.c_str()));
      if (!form_within_limits()) {
        form_remove_last_entry();
        return DECODE_NO_MEMORY;
      }
      pos = amp + 1;
    }
    return DECODE_SUCCESS;
  });
}

DecodeResult form_read_urlencoded_body() {
  const std::int64_t length = request_env().content_length;
  if (length == 0) return DECODE_SUCCESS;
  // A negative length is a size no buffer can have; a longer body than the
  // form entries may hold is refused before a byte of it is read.
  if (length < 0 || length > kMaxUrlencodedBody) return DECODE_NO_MEMORY;

  std::istream& in = request_stream();
  return platform::or_on_no_memory(DECODE_NO_MEMORY, [&] {
    platform::SecretBuffer body;
    auto remaining = static_cast<std::uint64_t>(length);
    while (remaining > 0) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kReadChunk));
      char* dest = body.extend(want);
      in.read(dest, static_cast<std::streamsize>(want));
      const auto got = static_cast<std::size_t>(in.gcount());
      if (got < want) {
        body.shrink_by(want - got);
        return DECODE_IO;
      }
      remaining -= want;
    }
    return form_decode_urlencoded(body.view());
  });
}

DecodeResult form_decode_query() {
  const RequestEnv& env = request_env();
  const std::int64_t length = std::clamp<std::int64_t>(
      env.content_length, 0, static_cast<std::int64_t>(env.QUERY_STRING.size()));
  return form_decode_urlencoded(
      std::string_view(env.QUERY_STRING).substr(0, static_cast<std::size_t>(length)));
}

}  // namespace larkspur::cgi
