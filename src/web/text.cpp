// SPDX-License-Identifier: Apache-2.0
#include "web/text.h"

#include "config/ini_file.h"
#include "platform/ascii.h"

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

int parse_min_length(std::string_view text) { return platform::parse_count_like_atoi(text); }

void write_text(std::ostream& out, std::string_view text) {
  const std::size_t end = text.find('\0');
  out.write(text.data(),
            static_cast<std::streamsize>(end == std::string_view::npos ? text.size() : end));
}

}  // namespace larkspur::web
