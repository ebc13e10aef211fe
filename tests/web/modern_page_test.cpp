// SPDX-License-Identifier: Apache-2.0
// The modern layout, byte for byte (the stylesheet aside, which the browser
// tests judge by its effect), and the choice between the two layouts.
#include <gtest/gtest.h>

#include <string>

#include "cgi/request_env.h"
#include "support/modern_page.h"
#include "web/layout.h"
#include "web/pages.h"
#include "web_fixture.h"

namespace larkspur::test {
namespace {

const std::string kDefaultForm =
    "<form method=\"post\" enctype=\"multipart/form-data\" action=\"/cgi-bin/larkspur.cgi\">\n"
    "<div class=\"field\"><label for=\"name\">your name</label>\n"
    "<input type=\"text\" id=\"name\" name=\"name\" autocomplete=\"username\" "
    "autocapitalize=\"none\" spellcheck=\"false\" required></div>\n"
    "<div class=\"field\"><label for=\"op\">your old password</label>\n"
    "<input type=\"password\" id=\"op\" name=\"op\" autocomplete=\"current-password\" "
    "required></div>\n"
    "<div class=\"field\"><label for=\"p1\">your new password</label>\n"
    "<input type=\"password\" id=\"p1\" name=\"p1\" autocomplete=\"new-password\" required "
    "maxlength=\"80\"></div>\n"
    "<div class=\"field\"><label for=\"p2\">confirm new password</label>\n"
    "<input type=\"password\" id=\"p2\" name=\"p2\" autocomplete=\"new-password\" required "
    "maxlength=\"80\"></div>\n"
    "<div class=\"buttons\"><button type=\"submit\" name=\"chgpasswd\" value=\"1\">Change"
    "</button>\n"
    "<button type=\"reset\">Reset</button></div>\n"
    "</form>\n";

std::string modern_page(std::string_view charset, std::string_view lang, std::string_view title,
                        std::string_view body) {
  return "Content-type: text/html; charset=" + std::string(charset) + "\r\n" + kModernHeaders +
         "<!DOCTYPE html>\n<html lang=\"" + std::string(lang) + "\">\n<head>\n<meta charset=\"" +
         std::string(charset) +
         "\">\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
         "<title>" +
         std::string(title) + "</title>\n<style>\n</style>\n</head>\n<body>\n<main>\n<h1>" +
         std::string(title) + "</h1>\n" + std::string(body) + "</main>\n</body>\n</html>\n";
}

class ModernPageTest : public WebTest {
 protected:
  void SetUp() override {
    WebTest::SetUp();
    set_ini("html", "layout", "modern");
  }

  // The whole response of one layout call between open and close.
  template <typename Body>
  std::string page(Body body) {
    const web::Request& rq = request();
    const web::PageSet& pages = web::page_set(rq.settings);
    pages.open(rq);
    body(pages, rq);
    pages.close(rq);
    return without_stylesheet(output());
  }

  static std::string without_stylesheet(std::string text) {
    const std::size_t start = text.find("<style>\n");
    const std::size_t end = text.find("</style>");
    if (start == std::string::npos || end == std::string::npos) return text;
    text.erase(start + 8, end - start - 8);
    return text;
  }
};

TEST_F(ModernPageTest, FormWithDefaults) {
  EXPECT_EQ(page([](const web::PageSet& p, const web::Request& r) { p.form(r); }),
            modern_page("gb2312", "en", "Change password", kDefaultForm));
}

TEST_F(ModernPageTest, FormWithConfiguredTextsEscapesOnlyTheAttributes) {
  set_ini("html", "charset", "UTF-8");
  set_ini("html", "lang", "de\"x");
  set_ini("html", "title", "<i>Passwort</i>");
  set_ini("html", "description", "<b>Neu</b> & sicher");
  set_ini("html", "your_name", "Benutzer");
  set_ini("html", "old_password", "Altes Passwort");
  set_ini("html", "new_password1", "Neues \xC3\xA4");
  set_ini("html", "new_password2", "Noch einmal");
  set_ini("html", "btn_change", "\xC3\x84ndern \"jetzt\"");
  set_ini("html", "btn_reset", "<u>Leeren</u>");
  set_ini("setup", "password_min_length", " 8");
  cgi::request_env().SCRIPT_NAME = "/cgi-bin/a\"b<c&d.cgi";
  EXPECT_EQ(
      page([](const web::PageSet& p, const web::Request& r) { p.form(r); }),
      modern_page(
          "utf-8", "de&#34;x", "<i>Passwort</i>",
          "<div class=\"description\"><b>Neu</b> & sicher</div>\n"
          "<form method=\"post\" enctype=\"multipart/form-data\" "
          "action=\"/cgi-bin/a&#34;b<c&d.cgi\">\n"
          "<div class=\"field\"><label for=\"name\">Benutzer</label>\n"
          "<input type=\"text\" id=\"name\" name=\"name\" autocomplete=\"username\" "
          "autocapitalize=\"none\" spellcheck=\"false\" required></div>\n"
          "<div class=\"field\"><label for=\"op\">Altes Passwort</label>\n"
          "<input type=\"password\" id=\"op\" name=\"op\" autocomplete=\"current-password\" "
          "required></div>\n"
          "<div class=\"field\"><label for=\"p1\">Neues \xC3\xA4</label>\n"
          "<input type=\"password\" id=\"p1\" name=\"p1\" autocomplete=\"new-password\" required "
          "minlength=\"8\" maxlength=\"80\"></div>\n"
          "<div class=\"field\"><label for=\"p2\">Noch einmal</label>\n"
          "<input type=\"password\" id=\"p2\" name=\"p2\" autocomplete=\"new-password\" required "
          "minlength=\"8\" maxlength=\"80\"></div>\n"
          "<div class=\"buttons\"><button type=\"submit\" name=\"chgpasswd\" value=\"1\">"
          "\xC3\x84ndern \"jetzt\"</button>\n"
          "<button type=\"reset\"><u>Leeren</u></button></div>\n"
          "</form>\n"));
}

TEST_F(ModernPageTest, MessagesAreAlertsOrStatusAndBothLinkBack) {
  set_ini("html", "back", "<b>\xE2\x86\x90 back</b>");
  cgi::request_env().SCRIPT_NAME = "/x\"y";
  const std::string back =
      "<p class=\"back\"><a href=\"/x&#34;y\"><b>\xE2\x86\x90 back</b></a></p>\n";
  EXPECT_EQ(
      page([](const web::PageSet& p, const web::Request& r) { p.failure(r, "a:<i>wrong</i>"); }),
      modern_page("gb2312", "en", "Change password",
                  "<div class=\"message failure\" role=\"alert\">a:<i>wrong</i></div>\n" + back));
  out_.str("");
  EXPECT_EQ(page([](const web::PageSet& p, const web::Request& r) {
              p.success(r, std::string_view("a:done\0x", 8));
            }),
            modern_page("gb2312", "en", "Change password",
                        "<div class=\"message success\" role=\"status\">a:done</div>\n" + back));
}

TEST_F(ModernPageTest, TheTransactionReportsThroughTheModernPages) {
  add_field("chgpasswd", "1");
  change_password();
  EXPECT_EQ(output(),
            "<div class=\"message failure\" role=\"alert\">Please enter user name</div>\n"
            "<p class=\"back\"><a href=\"/cgi-bin/larkspur.cgi\">back</a></p>\n");
}

TEST_F(ModernPageTest, NoMinimumLengthAttributeForNoMinimum) {
  for (const char* min : {"0", "-5", "abc"}) {
    set_ini("setup", "password_min_length", min);
    out_.str("");
    web::write_modern_form(request());
    EXPECT_EQ(output().find("minlength"), std::string::npos) << min;
  }
}

TEST_F(ModernPageTest, MaximumLengthIsWhatTheConfiguredSchemeReads) {
  const std::pair<const char*, const char*> cases[] = {
      {"md5", "maxlength=\"80\""}, {"bcrypt", "maxlength=\"72\""}, {"keep", "maxlength=\"80\""}};
  for (const auto& [hash, attribute] : cases) {
    set_ini("setup", "hash", hash);
    out_.str("");
    web::write_modern_form(request());
    const std::string form = output();
    // Both new-password boxes, and nothing else.
    std::size_t count = 0;
    for (std::size_t at = form.find(attribute); at != std::string::npos;
         at = form.find(attribute, at + 1)) {
      ++count;
    }
    EXPECT_EQ(count, 2u) << hash;
  }
}

TEST_F(ModernPageTest, StylesheetHoldsNoMarkupAndBothColourSchemes) {
  web::write_modern_open(request());
  const std::string text = output();
  const std::size_t start = text.find("<style>\n") + 8;
  const std::string css = text.substr(start, text.find("</style>") - start);
  EXPECT_EQ(css.find('<'), std::string::npos);
  EXPECT_NE(css.find("@media (prefers-color-scheme:dark)"), std::string::npos);
}

TEST(Layout, OnlyModernInAnyCaseSelectsTheModernPages) {
  struct Case {
    const char* value;
    web::Layout expected;
  } cases[] = {
      {"modern", web::Layout::modern},   {"MODERN", web::Layout::modern},
      {"Modern", web::Layout::modern},   {"", web::Layout::classic},
      {"classic", web::Layout::classic}, {"modern2", web::Layout::classic},
      {"moder", web::Layout::classic},   {"mod\xC3\xA9rn", web::Layout::classic},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(web::parse_layout(c.value), c.expected) << c.value;
  }
}

TEST_F(WebTest, ClassicLayoutIsTheDefaultAndKeepsItsBytes) {
  for (const char* value : {"", "classic", "tables"}) {
    if (*value) set_ini("html", "layout", value);
    out_.str("");
    web::page_set(request().settings).failure(request(), "m");
    EXPECT_EQ(output(), linked_message("m")) << value;
    out_.str("");
    web::page_set(request().settings).success(request(), "m");
    EXPECT_EQ(output(), plain_message("m")) << value;
  }
}

}  // namespace
}  // namespace larkspur::test
