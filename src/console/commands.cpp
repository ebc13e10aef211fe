// SPDX-License-Identifier: Apache-2.0
#include "console/commands.h"

#include <cstdlib>

#include "store/open_store.h"

namespace larkspur::console {

std::span<char* const> arguments(int argc, char** argv) {
  // Under a web server the arguments are not ours to read: for a query
  // without "=" (such as "?-h") the server passes the query as argv.
  if (std::getenv("GATEWAY_INTERFACE") != nullptr || argc < 2 || argv == nullptr) return {};
  return {argv + 1, static_cast<std::size_t>(argc - 1)};
}

Command command(int argc, char** argv) {
  const std::span<char* const> args = arguments(argc, argv);
  if (args.empty() || args[0] == nullptr) return Command::none;
  const std::string_view first = args[0];
  if (first == "/?" || first == "-h") return Command::help;
  if (first == "--version") return Command::version;
  if (first == "--check") return Command::check;
  return Command::none;
}

int run(Command command, std::ostream& out) {
  switch (command) {
    case Command::help:
      out << kHelpText << std::flush;
      return 0;
    case Command::version:
      out << "Larkspur " LARKSPUR_VERSION "\n"
          << "stores: " << store::stores_offered() << '\n'
          << std::flush;
      return 0;
    case Command::check:
      return check_configuration(out);
    case Command::none:
      break;
  }
  return 0;
}

}  // namespace larkspur::console
