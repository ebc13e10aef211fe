// SPDX-License-Identifier: Apache-2.0
#include "platform/posix_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "support/process.h"

namespace larkspur::platform {
namespace {

using namespace std::chrono_literals;

// Sends a signal to one thread over and over while alive. The handler is
// installed without SA_RESTART, so blocked reads and writes on a pipe come
// back with EINTR, or short once some bytes have moved.
class Interrupter {
 public:
  explicit Interrupter(pthread_t target) : target_(target) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ::sigaction(SIGUSR1, &action, nullptr);
    thread_ = std::thread([this] {
      while (!stop_) {
        ::pthread_kill(target_, SIGUSR1);
        ++sent_;
        std::this_thread::sleep_for(100us);
      }
    });
  }
  ~Interrupter() {
    stop_ = true;
    thread_.join();
  }
  int sent() const { return sent_; }

 private:
  pthread_t target_;
  std::atomic<bool> stop_{false};
  std::atomic<int> sent_{0};
  std::thread thread_;
};

struct Pipe {
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
      read_end.reset(fds[0]);
      write_end.reset(fds[1]);
      // The smallest pipe, so that big transfers block and get interrupted.
      ::fcntl(write_end.get(), F_SETPIPE_SZ, 4096);
    }
  }
  UniqueFd read_end;
  UniqueFd write_end;
};

std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
  return bytes;
}

constexpr std::size_t kSizes[] = {0, 1, 4096, 70000, 3u << 20};

TEST(WriteAll, DeliversEveryByteThroughSignalsAndShortWrites) {
  for (const std::size_t size : kSizes) {
    Pipe pipe;
    ASSERT_TRUE(pipe.write_end.valid());
    const std::string sent = pattern(size);
    std::string received;
    // A slow reader keeps the pipe full, so the writer blocks often.
    std::thread reader([&] {
      char piece[1000];
      ssize_t n;
      while ((n = ::read(pipe.read_end.get(), piece, sizeof piece)) != 0) {
        if (n > 0) received.append(piece, static_cast<std::size_t>(n));
        std::this_thread::sleep_for(20us);
      }
    });
    bool ok = false;
    {
      Interrupter interrupter(::pthread_self());
      ok = write_all(pipe.write_end.get(), sent).ok();
    }
    pipe.write_end.reset();
    reader.join();
    EXPECT_TRUE(ok) << size;
    EXPECT_TRUE(received == sent) << size << " bytes sent, " << received.size() << " received";
  }
}

TEST(WriteAll, ReportsFailure) {
  ::signal(SIGPIPE, SIG_IGN);
  Pipe closed;
  closed.read_end.reset();
  Pipe wrong_end;
  struct Case {
    const char* label;
    int fd;
    int error;
  };
  const Case cases[] = {
      {"reader gone", closed.write_end.get(), EPIPE},
      {"read end", wrong_end.read_end.get(), EBADF},
      {"no descriptor", -1, EBADF},
  };
  for (const Case& c : cases) {
    const Status written = write_all(c.fd, "x");
    ASSERT_FALSE(written) << c.label;
    EXPECT_EQ(written.error().code, c.error) << c.label;
  }
}

TEST(ReadToEnd, CollectsEveryPieceThroughSignals) {
  ::signal(SIGPIPE, SIG_IGN);
  for (const std::size_t size : kSizes) {
    Pipe pipe;
    const std::string sent = pattern(size);
    // Pauses between pieces leave the reader blocked on an empty pipe.
    std::thread writer([&] {
      for (std::size_t at = 0; at < sent.size(); at += 50000) {
        (void)write_all(pipe.write_end.get(), std::string_view(sent).substr(at, 50000));
        std::this_thread::sleep_for(1ms);
      }
      pipe.write_end.reset();
    });
    std::string received = "kept:";
    bool ok = false;
    {
      Interrupter interrupter(::pthread_self());
      ok = read_to_end(pipe.read_end.get(), received).ok();
    }
    pipe.read_end.reset();  // a reader that gave up early must not block the writer
    writer.join();
    EXPECT_TRUE(ok) << size;
    EXPECT_TRUE(received == "kept:" + sent) << size << " bytes sent, " << received.size();
  }
}

TEST(ReadToEnd, ReportsADirectory) {
  test::TempDir dir;
  const UniqueFd fd(::open(dir.path().c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(fd);
  std::string content;
  const Status read = read_to_end(fd.get(), content);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().code, EISDIR);
}

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(UniqueFd, ClosesExactlyOnce) {
  int raw = -1;
  {
    UniqueFd outer;
    {
      UniqueFd inner(::open("/dev/null", O_RDONLY | O_CLOEXEC));
      raw = inner.get();
      ASSERT_TRUE(is_open(raw));
      outer = std::move(inner);
      EXPECT_FALSE(inner.valid());  // NOLINT(bugprone-use-after-move)
    }
    EXPECT_TRUE(is_open(raw));
    EXPECT_TRUE(outer.close());
    EXPECT_FALSE(is_open(raw));
    EXPECT_TRUE(outer.close());  // nothing held any more
  }
  UniqueFd kept(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  raw = kept.release();
  EXPECT_TRUE(is_open(raw));
  ::close(raw);
}

TEST(TempPath, JoinsWithOneSlash) {
  struct Case {
    const char* tmpdir;
    const char* dir;
    const char* path;
  };
  const Case cases[] = {
      {nullptr, "/tmp", "/tmp/f"},
      {"", "/tmp", "/tmp/f"},
      {"/var/x", "/var/x", "/var/x/f"},
      {"/var/x/", "/var/x/", "/var/x/f"},
  };
  for (const Case& c : cases) {
    test::ScopedEnv tmpdir("TMPDIR", c.tmpdir);
    EXPECT_EQ(temp_dir(), c.dir) << (c.tmpdir ? c.tmpdir : "(unset)");
    EXPECT_EQ(temp_path("f"), c.path) << (c.tmpdir ? c.tmpdir : "(unset)");
  }
}

}  // namespace
}  // namespace larkspur::platform
