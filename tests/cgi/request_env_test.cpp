// SPDX-License-Identifier: Apache-2.0
#include "cgi/request_env.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "cgi_fixture.h"

namespace larkspur::cgi {
namespace {

struct ContentTypeCase {
  std::string raw;
  std::string media_type;
  std::string boundary;
};

TEST(ContentType, SplitsMediaTypeAndBoundary) {
  const ContentTypeCase cases[] = {
      {"", "", ""},
      {"text/plain", "text/plain", ""},
      {"multipart/form-data; boundary=AbC", "multipart/form-data", "AbC"},
      {"Multipart/Form-Data; BOUNDARY=AbC", "Multipart/Form-Data", "AbC"},
      // Spaces before ';' stay part of the media type.
      {"multipart/form-data ; boundary=x", "multipart/form-data ", "x"},
      {"multipart/form-data; charset=utf-8; BOUNDARY=q1", "multipart/form-data", "q1"},
      // The value is taken literally up to whitespace: ';' and quotes stay.
      {"multipart/form-data; boundary=q1; charset=x", "multipart/form-data", "q1;"},
      {"multipart/form-data; boundary=\"q1\"", "multipart/form-data", "\"q1\""},
      {"multipart/form-data;boundary=a\tb", "multipart/form-data", "a"},
      {"multipart/form-data;\t \r\nboundary=z", "multipart/form-data", "z"},
      // The first match wins.
      {"m; boundary=one; boundary=two", "m", "one;"},
      {"m; xboundary=one; boundary=two", "m", "two"},
      {"m; boundary =one", "m", ""},
      {"m; boundary=", "m", ""},
      {"m;;boundary=b", "m", "b"},
      {"application/x-www-form-urlencoded; charset=UTF-8", "application/x-www-form-urlencoded", ""},
      {";boundary=b", "", "b"},
  };
  for (const ContentTypeCase& c : cases) {
    RequestEnv env;
    env.boundary = "stale";
    set_content_type(env, c.raw);
    EXPECT_EQ(env.CONTENT_TYPE, c.media_type) << "raw: " << c.raw;
    EXPECT_EQ(env.boundary, c.boundary) << "raw: " << c.raw;
  }
}

TEST(ContentType, KeepsAtMost1023Bytes) {
  const std::string full(1023, 'x');
  RequestEnv env;
  set_content_type(env, full);
  EXPECT_EQ(env.CONTENT_TYPE, full);
  set_content_type(env, full + "y");
  EXPECT_EQ(env.CONTENT_TYPE, full);

  // A boundary that straddles the cut is shortened; one beyond it is lost.
  const std::string head = "multipart/form-data; boundary=";
  const std::string value(1023 - head.size(), 'b');
  set_content_type(env, head + value + "TAIL");
  EXPECT_EQ(env.boundary, value);
  set_content_type(env, std::string(1020, 'm') + "; boundary=x");
  EXPECT_EQ(env.CONTENT_TYPE, std::string(1020, 'm'));
  EXPECT_EQ(env.boundary, "");
}

TEST(ContentLength, ParsesLeadingDigitsWithSignAndSaturates) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const struct {
    const char* text;
    std::int64_t value;
  } cases[] = {
      {"", 0},
      {"abc", 0},
      {"-", 0},
      {"+", 0},
      {"0", 0},
      {"42", 42},
      {"+42", 42},
      {"-42", -42},
      {"12abc", 12},
      {"007", 7},
      {"1 2", 1},
      {" 5", 0},
      {"--5", 0},
      {"9223372036854775807", kMax},
      {"9223372036854775808", kMax},
      {"99999999999999999999999", kMax},
      {"-9223372036854775808", kMin},
      {"-9223372036854775809", kMin},
      {"-99999999999999999999999", kMin},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_content_length(c.text), c.value) << "text: '" << c.text << "'";
  }
}

using CaptureTest = testing::CgiTest;

TEST_F(CaptureTest, FillsEveryFieldFromItsVariable) {
  for (const char* name : testing::kCgiVariables) setenv(name, name, 1);
  setenv("CONTENT_TYPE", "multipart/form-data; boundary=B1", 1);
  setenv("CONTENT_LENGTH", "123", 1);
  RequestEnv env;
  capture_request_env(env);
  EXPECT_EQ(env.SERVER_SOFTWARE, "SERVER_SOFTWARE");
  EXPECT_EQ(env.SERVER_NAME, "SERVER_NAME");
  EXPECT_EQ(env.GATEWAY_INTERFACE, "GATEWAY_INTERFACE");
  EXPECT_EQ(env.SERVER_PROTOCOL, "SERVER_PROTOCOL");
  EXPECT_EQ(env.SERVER_PORT, "SERVER_PORT");
  EXPECT_EQ(env.REQUEST_METHOD, "REQUEST_METHOD");
  EXPECT_EQ(env.PATH_INFO, "PATH_INFO");
  EXPECT_EQ(env.PATH_TRANSLATED, "PATH_TRANSLATED");
  EXPECT_EQ(env.SCRIPT_NAME, "SCRIPT_NAME");
  EXPECT_EQ(env.QUERY_STRING, "QUERY_STRING");
  EXPECT_EQ(env.REMOTE_HOST, "REMOTE_HOST");
  EXPECT_EQ(env.REMOTE_ADDR, "REMOTE_ADDR");
  EXPECT_EQ(env.AUTH_TYPE, "AUTH_TYPE");
  EXPECT_EQ(env.REMOTE_USER, "REMOTE_USER");
  EXPECT_EQ(env.REMOTE_IDENT, "REMOTE_IDENT");
  EXPECT_EQ(env.CONTENT_TYPE, "multipart/form-data");
  EXPECT_EQ(env.boundary, "B1");
  EXPECT_EQ(env.content_length, 123);
  EXPECT_EQ(env.HTTP_ACCEPT, "HTTP_ACCEPT");
  EXPECT_EQ(env.HTTP_USER_AGENT, "HTTP_USER_AGENT");
  EXPECT_EQ(env.HTTP_REFERER, "HTTP_REFERER");
  EXPECT_EQ(env.HTTP_COOKIE, "HTTP_COOKIE");
}

TEST_F(CaptureTest, UnsetVariablesReadAsEmpty) {
  RequestEnv env;
  env.REMOTE_USER = "stale";
  env.boundary = "stale";
  env.content_length = 9;
  capture_request_env(env);
  EXPECT_EQ(env.REMOTE_USER, "");
  EXPECT_EQ(env.CONTENT_TYPE, "");
  EXPECT_EQ(env.boundary, "");
  EXPECT_EQ(env.content_length, 0);
}

}  // namespace
}  // namespace larkspur::cgi
