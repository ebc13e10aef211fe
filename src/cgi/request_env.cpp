// SPDX-License-Identifier: Apache-2.0
// Capture of the CGI variables and the splitting of CONTENT_TYPE.
#include "cgi/request_env.h"

#include <cstdlib>
#include <limits>

#include "platform/ascii.h"

namespace larkspur::cgi {
namespace {

std::string env_text(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

}  // namespace

RequestEnv& request_env() {
  static RequestEnv env;
  return env;
}

void capture_request_env(RequestEnv& env) {
  env.SERVER_SOFTWARE = env_text("SERVER_SOFTWARE");
  env.SERVER_NAME = env_text("SERVER_NAME");
  env.GATEWAY_INTERFACE = env_text("GATEWAY_INTERFACE");
  env.SERVER_PROTOCOL = env_text("SERVER_PROTOCOL");
  env.SERVER_PORT = env_text("SERVER_PORT");
  env.REQUEST_METHOD = env_text("REQUEST_METHOD");
  env.PATH_INFO = env_text("PATH_INFO");
  env.PATH_TRANSLATED = env_text("PATH_TRANSLATED");
  env.SCRIPT_NAME = env_text("SCRIPT_NAME");
  env.QUERY_STRING = env_text("QUERY_STRING");
  env.REMOTE_HOST = env_text("REMOTE_HOST");
  env.REMOTE_ADDR = env_text("REMOTE_ADDR");
  env.AUTH_TYPE = env_text("AUTH_TYPE");
  env.REMOTE_USER = env_text("REMOTE_USER");
  env.REMOTE_IDENT = env_text("REMOTE_IDENT");
  set_content_type(env, env_text("CONTENT_TYPE"));
  env.content_length = parse_content_length(env_text("CONTENT_LENGTH"));
  env.HTTP_ACCEPT = env_text("HTTP_ACCEPT");
  env.HTTP_USER_AGENT = env_text("HTTP_USER_AGENT");
  env.HTTP_REFERER = env_text("HTTP_REFERER");
  env.HTTP_COOKIE = env_text("HTTP_COOKIE");
}

void set_content_type(RequestEnv& env, std::string_view raw) {
  // The value is a C text: it ends at a NUL byte, if one slipped in.
  raw = raw.substr(0, raw.find('\0'));
  raw = raw.substr(0, kMaxContentType);

  std::string_view boundary;
  std::size_t media_end = raw.find(';');
  // Each ';' ends the parameter before it; the first match of "boundary="
  // wins and its value runs to whitespace, so a ';' inside it stays.
  for (std::size_t semi = media_end; semi != std::string_view::npos;
       semi = raw.find(';', semi + 1)) {
    std::size_t pos = semi + 1;
    while (pos < raw.size() && platform::is_ascii_space(raw[pos])) ++pos;
    constexpr std::string_view kKey = "boundary=";
    if (platform::ascii_istarts_with(raw.substr(pos), kKey)) {
      std::size_t start = pos + kKey.size();
      std::size_t end = start;
      while (end < raw.size() && !platform::is_ascii_space(raw[end])) ++end;
      boundary = raw.substr(start, end - start);
      break;
    }
  }
  env.boundary.assign(boundary);
  env.CONTENT_TYPE.assign(raw.substr(0, media_end));
}

std::int64_t parse_content_length(std::string_view text) {
  return platform::parse_integer(text, platform::IntegerForm::kSigned).value;
}

}  // namespace larkspur::cgi
