// SPDX-License-Identifier: Apache-2.0
#include "web/page_texts.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>

#include "support/process.h"

namespace larkspur::web {
namespace {

// The configuration reference's rows "| html | key | meaning | default |", as key -> default;
// "empty" stands for the empty text, and a note in brackets after the
// default is left out. A default may end in a blank, which then stands
// before the closing " |".
std::map<std::string, std::string> reference_html_defaults() {
  const std::string reference =
      test::read_file(std::string(LARKSPUR_SOURCE_DIR) + "/docs/configuration.md");
  std::map<std::string, std::string> defaults;
  std::string_view rest = reference;
  constexpr std::string_view kRowStart = "\n| html | ";
  for (std::size_t at = rest.find(kRowStart); at != std::string_view::npos;
       at = rest.find(kRowStart)) {
    rest.remove_prefix(at + kRowStart.size());
    std::string_view row = rest.substr(0, rest.find('\n'));
    const std::string key(row.substr(0, row.find(" |")));
    if (!row.ends_with(" |")) continue;
    row.remove_suffix(2);
    std::string value(row.substr(row.rfind("| ") + 2));
    if (const auto note = value.find(" ("); note != std::string::npos) value.resize(note);
    if (value == "empty") value.clear();
    defaults[key] = value;
  }
  return defaults;
}

TEST(PageTexts, TheReferenceTableListsEveryKeyWithItsDefault) {
  std::map<std::string, std::string> table;
  for (const PageText& text : kPageTexts) {
    EXPECT_TRUE(table.emplace(text.key, text.fallback).second) << "twice: " << text.key;
  }
  EXPECT_EQ(reference_html_defaults(), table);
}

TEST(PageTexts, LookupFindsTheRowAtCompileTime) {
  static_assert(html("back").fallback == "back");
  static_assert(html("password_must_greater").fallback.ends_with("than "));
  EXPECT_EQ(html("server_error").key, "server_error");
}

}  // namespace
}  // namespace larkspur::web
