// SPDX-License-Identifier: Apache-2.0
#include "web/password_rules.h"

#include "log/event_texts.h"
#include "web/text.h"

namespace larkspur::web {

std::string configured_hash_choice(const config::Settings& settings, passwd::HashChoice& out) {
  const std::string cost = settings.hash_cost > 0 ? std::to_string(settings.hash_cost) : "";
  return passwd::parse_hash_choice(settings.hash, cost, out);
}

std::size_t longest_new_password(const config::Settings& settings) {
  passwd::HashChoice choice;
  if (!configured_hash_choice(settings, choice).empty()) return passwd::kLongestPassword;
  return passwd::longest_new_password(choice);
}

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    // The range of the second byte excludes overlong forms, surrogates and
    // code points above U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto byte = static_cast<unsigned char>(text[i + k]);
      if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

bool new_password_bytes_ok(std::string_view password, bool utf8) {
  for (char c : password) {
    const auto byte = static_cast<unsigned char>(c);
    // A NUL would end the password early for the hashing call.
    if (byte < 0x20 || byte == 0x7F) return false;
    if (!utf8 && byte >= 0x80) return false;
  }
  if (utf8) return is_valid_utf8(password);
  return password.find("&#") == std::string_view::npos;
}

Refusal too_long(const Request& request, std::size_t longest) {
  const std::string number = std::to_string(longest);
  return {request.text(config::Text::password_too_long) + number,
          std::string(logging::kEvents.too_long) + number};
}

Refusal bad_characters(const Request& request) {
  return {request.text(config::Text::password_bad_characters),
          std::string(logging::kEvents.bad_characters)};
}

}  // namespace larkspur::web
