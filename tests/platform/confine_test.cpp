// SPDX-License-Identifier: Apache-2.0
// Confinement, shown on a scratch layout: each probe runs in a child that
// confines itself to it and then tries one thing.
#include "platform/confine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

#include "platform/posix_io.h"
#include "platform/upload_file.h"
#include "support/process.h"

namespace larkspur::platform {
namespace {

// store/ holds the AuthUserFile, logs/ the log, tmp/ is the temporary
// directory with another program's file in it; elsewhere/ is a directory
// the request has no business in.
class ConfineLayout {
 public:
  ConfineLayout() {
    for (const char* dir : {"store", "logs", "tmp", "elsewhere"}) {
      ::mkdir(root_.file(dir).c_str(), 0700);
    }
    test::write_file(users(), "alice:$apr1$x$y\n");
    test::write_file(log(), "first\n");
    test::write_file(path("elsewhere/secret"), "not for you\n");
    test::write_file(path("tmp/other"), "someone else's\n");
  }
  std::string path(const std::string& name) const { return root_.file(name); }
  std::string users() const { return path("store/users"); }
  std::string log() const { return path("logs/activity.log"); }
  ConfinePaths paths() const { return {users(), {}}; }

 private:
  test::TempDir root_;
};

struct Outcome {
  int exit_status = -1;  // the child's own verdict: 0, or the errno it met
  int signal = 0;
  std::string err;  // what the child wrote to standard error
};

// Forks; the child runs `before` (unconfined), confines itself to `paths`,
// runs `probe` and exits with its result.
Outcome run_confined(
    const ConfinePaths& paths, const std::function<int()>& probe,
    const std::function<void()>& before = [] {}) {
  int err[2];
  if (::pipe(err) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(err[1], STDERR_FILENO);
    ::close(err[0]);
    before();
    confine(paths);
    ::_exit(probe());
  }
  ::close(err[1]);
  Outcome outcome;
  char buf[512];
  ssize_t n;
  while ((n = ::read(err[0], buf, sizeof buf)) > 0) outcome.err.append(buf, static_cast<size_t>(n));
  ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) outcome.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  return outcome;
}

// The log's descriptor, opened before confining as the program does.
int log_fd = -1;
void open_log(const ConfineLayout& layout) {
  Result<UniqueFd> opened = open_for_appending(layout.log());
  log_fd = opened ? opened.value().release() : -1;
}

int append_to_log(const char* text) {
  const ssize_t n = ::write(log_fd, text, std::char_traits<char>::length(text));
  return n < 0 ? errno : 0;
}

// 0 when the open succeeded, else its errno.
int try_open(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

// What a change does: read the file, write its successor under the lock,
// make it durable and put it in place.
int rewrite_like_a_change(const ConfineLayout& layout) {
  const int lock =
      ::open(layout.path("store/users.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0 || ::flock(lock, LOCK_EX) != 0) return 100 + errno;
  char buf[64];
  const int in = ::open(layout.users().c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0 || ::read(in, buf, sizeof buf) <= 0) return 110 + errno;
  ::close(in);
  const std::string temp = layout.users() + ".tmp";
  const int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) return 120 + errno;
  if (::write(out, "alice:$apr1$new$hash\n", 21) != 21 || ::fsync(out) != 0) return 130 + errno;
  ::close(out);
  if (::rename(temp.c_str(), layout.users().c_str()) != 0) return 140 + errno;
  const int dir = ::open(layout.path("store").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 || ::fsync(dir) != 0) return 150 + errno;
  ::close(dir);
  return 0;
}

struct DeniedCase {
  const char* name;
  std::function<int(const ConfineLayout&)> probe;
  int expected_errno;
};

void PrintTo(const DeniedCase& c, std::ostream* os) { *os << c.name; }

class ConfineDenies : public ::testing::TestWithParam<DeniedCase> {};

TEST_P(ConfineDenies, WithTheErrorTheKernelGives) {
  const ConfineLayout layout;
  const DeniedCase& c = GetParam();
  const Outcome outcome = run_confined(
      layout.paths(), [&] { return c.probe(layout); }, [&] { open_log(layout); });
  EXPECT_EQ(outcome.signal, 0);
  EXPECT_EQ(outcome.exit_status, c.expected_errno);
  EXPECT_EQ(outcome.err, "");
  // Nothing moved or appeared outside the allowed directories.
  EXPECT_EQ(test::read_file(layout.users()), "alice:$apr1$x$y\n");
  EXPECT_EQ(test::read_file(layout.log()), "first\n");
  EXPECT_EQ(test::read_file(layout.path("tmp/other")), "someone else's\n");
  EXPECT_FALSE(test::file_exists(layout.path("tmp/new")));
  EXPECT_FALSE(test::file_exists(layout.path("elsewhere/new")));
  EXPECT_FALSE(test::file_exists(layout.path("elsewhere/users")));
}

INSTANTIATE_TEST_SUITE_P(
    Probes, ConfineDenies,
    ::testing::Values(
        DeniedCase{"ReadEtcPasswd",
                   [](const ConfineLayout&) { return try_open("/etc/passwd", O_RDONLY); }, EACCES},
        DeniedCase{
            "ReadElsewhere",
            [](const ConfineLayout& l) { return try_open(l.path("elsewhere/secret"), O_RDONLY); },
            EACCES},
        DeniedCase{"CreateElsewhere",
                   [](const ConfineLayout& l) {
                     return try_open(l.path("elsewhere/new"), O_WRONLY | O_CREAT | O_EXCL);
                   },
                   EACCES},
        DeniedCase{"CreateBesideTheLog",
                   [](const ConfineLayout& l) {
                     return try_open(l.path("logs/new"), O_WRONLY | O_CREAT | O_EXCL);
                   },
                   EACCES},
        DeniedCase{"ReadTheLog", [](const ConfineLayout& l) { return try_open(l.log(), O_RDONLY); },
                   EACCES},
        // The log is reached only through the descriptor opened before.
        DeniedCase{"TruncateTheLog",
                   [](const ConfineLayout& l) { return try_open(l.log(), O_WRONLY | O_TRUNC); },
                   EACCES},
        DeniedCase{"AppendToTheLogByName",
                   [](const ConfineLayout& l) { return try_open(l.log(), O_WRONLY | O_APPEND); },
                   EACCES},
        // Nothing in the temporary directory: neither what is there nor new files.
        DeniedCase{"ReadAFileInTheTempDir",
                   [](const ConfineLayout& l) { return try_open(l.path("tmp/other"), O_RDONLY); },
                   EACCES},
        DeniedCase{"WriteAFileInTheTempDir",
                   [](const ConfineLayout& l) {
                     return try_open(l.path("tmp/other"), O_WRONLY | O_TRUNC);
                   },
                   EACCES},
        DeniedCase{"RemoveAFileInTheTempDir",
                   [](const ConfineLayout& l) {
                     return ::unlink(l.path("tmp/other").c_str()) == 0 ? 0 : errno;
                   },
                   EACCES},
        DeniedCase{"CreateInTheTempDir",
                   [](const ConfineLayout& l) {
                     return try_open(l.path("tmp/new"), O_WRONLY | O_CREAT | O_EXCL);
                   },
                   EACCES},
        DeniedCase{"RenameTheAuthUserFileAway",
                   [](const ConfineLayout& l) {
                     return ::rename(l.users().c_str(), l.path("elsewhere/users").c_str()) == 0
                                ? 0
                                : errno;
                   },
                   EACCES}),
    [](const ::testing::TestParamInfo<DeniedCase>& info) { return info.param.name; });

TEST(Confine, AllowsWhatARequestDoes) {
  const ConfineLayout layout;
  const Outcome outcome = run_confined(
      layout.paths(),
      [&] {
        if (const int e = rewrite_like_a_change(layout)) return e;
        if (const int e = append_to_log("second\n")) return 200 + e;
        // An upload, written and read back.
        Result<UploadFile> created = create_upload_file();
        if (!created) return 210 + created.error().code;
        UploadFile& upload = created.value();
        char back[6] = {};
        if (::write(upload.fd.get(), "upload", 6) != 6) return 210 + errno;
        if (::pread(upload.fd.get(), back, sizeof back, 0) != 6) return 220 + errno;
        // Memory that does not run comes and goes.
        void* block =
            ::mmap(nullptr, 1 << 20, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED || ::munmap(block, 1 << 20) != 0) return 240;
        return 0;
      },
      [&] { open_log(layout); });
  EXPECT_EQ(outcome.signal, 0);
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(test::read_file(layout.users()), "alice:$apr1$new$hash\n");
  EXPECT_EQ(test::read_file(layout.log()), "first\nsecond\n");
}

TEST(Confine, CreatesTheLogWhenItIsMissing) {
  const ConfineLayout layout;
  ::unlink(layout.log().c_str());
  const Outcome outcome = run_confined(
      layout.paths(), [&] { return append_to_log("line\n"); }, [&] { open_log(layout); });
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(test::read_file(layout.log()), "line\n");
}

// A link is replaced by a regular file at the first change, but until then
// it is read through as ever; its neighbours stay out of reach.
TEST(Confine, ReadsThroughALinkedAuthUserFile) {
  const ConfineLayout layout;
  test::write_file(layout.path("elsewhere/users"), "bob:$apr1$x$y\n");
  ::unlink(layout.users().c_str());
  ASSERT_EQ(::symlink(layout.path("elsewhere/users").c_str(), layout.users().c_str()), 0);
  const Outcome outcome = run_confined(layout.paths(), [&] {
    if (const int e = try_open(layout.users(), O_RDONLY)) return e;
    return 100 + try_open(layout.path("elsewhere/secret"), O_RDONLY);
  });
  EXPECT_EQ(outcome.exit_status, 100 + EACCES);
}

TEST(Confine, NothingConfiguredLeavesNothingReachable) {
  const ConfineLayout layout;
  const Outcome outcome = run_confined({}, [&] { return try_open(layout.users(), O_RDONLY); });
  EXPECT_EQ(outcome.exit_status, EACCES);
  EXPECT_EQ(outcome.err, "");
}

// Calls the program never makes end it: running another program, or
// reaching for the network.
TEST(Confine, ForbiddenCallsKillTheProcess) {
  if (!confine_filters_syscalls()) GTEST_SKIP() << "no system-call filter under the sanitizers";
  const ConfineLayout layout;
  const std::function<int()> probes[] = {
      [] {
        char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
        ::execve("/bin/true", argv, nullptr);
        return errno;
      },
      [] { return ::socket(AF_INET, SOCK_STREAM, 0) < 0 ? errno : 0; },
      [&] { return ::mkdir(layout.path("store/d").c_str(), 0700) == 0 ? 0 : errno; },
      // fcntl only for close-on-exec: no signals sent on a descriptor's events.
      [] { return ::fcntl(0, F_SETOWN, 1) < 0 ? errno : 0; },
      // Injected code cannot be given memory to run in.
      [] {
        return ::mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) ==
                       MAP_FAILED
                   ? errno
                   : 0;
      },
      [] {
        void* page =
            ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) return 100 + errno;
        return ::mprotect(page, 4096, PROT_READ | PROT_EXEC) == 0 ? 0 : errno;
      },
  };
  for (const auto& probe : probes) {
    const Outcome outcome = run_confined(layout.paths(), probe);
    EXPECT_EQ(outcome.signal, SIGSYS);
  }
  EXPECT_FALSE(test::file_exists(layout.path("store/d")));
}

// A TCP listener on the loopback, for a confined client to connect to.
class Listener {
 public:
  Listener() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size);
    ::listen(fd_, 4);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() { ::close(fd_); }
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

int connect_to(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 200 + errno;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
}

// A database store's filter lets its client's calls through, and no more;
// where Landlock has network rules, TCP reaches the server's port alone.
TEST(Confine, DatabaseClientReachesOnlyItsServer) {
  if (!confine_filters_syscalls()) GTEST_SKIP() << "no system-call filter under the sanitizers";
  const ConfineLayout layout;
  const Listener server, other;
  ConfinePaths paths = layout.paths();
  paths.database_client = true;
  paths.tcp_port = server.port();
  const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U /* VERSION */);
  struct Probe {
    const char* label;
    std::function<int()> run;
    int signal;
    int exit_status;
  } const probes[] = {
      {"Unix socket", [] { return ::socket(AF_UNIX, SOCK_STREAM, 0) >= 0 ? 0 : errno; }, 0, 0},
      {"the server's port", [&] { return connect_to(server.port()); }, 0, 0},
      {"another port", [&] { return connect_to(other.port()); }, 0, abi >= 4 ? EACCES : 0},
      {"netlink socket", [] { return ::socket(AF_NETLINK, SOCK_RAW, 0) >= 0 ? 0 : errno; }, SIGSYS,
       -1},
      {"a program",
       [] {
         char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
         ::execve("/bin/true", argv, nullptr);
         return errno;
       },
       SIGSYS, -1},
  };
  for (const Probe& probe : probes) {
    SCOPED_TRACE(probe.label);
    const Outcome outcome = run_confined(paths, probe.run);
    EXPECT_EQ(outcome.signal, probe.signal);
    if (probe.signal == 0) {
      EXPECT_EQ(outcome.exit_status, probe.exit_status);
    }
    EXPECT_EQ(outcome.err, "");
  }
}

// Under the sanitizers, Landlock alone still refuses to run a program.
TEST(Confine, ExecutingAProgramFailsWithoutTheFilterToo) {
  if (confine_filters_syscalls()) GTEST_SKIP() << "the filter kills first";
  const ConfineLayout layout;
  const Outcome outcome = run_confined(layout.paths(), [] {
    char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
    ::execve("/bin/true", argv, nullptr);
    return errno;
  });
  EXPECT_EQ(outcome.exit_status, EACCES);
}

// Makes the named system calls fail with ENOSYS from now on, as on a
// kernel that lacks them.
void pretend_missing(std::initializer_list<int> calls) {
  scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ALLOW);
  for (const int call : calls) ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), call, 0);
  ::seccomp_load(filter);
  ::seccomp_release(filter);
}

TEST(Confine, WithoutLandlockGoesOnAndSaysSoOnce) {
  const ConfineLayout layout;
  const Outcome outcome = run_confined(
      layout.paths(), [] { return try_open("/etc/passwd", O_RDONLY); },
      [] { pretend_missing({SCMP_SYS(landlock_create_ruleset)}); });
  EXPECT_EQ(outcome.signal, 0);
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.err, "larkspur: could not confine: Landlock (ENOSYS)\n");
}

TEST(Confine, WithNeitherLandlockNorSeccompStillRuns) {
  if (!confine_filters_syscalls()) GTEST_SKIP() << "no system-call filter under the sanitizers";
  const ConfineLayout layout;
  const Outcome outcome = run_confined(
      layout.paths(),
      [] {
        // Not killed: no filter took hold.
        return ::socket(AF_INET, SOCK_STREAM, 0) >= 0 ? 0 : errno;
      },
      [] {
        pretend_missing({SCMP_SYS(landlock_create_ruleset), SCMP_SYS(seccomp)});
      });
  EXPECT_EQ(outcome.signal, 0);
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.err.rfind("larkspur: could not confine: Landlock (ENOSYS), seccomp (", 0), 0u)
      << outcome.err;
  EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << "one line";
}

}  // namespace
}  // namespace larkspur::platform
