// SPDX-License-Identifier: Apache-2.0
// Range copies in the kernel and, where the kernel refuses (a pipe as the
// destination), through memory: the same bytes either way, and a source
// shorter than the range is an error, never a short file.

#include "platform/file_range.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/posix_io.h"
#include "support/process.h"

namespace larkspur::platform {
namespace {

std::string pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return text;
}

// Where the copy goes, and how to read back what arrived.
struct Destination {
  UniqueFd write_end;
  UniqueFd read_end;
};

Destination make(bool pipe, const std::string& file) {
  if (pipe) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    return {UniqueFd(fds[1]), UniqueFd(fds[0])};
  }
  return {UniqueFd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)),
          UniqueFd(::open(file.c_str(), O_RDONLY | O_CREAT, 0600))};
}

class RangeCopierTest : public testing::TestWithParam<bool> {};

TEST_P(RangeCopierTest, CopiesExactRangesInOrder) {
  test::TempDir dir;
  const std::string text = pattern(40000);  // fits in a pipe's buffer
  test::write_file(dir.file("in"), text);
  UniqueFd in = open_for_reading(dir.file("in")).value();
  Destination out = make(GetParam(), dir.file("out"));
  RangeCopier copier(in.get(), out.write_end.get());
  ASSERT_TRUE(copier.copy(4096, 8192));
  ASSERT_TRUE(write_all(out.write_end.get(), "|", 1));
  ASSERT_TRUE(copier.copy(3, 17));
  ASSERT_TRUE(copier.copy(0, 0));
  ASSERT_TRUE(copier.copy(30000, 10000));
  out.write_end.reset();
  std::string got;
  ASSERT_TRUE(read_to_end(out.read_end.get(), got));
  EXPECT_TRUE(got == text.substr(4096, 8192) + "|" + text.substr(3, 17) + text.substr(30000));
}

TEST_P(RangeCopierTest, SourceShorterThanTheRangeFails) {
  test::TempDir dir;
  test::write_file(dir.file("in"), pattern(5000));
  UniqueFd in = open_for_reading(dir.file("in")).value();
  Destination out = make(GetParam(), dir.file("out"));
  RangeCopier copier(in.get(), out.write_end.get());
  const Status copied = copier.copy(4000, 2000);
  ASSERT_FALSE(copied);
  EXPECT_EQ(copied.error().code, EIO);
}

INSTANTIATE_TEST_SUITE_P(Destinations, RangeCopierTest, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pipe" : "File"; });

TEST(ReadAtTest, ReadsExactlyOrFails) {
  test::TempDir dir;
  const std::string text = pattern(3000);
  test::write_file(dir.file("in"), text);
  UniqueFd in = open_for_reading(dir.file("in")).value();
  std::string buffer(1000, '\0');
  ASSERT_TRUE(read_at(in.get(), 2000, buffer.data(), 1000));
  EXPECT_EQ(buffer, text.substr(2000));
  const Status read = read_at(in.get(), 2500, buffer.data(), 1000);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().code, EIO);
}

}  // namespace
}  // namespace larkspur::platform
