// SPDX-License-Identifier: Apache-2.0
// Capture of the CGI variables and the splitting of CONTENT_TYPE.
#include "cgi/request_env.h"

#include <cstdlib>
#include <limits>

namespace larkspur::cgi {
namespace {

std::string env_text(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

constexpr char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The C library's whitespace set, fixed so that no locale can widen it.
constexpr bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

RequestEnv& request_env() {
  static RequestEnv env;
  return env;
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ascii_istarts_with(a, b);
}

bool ascii_istarts_with(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (ascii_lower(text[i]) != ascii_lower(prefix[i])) return false;
  }
  return true;
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
    while (pos < raw.size() && is_space(raw[pos])) ++pos;
    constexpr std::string_view kKey = "boundary=";
    if (ascii_istarts_with(raw.substr(pos), kKey)) {
      std::size_t start = pos + kKey.size();
      std::size_t end = start;
      while (end < raw.size() && !is_space(raw[end])) ++end;
      boundary = raw.substr(start, end - start);
      break;
    }
  }
  env.boundary.assign(boundary);
  env.CONTENT_TYPE.assign(raw.substr(0, media_end));
}

std::int64_t parse_content_length(std::string_view text) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  // Accumulate towards the sign so that the most negative value fits too.
  std::int64_t value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    const int digit = text[pos] - '0';
    if (negative) {
      if (value < (kMin + digit) / 10) return kMin;
      value = value * 10 - digit;
    } else {
      if (value > (kMax - digit) / 10) return kMax;
      value = value * 10 + digit;
    }
  }
  return value;
}

}  // namespace larkspur::cgi
