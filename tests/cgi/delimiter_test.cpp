// SPDX-License-Identifier: Apache-2.0
// The delimiter search and where the bytes before the delimiter go.
#include "cgi/delimiter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <random>
#include <sstream>
#include <string>

#include "read_all.h"
#include "support/case_name.h"
#include "support/trickle_buf.h"

namespace larkspur::cgi {
namespace {

using test::read_all;
using test::TrickleBuf;

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
    test::LabelName());

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

}  // namespace
}  // namespace larkspur::cgi
