// SPDX-License-Identifier: Apache-2.0
// Wires the CGI gateway to the page driver, and the console commands. For a
// request the configuration is read first, so that the process can confine
// itself to the files it names before the first byte of the request is read.
#include <ctime>
#include <iostream>

#include "cgi/gateway.h"
#include "config/ini_file.h"
#include "log/activity_log.h"
#include "platform/confine.h"
#include "platform/platform.h"
#include "platform/posix_io.h"
#include "web/config_check.h"
#include "web/pages.h"

namespace {

void confine_to_configured_files(const larkspur::config::IniFile& ini, bool serving) {
#ifndef LARKSPUR_UNCONFINED
  // The log's time stamps need the time zone, which is read now, once; the
  // log itself is opened now, so that no right over its path remains.
  ::tzset();
  if (serving) larkspur::logging::keep_log_open(ini.get("path", "log_file"));
  larkspur::platform::confine({.auth_user_file = ini.get("path", "auth_user_file")});
#else
  (void)ini;
  (void)serving;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  using larkspur::cgi::ConsoleCommand;
  larkspur::platform::forbid_core_dumps();
  larkspur::platform::use_binary_io();
  larkspur::platform::set_invocation_name(argc > 0 && argv[0] ? argv[0] : "");
  const ConsoleCommand command = larkspur::cgi::console_command(argc, argv);
  switch (command) {
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
  confine_to_configured_files(larkspur::web::load_configuration(), command == ConsoleCommand::none);
  return larkspur::cgi::gateway_main(argc, argv, &larkspur::web::page_main);
}
