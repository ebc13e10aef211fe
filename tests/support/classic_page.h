// SPDX-License-Identifier: Apache-2.0
// The bytes of the classic pages, written out once for the tests that
// compare whole outputs, in-process and as a process.
#pragma once

#include <string>
#include <string_view>

namespace larkspur::test {

inline constexpr std::string_view kScriptName = "/cgi-bin/larkspur.cgi";

inline const std::string kStyle =
    "<style type=\"text/css\">.t_input {background-color:#FFFFFF;width:139px;height:22px;"
    "font-family:Tahoma;}.t_text {background-color:#FFFFFF;font-family:"
    "\xD0\xC2\xCB\xCE\xCC\xE5"
    ","
    "\xCB\xCE\xCC\xE5"
    ",Tahoma;}</style>";

inline const std::string kHead =
    "Content-type: text/html\r\n\r\n<HTML>\n<HEAD>\n<!-- Larkspur: change your password -->\n";

// A whole page: frame, title and the body that the form or the change wrote.
inline std::string framed(std::string_view body, std::string_view title = "") {
  return kHead + "<TITLE>" + std::string(title) +
         "</TITLE><META http-equiv=Content-Type content=\"text/html; charset=gb2312\">\n"
         "</HEAD>\n" +
         kStyle + "<BODY>\n" + std::string(body) + "</BODY></HTML>\n";
}

inline std::string linked_message(std::string_view message, std::string_view href = kScriptName,
                                  std::string_view back = "back") {
  return "<br><table style=\"font-family:Tahoma;\" align=\"center\"><tr><td align=\"center\">\n" +
         std::string(message) + "</td></tr>\n<tr><td align=\"center\"><a href=\"" +
         std::string(href) + "\">" + std::string(back) + "</a></td></tr></table>";
}

// The texts the form page shows; the defaults are the program's own.
struct FormTexts {
  std::string_view description = "";
  std::string_view your_name = "your name";
  std::string_view old_password = "your old password";
  std::string_view new_password1 = "your new password";
  std::string_view new_password2 = "confirm new password";
  std::string_view btn_change = "Change";
  std::string_view btn_reset = "Reset";
};

// The body of the form page, the part inside framed().
inline std::string form_body(const FormTexts& texts = {},
                             std::string_view action = kScriptName) {
  // The blank before "class" is there for the name only, as on the page.
  const auto row = [](std::string_view label, std::string_view input) {
    return "<TR>\n<TD class=\"t_text\">" + std::string(label) + "</TD>\n<TD>" +
           std::string(input) + "</TD>\n</TR>\n";
  };
  return "<table align=\"center\"><tr><td align=\"center\" class=\"t_text\">\n" +
         std::string(texts.description) +
         "</td></tr></table>\n"
         "<form method=\"POST\" enctype=\"multipart/form-data\"  action=\"" +
         std::string(action) +
         "\">\n"
         "<br>\n"
         "<TABLE align=\"center\">\n" +
         row(texts.your_name, "<INPUT type=\"text\" name=\"name\" class=\"t_input\">") +
         row(texts.old_password, "<INPUT type=\"password\" name=\"op\"class=\"t_input\">") +
         row(texts.new_password1, "<INPUT type=\"password\" name=\"p1\"class=\"t_input\">") +
         row(texts.new_password2, "<INPUT type=\"password\" name=\"p2\"class=\"t_input\">") +
         "</TABLE>\n"
         "<br><TABLE align=\"center\">\n<TR>\n<TD>"
         "<input type=\"submit\" name=\"chgpasswd\" value=\"" +
         std::string(texts.btn_change) +
         "\">\n"
         "<input type=\"reset\" value=\"" +
         std::string(texts.btn_reset) + "\">\n</TD>\n</TR>\n</TABLE>\n</form>\n";
}

inline std::string plain_message(std::string_view message) {
  return "<br><table style=\"font-family:Tahoma;\" align=\"center\"><tr><td align=\"center\">\n" +
         std::string(message) + "</td></tr></table>\n";
}

}  // namespace larkspur::test
