// SPDX-License-Identifier: Apache-2.0
// The parsers of a part's header lines.
#include "cgi/part_headers.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <sstream>
#include <string>

#include "read_all.h"
#include "support/case_name.h"

namespace larkspur::cgi {
namespace {

using test::read_all;

struct HeaderLineCase {
  std::string input;
  bool result;
  std::string name;
  std::string value;
  std::string left_over;
};

void PrintTo(const HeaderLineCase& c, std::ostream* os) {
  *os << ::testing::PrintToString(c.input);
}

class ReadHeaderLine : public ::testing::TestWithParam<HeaderLineCase> {};

TEST_P(ReadHeaderLine, SplitsNameAndValue) {
  const HeaderLineCase& c = GetParam();
  std::istringstream in(c.input);
  BodyReader reader(in.rdbuf(), static_cast<std::int64_t>(c.input.size()));
  std::array<char, 16> name, value;
  EXPECT_EQ(read_header_line(reader, name, value), c.result);
  if (c.result) {
    EXPECT_EQ(std::string(name.data()), c.name);
    EXPECT_EQ(std::string(value.data()), c.value);
  }
  EXPECT_EQ(read_all(reader, 4), c.left_over);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadHeaderLine,
    ::testing::Values(
        HeaderLineCase{"Name: value\r\nrest", true, "Name", "value", "rest"},
        HeaderLineCase{"Name:value\nrest", true, "Name", "value", "rest"},
        HeaderLineCase{" N a\tme \t:\t \v\fv: a l \r\n", true, "Name", "v: a l ", ""},
        HeaderLineCase{"Name: v\rX", true, "Name", "v", "X"},  // lone CR ends the line
        HeaderLineCase{":a:b\r\n", true, ":a", "b", ""},       // a leading ':' is part of the name
        HeaderLineCase{"X-Empty:\r\nnext", false, "", "", "next"},
        HeaderLineCase{"X-Empty:   \r\nnext", false, "", "", "next"},
        HeaderLineCase{"no separator\r\nnext", false, "", "", "next"},
        HeaderLineCase{"\r\nnext", false, "", "", "next"},
        HeaderLineCase{"Name: cut off", false, "", "", ""},  // input ends mid-line
        // Names and values keep their first 15 bytes (buffers of 16).
        HeaderLineCase{"ABCDEFGHIJKLMNOPQRS: 0123456789abcdefghij\r\n", true, "ABCDEFGHIJKLMNO",
                       "0123456789abcde", ""}),
    [](const auto& info) {
      return std::to_string(info.index) + "_" + test::case_name(info.param.input);
    });

struct HeaderValueCase {
  std::string text;
  std::string main;
  std::string name;
  std::string file_name;
};

void PrintTo(const HeaderValueCase& c, std::ostream* os) {
  *os << ::testing::PrintToString(c.text);
}

class ParseHeaderValue : public ::testing::TestWithParam<HeaderValueCase> {};

TEST_P(ParseHeaderValue, SplitsMainValueAndWantedAttributes) {
  const HeaderValueCase& c = GetParam();
  std::array<char, 1024> main, name, file_name;
  name.fill('?');
  file_name.fill('?');
  const std::array<std::string_view, 2> keys = {"name", "filename"};
  const std::array<std::span<char>, 2> values = {name, file_name};
  parse_header_value(c.text, main, keys, values);
  EXPECT_EQ(std::string(main.data()), c.main);
  EXPECT_EQ(std::string(name.data()), c.name);
  EXPECT_EQ(std::string(file_name.data()), c.file_name);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseHeaderValue,
    ::testing::Values(
        HeaderValueCase{"form-data; name=\"a\"; filename=\"f.txt\"", "form-data", "a", "f.txt"},
        HeaderValueCase{"  form-data;NAME=a;FileName=b", "form-data", "a", "b"},
        HeaderValueCase{"form-data; name=a b; filename=", "form-data", "a b", ""},
        HeaderValueCase{"form-data ; name=a", "form-data ", "a", ""},
        HeaderValueCase{"form-data; name=\"a\"; filename=\"a:b.txt\"", "form-data", "a", "a:b.txt"},
        HeaderValueCase{"form-data; name=\"a;b\" junk; size=3; filename = \"x\"", "form-data",
                        "a;b", "x"},
        HeaderValueCase{"\"quoted main\" dropped; name=n", "quoted main", "n", ""},
        HeaderValueCase{"form-data; name=\"unterminated", "form-data", "unterminated", ""},
        HeaderValueCase{"form-data; name=first; name=second", "form-data", "second", ""},
        // A name that is not followed by '=' stops the parse.
        HeaderValueCase{"form-data; name=a; broken; filename=x", "form-data", "a", ""},
        HeaderValueCase{"form-data; na-me=a; filename=x", "form-data", "", ""},
        HeaderValueCase{"text/plain; charset=utf-8", "text/plain", "", ""},
        HeaderValueCase{"", "", "", ""}),
    [](const auto& info) {
      return std::to_string(info.index) + "_" + test::case_name(info.param.text);
    });

TEST(ParseHeaderValueLimits, TextsAreCutTo1023Bytes) {
  const std::string long_text(1500, 'n');
  std::array<char, 1024> main, name;
  const std::array<std::string_view, 1> keys = {"name"};
  const std::array<std::span<char>, 1> values = {name};
  parse_header_value(long_text + "; name=\"" + long_text + "\"", main, keys, values);
  EXPECT_EQ(std::string(main.data()), long_text.substr(0, 1023));
  EXPECT_EQ(std::string(name.data()), long_text.substr(0, 1023));

  // An attribute name is compared after its cut as well.
  parse_header_value("x; " + std::string(1023, 'a') + "b=1; name=ok", main, keys, values);
  EXPECT_EQ(std::string(name.data()), "ok");
}

}  // namespace
}  // namespace larkspur::cgi
