// The body reader, the delimiter search and the part-header parsers.
#include "cgi/body_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "trickle_buf.h"

namespace larkspur::cgi {
namespace {

using test::TrickleBuf;

std::string read_all(BodyReader& reader, std::int64_t step) {
  std::string out;
  std::string buf(static_cast<std::size_t>(step), '\0');
  for (;;) {
    const std::int64_t n = body_read(reader, buf.data(), step);
    if (n > 0) out.append(buf.data(), static_cast<std::size_t>(n));
    if (n < step) return out;
  }
}

TEST(BodyReader, NeverTakesMoreThanContentLengthFromTheStream) {
  for (std::size_t piece : {1u, 3u, 100000u}) {
    TrickleBuf source("0123456789", piece);
    BodyReader reader(&source, 4);
    EXPECT_EQ(read_all(reader, 3), "0123");
    EXPECT_EQ(source.taken(), 4u);
    char c;
    EXPECT_EQ(body_read(reader, &c, 1), -1) << "whole body taken";
    EXPECT_EQ(reader.consumed(), 4);
  }
}

TEST(BodyReader, NonPositiveLengthReadsNothing) {
  for (std::int64_t length : {0, -1, -100}) {
    TrickleBuf source("abc", 10);
    BodyReader reader(&source, length);
    char c;
    EXPECT_EQ(body_read(reader, &c, 1), -1);
    EXPECT_EQ(source.taken(), 0u);
  }
}

TEST(BodyReader, StreamEndingEarlyGivesZero) {
  std::istringstream in("ab");
  BodyReader reader(in.rdbuf(), 10);
  char buf[4];
  EXPECT_EQ(body_read(reader, buf, 4), 2);
  EXPECT_EQ(body_read(reader, buf, 4), 0);
  EXPECT_EQ(body_read(reader, buf, 0), 0);
}

TEST(BodyReader, PutBackBytesComeBackInOrderBeforeWaitingOnes) {
  std::istringstream in("abcdef");
  BodyReader reader(in.rdbuf(), 6);
  char buf[4];
  ASSERT_EQ(body_read(reader, buf, 3), 3);  // abc
  body_unread(reader, "bc", 2);
  ASSERT_EQ(body_read(reader, buf, 1), 1);  // b; "c" still waits
  EXPECT_EQ(buf[0], 'b');
  // Undo that read while "c" waits: the order must stay b, c, d.
  body_unread(reader, "b", 1);
  EXPECT_EQ(reader.consumed(), 1);
  EXPECT_EQ(read_all(reader, 2), "bcdef");
  EXPECT_EQ(reader.consumed(), 6);
}

TEST(BodyReader, PushbackHoldsAtMostItsSize) {
  std::istringstream in("");
  BodyReader reader(in.rdbuf(), 0);
  const std::string bytes(BodyReader::kPushbackSize, 'x');
  EXPECT_TRUE(body_unread(reader, bytes.data(), bytes.size()));
  EXPECT_FALSE(body_unread(reader, "y", 1));
  EXPECT_EQ(read_all(reader, 7), bytes);
}

struct DelimiterCase {
  const char* label;
  std::string boundary;
  bool first;
  std::string input;
  DecodeResult result;
  std::string body;       // collected in memory mode
  std::string left_over;  // what a reader gets next
};

void PrintTo(const DelimiterCase& c, std::ostream* os) { *os << c.label; }

class ReadToDelimiter : public ::testing::TestWithParam<DelimiterCase> {};

TEST_P(ReadToDelimiter, CollectsExactlyTheBytesBeforeTheFirstDelimiter) {
  const DelimiterCase& c = GetParam();
  // Every chunking must give the same answer.
  for (std::size_t piece : {1u, 2u, 3u, 5u, 64u * 1024}) {
    SCOPED_TRACE(piece);
    TrickleBuf source(c.input, piece);
    BodyReader reader(&source, static_cast<std::int64_t>(c.input.size()));
    std::string body = "stale";
    std::int64_t length = -1;
    const DecodeResult r =
        read_to_delimiter(reader, c.boundary, c.first, {PartOutput::Kind::kMemory}, body, length);
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(body, c.body);
    EXPECT_EQ(length, static_cast<std::int64_t>(c.body.size()));
    if (r == DECODE_SUCCESS) {
      EXPECT_EQ(read_all(reader, 3), c.left_over);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadToDelimiter,
    ::testing::Values(
        DelimiterCase{"simple", "B", false, "x\r\n--B\r\nrest", DECODE_SUCCESS, "x", "rest"},
        DelimiterCase{"first at start", "B", true, "--B\r\nrest", DECODE_SUCCESS, "", "rest"},
        DelimiterCase{"first skips preamble", "B", true, "junk\r\n--B\r\nr", DECODE_SUCCESS,
                      "junk\r\n", "r"},
        DelimiterCase{"closing dashes put back", "B", false, "v\r\n--B--\r\n", DECODE_SUCCESS, "v",
                      "--\r\n"},
        DelimiterCase{"a dash then any byte is put back", "B", false, "v\r\n--B-x", DECODE_SUCCESS,
                      "v", "-x"},
        DelimiterCase{"near misses stay in the value", "B", false,
                      "a\r\n--X\r\n-\r\n--\r\r\n--B\r\n", DECODE_SUCCESS, "a\r\n--X\r\n-\r\n--\r",
                      ""},
        DelimiterCase{"start of the boundary repeats", "ab", true, "--a--ab\r\nContent",
                      DECODE_SUCCESS, "--a", "Content"},
        DelimiterCase{"overlap in a part", "ab", false, "1\r\n--a\r\n--ab\r\n", DECODE_SUCCESS,
                      "1\r\n--a", ""},
        DelimiterCase{"boundary made of dashes", "--", true, "-----\r\nz", DECODE_SUCCESS, "",
                      "-\r\nz"},
        DelimiterCase{"self-overlapping boundary", "aab", false, "\r\n--aa\r\n--aaab\r\n--aab\r\n",
                      DECODE_SUCCESS, "\r\n--aa\r\n--aaab", ""},
        DelimiterCase{"CR before the line break", "B", false, "x\r\r\r\n--B\r\n", DECODE_SUCCESS,
                      "x\r\r", ""},
        DelimiterCase{"NUL bytes kept", "B", false, std::string("a\0b\r\n--B\r\n", 10),
                      DECODE_SUCCESS, std::string("a\0b", 3), ""},
        DelimiterCase{"empty boundary", "", false, "x\r\n--\r\n", DECODE_SUCCESS, "x", ""},
        DelimiterCase{"ends inside the body", "B", false, "value\r\n--", DECODE_IO, "", ""},
        DelimiterCase{"ends right after the delimiter", "B", false, "v\r\n--B", DECODE_IO, "", ""},
        DelimiterCase{"one byte after the delimiter", "B", false, "v\r\n--B\r", DECODE_IO, "", ""}),
    [](const auto& info) {
      std::string name;
      for (const char ch : std::string(info.param.label)) name += std::isalnum(ch) ? ch : '_';
      return name;
    });

TEST(ReadToDelimiterModes, DiscardCountsNothingAndFileGetsEveryByte) {
  const std::string value(200000, 'v');
  const std::string input = value + "\r\n--B\r\nnext";

  std::istringstream in1(input);
  BodyReader discard(in1.rdbuf(), static_cast<std::int64_t>(input.size()));
  std::string body;
  std::int64_t length = -1;
  EXPECT_EQ(read_to_delimiter(discard, "B", false, {}, body, length), DECODE_SUCCESS);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(body, "");

  char path[] = "/tmp/larkspur-reader-test-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::istringstream in2(input);
  BodyReader to_file(in2.rdbuf(), static_cast<std::int64_t>(input.size()));
  EXPECT_EQ(read_to_delimiter(to_file, "B", false, {PartOutput::Kind::kFile, fd}, body, length),
            DECODE_SUCCESS);
  EXPECT_EQ(length, static_cast<std::int64_t>(value.size()));
  EXPECT_EQ(body, "");
  std::string written(value.size() + 1, '\0');
  EXPECT_EQ(pread(fd, written.data(), written.size(), 0), static_cast<ssize_t>(value.size()));
  written.resize(value.size());
  EXPECT_EQ(written, value);
  close(fd);
  unlink(path);
}

TEST(ReadToDelimiterModes, FailedFileWriteIsAnError) {
  const std::string input = "data\r\n--B\r\n";
  std::istringstream in(input);
  BodyReader reader(in.rdbuf(), static_cast<std::int64_t>(input.size()));
  std::string body;
  std::int64_t length = -1;
  // A read-only descriptor refuses every write.
  const int fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(read_to_delimiter(reader, "B", false, {PartOutput::Kind::kFile, fd}, body, length),
            DECODE_IO);
  EXPECT_EQ(length, 0);
  close(fd);
}

// Random bodies over a tiny alphabet, full of near misses, checked against
// a plain substring search.
TEST(ReadToDelimiterModes, AgreesWithPlainSearchOnRandomInput) {
  std::mt19937 rng(20240611);
  const std::string alphabet = "-ab\r\n";
  for (const std::string boundary : {"ab", "aab", "a-", "-", "abab"}) {
    for (int round = 0; round < 300; ++round) {
      const bool first = round % 2 == 0;
      const std::string delimiter = (first ? "--" : "\r\n--") + boundary;
      std::string input(rng() % 40, ' ');
      for (char& ch : input) ch = alphabet[rng() % alphabet.size()];
      input += delimiter + "\r\n";
      const std::size_t at = input.find(delimiter);
      const std::size_t piece = 1 + rng() % 7;
      SCOPED_TRACE(::testing::Message() << boundary << " " << ::testing::PrintToString(input));
      TrickleBuf source(input, piece);
      BodyReader reader(&source, static_cast<std::int64_t>(input.size()));
      std::string body;
      std::int64_t length = 0;
      const DecodeResult r =
          read_to_delimiter(reader, boundary, first, {PartOutput::Kind::kMemory}, body, length);
      // The two bytes after the delimiter may be missing when it came early.
      if (at + delimiter.size() + 2 > input.size()) {
        EXPECT_EQ(r, DECODE_IO);
        continue;
      }
      ASSERT_EQ(r, DECODE_SUCCESS);
      EXPECT_EQ(body, input.substr(0, at));
      std::string after = input.substr(at + delimiter.size(), 2);
      const std::string expected_rest =
          (after[0] == '-' ? after : "") + input.substr(at + delimiter.size() + 2);
      EXPECT_EQ(read_all(reader, 5), expected_rest);
    }
  }
}

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
                       "0123456789abcde", ""}));

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
        HeaderValueCase{"", "", "", ""}));

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
