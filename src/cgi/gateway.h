// SPDX-License-Identifier: Apache-2.0
// The program entry of a CGI request: environment, decoding, page, cleanup.
#pragma once

#include <functional>
#include <span>
#include <string_view>

namespace larkspur::cgi {

// The page, run once the request is decoded.
using PageMain = std::function<int()>;

// Runs one request and returns the exit status: -1 when the input could not
// be decoded, otherwise the result of `page_main`. The console commands are
// decided before, outside the gateway.
int gateway_main(PageMain page_main);

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

}  // namespace larkspur::cgi
