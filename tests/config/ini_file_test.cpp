// SPDX-License-Identifier: Apache-2.0
#include "config/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "support/case_name.h"
#include "support/process.h"

namespace larkspur::config {
namespace {

struct Lookup {
  const char* what;
  std::string text;
  const char* section;
  const char* key;
  const char* expected;  // "" means absent
};

class IniGrammar : public ::testing::TestWithParam<Lookup> {};

TEST_P(IniGrammar, Lookup) {
  const Lookup& c = GetParam();
  IniFile ini;
  ini.parse(c.text);
  EXPECT_EQ(ini.get(c.section, c.key), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, IniGrammar,
    ::testing::Values(
        Lookup{"blanks around =", "[html]\ntitle = My page\n", "html", "title", "My page"},
        Lookup{"no blanks", "[html]\ntitle=My page", "html", "title", "My page"},
        Lookup{"blanks inside key stay", "[html]\n  btn change  =  OK  \n", "html", "btn change",
               "OK"},
        Lookup{"tabs are blanks", "[html]\n\tback\t=\tx\t\n", "html", "back", "x"},
        Lookup{"split at first =", "[s]\na = b = c\n", "s", "a", "b = c"},
        Lookup{"space hash comment", "[s]\nback = x # note\n", "s", "back", "x"},
        Lookup{"tab hash comment", "[s]\nback = x\t# note\n", "s", "back", "x"},
        Lookup{"hash without blank", "[s]\nback = x#y\n", "s", "back", "x#y"},
        Lookup{"hash first in value", "[s]\nback = #y\n", "s", "back", "#y"},
        Lookup{"colour", "[s]\ncolor=#FFFFFF\n", "s", "color", "#FFFFFF"},
        Lookup{"blank before hash counts only after value starts", "[html]\ntitle = # x\n", "html",
               "title", "# x"},
        Lookup{"hash kind tried before slash kind", "[s]\nback = x // y # z\n", "s", "back",
               "x // y"},
        Lookup{"tab hash tried before space hash", "[s]\nv = a # b\t# c\n", "s", "v", "a # b"},
        Lookup{"slash comment", "[s]\nv = a // b\n", "s", "v", "a"},
        Lookup{"tab slash tried before space slash", "[s]\nv = a // b\t// c\n", "s", "v", "a // b"},
        Lookup{"URL keeps its //", "[s]\nurl = http://host/x\n", "s", "url", "http://host/x"},
        Lookup{"blanks before marker trimmed", "[s]\nv = x \t # c\n", "s", "v", "x"},
        Lookup{"empty value does not override", "[html]\ntitle = A\ntitle =\ntitle = \t \n", "html",
               "title", "A"},
        Lookup{"last line wins", "[html]\ntitle = A\ntitle = B\n", "html", "title", "B"},
        Lookup{"sections merge", "[html]\na=1\n[path]\nb=2\n[html]\nc=3\n", "html", "a", "1"},
        Lookup{"merged section sees later key", "[html]\na=1\n[path]\nb=2\n[html]\nc=3\n", "html",
               "c", "3"},
        Lookup{"section name not trimmed", "[ html ]\ntitle=x\n", "html", "title", ""},
        Lookup{"section name with blanks found as written", "[ html ]\ntitle=x\n", " html ",
               "title", "x"},
        Lookup{"keys are case-sensitive", "[html]\nTitle=x\n", "html", "title", ""},
        Lookup{"sections are case-sensitive", "[HTML]\ntitle=x\n", "html", "title", ""},
        Lookup{"brackets in a key line open a section", "[html]\ndescription=Change [now]\na=1\n",
               "now", "a", "1"},
        Lookup{"that line stores nothing", "[html]\ndescription=Change [now]\n", "html",
               "description", ""},
        Lookup{"header text after ] ignored", "x[html]y = z\ntitle=t\n", "html", "title", "t"},
        Lookup{"first [ and last ]", "[a]b]\nk=v\n", "a]b", "k", "v"},
        Lookup{"empty header closes sections", "[html]\n[]\ntitle=x\n", "html", "title", ""},
        Lookup{"] before [ is a key line", "[s]\nk=a]b[c\n", "s", "k", "a]b[c"},
        Lookup{"] right before [ is a key line", "[s]\nk=a][c\n", "s", "k", "a][c"},
        Lookup{"CR LF line ends", "[html]\r\ntitle = x\r\nback=y\r\n", "html", "title", "x"},
        Lookup{"CR LF after comment", "[html]\r\nback=y # c\r\n", "html", "back", "y"},
        Lookup{"lone CR inside a line is kept", "[s]\nv=a\rb\n", "s", "v", "a\rb"},
        Lookup{"last line without line feed", "[s]\nv=end", "s", "v", "end"},
        Lookup{"hash key is a key", "[s]\n#title=x\n", "s", "#title", "x"},
        Lookup{"semicolon has no meaning", "[s]\n;v=x ; y\n", "s", ";v", "x ; y"},
        Lookup{"bytes kept as they are", "[html]\ntitle=\xD0\xC2<b>x</b>\n", "html", "title",
               "\xD0\xC2<b>x</b>"}),
    [](const auto& info) { return test::case_name(info.param.what); });

TEST(IniFile, NulByteInValueIsKept) {
  IniFile ini;
  ASSERT_TRUE(ini.parse(std::string("[s]\nv=a\0b\n", 10)));
  EXPECT_EQ(ini.get("s", "v"), std::string("a\0b", 3));
}

TEST(IniFile, EntryKeyJoinsSectionAndKey) {
  IniFile ini;
  ASSERT_TRUE(ini.parse("[html]\ntitle=x\n"));
  ASSERT_EQ(ini.entries.size(), 1u);
  EXPECT_EQ(ini.entries.begin()->first, "html_____***_______title");
}

TEST(IniFile, NothingStorableParsesFalse) {
  const char* const texts[] = {
      "",
      "\n\n",
      "title=x\nback=y\n",  // outside any section
      "[html]\n[path]\n",
      "[html]\ntitle\n= x\n  = y\ntitle =\ntitle = \t\n",
      "[html]\n[]\ntitle=x\n",
  };
  for (const char* text : texts) {
    IniFile ini;
    EXPECT_FALSE(ini.parse(text)) << text;
    EXPECT_TRUE(ini.entries.empty()) << text;
  }
}

TEST(ConfigFileName, TakesTextAfterLastSeparator) {
  struct Case {
    const char* path;
    const char* expected;
  };
  const Case cases[] = {
      {"/var/www/cgi-bin/example.cgi", "example.cgi.ini"},
      {"C:\\www\\cgi-bin\\example.cgi", "example.cgi.ini"},
      {"C:\\www/cgi-bin\\example.cgi", "example.cgi.ini"},
      {"/srv\\odd/example.cgi", "example.cgi.ini"},
      {"example.cgi", "example.cgi.ini"},
      {"./passwd.cgi", "passwd.cgi.ini"},
  };
  for (const Case& c : cases) EXPECT_EQ(config_file_name(c.path), c.expected) << c.path;
}

TEST(IniFileLoad, ReadsFile) {
  test::TempDir dir;
  test::write_file(dir.file("a.ini"), "[path]\r\nauth_user_file = /etc/users # the file\r\n");
  IniFile ini;
  ASSERT_TRUE(ini.load(dir.file("a.ini")));
  EXPECT_EQ(ini.get("path", "auth_user_file"), "/etc/users");
}

TEST(IniFileLoad, FailsWithoutStorableEntry) {
  test::TempDir dir;
  test::write_file(dir.file("outside.ini"), "title=x\n");
  test::write_file(dir.file("empty.ini"), "");
  ::mkdir(dir.file("dir.ini").c_str(), 0700);
  const std::string paths[] = {dir.file("missing.ini"), dir.file("outside.ini"),
                               dir.file("empty.ini"), dir.file("dir.ini")};
  for (const std::string& path : paths) {
    IniFile ini;
    EXPECT_FALSE(ini.load(path)) << path;
    EXPECT_EQ(ini.get("html", "title"), "") << path;
  }
}

TEST(IniFileLoad, LargeFileReadWhole) {
  test::TempDir dir;
  std::string text = "[s]\n";
  for (int i = 0; i < 5000; ++i) {
    const std::string n = std::to_string(i);
    text.append("k").append(n).append(" = v").append(n).append("\n");
  }
  test::write_file(dir.file("big.ini"), text);
  IniFile ini;
  ASSERT_TRUE(ini.load(dir.file("big.ini")));
  EXPECT_EQ(ini.entries.size(), 5000u);
  EXPECT_EQ(ini.get("s", "k4999"), "v4999");
}

// load_config looks in the working directory for the name argv[0] carries.
class LoadConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char buffer[4096];
    ASSERT_NE(::getcwd(buffer, sizeof buffer), nullptr);
    old_cwd_ = buffer;
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  }
  void TearDown() override {
    (void)!::chdir(old_cwd_.c_str());
    platform::set_invocation_name("");
  }
  test::TempDir dir_;
  std::string old_cwd_;
};

TEST_F(LoadConfigTest, UsesInvocationNameInWorkingDirectory) {
  test::write_file(dir_.file("passwd.cgi.ini"), "[html]\ntitle=linked\n");
  test::write_file(dir_.file("real.cgi.ini"), "[html]\ntitle=target\n");
  platform::set_invocation_name("/somewhere/else/passwd.cgi");
  IniFile ini;
  ASSERT_TRUE(load_config(ini));
  EXPECT_EQ(ini.get("html", "title"), "linked");
}

TEST_F(LoadConfigTest, MissingFileFails) {
  platform::set_invocation_name("/x/none.cgi");
  IniFile ini;
  EXPECT_FALSE(load_config(ini));
}

}  // namespace
}  // namespace larkspur::config
