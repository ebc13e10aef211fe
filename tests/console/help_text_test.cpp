// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/commands.h"

namespace larkspur::console {
namespace {

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string_view::npos; start = nl + 1) {
    lines.emplace_back(text.substr(start, nl - start));
  }
  EXPECT_EQ(start, text.size()) << "the text must end with a line feed";
  return lines;
}

TEST(HelpText, BoxIsFiftyFourWideAndCentred) {
  const std::vector<std::string> lines = lines_of(kHelpText);
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[0], "");
  const std::string rule = "\t" + std::string(54, '*');
  EXPECT_EQ(lines[1], rule);
  EXPECT_EQ(lines[5], rule);
  EXPECT_EQ(lines[3], "\t* <An cgi for changing apache's AuthUserFile online> *");
  for (int i : {2, 4}) {
    const std::string& line = lines[i];
    ASSERT_EQ(line.size(), 55u) << line;
    EXPECT_EQ(line.substr(0, 2), "\t*") << line;
    EXPECT_EQ(line.back(), '*') << line;
    const std::string inner = line.substr(2, 52);
    const std::size_t left = inner.find_first_not_of(' ');
    const std::size_t right = inner.size() - 1 - inner.find_last_not_of(' ');
    EXPECT_LE(left > right ? left - right : right - left, 1u) << line;
  }
  EXPECT_NE(lines[2].find("-- Larkspur --"), std::string::npos);
  EXPECT_NE(lines[4].find("Larkspur"), std::string::npos);
}

TEST(HelpText, EveryLineIsTabIndentedExceptTheBlankOnes) {
  const std::vector<std::string> lines = lines_of(kHelpText);
  ASSERT_EQ(lines.size(), 38u);  // blank line, box of five, 32 lines of text
  for (std::size_t i : {0, 6, 8, 14}) EXPECT_EQ(lines[i], "") << "line " << i;
  EXPECT_EQ(lines[29], "\t");  // the separator holds only its tab
  EXPECT_EQ(lines[37], "\tback=text for back");
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (i == 6 || i == 8 || i == 14 || i == 29) continue;
    EXPECT_GT(lines[i].size(), 1u) << "line " << i;
    EXPECT_EQ(lines[i][0], '\t') << "line " << i;
    EXPECT_NE(lines[i][1], ' ') << "line " << i;
  }
  EXPECT_EQ(kHelpText.find('\r'), std::string_view::npos);
}

}  // namespace
}  // namespace larkspur::console
