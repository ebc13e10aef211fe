// SPDX-License-Identifier: Apache-2.0
// A message centred in a one-cell table, with or without the link back to the form.
#include "cgi/form.h"
#include "cgi/request_env.h"
#include "cgi/streams.h"
#include "web/pages.h"
#include "web/text.h"

namespace larkspur::web {

void write_message_page(const Request& request, std::string_view message) {
  std::ostream& out = cgi::response_stream();
  out << "<br>"
      << "<table style=\"font-family:Tahoma;\" align=\"center\"><tr><td align=\"center\">\n";
  write_text(out, message);
  out << "</td></tr>\n"
      << "<tr><td align=\"center\"><a href=\"";
  cgi::write_attr_escaped(request.env.SCRIPT_NAME);
  out << "\">";
  write_text(out, request.text(config::Text::back));
  // No line feed: the page driver closes the page on this same line.
  out << "</a></td></tr></table>";
}

void write_plain_message_page(const Request&, std::string_view message) {
  std::ostream& out = cgi::response_stream();
  out << "<br>"
      << "<table style=\"font-family:Tahoma;\" align=\"center\"><tr><td align=\"center\">\n";
  write_text(out, message);
  out << "</td></tr></table>\n";
}

}  // namespace larkspur::web
