// SPDX-License-Identifier: Apache-2.0
// Wires the CGI gateway to the page driver, and the console commands.
#include <iostream>

#include "cgi/gateway.h"
#include "platform/platform.h"
#include "web/config_check.h"
#include "web/pages.h"

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
  return larkspur::cgi::gateway_main(argc, argv, &larkspur::web::page_main);
}
