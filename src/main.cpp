// SPDX-License-Identifier: Apache-2.0
// Wires the CGI gateway to the page driver, and the console commands. For a
// request the configuration is read first, so that the process can confine
// itself to the files it names before the first byte of the request is read.
#include <ctime>
#include <iostream>

#include "cgi/gateway.h"
#include "config/ini_file.h"
#include "platform/confine.h"
#include "platform/platform.h"
#include "platform/posix_io.h"
#include "rules/new_password_rules.h"
#include "web/config_check.h"
#include "web/pages.h"

namespace {

void confine_to_configured_files(const larkspur::config::IniFile& ini) {
#ifndef LARKSPUR_UNCONFINED
  // The log's time stamps need the time zone, which is read now, once.
  ::tzset();
  larkspur::platform::confine({
      .auth_user_file = ini.get("path", "auth_user_file"),
      .log_file = ini.get("path", "log_file"),
      .temp_dir = larkspur::platform::temp_dir(),
      .read_only = larkspur::rules::files_read(larkspur::rules::read_rule_settings(ini).settings),
  });
#else
  (void)ini;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  using larkspur::cgi::ConsoleCommand;
  larkspur::platform::forbid_core_dumps();
  larkspur::platform::use_binary_io();
  larkspur::platform::set_invocation_name(argc > 0 && argv[0] ? argv[0] : "");
  switch (larkspur::cgi::console_command(argc, argv)) {
    case ConsoleCommand::version:
      std::cout << "Larkspur " LARKSPUR_VERSION "\n" << std::flush;
      return 0;
    case ConsoleCommand::check:
      return larkspur::web::check_configuration(std::cout);
    case ConsoleCommand::help:
    case ConsoleCommand::none:
      break;
  }
  // Read-only; page_main answers "Server error!" when it found nothing.
  confine_to_configured_files(larkspur::web::load_configuration());
  return larkspur::cgi::gateway_main(argc, argv, &larkspur::web::page_main);
}
