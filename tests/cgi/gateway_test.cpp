// SPDX-License-Identifier: Apache-2.0
#include "cgi/gateway.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "cgi/form.h"
#include "cgi/request_env.h"
#include "cgi_fixture.h"

namespace larkspur::cgi {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// What the fake page saw when the gateway called it.
struct PageSeen {
  int calls = 0;
  Pairs entries;
  std::int64_t content_length = 0;
};
PageSeen g_seen;
int g_page_result = 0;

int fake_page() {
  ++g_seen.calls;
  for (const FormEntry& e : form_entries()) g_seen.entries.emplace_back(e.name, e.value);
  g_seen.content_length = request_env().content_length;
  write_content_type("text/html");
  response_stream() << "PAGE";
  return g_page_result;
}

class GatewayTest : public testing::CgiTest {
 protected:
  void SetUp() override {
    CgiTest::SetUp();
    g_seen = PageSeen{};
    g_page_result = 0;
  }

  int run() { return gateway_main(&fake_page); }

  static void set(const char* name, const char* value) {
    if (value) setenv(name, value, 1);
  }
};

constexpr const char* kPageOutput = "Content-type: text/html\r\n\r\nPAGE";

TEST_F(GatewayTest, QueryStringIsWipedOnceDecoded) {
  setenv("REQUEST_METHOD", "GET", 1);
  setenv("QUERY_STRING", "op=old-secret&p1=new-secret", 1);
  const char* raw = std::getenv("QUERY_STRING");
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(g_seen.entries, (Pairs{{"op", "old-secret"}, {"p1", "new-secret"}}));
  EXPECT_EQ(request_env().QUERY_STRING, "");
  EXPECT_EQ(std::string(raw, 27), std::string(27, '\0'));
}

TEST_F(GatewayTest, DispatchesOnMethodAndMediaType) {
  const struct {
    const char* method;
    const char* content_type;
    const char* content_length;
    const char* query;
    std::string body;
    Pairs entries;
  } cases[] = {
      {"POST",
       "application/x-www-form-urlencoded",
       "7",
       "q=1",
       "a=1&b=2",
       {{"a", "1"}, {"b", "2"}}},
      {"Post", "application/x-www-form-urlencoded", "3", nullptr, "a=1", {{"a", "1"}}},
      {"post", "APPLICATION/X-WWW-FORM-URLENCODED", "3", nullptr, "a=1", {{"a", "1"}}},
      {"POST",
       "application/x-www-form-urlencoded; charset=UTF-8",
       "3",
       nullptr,
       "a=1",
       {{"a", "1"}}},
      // Whitespace before ';' stays in the media type, which then matches nothing.
      {"POST", "application/x-www-form-urlencoded ; x=y", "3", nullptr, "a=1", {}},
      {"POST", "multipart/form-data ; boundary=x", "3", nullptr, "a=1", {}},
      {"POST", "text/plain", "3", nullptr, "a=1", {}},
      {"POST", nullptr, "3", nullptr, "a=1", {}},
      {"POST", "application/x-www-form-urlencoded", nullptr, nullptr, "a=1", {}},
      {"GET", nullptr, nullptr, "a=1&b=%41", "x=9", {{"a", "1"}, {"b", "A"}}},
      {"get", "application/x-www-form-urlencoded", "3", "c=3", "x=9", {{"c", "3"}}},
      // A smaller CONTENT_LENGTH does not cut the query string.
      {"GET", nullptr, "1", "name=bob", "", {{"name", "bob"}}},
      {"GET", nullptr, nullptr, nullptr, "", {}},
      {"HEAD", "application/x-www-form-urlencoded", "3", "a=1", "x=9", {}},
      {"POSTX", "application/x-www-form-urlencoded", "3", "a=1", "x=9", {}},
      {"", "application/x-www-form-urlencoded", "3", "a=1", "x=9", {}},
      {nullptr, "application/x-www-form-urlencoded", "3", "a=1", "x=9", {}},
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    set("REQUEST_METHOD", c.method);
    set("CONTENT_TYPE", c.content_type);
    set("CONTENT_LENGTH", c.content_length);
    set("QUERY_STRING", c.query);
    set_body(c.body);
    const std::string label = std::string(c.method ? c.method : "(unset)") + " " +
                              (c.content_type ? c.content_type : "(unset)");
    EXPECT_EQ(run(), 0) << label;
    EXPECT_EQ(g_seen.calls, 1) << label;
    EXPECT_EQ(g_seen.entries, c.entries) << label;
    EXPECT_EQ(out_.str(), kPageOutput) << label;
    EXPECT_TRUE(form_entries().empty()) << label;
  }
}

TEST_F(GatewayTest, MultipartGoesToItsDecoderWithTheBoundaryInItsCase) {
  const std::string body =
      "--AbC\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--AbC--\r\n";
  const struct {
    std::string body;
    int status;
    Pairs entries;
  } cases[] = {
      {body, 0, {{"a", "1"}}},
      // A body that ends inside a part cannot be decoded.
      {body.substr(0, 50), -1, {}},
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    setenv("REQUEST_METHOD", "POST", 1);
    setenv("CONTENT_TYPE", "Multipart/Form-Data; boundary=AbC", 1);
    setenv("CONTENT_LENGTH", std::to_string(body.size()).c_str(), 1);
    set_body(c.body);
    EXPECT_EQ(run(), c.status) << c.body.size();
    EXPECT_EQ(g_seen.entries, c.entries) << c.body.size();
    EXPECT_EQ(out_.str(), c.status == 0 ? kPageOutput : "") << c.body.size();
  }
}

TEST_F(GatewayTest, GetSetsContentLengthToTheQueryLength) {
  setenv("REQUEST_METHOD", "GET", 1);
  setenv("QUERY_STRING", "name=bob&op=x", 1);
  setenv("CONTENT_LENGTH", "99", 1);
  run();
  EXPECT_EQ(g_seen.content_length, 13);
}

TEST_F(GatewayTest, UndecodableInputEndsSilently) {
  const struct {
    const char* content_length;
    std::string body;
  } cases[] = {
      {"10", "a=1"},
      {"-1", "a=1"},
      {"1000000000000000000", "a=1&b=2"},
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    setenv("REQUEST_METHOD", "POST", 1);
    setenv("CONTENT_TYPE", "application/x-www-form-urlencoded", 1);
    setenv("CONTENT_LENGTH", c.content_length, 1);
    set_body(c.body);
    EXPECT_EQ(run(), -1) << c.content_length;
    EXPECT_EQ(g_seen.calls, 0) << c.content_length;
    EXPECT_EQ(out_.str(), "") << c.content_length;
    EXPECT_TRUE(form_entries().empty()) << c.content_length;
  }
}

TEST_F(GatewayTest, ReturnsThePageResult) {
  g_page_result = 7;
  EXPECT_EQ(run(), 7);
  EXPECT_EQ(g_seen.calls, 1);
}

TEST_F(GatewayTest, CapturesTheEnvironmentForThePage) {
  setenv("SCRIPT_NAME", "/cgi-bin/x.cgi", 1);
  setenv("REMOTE_USER", "alice", 1);
  request_env().REMOTE_ADDR = "stale";
  run();
  EXPECT_EQ(request_env().SCRIPT_NAME, "/cgi-bin/x.cgi");
  EXPECT_EQ(request_env().REMOTE_USER, "alice");
  EXPECT_EQ(request_env().REMOTE_ADDR, "");
}

TEST_F(GatewayTest, WritesTheContentTypeHeader) {
  write_content_type("text/html");
  EXPECT_EQ(out_.str(), "Content-type: text/html\r\n\r\n");
}

TEST_F(GatewayTest, WritesFurtherHeadersAndKeepsLineBreaksOutOfThem) {
  struct Case {
    const char* why;
    std::string_view type;
    std::vector<HeaderField> fields;
    const char* expected;
  } cases[] = {
      {"none", "text/html", {}, "Content-type: text/html\r\n\r\n"},
      {"in order",
       "text/html; charset=utf-8",
       {{"Cache-Control", "no-store"}, {"Referrer-Policy", "no-referrer"}},
       "Content-type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
       "Referrer-Policy: no-referrer\r\n\r\n"},
      {"a configured charset cannot end the header block",
       "text/html; charset=x\r\n\r\n<script>",
       {},
       "Content-type: text/html; charset=x<script>\r\n\r\n"},
      {"nor add a header",
       "a",
       {{"X-A\n", "b\r\nSet-Cookie: c"}},
       "Content-type: a\r\nX-A: bSet-Cookie: c\r\n\r\n"},
  };
  for (const Case& c : cases) {
    out_.str("");
    write_headers(c.type, c.fields);
    EXPECT_EQ(out_.str(), c.expected) << c.why;
  }
}

}  // namespace
}  // namespace larkspur::cgi
