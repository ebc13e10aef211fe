// SPDX-License-Identifier: Apache-2.0
// The process-wide record of the CGI variables of one request.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace larkspur::cgi {

struct RequestEnv {
  std::string SERVER_SOFTWARE;
  std::string SERVER_NAME;
  std::string GATEWAY_INTERFACE;
  std::string SERVER_PROTOCOL;
  std::string SERVER_PORT;
  std::string REQUEST_METHOD;
  std::string PATH_INFO;
  std::string PATH_TRANSLATED;
  std::string SCRIPT_NAME;
  std::string QUERY_STRING;
  std::string REMOTE_HOST;
  std::string REMOTE_ADDR;
  std::string AUTH_TYPE;
  std::string REMOTE_USER;
  std::string REMOTE_IDENT;
  // The media type only, once the boundary has been taken out; at most 1023 bytes.
  std::string CONTENT_TYPE;
  std::string boundary;
  std::int64_t content_length = 0;
  std::string HTTP_ACCEPT;
  std::string HTTP_USER_AGENT;
  std::string HTTP_REFERER;
  std::string HTTP_COOKIE;
};

// The one instance of the process.
RequestEnv& request_env();

// Fills `env` from the process environment; unset variables read as empty.
void capture_request_env(RequestEnv& env);

// The longest CONTENT_TYPE kept; the rest is cut off without notice.
inline constexpr std::size_t kMaxContentType = 1023;

// Stores a raw CONTENT_TYPE: cut to 1023 bytes, then split into the media
// type and the boundary parameter.
void set_content_type(RequestEnv& env, std::string_view raw);

// The leading decimal digits of CONTENT_LENGTH, with an optional sign; 0 when
// none. Values beyond the range of the result saturate.
std::int64_t parse_content_length(std::string_view text);

}  // namespace larkspur::cgi
