// SPDX-License-Identifier: Apache-2.0
// What a new password must be beyond its length and its confirmation: made
// in the hash scheme the administrator chose, no longer than that scheme
// reads, and in bytes that the browser will send alike at the login.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "config/settings.h"
#include "passwd/hashing.h"
#include "web/request.h"

namespace larkspur::web {

// Keys `hash` and `hash_cost` of [setup]. Returns the empty text and fills
// `out`, or returns the fault for the server's error log. May throw
// std::bad_alloc, like the two refusals below.
std::string configured_hash_choice(const config::Settings& settings, passwd::HashChoice& out);

// The longest new password the configured scheme accepts: 80, or 72 for
// bcrypt (80 when the configuration is faulty: the change fails anyway).
std::size_t longest_new_password(const config::Settings& settings);

// Whether `text` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text);

// Whether a new password, as posted, holds only bytes that a browser sends
// the same way in a login: no control bytes; under a charset other than
// UTF-8 only ASCII and no "&#" (how browsers post what the charset lacks);
// under UTF-8, valid UTF-8.
bool new_password_bytes_ok(std::string_view password, bool utf8);

// A refusal before the lock: the page text and the log line.
struct Refusal {
  std::string page;
  std::string event;
};

// The refusal of a new password that is longer than `longest` bytes.
Refusal too_long(const Request& request, std::size_t longest);

// The refusal of a new password whose bytes would not work at the login.
Refusal bad_characters(const Request& request);

}  // namespace larkspur::web
