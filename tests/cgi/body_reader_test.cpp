// SPDX-License-Identifier: Apache-2.0
// The body reader: its bound, its chunks and its pushback.
#include "cgi/body_reader.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "read_all.h"
#include "support/trickle_buf.h"

namespace larkspur::cgi {
namespace {

using test::read_all;
using test::TrickleBuf;

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

}  // namespace
}  // namespace larkspur::cgi
