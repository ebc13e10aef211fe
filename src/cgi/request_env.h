// The process-wide record of the CGI variables of one request.
#pragma once

#include <cstdint>
#include <string>

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

// Fills `env` from the process environment.
void capture_request_env(RequestEnv& env);

}  // namespace larkspur::cgi
