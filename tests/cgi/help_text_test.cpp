#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cgi/gateway.h"

namespace larkspur::cgi {
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

TEST(HelpText, ListsTheIniKeysLineByLine) {
  const std::vector<std::string> lines = lines_of(kHelpText);
  const std::vector<std::string> after_box = {
      "",
      "\t/? or -h for this help.",
      "",
      "\tUsing this cgi need a .ini file.",
      "\tFollowing is an example.",
      "\tIf this cgi name is changed to example.cgi,",
      "\tthan .ini file's name is example.cgi.ini,",
      "\tand .ini file's content may be these:",
      "",
      "\t[path]",
      "\tauth_user_file=path/to/AuthUserFile",
      "\tlog_file=logfilename",
      "\t[setup]",
      "\tpass_min_length=1",
      "\t[html]",
      "\ttitle=html title",
      "\tdescription=description at the top of the html page",
      "\tyour_name = text befor textbox username",
      "\told_password = text befor textbox old password",
      "\tnew_password1 = text befor textbox new password",
      "\tnew_password2 = text befor textbox confirm new password",
      "\tbtn_change = text for button change",
      "\tbtn_reset = text for button reset",
      "\t",
      "\tchange_password_ok=text after changed password successfully",
      "\tchange_password_failed=text after changed password failed",
      "\told_password_error=text after the old password is incorrect",
      "\tserver_error=text after server error",
      "\tpassword_must_greater=text for password must greater than a number",
      "\ttwo_password_not_matched=text after two passwords are not matched",
      "\tplease_enter_name=text for must enter a user name",
      "\tback=text for back",
  };
  ASSERT_EQ(lines.size(), 6 + after_box.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 6, lines.end()), after_box);
  EXPECT_EQ(kHelpText.find('\r'), std::string_view::npos);
  EXPECT_EQ(kHelpText.find('%'), std::string_view::npos);
}

}  // namespace
}  // namespace larkspur::cgi
