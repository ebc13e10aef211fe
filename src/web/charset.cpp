// SPDX-License-Identifier: Apache-2.0
#include "web/charset.h"

#include "platform/ascii.h"
#include "web/text.h"

namespace larkspur::web {

namespace {

// The font names 新宋体 and 宋体, spelt in bytes so that the source file's
// own encoding cannot change them.
constexpr std::string_view kFontsGb2312 = "\xD0\xC2\xCB\xCE\xCC\xE5,\xCB\xCE\xCC\xE5";
constexpr std::string_view kFontsUtf8 =
    "\xE6\x96\xB0\xE5\xAE\x8B\xE4\xBD\x93,\xE5\xAE\x8B\xE4\xBD\x93";

}  // namespace

bool is_utf8_name(std::string_view charset) {
  return platform::ascii_iequals(charset, "utf-8") || platform::ascii_iequals(charset, "utf8") ||
         platform::ascii_iequals(charset, "utf_8");
}

std::string page_charset(const config::Settings& settings) {
  return settings.text(config::Text::charset);
}

bool page_charset_is_utf8(const config::Settings& settings) {
  return is_utf8_name(page_charset(settings));
}

std::string declared_charset(const config::Settings& settings) {
  std::string charset = page_charset(settings);
  if (is_utf8_name(charset)) return "utf-8";
  for (char& c : charset) c = platform::ascii_lower(c);
  return charset;
}

std::string style_element(bool utf8) {
  std::string style =
      "<style type=\"text/css\">.t_input {background-color:#FFFFFF;width:139px;height:22px;"
      "font-family:Tahoma;}.t_text {background-color:#FFFFFF;font-family:";
  style += utf8 ? kFontsUtf8 : kFontsGb2312;
  style += ",Tahoma;}</style>";
  return style;
}

}  // namespace larkspur::web
