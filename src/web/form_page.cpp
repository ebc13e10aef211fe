// SPDX-License-Identifier: Apache-2.0
// The change-password form of a first visit. It posts multipart/form-data to
// the program's own address; labels and buttons come from [html].
#include <string>

#include "cgi/form.h"
#include "cgi/request_env.h"
#include "cgi/streams.h"
#include "web/pages.h"
#include "web/text.h"

namespace larkspur::web {

void write_form_page(const Request& request) {
  std::ostream& out = cgi::response_stream();
  out << "<table align=\"center\"><tr><td align=\"center\" class=\"t_text\">\n";
  write_text(out, request.text(config::Text::description));
  out << "</td></tr></table>\n";

  // Two blanks before "action", and none before "class" in the password
  // inputs below: browsers accept both, and the page keeps the exact bytes
  // that installations already serve.
  out << "<form method=\"POST\" enctype=\"multipart/form-data\" "
      << " action=\"";
  cgi::write_attr_escaped(request.env.SCRIPT_NAME);
  out << "\">\n"
      << "<br>\n";

  using config::Text;
  const std::string& your_name = request.text(Text::your_name);
  const std::string& old_password = request.text(Text::old_password);
  const std::string& new_password1 = request.text(Text::new_password1);
  const std::string& new_password2 = request.text(Text::new_password2);
  const std::string& btn_change = request.text(Text::btn_change);
  const std::string& btn_reset = request.text(Text::btn_reset);

  auto label = [&out](const std::string& text) {
    out << "<TD class=\"t_text\">";
    write_text(out, text);
    out << "</TD>\n";
  };
  out << "<TABLE align=\"center\">\n"
      << "<TR>\n";
  label(your_name);
  out << "<TD><INPUT type=\"text\" name=\"name\" class=\"t_input\"></TD>\n"
      << "</TR>\n"
      << "<TR>\n";
  label(old_password);
  out << "<TD><INPUT type=\"password\" name=\"op\"class=\"t_input\"></TD>\n"
      << "</TR>\n"
      << "<TR>\n";
  label(new_password1);
  out << "<TD><INPUT type=\"password\" name=\"p1\"class=\"t_input\"></TD>\n"
      << "</TR>\n"
      << "<TR>\n";
  label(new_password2);
  out << "<TD><INPUT type=\"password\" name=\"p2\"class=\"t_input\"></TD>\n"
      << "</TR>\n"
      << "</TABLE>\n";

  out << "<br>"
      << "<TABLE align=\"center\">\n<TR>\n<TD>";
  out << "<input type=\"submit\" name=\"chgpasswd\" value=\"";
  write_text(out, btn_change);
  out << "\">\n";
  out << "<input type=\"reset\" value=\"";
  write_text(out, btn_reset);
  out << "\">\n";
  out << "</TD>\n</TR>\n</TABLE>\n"
      << "</form>\n";
}

}  // namespace larkspur::web
