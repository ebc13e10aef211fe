// SPDX-License-Identifier: Apache-2.0
// The program entry of one CGI request: capture the environment, decode the
// form input, run the page and clean up after it.
#include "cgi/gateway.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <ostream>
#include <span>
#include <string_view>

#include "cgi/form.h"
#include "cgi/multipart.h"
#include "cgi/request_env.h"
#include "cgi/streams.h"
#include "platform/ascii.h"
#include "platform/wipe.h"

namespace larkspur::cgi {
namespace {

// A query string can hold passwords as much as a body can: once decoded,
// neither our copy nor the environment's keeps it.
void wipe_query_string(RequestEnv& env) {
  platform::secure_wipe(env.QUERY_STRING);
  if (char* raw = std::getenv("QUERY_STRING")) platform::secure_wipe(raw, std::strlen(raw));
}

// Decodes the input the method and media type call for; anything else is
// not a failure, it simply yields no entries.
DecodeResult decode_form_input(RequestEnv& env) {
  if (platform::ascii_iequals(env.REQUEST_METHOD, "post")) {
    if (platform::ascii_iequals(env.CONTENT_TYPE, "application/x-www-form-urlencoded")) {
      return form_read_urlencoded_body();
    }
    if (platform::ascii_iequals(env.CONTENT_TYPE, "multipart/form-data")) {
      return form_decode_multipart();
    }
    return DECODE_SUCCESS;
  }
  if (platform::ascii_iequals(env.REQUEST_METHOD, "get")) {
    env.content_length = static_cast<std::int64_t>(env.QUERY_STRING.size());
    const DecodeResult result = form_decode_query();
    wipe_query_string(env);
    return result;
  }
  return DECODE_SUCCESS;
}

}  // namespace

int gateway_main(PageMain page_main) {
  // Standard input and output need no binary mode here: the streams pass
  // bytes unchanged.
  try {
    RequestEnv& env = request_env();
    capture_request_env(env);
    form_free_all();

    // A request that cannot be decoded gets no response at all.
    if (decode_form_input(env) != DECODE_SUCCESS) {
      form_free_all();
      return -1;
    }

    const int result = page_main();
    form_free_all();
    response_stream().flush();
    return result;
  } catch (...) {
    // Nothing may escape the program entry; upload files must still go.
    form_free_all();
    response_stream().flush();
    return -1;
  }
}

namespace {

void write_header_text(std::ostream& out, std::string_view text) {
  for (char c : text) {
    if (c != '\r' && c != '\n') out.put(c);
  }
}

}  // namespace

void write_content_type(std::string_view type) { write_headers(type, {}); }

void write_headers(std::string_view type, std::span<const HeaderField> fields) {
  std::ostream& out = response_stream();
  out << "Content-type: ";
  write_header_text(out, type);
  out << "\r\n";
  for (const HeaderField& field : fields) {
    write_header_text(out, field.name);
    out << ": ";
    write_header_text(out, field.value);
    out << "\r\n";
  }
  out << "\r\n";
}

}  // namespace larkspur::cgi
