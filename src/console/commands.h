// SPDX-License-Identifier: Apache-2.0
// The console commands: "-h" and "/?" for the help text, "--version" and
// "--check". Decided once, from the command line alone, before any INI file
// is read: a request is everything else.
#pragma once

#include <ostream>
#include <span>
#include <string_view>

namespace larkspur::console {

// What the command line asks for. Arguments count only on a console: under a
// web server (GATEWAY_INTERFACE set) they are ignored, because Apache hands an
// ISINDEX-style query such as "?-h" to a CGI as argv[1]. Only the first
// argument is looked at, and it must match exactly.
enum class Command { none, help, version, check };
Command command(int argc, char** argv);

// The command-line arguments after the program name, or none at all when
// GATEWAY_INTERFACE is set: arguments are for the console only.
std::span<char* const> arguments(int argc, char** argv);

// Carries out `command` (not none) and returns the exit status.
int run(Command command, std::ostream& out);

// Reads the INI file as a request would and checks, as the user running it,
// everything a change needs: the INI file's settings, the AuthUserFile, its
// directory and the log. Writes one line per check, "ok ..." or "FAIL ...:
// reason", and returns 0 only when every check passed, else 1.
int check_configuration(std::ostream& out);

// The text printed for "/?" and "-h".
extern const std::string_view kHelpText;

}  // namespace larkspur::console
