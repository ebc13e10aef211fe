// SPDX-License-Identifier: Apache-2.0
#include "web/password_rules.h"

#include "config/ini_file.h"
#include "web/text.h"

namespace larkspur::web {

std::string configured_hash_choice(passwd::HashChoice& out) {
  const config::IniFile& ini = config::ini_file();
  return passwd::parse_hash_choice(ini.get("setup", "hash"), ini.get("setup", "hash_cost"), out);
}

std::size_t longest_new_password() {
  passwd::HashChoice choice;
  if (!configured_hash_choice(choice).empty()) return passwd::kLongestPassword;
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

Refusal too_long(std::size_t longest) {
  const std::string number = std::to_string(longest);
  return {page_text(html("password_too_long")) + number,
          "Password's length must not be greater than " + number};
}

Refusal bad_characters() {
  return {page_text(html("password_bad_characters")),
          "New password has characters that cannot be used"};
}

}  // namespace larkspur::web
