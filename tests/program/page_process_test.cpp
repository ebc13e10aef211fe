// SPDX-License-Identifier: Apache-2.0
// The page frame, the form page, the help text and the configuration failure,
// as the web server sees them from the running program.
#include <gtest/gtest.h>

#include "cgi_site.h"
#include "support/modern_page.h"

namespace larkspur::test {
namespace {

TEST(PageProcess, FirstVisitWithDefaults) {
  Site site;
  site.write_ini("[path]\nauth_user_file=htpasswd\n");
  ProcessResult r = site.get();
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, framed(form_body()));
  EXPECT_FALSE(file_exists(site.log_file()));
}

TEST(PageProcess, FirstVisitWithConfiguredTexts) {
  Site site;
  site.write_ini(
      "[html]\n"
      "title = <i>Passwords</i>\n"
      "description = \xC7\xEB\xD0\xDE\xB8\xC4\xC3\xDC\xC2\xEB\r\n"
      "your_name = Login\n"
      "old_password = Old\n"
      "new_password1 = New\n"
      "new_password2 = Again\n"
      "btn_change = Save\n"
      "btn_reset = Undo\n");
  ProcessResult r = site.get();
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, framed(form_body({.description = "\xC7\xEB\xD0\xDE\xB8\xC4\xC3\xDC\xC2\xEB",
                                     .your_name = "Login",
                                     .old_password = "Old",
                                     .new_password1 = "New",
                                     .new_password2 = "Again",
                                     .btn_change = "Save",
                                     .btn_reset = "Undo"}),
                          "<i>Passwords</i>"));
}

TEST(PageProcess, StyleCarriesTheFontNamesAsGb2312Bytes) {
  Site site;
  site.write_ini("[html]\ntitle=t\n");
  ProcessResult r = site.get();
  const std::string fonts =
      "font-family:\xD0\xC2\xCB\xCE\xCC\xE5,\xCB\xCE\xCC\xE5,Tahoma;}</style>";
  EXPECT_NE(r.out.find("</HEAD>\n" + kStyle.substr(0, 23)), std::string::npos);
  EXPECT_NE(r.out.find(fonts + "<BODY>\n"), std::string::npos);
  EXPECT_EQ(r.out.find("\xE5\xAE\x8B"), std::string::npos);  // no UTF-8 font name
}

TEST(PageProcess, Utf8CharsetIsDeclaredAndSpellsTheFontNamesInUtf8) {
  Site site;
  site.write_ini("[html]\ntitle=t\ncharset = UTF8\n");
  ProcessResult r = site.get();
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("<TITLE>t</TITLE><META http-equiv=Content-Type "
                       "content=\"text/html; charset=utf-8\">\n</HEAD>\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("font-family:\xE6\x96\xB0\xE5\xAE\x8B\xE4\xBD\x93,"
                       "\xE5\xAE\x8B\xE4\xBD\x93,Tahoma;}</style><BODY>\n"),
            std::string::npos);
  EXPECT_EQ(r.out.find("\xD0\xC2"), std::string::npos);  // no GB2312 font name left
}

TEST(PageProcess, ScriptNameIsEscapedInTheFormAction) {
  Site site;
  site.write_ini("[path]\nauth_user_file=htpasswd\n");
  ProcessResult r = site.get("", {"SCRIPT_NAME=/cgi-bin/a\"b<c&d.cgi"});
  EXPECT_NE(r.out.find(" action=\"/cgi-bin/a&#34;b<c&d.cgi\">\n<br>\n"), std::string::npos)
      << r.out;
}

TEST(PageProcess, MissingOrEmptyConfigurationGivesAnUnclosedServerErrorPage) {
  const std::string expected = kHead + linked_message("Server error!");
  for (const char* ini : {static_cast<const char*>(nullptr), "", "# no sections\ntitle=x\n"}) {
    Site site;
    if (ini) site.write_ini(ini);
    ProcessResult r = site.post(change_body("alice", "a", "b", "b"));
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, expected) << (ini ? ini : "(no file)");
    EXPECT_FALSE(file_exists(site.log_file()));
  }
}

TEST(PageProcess, HelpArgumentsPrintTheHelpText) {
  Site site;
  site.write_ini("[path]\nauth_user_file=htpasswd\n");
  std::string first;
  // From a console: no GATEWAY_INTERFACE.
  std::vector<std::string> console = site.environment({"REQUEST_METHOD=GET"});
  std::erase_if(console, [](const std::string& v) { return v.starts_with("GATEWAY_INTERFACE="); });
  for (const char* arg : {"-h", "/?"}) {
    Command command = site.command(console);
    command.argv = {cgi_binary(), arg};
    ProcessResult r = run_process(command);
    EXPECT_EQ(r.exit_status, 0) << arg;
    EXPECT_EQ(r.out.rfind("\n\t" + std::string(54, '*') + "\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\n\t/? or -h for this help.\n"), std::string::npos);
    EXPECT_TRUE(r.out.ends_with("\n\tback=text for back\n"));
    EXPECT_EQ(r.out.find("Content-type"), std::string::npos);
    if (first.empty()) first = r.out;
    EXPECT_EQ(r.out, first);
  }
  Command not_help = site.command(console);
  not_help.argv = {cgi_binary(), "-H"};
  EXPECT_EQ(run_process(not_help).out, framed(form_body()));
}

TEST(PageProcess, ShortPostBodyEndsWithNoOutput) {
  Site site;
  site.write_ini("[path]\nauth_user_file=htpasswd\n");
  Command command = site.post_spec("name=alice&op=x");
  for (std::string& var : command.env) {
    if (var.rfind("CONTENT_LENGTH=", 0) == 0) var = "CONTENT_LENGTH=100";
  }
  ProcessResult r = run_process(command);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, "");
}

TEST(PageProcess, PostWithoutTheSubmitFieldShowsTheFormAgain) {
  Site site;
  site.write_ini("[path]\nauth_user_file=htpasswd\n");
  ProcessResult r = site.post("name=alice&op=x&p1=y&p2=y");
  EXPECT_EQ(r.out, framed(form_body()));
}

TEST(PageProcess, SubmitFieldInTheQueryStringIsRefused) {
  Site site;
  site.write_ini("[path]\nauth_user_file=htpasswd\nlog_file=activity.log\n");
  ProcessResult r = site.get("chgpasswd=");
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, framed(linked_message("Please use the form to change your password")));
  const std::string log = read_file(site.log_file());
  EXPECT_TRUE(log.ends_with("] [10.0.0.5][webuser] Change refused: not sent by POST\n")) << log;
}

TEST(PageProcess, ModernLayoutFramesTheFormAndTheChange) {
  Site site;
  site.write_ini("[path]\nauth_user_file=htpasswd\n[html]\nlayout = modern\ncharset = UTF-8\n");
  const std::string head =
      "Content-type: text/html; charset=utf-8\r\n" + kModernHeaders +
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  const std::string end = "</main>\n</body>\n</html>\n";
  ProcessResult form = site.get();
  EXPECT_EQ(form.exit_status, 0) << form.err;
  EXPECT_TRUE(form.out.starts_with(head)) << form.out;
  EXPECT_TRUE(form.out.ends_with("</button></div>\n</form>\n" + end)) << form.out;

  ProcessResult change = site.post("chgpasswd=");  // changes run only for a POST
  EXPECT_TRUE(change.out.starts_with(head)) << change.out;
  EXPECT_TRUE(change.out.ends_with(
      "<div class=\"message failure\" role=\"alert\">Please enter user name</div>\n"
      "<p class=\"back\"><a href=\"/cgi-bin/larkspur.cgi\">back</a></p>\n" +
      end))
      << change.out;
}

}  // namespace
}  // namespace larkspur::test
