// SPDX-License-Identifier: Apache-2.0
// Reading the drivers' connection texts (DBDParams) as far as the program
// must: to hide their passwords and to know where a server listens.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace larkspur::store {

// Where each password value sits in `params`: (offset, length).
std::vector<std::pair<std::size_t, std::size_t>> password_spans(std::string_view driver,
                                                                std::string_view params);

// `params` with each password value replaced by "***".
std::string redact_params(std::string_view driver, std::string_view params);

// `text` (a driver's message) with every password value of `params` in it
// replaced by "***", and cut at its first line.
std::string scrub_reason(std::string_view driver, std::string_view params, std::string_view text);

// A value of a key=value text as APR-util's mysql driver reads it, or empty.
std::string mysql_param(std::string_view params, std::string_view key);

// Where the params say the server listens, as far as confinement must know.
struct ServerEndpoint {
  int tcp_port = 0;        // 0: a Unix socket (or a file)
  bool host_name = false;  // the host is a name the resolver must look up
};
ServerEndpoint server_endpoint(std::string_view driver, std::string_view params);

// pgsql's conninfo (key=value or URI) with connect_timeout set to `seconds`.
std::string with_connect_timeout(std::string_view params, int seconds);

}  // namespace larkspur::store
