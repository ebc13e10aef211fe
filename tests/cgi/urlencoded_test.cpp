// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "cgi/form.h"
#include "cgi/request_env.h"
#include "cgi_fixture.h"

namespace larkspur::cgi {
namespace {

using namespace std::string_literals;
using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs entry_pairs() {
  Pairs pairs;
  for (const FormEntry& e : form_entries()) pairs.emplace_back(e.name, e.value);
  return pairs;
}

TEST(Unescape, DecodesEscapesAndPlus) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"abc", "abc"},
      {"a+b", "a b"},
      {"%41%4a%4A", "AJJ"},
      {"c%20d", "c d"},
      {"%2B%25%26%3D", "+%&="},
      // An escape takes the next two bytes, whatever they are.
      {"%%41",
       "\x04"
       "1"},
      {"%+1x", "\x01x"},
      {"%zz", "\0"s},
      {"%g1", "\x01"},
      {"%ff%FF", "\xFF\xFF"},
      // A cut-off escape produces nothing.
      {"50%", "50"},
      {"50%4", "50"},
      {"\x80\xFE", "\x80\xFE"},
  };
  for (const auto& c : cases) {
    std::string out = "stale";
    ASSERT_EQ(form_unescape(c.in, out), DECODE_SUCCESS);
    EXPECT_EQ(out, c.out) << "input: " << c.in;
  }
}

class UrlencodedTest : public testing::CgiTest {};

TEST_F(UrlencodedTest, SplitsPairsExactly) {
  const struct {
    std::string in;
    Pairs pairs;
  } cases[] = {
      {"", {}},
      {"a=1&b=2", {{"a", "1"}, {"b", "2"}}},
      {"a=1&a=2", {{"a", "1"}, {"a", "2"}}},
      {"a+b=c%20d", {{"a b", "c d"}}},
      {"a=1&b", {{"a", "1"}}},
      {"b", {}},
      // '&' before '=' belongs to the name.
      {"a&b=1", {{"a&b", "1"}}},
      {"a=1&&b=2", {{"a", "1"}, {"&b", "2"}}},
      {"=x", {{"", "x"}}},
      {"a=", {{"a", ""}}},
      {"a=&", {{"a", ""}}},
      {"a=1=2", {{"a", "1=2"}}},
      {"a=1&=", {{"a", "1"}, {"", ""}}},
      {"a=%26&b=%3D", {{"a", "&"}, {"b", "="}}},
      {"a=50%&b=1", {{"a", "50"}, {"b", "1"}}},
      {"a=1&b=2&", {{"a", "1"}, {"b", "2"}}},
  };
  for (const auto& c : cases) {
    form_free_all();
    EXPECT_EQ(form_decode_urlencoded(c.in), DECODE_SUCCESS) << "input: " << c.in;
    EXPECT_EQ(entry_pairs(), c.pairs) << "input: " << c.in;
  }
}

TEST_F(UrlencodedTest, ValueLengthStopsAtFirstNul) {
  ASSERT_EQ(form_decode_urlencoded("a=%zz&b=xy%00z&c=abc"), DECODE_SUCCESS);
  const auto& entries = form_entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].value, "\0"s);
  EXPECT_EQ(entries[0].value_length, 0);
  EXPECT_EQ(entries[1].value, "xy\0z"s);
  EXPECT_EQ(entries[1].value_length, 2);
  EXPECT_EQ(entries[2].value_length, 3);
  for (const FormEntry& e : entries) {
    EXPECT_EQ(e.file_name, "");
    EXPECT_EQ(e.content_type, "");
    EXPECT_EQ(e.temp_file_name, "");
  }
}

TEST_F(UrlencodedTest, KeepsOrderAcrossManyEntries) {
  std::string input;
  for (int i = 0; i < 1000; ++i) input += "k" + std::to_string(i) + "=v" + std::to_string(i) + "&";
  ASSERT_EQ(form_decode_urlencoded(input), DECODE_SUCCESS);
  ASSERT_EQ(form_entries().size(), 1000u);
  for (int i = 0; i < 1000; ++i) {
    EXPECT_EQ(form_entries()[i].name, "k" + std::to_string(i));
    EXPECT_EQ(form_entries()[i].value, "v" + std::to_string(i));
  }
}

TEST_F(UrlencodedTest, QueryDecodesOnlyContentLengthBytes) {
  request_env().QUERY_STRING = "a=1&b=2";
  request_env().content_length = 5;  // "a=1&b": the last piece lacks '='
  EXPECT_EQ(form_decode_query(), DECODE_SUCCESS);
  EXPECT_EQ(entry_pairs(), (Pairs{{"a", "1"}}));

  form_free_all();
  request_env().content_length = 1000;  // never past the text
  EXPECT_EQ(form_decode_query(), DECODE_SUCCESS);
  EXPECT_EQ(entry_pairs(), (Pairs{{"a", "1"}, {"b", "2"}}));
}

TEST_F(UrlencodedTest, BodyReadsExactlyContentLengthBytes) {
  const struct {
    std::string body;
    std::int64_t length;
    DecodeResult result;
    Pairs pairs;
  } cases[] = {
      {"a=1&b=2", 7, DECODE_SUCCESS, {{"a", "1"}, {"b", "2"}}},
      {"a=1&b=2trailing", 7, DECODE_SUCCESS, {{"a", "1"}, {"b", "2"}}},
      {"a=1&b=2", 0, DECODE_SUCCESS, {}},
      {"a=1&b=2", 8, DECODE_IO, {}},
      {"", 1, DECODE_IO, {}},
      {"a=1", -1, DECODE_NO_MEMORY, {}},
      // A length past what the entries may hold is refused before any read
      // or allocation of the claimed size.
      {"a=1", 1'000'000'000'000'000'000, DECODE_NO_MEMORY, {}},
      {"a=1", 2'147'483'648, DECODE_NO_MEMORY, {}},
      {"a=1", kMaxUrlencodedBody + 1, DECODE_NO_MEMORY, {}},
      {"a=1", kMaxUrlencodedBody, DECODE_IO, {}},
  };
  for (const auto& c : cases) {
    form_free_all();
    set_body(c.body);
    request_env().content_length = c.length;
    EXPECT_EQ(form_read_urlencoded_body(), c.result) << c.body << " / " << c.length;
    EXPECT_EQ(entry_pairs(), c.pairs) << c.body << " / " << c.length;
  }
}

TEST_F(UrlencodedTest, BodyLargerThanOneReadChunk) {
  const std::string value(60'000, 'v');
  const std::string body = "big=" + value + "&b2=" + value + "&b3=" + value + "&small=%41";
  set_body(body);
  request_env().content_length = static_cast<std::int64_t>(body.size());
  ASSERT_EQ(form_read_urlencoded_body(), DECODE_SUCCESS);
  EXPECT_EQ(entry_pairs(), (Pairs{{"big", value}, {"b2", value}, {"b3", value}, {"small", "A"}}));
}

TEST_F(UrlencodedTest, DecodingStopsAtTheLimitsOfTheList) {
  auto repeat = [](const std::string& piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
  };
  const struct {
    const char* what;
    std::string text;
    DecodeResult result;
    std::size_t entries;  // kept after the failure
  } cases[] = {
      {"1000 empty fields", repeat("a=&", kMaxFormEntries), DECODE_SUCCESS, kMaxFormEntries},
      {"1001 empty fields", repeat("a=&", kMaxFormEntries + 1), DECODE_NO_MEMORY, kMaxFormEntries},
      {"a value of 64 KiB", "v=" + std::string(kMaxValueInMemory, 'x'), DECODE_SUCCESS, 1},
      {"a value one byte longer", "v=" + std::string(kMaxValueInMemory + 1, 'x'),
       DECODE_NO_MEMORY, 0},
      // Measured after decoding: three bytes of escape are one byte of value.
      {"an escaped value that decodes to 64 KiB", "v=" + repeat("%41", kMaxValueInMemory),
       DECODE_SUCCESS, 1},
      {"names and values past 1 MiB together",
       repeat("n=" + std::string(kMaxValueInMemory - 1, 'x') + "&", 17), DECODE_NO_MEMORY, 16},
  };
  for (const auto& c : cases) {
    form_free_all();
    EXPECT_EQ(form_decode_urlencoded(c.text), c.result) << c.what;
    EXPECT_EQ(form_entries().size(), c.entries) << c.what;
    EXPECT_TRUE(form_within_limits()) << c.what;
  }
}

TEST_F(UrlencodedTest, OverlongBodyIsRefusedUnread) {
  set_body("a=1&b=2");
  request_env().content_length = 48'000'000;
  EXPECT_EQ(form_read_urlencoded_body(), DECODE_NO_MEMORY);
  EXPECT_EQ(in_.tellg(), 0) << "the body was read";
}

TEST_F(UrlencodedTest, ShortBodyLongerThanOneChunkFails) {
  set_body(std::string(100'000, 'x'));
  request_env().content_length = 100'001;
  EXPECT_EQ(form_read_urlencoded_body(), DECODE_IO);
  EXPECT_TRUE(form_entries().empty());
}

}  // namespace
}  // namespace larkspur::cgi
