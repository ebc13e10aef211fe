// SPDX-License-Identifier: Apache-2.0
#include "store/dbd_params.h"

#include <algorithm>
#include <cctype>

namespace larkspur::store {
namespace {

using Spans = std::vector<std::pair<std::size_t, std::size_t>>;

bool is_alpha(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Every key=value of `params`: the key is the run of letters and '_' before
// '=', the value what follows, up to a delimiter, or a quoted text when
// `quotes` (libpq's 'a b\'c').
template <typename Visit>
void each_pair(std::string_view params, std::string_view delimiters, bool quotes, Visit visit) {
  for (std::size_t eq = params.find('='); eq != std::string_view::npos;
       eq = params.find('=', eq + 1)) {
    std::size_t key_end = eq;
    while (key_end > 0 && is_space(params[key_end - 1])) --key_end;
    std::size_t key_start = key_end;
    while (key_start > 0 && (is_alpha(params[key_start - 1]) || params[key_start - 1] == '_')) {
      --key_start;
    }
    std::size_t value = eq + 1;
    while (value < params.size() && is_space(params[value])) ++value;
    std::size_t end = value;
    if (quotes && value < params.size() && params[value] == '\'') {
      for (end = value + 1; end < params.size() && params[end] != '\''; ++end) {
        if (params[end] == '\\' && end + 1 < params.size()) ++end;
      }
      if (end < params.size()) ++end;
    } else {
      while (end < params.size() && delimiters.find(params[end]) == std::string_view::npos) ++end;
    }
    visit(params.substr(key_start, key_end - key_start), value, end - value);
    eq = std::max(eq, end == 0 ? 0 : end - 1);
  }
}

constexpr std::string_view kMysqlDelimiters = " \r\n\t;|,";
constexpr std::string_view kPgsqlDelimiters = " \r\n\t\f\v&";

bool is_uri(std::string_view params) {
  return params.starts_with("postgresql://") || params.starts_with("postgres://");
}

}  // namespace

Spans password_spans(std::string_view driver, std::string_view params) {
  Spans spans;
  if (driver == "mysql") {
    // APR-util matches a key by its first letters: "pa=" is the password too.
    each_pair(params, kMysqlDelimiters, false,
              [&](std::string_view key, std::size_t at, std::size_t length) {
                const bool pass =
                    !key.empty() && (iequals(key, std::string_view("pass").substr(0, key.size())) ||
                                     iequals(key, "password"));
                if (pass && length > 0) spans.emplace_back(at, length);
              });
  } else if (driver == "pgsql") {
    if (is_uri(params)) {
      const std::size_t authority = params.find("://") + 3;
      const std::size_t host_end = std::min(params.find_first_of("/?", authority), params.size());
      const std::size_t at = params.rfind('@', host_end);
      if (at != std::string_view::npos && at >= authority) {
        const std::size_t colon = params.find(':', authority);
        if (colon < at && at - colon > 1) spans.emplace_back(colon + 1, at - colon - 1);
      }
    }
    each_pair(params, kPgsqlDelimiters, !is_uri(params),
              [&](std::string_view key, std::size_t at, std::size_t length) {
                if (key == "password" && length > 0) spans.emplace_back(at, length);
              });
  }
  std::sort(spans.begin(), spans.end());
  return spans;
}

std::string redact_params(std::string_view driver, std::string_view params) {
  std::string shown(params);
  const Spans spans = password_spans(driver, params);
  for (auto it = spans.rbegin(); it != spans.rend(); ++it)
    shown.replace(it->first, it->second, "***");
  return shown;
}

std::string scrub_reason(std::string_view driver, std::string_view params, std::string_view text) {
  std::string reason(text.substr(0, std::min(text.find_first_of("\r\n"), text.size())));
  while (!reason.empty() && is_space(reason.back())) reason.pop_back();
  for (const auto& [at, length] : password_spans(driver, params)) {
    std::string_view secret = params.substr(at, length);
    if (secret.size() >= 2 && secret.front() == '\'' && secret.back() == '\'') {
      secret = secret.substr(1, secret.size() - 2);
    }
    if (secret.empty()) continue;
    for (std::size_t found = reason.find(secret); found != std::string::npos;
         found = reason.find(secret, found + 3)) {
      reason.replace(found, secret.size(), "***");
    }
  }
  if (reason.empty()) reason = "the driver gave no reason";
  return reason;
}

std::string mysql_param(std::string_view params, std::string_view key) {
  std::string found;
  each_pair(params, kMysqlDelimiters, false,
            [&](std::string_view k, std::size_t at, std::size_t length) {
              if (iequals(k, key)) found = params.substr(at, length);
            });
  return found;
}

namespace {

// A numeric IPv4 or IPv6 address needs no resolver; anything else does.
bool is_address(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return true;
  if (host.find(':') != std::string_view::npos) return true;
  return !host.empty() && host.find_first_not_of("0123456789.") == std::string_view::npos;
}

int port_number(std::string_view text, int fallback) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string_view::npos) {
    return fallback;
  }
  const int port = std::stoi(std::string(text));
  return port > 0 && port <= 65535 ? port : fallback;
}

ServerEndpoint tcp_endpoint(std::string_view host, std::string_view hostaddr, std::string_view port,
                            int default_port) {
  ServerEndpoint endpoint;
  // libpq connects to hostaddr when given, else to the first host of a list.
  if (hostaddr.empty()) {
    host = host.substr(0, std::min(host.find(','), host.size()));
    if (host.empty() || host.front() == '/' || host.front() == '@' || host.starts_with("%2F") ||
        host.starts_with("%2f")) {
      return endpoint;
    }
    endpoint.host_name = !is_address(host);
  }
  port = port.substr(0, std::min(port.find(','), port.size()));
  endpoint.tcp_port = port_number(port, default_port);
  return endpoint;
}

}  // namespace

ServerEndpoint server_endpoint(std::string_view driver, std::string_view params) {
  if (driver == "mysql") {
    const std::string host = mysql_param(params, "host");
    if (host.empty() || host == "localhost") return {};
    return tcp_endpoint(host, "", mysql_param(params, "port"), 3306);
  }
  if (driver != "pgsql") return {};
  std::string host, hostaddr, port;
  std::string_view pairs = params;
  if (is_uri(params)) {
    // postgresql://[user[:password]@][host][:port][/dbname][?key=value&...]
    const std::size_t authority = params.find("://") + 3;
    const std::size_t end = std::min(params.find_first_of("/?", authority), params.size());
    std::string_view hostport = params.substr(authority, end - authority);
    if (const std::size_t at = hostport.rfind('@'); at != std::string_view::npos) {
      hostport = hostport.substr(at + 1);
    }
    const std::size_t bracket = hostport.rfind(']');
    const std::size_t colon = hostport.rfind(':');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
      port = hostport.substr(colon + 1);
      hostport = hostport.substr(0, colon);
    }
    host = hostport;
    const std::size_t query = params.find('?');
    pairs = query == std::string_view::npos ? std::string_view() : params.substr(query + 1);
  }
  each_pair(pairs, kPgsqlDelimiters, !is_uri(params),
            [&](std::string_view key, std::size_t at, std::size_t length) {
              std::string value(pairs.substr(at, length));
              if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
                value = value.substr(1, value.size() - 2);
              }
              if (key == "host") host = value;
              if (key == "hostaddr") hostaddr = value;
              if (key == "port") port = value;
            });
  return tcp_endpoint(host, hostaddr, port, 5432);
}

std::string with_connect_timeout(std::string_view params, int seconds) {
  std::string out(params);
  const std::string value = std::to_string(seconds);
  if (is_uri(params)) {
    out += (params.find('?') == std::string_view::npos ? "?" : "&");
    out += "connect_timeout=" + value;
  } else {
    // libpq takes the last of a repeated key.
    out += " connect_timeout=" + value;
  }
  return out;
}

}  // namespace larkspur::store
