// SPDX-License-Identifier: Apache-2.0
#include "config/settings.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "support/process.h"

namespace larkspur::config {
namespace {

ParsedSettings parsed(std::string_view text) {
  IniFile ini;
  ini.parse(text);
  return parse_settings(ini);
}

// The key table of the documentation: "| section | key | meaning | default |".
std::string documentation() {
  const std::string dir = LARKSPUR_SOURCE_DIR;
  std::string text = test::read_file(dir + "/docs/configuration.md");
  if (text.empty()) text = test::read_file(dir + "/README.md");
  return text;
}

const std::set<std::string> kSections = {"path", "setup", "html", "dbm", "dbd"};

// Rows as (section, key) -> default; "empty" stands for the empty text, a
// note in brackets after the default is left out, and a default may end in
// a blank, which then stands before the closing " |".
std::map<std::pair<std::string, std::string>, std::string> documented_rows() {
  const std::string doc = documentation();
  std::map<std::pair<std::string, std::string>, std::string> rows;
  std::string_view rest = doc;
  for (std::size_t at = rest.find("\n| "); at != std::string_view::npos; at = rest.find("\n| ")) {
    rest.remove_prefix(at + 3);
    std::string_view row = rest.substr(0, rest.find('\n'));
    const std::size_t bar = row.find(" | ");
    if (bar == std::string_view::npos) continue;
    const std::string section(row.substr(0, bar));
    if (!kSections.contains(section)) continue;
    row.remove_prefix(bar + 3);
    const std::string key(row.substr(0, row.find(" |")));
    if (!row.ends_with(" |")) continue;
    row.remove_suffix(2);
    std::string value(row.substr(row.rfind("| ") + 2));
    if (const auto note = value.find(" ("); note != std::string::npos) value.resize(note);
    if (value == "empty") value.clear();
    rows[{section, key}] = value;
  }
  return rows;
}

TEST(SettingsTable, TheDocumentationListsEveryRowAndTheTextsDefaults) {
  const auto documented = documented_rows();
  std::set<std::pair<std::string, std::string>> table, listed;
  for (const SettingRow& row : setting_rows()) {
    EXPECT_TRUE(table.emplace(row.section, row.key).second) << "twice: " << row.key;
    if (row.html != Text::count_) {
      const auto found = documented.find({std::string(row.section), std::string(row.key)});
      ASSERT_NE(found, documented.end()) << row.key;
      EXPECT_EQ(found->second, row.fallback) << row.key;
    }
  }
  for (const auto& row : documented) listed.insert(row.first);
  EXPECT_EQ(listed, table);
}

TEST(SettingsTable, TextRowsStandInTheOrderOfTheirNames) {
  std::size_t next = 0;
  for (const SettingRow& row : setting_rows()) {
    if (row.html == Text::count_) continue;
    EXPECT_EQ(static_cast<std::size_t>(row.html), next++) << row.key;
  }
  EXPECT_EQ(next, kTextCount);
}

TEST(Settings, AnAliasIsReadOnlyWhenItsKeyIsUnset) {
  struct Case {
    const char* what;
    const char* text;
    int min_length;
    const char* enter_name;
  } cases[] = {
      {"help's min length", "[setup]\npass_min_length=8\n", 8, "Please enter user name"},
      {"help's name text", "[html]\nplease_enter_name=Name?\n", 0, "Name?"},
      {"documented key wins, before", "[setup]\npassword_min_length=6\npass_min_length=8\n", 6,
       "Please enter user name"},
      {"documented key wins, after", "[html]\nplease_enter_name=a\nenter_name=b\n", 0, "b"},
      {"alias in another section", "[html]\npass_min_length=8\n", 0, "Please enter user name"},
      {"empty alias", "[setup]\npass_min_length=\n[html]\ntitle=t\n", 0, "Please enter user name"},
  };
  for (const Case& c : cases) {
    const ParsedSettings p = parsed(c.text);
    EXPECT_EQ(p.settings.password_min_length, c.min_length) << c.what;
    EXPECT_EQ(p.settings.text(Text::enter_name), c.enter_name) << c.what;
  }
}

TEST(Settings, MinimumLengthReadsLikeAtoiWithoutOverflow) {
  struct Case {
    const char* text;
    int expected;
  } cases[] = {
      {"", 0},
      {"6", 6},
      {"  8abc", 8},
      {"\t\n+12", 12},
      {"-3", 0},
      {"abc", 0},
      {"- 5", 0},
      {"007", 7},
      {"2147483647", 2147483647},
      {"99999999999999999999999999", 2147483647},
      {"-99999999999999999999999999", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_like_atoi(c.text), c.expected) << "'" << c.text << "'";
  }
  // Read as always, told only by --check.
  const ParsedSettings p = parsed("[setup]\npassword_min_length = 8abc\n");
  EXPECT_EQ(p.settings.password_min_length, 8);
  ASSERT_EQ(p.problems.size(), 1u);
  EXPECT_FALSE(p.problems[0].strict);
}

// A key added since the first design takes only what it documents: anything
// else keeps the default, never 0 and never "off".
TEST(Settings, StrictKeysKeepTheirDefaultOnAnyOtherValue) {
  struct Case {
    const char* key;
    const char* value;
    int expected;
    bool problem;
  } cases[] = {
      {"max_failures", "xyz", 10, true},
      {"max_failures", "7x", 10, true},
      {"max_failures", "-4", 10, true},
      {"max_failures", "+3", 10, true},
      {"max_failures", "0", 0, false},  // documented: off
      {"max_failures", "3", 3, false},
      {"max_failures_per_address", "abc", 30, true},
      {"max_failures_per_address", "99999999999999999999", 30, true},
      {"failure_window", "15m", 900, true},
      {"failure_window", "0", 900, true},
      {"failure_window", "60", 60, false},
      {"hash_cost", "abc", 0, true},
      {"hash_cost", "0", 0, true},
      {"hash_cost", "12", 12, false},
  };
  for (const Case& c : cases) {
    const ParsedSettings p = parsed(std::string("[setup]\n") + c.key + " = " + c.value + "\n");
    const SettingRow* row = find_row("setup", c.key);
    ASSERT_NE(row, nullptr) << c.key;
    EXPECT_EQ(p.settings.*row->number_field, c.expected) << c.key << " = " << c.value;
    EXPECT_EQ(p.problems.size(), c.problem ? 1u : 0u) << c.key << " = " << c.value;
  }
  const ParsedSettings p = parsed("[setup]\nmax_failures = xyz\n");
  ASSERT_EQ(p.problems.size(), 1u);
  EXPECT_EQ(problem_line(p.problems[0], "/srv/x.cgi.ini"),
            "max_failures in [setup] of /srv/x.cgi.ini: \"xyz\" is not a whole number from 0 to "
            "1000000; the default 10 is used");
}

}  // namespace
}  // namespace larkspur::config
