// SPDX-License-Identifier: Apache-2.0
#include "console/commands.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace larkspur::console {
namespace {

// Only the exact first argument counts, and only on a console: Apache hands
// a query without "=" such as "?-h" to a CGI as argv.
TEST(ConsoleCommand, ExactFirstArgumentWithoutAWebServer) {
  const struct {
    std::vector<std::string> args;
    const char* gateway;  // GATEWAY_INTERFACE, or nullptr for unset
    Command expected;
  } cases[] = {
      {{"x.cgi", "-h"}, nullptr, Command::help},
      {{"x.cgi", "/?"}, nullptr, Command::help},
      {{"x.cgi", "-h", "ignored"}, nullptr, Command::help},
      {{"x.cgi", "--version"}, nullptr, Command::version},
      {{"x.cgi", "--check", "extra"}, nullptr, Command::check},
      {{"x.cgi", "-H"}, nullptr, Command::none},
      {{"x.cgi", "/?x"}, nullptr, Command::none},
      {{"x.cgi", "/? "}, nullptr, Command::none},
      {{"x.cgi", "-help"}, nullptr, Command::none},
      {{"x.cgi", ""}, nullptr, Command::none},
      {{"x.cgi", "--Version"}, nullptr, Command::none},
      {{"x.cgi", "--check="}, nullptr, Command::none},
      {{"x.cgi", "x", "--check"}, nullptr, Command::none},
      {{"x.cgi", "x", "-h"}, nullptr, Command::none},
      {{"x.cgi"}, nullptr, Command::none},
      {{}, nullptr, Command::none},
      {{"x.cgi", "-h"}, "CGI/1.1", Command::none},
      {{"x.cgi", "-h"}, "", Command::none},
      {{"x.cgi", "/?"}, "", Command::none},
      {{"x.cgi", "--version"}, "CGI/1.1", Command::none},
      {{"x.cgi", "--check"}, "CGI/1.1", Command::none},
  };
  for (auto c : cases) {
    if (c.gateway) {
      setenv("GATEWAY_INTERFACE", c.gateway, 1);
    } else {
      unsetenv("GATEWAY_INTERFACE");
    }
    std::vector<char*> argv;
    for (std::string& a : c.args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(command(static_cast<int>(c.args.size()), argv.data()), c.expected)
        << (c.args.size() > 1 ? c.args[1] : "(none)") << " " << (c.gateway ? c.gateway : "(unset)");
  }
  unsetenv("GATEWAY_INTERFACE");
}

}  // namespace
}  // namespace larkspur::console
