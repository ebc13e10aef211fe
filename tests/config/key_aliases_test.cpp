// SPDX-License-Identifier: Apache-2.0
// The two key names of the help text's example, read as aliases.
#include "config/key_aliases.h"

#include <gtest/gtest.h>

namespace larkspur::config {
namespace {

TEST(KeyAliasesTest, AliasFillsTheDocumentedKeyOnlyWhenThatIsUnset) {
  struct Case {
    const char* what;
    const char* text;
    const char* section;
    const char* key;
    const char* expected;
  } cases[] = {
      {"help's min length", "[setup]\npass_min_length=8\n", "setup", "password_min_length", "8"},
      {"help's name text", "[html]\nplease_enter_name=Name?\n", "html", "enter_name", "Name?"},
      {"documented key wins, before", "[setup]\npassword_min_length=6\npass_min_length=8\n",
       "setup", "password_min_length", "6"},
      {"documented key wins, after", "[html]\nplease_enter_name=a\nenter_name=b\n", "html",
       "enter_name", "b"},
      {"alias in another section", "[html]\npass_min_length=8\n", "setup", "password_min_length",
       ""},
      {"empty alias", "[setup]\npass_min_length=\n[html]\ntitle=t\n", "setup",
       "password_min_length", ""},
  };
  for (const Case& c : cases) {
    IniFile ini;
    ini.parse(c.text);
    apply_key_aliases(ini);
    EXPECT_EQ(ini.get(c.section, c.key), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace larkspur::config
