// SPDX-License-Identifier: Apache-2.0
// The running program confines itself for every request, and goes on when
// the kernel offers no confinement, as strace shows and arranges.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "cgi_site.h"
#include "platform/confine.h"

namespace larkspur::test {
namespace {

constexpr const char* kStrace = "/usr/bin/strace";

class ConfineProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(file_exists(kStrace)) << "scripts/deps installs strace";
    write_file(site_.auth_file(), htpasswd_line("alice", "old-secret") + "\n");
    site_.write_ini("[path]\nauth_user_file=htpasswd\nlog_file=activity.log\n");
  }

  // Runs `request` under strace with `strace_options`; the trace goes to
  // trace_file(), so standard error holds only what the program wrote.
  ProcessResult traced(Command request, const std::vector<std::string>& strace_options) {
    Command command = request;
    command.program = kStrace;
    command.argv = {kStrace, "-f", "-qq", "-o", trace_file()};
    command.argv.insert(command.argv.end(), strace_options.begin(), strace_options.end());
    command.argv.push_back(request.program);
    if (!request.argv.empty()) {
      command.argv.insert(command.argv.end(), request.argv.begin() + 1, request.argv.end());
    }
    // LeakSanitizer cannot work under a tracer.
    command.env.push_back("ASAN_OPTIONS=detect_leaks=0");
    return run_process(command);
  }

  Command form_request() const { return site_.command(site_.environment({"REQUEST_METHOD=GET"})); }
  Command change_request() const {
    return site_.post_spec(change_body("alice", "old-secret", "new-secret", "new-secret"));
  }
  std::string trace_file() const { return trace_dir_.file("trace"); }

  Site site_;
  TempDir trace_dir_;
};

TEST_F(ConfineProcess, FormAndChangeConfineThemselves) {
  const std::vector<std::string> trace = {"-e", "trace=landlock_restrict_self,seccomp"};
  for (const bool change : {false, true}) {
    SCOPED_TRACE(change ? "change" : "form");
    const ProcessResult r = traced(change ? change_request() : form_request(), trace);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    const std::string strace = read_file(trace_file());
    static const std::regex restricted(R"(landlock_restrict_self\(\d+, 0\) += 0\n)");
    static const std::regex filtered(
        R"(seccomp\(SECCOMP_SET_MODE_FILTER, 0, \{len=\d+, filter=0x[0-9a-f]+\}\) += 0\n)");
    EXPECT_TRUE(std::regex_search(strace, restricted)) << strace;
    EXPECT_EQ(std::regex_search(strace, filtered), platform::confine_filters_syscalls()) << strace;
    if (change) {
      EXPECT_EQ(r.out, framed(plain_message("alice:changed password successfully")));
      EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), "alice", "new-secret"));
    } else {
      EXPECT_EQ(r.out, run_process(form_request()).out);
    }
  }
}

// The administrator's console commands ask about files the confined request
// would never see (the INI file's own directory, say), so they run free.
TEST_F(ConfineProcess, ConsoleCommandsAreNotConfined) {
  for (const char* argument : {"--check", "--version"}) {
    SCOPED_TRACE(argument);
    const ProcessResult r =
        traced(site_.console(argument), {"-e", "trace=landlock_restrict_self,seccomp"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(trace_file()), "");
  }
}

// A file of many blocks: unchanged ranges are copied file to file and the
// file is read in windows, all within what the confined process may do.
TEST_F(ConfineProcess, ChangesAPasswordInALargeFile) {
  const std::string hash = htpasswd_line("x", "other").substr(2);
  std::string users;
  for (int i = 0; i < 50000; ++i) users += "user" + std::to_string(i) + ":" + hash + "\n";
  users += htpasswd_line("alice", "old-secret") + "\n";
  for (int i = 50000; i < 100000; ++i) users += "user" + std::to_string(i) + ":" + hash + "\n";
  write_file(site_.auth_file(), users);
  const ProcessResult r = run_process(change_request());
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.out, framed(plain_message("alice:changed password successfully")));
  EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), "alice", "new-secret"));
  EXPECT_EQ(read_file(site_.auth_file()).size(), users.size());
}

// A change of a DBM file made by htdbm, of every type, confined: the
// type's module is loaded before, and its writes are allowed after.
TEST_F(ConfineProcess, ChangesADbmFileOfEachType) {
  const std::vector<std::string> trace = {"-e", "trace=landlock_restrict_self,seccomp"};
  for (const char* type : {"DB", "GDBM", "SDBM"}) {
    SCOPED_TRACE(type);
    const std::string users = site_.file(std::string("users-") + type);
    ASSERT_EQ(run_htdbm(type, {"-cb", users, "alice", "old-secret"}).exit_status, 0);
    for (int i = 0; i < 40; ++i) {
      ASSERT_EQ(run_htdbm(type, {"-b", users, "user" + std::to_string(i), "pw"}).exit_status, 0);
    }
    site_.write_ini("[path]\nlog_file=activity.log\n[dbm]\nfile=" + users + "\ntype=" + type +
                    "\n");
    const ProcessResult r = traced(change_request(), trace);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, framed(plain_message("alice:changed password successfully")));
    const std::string strace = read_file(trace_file());
    EXPECT_NE(strace.find("landlock_restrict_self("), std::string::npos) << strace;
    EXPECT_EQ(strace.find("SECCOMP_SET_MODE_FILTER") != std::string::npos,
              platform::confine_filters_syscalls());
    EXPECT_EQ(run_htdbm(type, {"-vb", users, "alice", "new-secret"}).exit_status, 0);
  }
}

// A kernel without Landlock, or one that refuses the filter: the request is
// answered as ever, and the error log gets one line.
TEST_F(ConfineProcess, WithoutConfinementTheRequestIsAnsweredAndOneLineSaysSo) {
  const std::string form = run_process(form_request()).out;
  struct Case {
    std::string inject;
    std::string line;  // how the one line begins
  };
  std::vector<Case> cases = {
      {"inject=landlock_create_ruleset:error=ENOSYS",
       "larkspur: could not confine: Landlock (ENOSYS)\n"},
  };
  if (platform::confine_filters_syscalls()) {
    cases.push_back({"inject=landlock_create_ruleset,seccomp:error=EPERM",
                     "larkspur: could not confine: Landlock (EPERM), seccomp ("});
  }
  const auto expect_one_line = [](const std::string& err, const std::string& start) {
    EXPECT_EQ(err.rfind(start, 0), 0u) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inject);
    ProcessResult r = traced(form_request(), {"-e", c.inject});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, form);
    expect_one_line(r.err, c.line);
  }
  const ProcessResult r = traced(change_request(), {"-e", cases.back().inject});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, framed(plain_message("alice:changed password successfully")));
  expect_one_line(r.err, cases.back().line);
  EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), "alice", "new-secret"));
}

}  // namespace
}  // namespace larkspur::test
