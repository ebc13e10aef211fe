// SPDX-License-Identifier: Apache-2.0
#include "cgi/streams.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <iterator>
#include <sstream>
#include <string>

#include "support/process.h"

namespace larkspur::cgi {
namespace {

// Points a standard descriptor at a file for the life of the object.
class Redirect {
 public:
  Redirect(int fd, const std::string& path, int flags) : fd_(fd), saved_(::dup(fd)) {
    const int file = ::open(path.c_str(), flags, 0600);
    EXPECT_GE(file, 0);
    ::dup2(file, fd_);
    ::close(file);
  }
  ~Redirect() {
    ::dup2(saved_, fd_);
    ::close(saved_);
  }
  Redirect(const Redirect&) = delete;
  Redirect& operator=(const Redirect&) = delete;

 private:
  int fd_;
  int saved_;
};

std::string pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return text;
}

TEST(Streams, SwapAndRestore) {
  std::istringstream in("x");
  std::ostringstream out;
  std::istream& default_in = request_stream();
  std::ostream& default_out = response_stream();
  set_request_stream(&in);
  set_response_stream(&out);
  EXPECT_EQ(&request_stream(), &in);
  EXPECT_EQ(&response_stream(), &out);
  set_request_stream(nullptr);
  set_response_stream(nullptr);
  EXPECT_EQ(&request_stream(), &default_in);
  EXPECT_EQ(&response_stream(), &default_out);
}

TEST(Streams, DefaultsPassBytesOfStandardInputAndOutputUnchanged) {
  larkspur::test::TempDir dir;
  // Several refills of the input buffer, every byte value, a split line end.
  const std::string body = pattern(300'000) + std::string("\r\n\x1A\0end", 7);
  larkspur::test::write_file(dir.file("in"), body);
  std::string read_back;
  {
    Redirect stdin_from(STDIN_FILENO, dir.file("in"), O_RDONLY);
    std::streambuf* buf = request_stream().rdbuf();
    read_back.push_back(static_cast<char>(buf->sbumpc()));
    std::string rest(body.size(), '\0');
    rest.resize(static_cast<std::size_t>(buf->sgetn(rest.data(), rest.size())));
    read_back += rest;
    EXPECT_EQ(buf->sgetc(), std::char_traits<char>::eof());
  }
  EXPECT_EQ(read_back, body);

  const std::string big = pattern(200'000);
  {
    Redirect stdout_to(STDOUT_FILENO, dir.file("out"), O_WRONLY | O_CREAT | O_TRUNC);
    std::ostream& out = response_stream();
    out << "Content-type: text/html\r\n\r\n";
    out.write(big.data(), static_cast<std::streamsize>(big.size()));
    out << '\n' << "tail";
    out.flush();
    EXPECT_TRUE(out.good());
  }
  EXPECT_EQ(larkspur::test::read_file(dir.file("out")),
            "Content-type: text/html\r\n\r\n" + big + "\ntail");
}

TEST(Streams, ABodyThatStallsEndsAfterTheIdleTime) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const int saved = ::dup(STDIN_FILENO);
  ::dup2(pipe_fds[0], STDIN_FILENO);
  ::close(pipe_fds[0]);
  ASSERT_EQ(::write(pipe_fds[1], "abc", 3), 3);  // and then nothing, the pipe still open
  set_request_idle_timeout(std::chrono::milliseconds(200));

  std::string got(10, '\0');
  const auto start = std::chrono::steady_clock::now();
  std::istream& in = request_stream();
  in.read(got.data(), 10);
  const auto waited = std::chrono::steady_clock::now() - start;
  got.resize(static_cast<std::size_t>(in.gcount()));
  in.clear();

  set_request_idle_timeout(kRequestIdleTimeout);
  ::dup2(saved, STDIN_FILENO);
  ::close(saved);
  ::close(pipe_fds[1]);
  EXPECT_EQ(got, "abc");
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  EXPECT_LT(waited, std::chrono::seconds(5));
}

}  // namespace
}  // namespace larkspur::cgi
