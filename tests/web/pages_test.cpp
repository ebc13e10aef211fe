// SPDX-License-Identifier: Apache-2.0
// The form page and the message pages, byte for byte.
#include "web/pages.h"

#include <gtest/gtest.h>

#include "cgi/request_env.h"
#include "web/text.h"
#include "web_fixture.h"

namespace larkspur::test {
namespace {

using PagesTest = WebTest;

TEST_F(PagesTest, FormPageWithDefaults) {
  web::write_form_page(request());
  EXPECT_EQ(output(), form_body());
}

TEST_F(PagesTest, FormPageWithConfiguredTextsWritesThemUnescaped) {
  set_ini("html", "description", "<b>Change</b> it & go");
  set_ini("html", "your_name", "\xD3\xC3\xBB\xA7\xC3\xFB");  // GB2312, passed through
  set_ini("html", "old_password", "old");
  set_ini("html", "new_password1", "new");
  set_ini("html", "new_password2", "again");
  set_ini("html", "btn_change", "Go \"now\"");
  set_ini("html", "btn_reset", "Clear");
  set_ini("html", "back", "ignored here");
  cgi::request_env().SCRIPT_NAME = "/cgi-bin/a\"b<c&d.cgi";
  web::write_form_page(request());
  EXPECT_EQ(output(), form_body({.description = "<b>Change</b> it & go",
                                  .your_name = "\xD3\xC3\xBB\xA7\xC3\xFB",
                                  .old_password = "old",
                                  .new_password1 = "new",
                                  .new_password2 = "again",
                                  .btn_change = "Go \"now\"",
                                  .btn_reset = "Clear"},
                                 "/cgi-bin/a&#34;b<c&d.cgi"));
}

TEST_F(PagesTest, FormPageWithoutScriptNameHasEmptyAction) {
  cgi::request_env().SCRIPT_NAME.clear();
  web::write_form_page(request());
  EXPECT_NE(output().find("multipart/form-data\"  action=\"\">\n<br>\n"), std::string::npos);
}

TEST_F(PagesTest, MessagePageEscapesOnlyTheQuoteOfTheAddress) {
  cgi::request_env().SCRIPT_NAME = "/x\"y<z&w";
  web::write_message_page(request(), "<i>Server error!</i>");
  EXPECT_EQ(output(),
            "<br><table style=\"font-family:Tahoma;\" align=\"center\"><tr><td align=\"center\">\n"
            "<i>Server error!</i></td></tr>\n"
            "<tr><td align=\"center\"><a href=\"/x&#34;y<z&w\">back</a></td></tr></table>");
}

TEST_F(PagesTest, MessagePageUsesConfiguredBackText) {
  set_ini("html", "back", "<u>return</u>");
  cgi::request_env().SCRIPT_NAME.clear();
  web::write_message_page(request(), "");
  EXPECT_EQ(output(),
            "<br><table style=\"font-family:Tahoma;\" align=\"center\"><tr><td align=\"center\">\n"
            "</td></tr>\n"
            "<tr><td align=\"center\"><a href=\"\"><u>return</u></a></td></tr></table>");
}

TEST_F(PagesTest, PlainMessagePageHasNoLink) {
  web::write_plain_message_page(request(), std::string_view("done\0hidden", 11));
  EXPECT_EQ(output(),
            "<br><table style=\"font-family:Tahoma;\" align=\"center\"><tr><td align=\"center\">\n"
            "done</td></tr></table>\n");
}

TEST(HtmlEscape, EscapesTheFiveMarkupCharacters) {
  EXPECT_EQ(web::html_escape("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&#39;f");
  EXPECT_EQ(web::html_escape("plain \xB0\xA1 text"), "plain \xB0\xA1 text");
  EXPECT_EQ(web::html_escape(""), "");
}

}  // namespace
}  // namespace larkspur::test
