// SPDX-License-Identifier: Apache-2.0
// The character set the pages declare: key `charset` of section [html].
// Browsers encode form fields in it, so it also decides which bytes a new
// password may hold.
#pragma once

#include <string>
#include <string_view>

#include "config/settings.h"

namespace larkspur::web {

// True for every spelling of UTF-8: "UTF-8", "utf-8", "UTF8", "utf_8", ...
bool is_utf8_name(std::string_view charset);

// The configured charset, or "GB2312" when none is configured.
std::string page_charset(const config::Settings& settings);

// Whether the configured charset is UTF-8.
bool page_charset_is_utf8(const config::Settings& settings);

// The name the META element carries: "utf-8" for UTF-8, otherwise the
// configured name in lower case ("gb2312" by default).
std::string declared_charset(const config::Settings& settings);

// The style element, whose font names are written in the page's charset:
// UTF-8 bytes for UTF-8, GB2312 bytes for anything else.
std::string style_element(bool utf8);

}  // namespace larkspur::web
