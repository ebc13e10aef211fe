// SPDX-License-Identifier: Apache-2.0
#include "web/text.h"

#include <climits>

#include "config/ini_file.h"

namespace larkspur::web {

std::string page_text(PageText text) {
  std::string configured = config::ini_file().get("html", text.key);
  if (configured.empty()) configured = text.fallback;
  return configured;
}

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

int parse_min_length(std::string_view text) {
  std::size_t i = 0;
  // The white space that isspace() knows in the C locale.
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT_MAX) value = INT_MAX;  // saturate; keeps reading the digits
  }
  if (negative) return 0;
  return static_cast<int>(value);
}

void write_text(std::ostream& out, std::string_view text) {
  const std::size_t end = text.find('\0');
  out.write(text.data(),
            static_cast<std::streamsize>(end == std::string_view::npos ? text.size() : end));
}

}  // namespace larkspur::web
