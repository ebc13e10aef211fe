// SPDX-License-Identifier: Apache-2.0
// The program entry of a CGI request: environment, decoding, page, cleanup.
#pragma once

#include <span>
#include <string_view>

namespace larkspur::cgi {

using PageMain = int (*)();

// What the command line asks for. Arguments count only on a console: under a
// web server (GATEWAY_INTERFACE set) they are ignored, because Apache hands an
// ISINDEX-style query such as "?-h" to a CGI as argv[1]. Only the first
// argument is looked at, and it must match exactly.
enum class ConsoleCommand { none, help, version, check };
ConsoleCommand console_command(int argc, char** argv);

// Runs one request (or prints the help text) and returns the exit status:
// 0 after the help text, -1 when the input could not be decoded, otherwise
// the result of `page_main`.
int gateway_main(int argc, char** argv, PageMain page_main);

// The command-line arguments after the program name, or none at all when
// GATEWAY_INTERFACE is set: arguments are for the console only.
std::span<char* const> console_arguments(int argc, char** argv);

// Writes "Content-type: <type>\r\n\r\n" to the response stream.
void write_content_type(std::string_view type);

// A response header besides the Content-type.
struct HeaderField {
  std::string_view name;
  std::string_view value;
};

// Writes "Content-type: <type>\r\n", then "<name>: <value>\r\n" for each
// field, then the empty line. Carriage returns and line feeds inside the
// type, a name or a value are dropped, so that no configured text can end
// the header block or start a header of its own.
void write_headers(std::string_view type, std::span<const HeaderField> fields);

// The text printed for "/?" and "-h".
extern const std::string_view kHelpText;

}  // namespace larkspur::cgi
