// SPDX-License-Identifier: Apache-2.0
// Which new passwords a browser will send alike at the login, and the
// longest one the configured scheme takes.
#include "web/password_rules.h"

#include <gtest/gtest.h>

#include <string>

#include "web_fixture.h"

namespace larkspur::test {
namespace {

TEST(Utf8Test, AcceptsWellFormedAndRejectsTheRest) {
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain ASCII", true},
      {"Gr\xC3\xBC\xC3\x9F"
       "e",
       true},
      {"\xE6\x96\xB0\xE5\xAE\x8B", true},  // 新宋
      {"\xF0\x9F\x94\x91", true},          // U+1F511
      {"\xF4\x8F\xBF\xBF", true},          // U+10FFFF, the last
      {"\xEF\xBF\xBD", true},              // U+FFFD
      {"\xED\x9F\xBF", true},              // U+D7FF, just below the surrogates
      {"\xC3", false},                     // cut short
      {"\xE6\x96", false},                 // cut short
      {"\xC3(", false},                    // bad continuation
      {"\x80", false},                     // lone continuation
      {"\xC0\xAF", false},                 // overlong '/'
      {"\xC1\xBF", false},                 // overlong
      {"\xE0\x80\xAF", false},             // overlong
      {"\xF0\x80\x80\xAF", false},         // overlong
      {"\xED\xA0\x80", false},             // surrogate U+D800
      {"\xF4\x90\x80\x80", false},         // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\xFF", false},
      {"Gr\xFC\xDF"
       "e",
       false},              // Latin-1
      {"\xA8\xB9", false},  // GBK
  };
  for (const Case& c : cases) EXPECT_EQ(web::is_valid_utf8(c.text), c.valid) << c.text;
}

TEST(NewPasswordBytesTest, DependOnTheCharset) {
  struct Case {
    std::string password;
    bool under_gb2312;
    bool under_utf8;
  } cases[] = {
      {"", true, true},
      {" !\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~", true, true},
      {"Gr\xC3\xBC\xC3\x9F"
       "e-2026",
       false, true},
      {"Gr\xA8\xB9&#223;e-2026", false, false},  // what Chromium posts from GB2312 pages
      {"a&#b", false, true},
      {"a&b#", true, true},
      {std::string("a\0b", 3), false, false},
      {"a\tb", false, false},
      {"a\rb", false, false},
      {"a\nb", false, false},
      {"\x1F", false, false},
      {"\x7F", false, false},
      {"\xC0\xAF", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(web::new_password_bytes_ok(c.password, false), c.under_gb2312) << c.password;
    EXPECT_EQ(web::new_password_bytes_ok(c.password, true), c.under_utf8) << c.password;
  }
}

using LongestTest = WebTest;

TEST_F(LongestTest, FollowsTheConfiguredScheme) {
  struct Case {
    const char* hash;
    const char* cost;
    std::size_t longest;
  } cases[] = {
      {nullptr, nullptr, 80}, {"md5", nullptr, 80},    {"bcrypt", nullptr, 72},
      {"bcrypt", "12", 72},   {"sha512", nullptr, 80}, {"yescrypt", nullptr, 80},
      {"keep", nullptr, 80},  {"bogus", nullptr, 80},  {"bcrypt", "99", 80},
  };
  for (const Case& c : cases) {
    config::ini_file().clear();
    if (c.hash) set_ini("setup", "hash", c.hash);
    if (c.cost) set_ini("setup", "hash_cost", c.cost);
    EXPECT_EQ(web::longest_new_password(request().settings), c.longest)
        << (c.hash ? c.hash : "") << " " << (c.cost ? c.cost : "");
  }
}

}  // namespace
}  // namespace larkspur::test
