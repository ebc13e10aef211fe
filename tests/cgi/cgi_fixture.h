// SPDX-License-Identifier: Apache-2.0
// A clean gateway for each test: no CGI variables set, an empty request
// environment and form list, and in-memory request and response streams.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "cgi/form.h"
#include "cgi/request_env.h"
#include "cgi/streams.h"

namespace larkspur::cgi::testing {

inline constexpr std::array<const char*, 21> kCgiVariables = {
    "SERVER_SOFTWARE", "SERVER_NAME",    "GATEWAY_INTERFACE", "SERVER_PROTOCOL", "SERVER_PORT",
    "REQUEST_METHOD",  "PATH_INFO",      "PATH_TRANSLATED",   "SCRIPT_NAME",     "QUERY_STRING",
    "REMOTE_HOST",     "REMOTE_ADDR",    "AUTH_TYPE",         "REMOTE_USER",     "REMOTE_IDENT",
    "CONTENT_TYPE",    "CONTENT_LENGTH", "HTTP_ACCEPT",       "HTTP_USER_AGENT", "HTTP_REFERER",
    "HTTP_COOKIE"};

class CgiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::size_t i = 0; i < kCgiVariables.size(); ++i) {
      const char* value = std::getenv(kCgiVariables[i]);
      if (value) saved_[i] = value;
      unsetenv(kCgiVariables[i]);
    }
    reset_gateway();
    set_body("");
    out_.str("");
    out_.clear();
    set_request_stream(&in_);
    set_response_stream(&out_);
  }

  void TearDown() override {
    reset_gateway();
    set_request_stream(nullptr);
    set_response_stream(nullptr);
    for (std::size_t i = 0; i < kCgiVariables.size(); ++i) {
      if (saved_[i]) {
        setenv(kCgiVariables[i], saved_[i]->c_str(), 1);
      } else {
        unsetenv(kCgiVariables[i]);
      }
    }
  }

  static void reset_gateway() {
    form_free_all();
    request_env() = RequestEnv{};
  }

  void set_body(const std::string& body) {
    in_.str(body);
    in_.clear();
  }

  std::istringstream in_;
  std::ostringstream out_;

 private:
  std::array<std::optional<std::string>, kCgiVariables.size()> saved_;
};

}  // namespace larkspur::cgi::testing
