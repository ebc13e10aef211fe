// SPDX-License-Identifier: Apache-2.0
// Which charset the pages declare, and which spellings count as UTF-8.
#include "web/charset.h"

#include <gtest/gtest.h>

#include "web_fixture.h"

namespace larkspur::test {
namespace {

using CharsetTest = WebTest;

TEST_F(CharsetTest, ConfiguredNameDecidesDeclarationAndUtf8) {
  struct Case {
    const char* configured;  // nullptr: no key
    const char* declared;
    bool utf8;
  } cases[] = {
      {nullptr, "gb2312", false},  // the bytes every existing page carries
      {"GB2312", "gb2312", false}, {"UTF-8", "utf-8", true},    {"utf-8", "utf-8", true},
      {"UTF8", "utf-8", true},     {"Utf_8", "utf-8", true},    {"ISO-8859-1", "iso-8859-1", false},
      {"UTF-16", "utf-16", false}, {"UTF-8x", "utf-8x", false}, {"U-T-F-8", "u-t-f-8", false},
  };
  for (const Case& c : cases) {
    config::ini_file().clear();
    if (c.configured) set_ini("html", "charset", c.configured);
    const char* label = c.configured ? c.configured : "(none)";
    EXPECT_EQ(web::declared_charset(request().settings), c.declared) << label;
    EXPECT_EQ(web::page_charset_is_utf8(request().settings), c.utf8) << label;
  }
}

TEST(StyleElement, FontNamesAreWrittenInThePageCharset) {
  const std::string gb = web::style_element(false);
  const std::string utf8 = web::style_element(true);
  EXPECT_NE(gb.find("font-family:\xD0\xC2\xCB\xCE\xCC\xE5,\xCB\xCE\xCC\xE5,Tahoma;}</style>"),
            std::string::npos);
  // 新宋体 and 宋体 in UTF-8.
  EXPECT_NE(utf8.find("font-family:\xE6\x96\xB0\xE5\xAE\x8B\xE4\xBD\x93,"
                      "\xE5\xAE\x8B\xE4\xBD\x93,Tahoma;}</style>"),
            std::string::npos);
  // Apart from the font names the two are the same bytes.
  EXPECT_EQ(gb.substr(0, gb.find('\xD0')), utf8.substr(0, utf8.find('\xE6')));
}

}  // namespace
}  // namespace larkspur::test
