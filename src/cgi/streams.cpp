// SPDX-License-Identifier: Apache-2.0
// Standard input and output as streams over our own buffers: no C library
// buffering in between, no text-mode translation, and a request buffer that
// is wiped because it holds passwords.
#include "cgi/streams.h"

#include <unistd.h>

#include <array>
#include <streambuf>

#include "platform/posix_io.h"
#include "platform/wipe.h"

namespace larkspur::cgi {
namespace {

constexpr std::size_t kBufferSize = 64 * 1024;
std::chrono::milliseconds g_idle_timeout = kRequestIdleTimeout;

class FdInBuf : public std::streambuf {
 public:
  explicit FdInBuf(int fd) : fd_(fd) { setg(buf_.data(), buf_.data(), buf_.data()); }
  ~FdInBuf() override { platform::secure_wipe(std::span(buf_)); }
  FdInBuf(const FdInBuf&) = delete;
  FdInBuf& operator=(const FdInBuf&) = delete;

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    // The bytes already consumed may be a password: do not leave them behind.
    platform::secure_wipe(std::span(buf_));
    // A client that stops sending must not hold the process (and its upload
    // file) for good: fcgiwrap has no time limit of its own. Silence for the
    // idle time counts as the end of the body.
    if (!platform::wait_readable(fd_, g_idle_timeout)) {
      setg(buf_.data(), buf_.data(), buf_.data());
      return traits_type::eof();
    }
    const platform::Result<std::size_t> n = platform::read_some(fd_, buf_);
    if (!n || n.value() == 0) {
      setg(buf_.data(), buf_.data(), buf_.data());
      return traits_type::eof();
    }
    setg(buf_.data(), buf_.data(), buf_.data() + n.value());
    return traits_type::to_int_type(*gptr());
  }

 private:
  int fd_;
  std::array<char, kBufferSize> buf_;
};

class FdOutBuf : public std::streambuf {
 public:
  explicit FdOutBuf(int fd) : fd_(fd) { setp(buf_.data(), buf_.data() + buf_.size()); }
  ~FdOutBuf() override { drain(); }
  FdOutBuf(const FdOutBuf&) = delete;
  FdOutBuf& operator=(const FdOutBuf&) = delete;

 protected:
  int_type overflow(int_type ch) override {
    if (!drain()) return traits_type::eof();
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    *pptr() = traits_type::to_char_type(ch);
    pbump(1);
    return ch;
  }

  int sync() override { return drain() ? 0 : -1; }

  std::streamsize xsputn(const char* s, std::streamsize count) override {
    // Large pieces go straight out instead of being copied through the buffer.
    if (count >= static_cast<std::streamsize>(buf_.size())) {
      if (!drain() || !platform::write_all(fd_, s, static_cast<std::size_t>(count))) return 0;
      return count;
    }
    return std::streambuf::xsputn(s, count);
  }

 private:
  bool drain() {
    const std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
    const bool ok = platform::write_all(fd_, pbase(), pending).ok();
    setp(buf_.data(), buf_.data() + buf_.size());
    return ok;
  }

  int fd_;
  std::array<char, kBufferSize> buf_;
};

std::istream& default_request() {
  static FdInBuf buffer(STDIN_FILENO);
  static std::istream stream(&buffer);
  return stream;
}

std::ostream& default_response() {
  static FdOutBuf buffer(STDOUT_FILENO);
  static std::ostream stream(&buffer);
  return stream;
}

std::istream* g_request = nullptr;
std::ostream* g_response = nullptr;

}  // namespace

std::istream& request_stream() { return g_request ? *g_request : default_request(); }

std::ostream& response_stream() { return g_response ? *g_response : default_response(); }

void set_request_stream(std::istream* stream) { g_request = stream; }

void set_response_stream(std::ostream* stream) { g_response = stream; }

void set_request_idle_timeout(std::chrono::milliseconds timeout) { g_idle_timeout = timeout; }

}  // namespace larkspur::cgi
