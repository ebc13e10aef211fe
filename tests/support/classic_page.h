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

inline std::string plain_message(std::string_view message) {
  return "<br><table style=\"font-family:Tahoma;\" align=\"center\"><tr><td align=\"center\">\n" +
         std::string(message) + "</td></tr></table>\n";
}

}  // namespace larkspur::test
