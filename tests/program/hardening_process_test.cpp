// SPDX-License-Identifier: Apache-2.0
// What a hostile client or a hostile local user can do to the running
// program: changes by GET, telling names apart, core dumps, arguments from
// the query, the log as a FIFO or a forged line, and the update lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "cgi_site.h"

namespace larkspur::test {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The log line's text after "[stamp] ".
std::string logged_text(const std::string& line) { return line.size() > 22 ? line.substr(22) : ""; }

class Hardening : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.write_ini("[path]\nauth_user_file=htpasswd\nlog_file=activity.log\n");
    original_ = htpasswd_line("alice", "old-secret") + "\n";
    write_file(site_.auth_file(), original_);
  }

  Site site_;
  std::string original_;
};

TEST_F(Hardening, OnlyAPostRunsTheChange) {
  const std::string query = change_body("alice", "old-secret", "n1", "n1");
  // Only GET decodes the query string; other methods see no fields at all.
  struct Case {
    const char* method;
    bool refused;  // else the form, as for any request without the submit field
  };
  const Case cases[] = {{"GET", true}, {"get", true}, {"HEAD", false}, {"PUT", false}, {"", false}};
  for (const Case& c : cases) {
    std::filesystem::remove(site_.log_file());
    ProcessResult r = run_process(site_.command(
        site_.environment({std::string("REQUEST_METHOD=") + c.method, "QUERY_STRING=" + query})));
    EXPECT_EQ(r.exit_status, 0) << c.method;
    if (c.refused) {
      EXPECT_EQ(r.out, framed(linked_message("Please use the form to change your password")))
          << c.method;
      EXPECT_EQ(logged_text(read_file(site_.log_file())),
                "[10.0.0.5][webuser] Change refused: not sent by POST\n")
          << c.method;
    } else {
      EXPECT_NE(r.out.find("<form method=\"POST\""), std::string::npos) << c.method;
      EXPECT_FALSE(file_exists(site_.log_file())) << c.method;
    }
    EXPECT_EQ(read_file(site_.auth_file()), original_) << c.method;
    EXPECT_FALSE(file_exists(site_.auth_file() + ".lock")) << "no lock taken for " << c.method;
  }

  // Without the submit field a GET still shows the form, and a POST in any
  // letter case changes.
  ProcessResult form = site_.get("name=alice");
  EXPECT_NE(form.out.find("<form method=\"POST\""), std::string::npos) << form.out;
  ProcessResult post = run_process(site_.command(
      site_.environment({"REQUEST_METHOD=pOsT", "CONTENT_TYPE=application/x-www-form-urlencoded",
                         "CONTENT_LENGTH=" + std::to_string(query.size())}),
      query));
  EXPECT_EQ(post.out, framed(plain_message("alice:changed password successfully")));
}

TEST_F(Hardening, ConfiguredPostRequiredText) {
  site_.write_ini("[path]\nauth_user_file=htpasswd\n[html]\npost_required=<b>POST!</b>\n");
  ProcessResult r = site_.get("chgpasswd=1");
  EXPECT_EQ(r.out, framed(linked_message("<b>POST!</b>")));
}

TEST_F(Hardening, UnknownNameAndWrongPasswordGetTheSamePage) {
  const ProcessResult unknown = site_.post(change_body("alicx", "old-secret", "n1", "n1"));
  const ProcessResult wrong = site_.post(change_body("alicx", "wrong", "n1", "n1"));
  write_file(site_.auth_file(), original_ + htpasswd_line("alicx", "right") + "\n");
  const ProcessResult existing = site_.post(change_body("alicx", "wrong", "n1", "n1"));
  EXPECT_EQ(unknown.out, framed(linked_message("alicx:old password is incorrect")));
  EXPECT_EQ(existing.out, unknown.out);
  EXPECT_EQ(wrong.out, unknown.out);
  const auto log = lines_of(read_file(site_.log_file()));
  ASSERT_EQ(log.size(), 3u);
  EXPECT_TRUE(log[0].ends_with("] alicx:no this user"));
  EXPECT_TRUE(log[2].ends_with("] alicx:old password is incorrect"));
}

TEST_F(Hardening, NoCoreDumpWhileHoldingPasswords) {
  // Hold the lock, so that the request waits with both passwords in memory.
  const int held =
      ::open((site_.auth_file() + ".lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const std::string body = change_body("alice", "old-secret", "n1", "n1");
  RunningProcess cgi(site_.post_spec(body));
  cgi.send(body);
  cgi.close_input();

  // Polled: right after exec the limits are still the inherited ones.
  std::string soft, hard, line;
  for (int i = 0; i < 300 && !(soft == "0" && hard == "0"); ++i) {
    std::this_thread::sleep_for(10ms);
    std::ifstream limits("/proc/" + std::to_string(cgi.pid()) + "/limits");
    while (std::getline(limits, line) && !line.starts_with("Max core file size")) {
    }
    std::istringstream fields(line.substr(std::min(line.size(), std::size_t{18})));
    fields >> soft >> hard;
  }
  ::close(held);
  EXPECT_TRUE(WIFEXITED(cgi.wait()));
  EXPECT_EQ(soft, "0") << line;
  EXPECT_EQ(hard, "0") << line;
}

TEST_F(Hardening, ArgumentsFromTheQueryAreIgnored) {
  // What Apache does for "GET /cgi-bin/larkspur.cgi?-h".
  Command command = site_.command(site_.environment({"REQUEST_METHOD=GET", "QUERY_STRING=-h"}));
  command.argv = {cgi_binary(), "-h"};
  ProcessResult r = run_process(command);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out.rfind("Content-type: text/html\r\n\r\n", 0), 0u) << r.out;
  EXPECT_EQ(r.out.find("for this help"), std::string::npos);
}

TEST_F(Hardening, ALogThatIsNoRegularFileNeverHangsAChange) {
  ASSERT_EQ(::mkfifo(site_.log_file().c_str(), 0600), 0);
  Command command = site_.post_spec(change_body("alice", "old-secret", "n1", "n1"));
  command.timeout = 20s;
  ProcessResult r = run_process(command);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.out, framed(plain_message("alice:changed password successfully")));
  EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), "alice", "n1"));
}

TEST_F(Hardening, RequestTextCannotForgeALogLine) {
  const std::string forged = "[2026-01-01 00:00:00] [6.6.6.6][x] x:changed password";
  ProcessResult r = site_.post(change_body("a\x1b[2Jb", "x", "n1", "n1"),
                               {"REMOTE_USER=eve\n" + forged, "REMOTE_ADDR=10.0.0.5\r"});
  EXPECT_EQ(r.exit_status, 0);
  const auto log = lines_of(read_file(site_.log_file()));
  ASSERT_EQ(log.size(), 1u) << read_file(site_.log_file());
  EXPECT_EQ(logged_text(log[0]), "[10.0.0.5\\x0d][eve\\x0a" + forged + "] a\\x1b[2Jb:no this user");
}

TEST_F(Hardening, LockLivesBesideTheAuthUserFile) {
  // A lock file held in the temporary directory, where it used to live,
  // plays no part.
  const int planted = ::open((site_.tmp_dir() + "/LarkspurByWren_ZmyPB7A.lock").c_str(),
                             O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(planted, 0);
  ASSERT_EQ(::flock(planted, LOCK_EX), 0);
  const auto start = std::chrono::steady_clock::now();
  ProcessResult r = site_.post(change_body("alice", "old-secret", "n1", "n1"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  ::close(planted);
  EXPECT_EQ(r.out, framed(plain_message("alice:changed password successfully")));

  struct stat st;
  ASSERT_EQ(::lstat((site_.auth_file() + ".lock").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Hardening, LockThatIsNoRegularFileRefusesTheChange) {
  const std::string lock = site_.auth_file() + ".lock";
  write_file(site_.file("target"), "keep");
  struct Case {
    const char* what;
    std::function<int()> plant;
  };
  const Case cases[] = {
      {"symlink", [&] { return ::symlink(site_.file("target").c_str(), lock.c_str()); }},
      {"fifo", [&] { return ::mkfifo(lock.c_str(), 0600); }},
      {"directory", [&] { return ::mkdir(lock.c_str(), 0700); }},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(lock);
    ASSERT_EQ(c.plant(), 0) << c.what;
    std::filesystem::remove(site_.log_file());
    ProcessResult r = site_.post(change_body("alice", "old-secret", "n1", "n1"));
    EXPECT_EQ(r.out, framed(linked_message("Server error.."))) << c.what;
    EXPECT_TRUE(read_file(site_.log_file()).ends_with("] Can't open or create mutex\n")) << c.what;
    EXPECT_EQ(read_file(site_.auth_file()), original_) << c.what;
  }
  EXPECT_EQ(read_file(site_.file("target")), "keep");
}

TEST_F(Hardening, AMissingDirectoryIsAnUnconfiguredAuthUserFile) {
  for (const char* auth : {"", "no/such/dir/htpasswd"}) {
    site_.write_ini(std::string("[path]\nauth_user_file=") + auth + "\nlog_file=activity.log\n");
    std::filesystem::remove(site_.log_file());
    ProcessResult r = site_.post(change_body("alice", "old-secret", "n1", "n1"));
    EXPECT_EQ(r.out, framed(linked_message("Server error...."))) << auth;
    EXPECT_TRUE(read_file(site_.log_file()).ends_with("] No authuserfile configed\n")) << auth;
  }
  EXPECT_FALSE(file_exists(site_.root() + "/no"));
}

TEST_F(Hardening, TheEleventhGuessForOneNameIsRefused) {
  const std::string too_many =
      framed(linked_message("Too many failed attempts, please try again later"));
  for (int i = 0; i < 10; ++i) {
    // Addresses change: the name's count alone reaches its limit.
    ProcessResult r = site_.post(change_body("alice", "guess" + std::to_string(i), "n1", "n1"),
                                 {"REMOTE_ADDR=10.0.1." + std::to_string(i)});
    ASSERT_EQ(r.out, framed(linked_message("alice:old password is incorrect"))) << i;
  }
  // Even the right password is refused now, before any file is read.
  ProcessResult r =
      site_.post(change_body("alice", "old-secret", "n1", "n1"), {"REMOTE_ADDR=10.0.2.1"});
  EXPECT_EQ(r.out, too_many);
  EXPECT_EQ(read_file(site_.auth_file()), original_);
  const auto log = lines_of(read_file(site_.log_file()));
  ASSERT_EQ(log.size(), 11u);
  EXPECT_EQ(logged_text(log[10]), "[10.0.2.1][webuser] alice:too many failed attempts");

  // A refusal does not count again, and other names are not affected.
  const std::string failures = read_file(site_.auth_file() + ".failures");
  EXPECT_EQ(site_.post(change_body("alice", "x", "n1", "n1")).out, too_many);
  EXPECT_EQ(read_file(site_.auth_file() + ".failures"), failures);
  EXPECT_EQ(site_.post(change_body("bob", "x", "n1", "n1")).out,
            framed(linked_message("bob:old password is incorrect")));

  // The file holds counts, never a password or a hash.
  for (const char* secret : {"guess", "old-secret", "$apr1$", "alice"}) {
    EXPECT_EQ(failures.find(secret), std::string::npos) << secret;
  }
  struct stat st;
  ASSERT_EQ(::stat((site_.auth_file() + ".failures").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Hardening, ThrottleKeysComeFromTheSetupSection) {
  site_.write_ini(
      "[path]\nauth_user_file=htpasswd\nlog_file=activity.log\n"
      "[setup]\nmax_failures=2\nmax_failures_per_address=3\nfailure_window=600\n"
      "[html]\ntoo_many_failures=<b>Later</b>\n");
  const std::string refused = framed(linked_message("<b>Later</b>"));
  // One address, different names: the fourth name is refused.
  for (const char* name : {"u1", "u2", "u3"}) site_.post(change_body(name, "x", "n1", "n1"));
  EXPECT_EQ(site_.post(change_body("u4", "x", "n1", "n1")).out, refused);
  EXPECT_NE(site_.post(change_body("u4", "x", "n1", "n1"), {"REMOTE_ADDR=10.9.9.9"}).out, refused);

  // A success clears the name's count: two more guesses are allowed.
  const std::vector<std::string> other = {"REMOTE_ADDR=10.0.0.6"};
  site_.post(change_body("alice", "x", "n1", "n1"), other);
  EXPECT_EQ(site_.post(change_body("alice", "old-secret", "n1", "n1"), other).out,
            framed(plain_message("alice:changed password successfully")));
  const std::vector<std::string> third = {"REMOTE_ADDR=10.0.0.7"};
  site_.post(change_body("alice", "x", "n2", "n2"), third);
  EXPECT_NE(site_.post(change_body("alice", "x", "n2", "n2"), third).out, refused);
  EXPECT_EQ(site_.post(change_body("alice", "n1", "n2", "n2"), third).out, refused);
}

// A mistyped limit keeps its default and says so; it never turns the count off.
TEST_F(Hardening, MistypedLimitsKeepTheirDefaults) {
  site_.write_ini(
      "[path]\nauth_user_file=htpasswd\nlog_file=activity.log\n"
      "[setup]\nmax_failures=xyz\nmax_failures_per_address=abc\nfailure_window=15m\n");
  for (int i = 0; i < 10; ++i) {
    ProcessResult r = site_.post(change_body("alice", "guess" + std::to_string(i), "n1", "n1"),
                                 {"REMOTE_ADDR=10.0.1." + std::to_string(i)});
    ASSERT_EQ(r.out, framed(linked_message("alice:old password is incorrect"))) << i;
    EXPECT_EQ(lines_of(r.err).size(), 3u) << r.err;
    EXPECT_NE(r.err.find("larkspur: max_failures in [setup] of "), std::string::npos) << r.err;
  }
  EXPECT_EQ(site_.post(change_body("alice", "old-secret", "n1", "n1")).out,
            framed(linked_message("Too many failed attempts, please try again later")));
}

TEST_F(Hardening, ThrottleOffWithZeroes) {
  site_.write_ini(
      "[path]\nauth_user_file=htpasswd\nlog_file=activity.log\n"
      "[setup]\nmax_failures=0\nmax_failures_per_address=0\n");
  for (int i = 0; i < 12; ++i) site_.post(change_body("alice", "x", "n1", "n1"));
  EXPECT_EQ(site_.post(change_body("alice", "old-secret", "n1", "n1")).out,
            framed(plain_message("alice:changed password successfully")));
  EXPECT_FALSE(file_exists(site_.auth_file() + ".failures"));
}

// The flood of an attacker with many addresses: 5,200 failures of junk
// names, 29 from each of 180 addresses (under the per-address limit), after
// alice reached her limit. The first 5,180 stand in the file in the form
// of one line per failure that earlier versions wrote; the last 20 come
// through the program. None of them lowers alice's count.
TEST_F(Hardening, AFloodOfJunkFailuresDoesNotFreeANameAtItsLimit) {
  site_.write_ini(
      "[path]\nauth_user_file=htpasswd\nlog_file=activity.log\n"
      "[html]\ntoo_many_failures=<b>Later</b>\n");
  const std::string refused = framed(linked_message("<b>Later</b>"));
  for (int i = 0; i < 10; ++i) {
    site_.post(change_body("alice", "x", "n1", "n1"), {"REMOTE_ADDR=192.0.2." + std::to_string(i)});
  }
  const auto hex = [](const std::string& text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
      out += kHex[static_cast<unsigned char>(c) >> 4];
      out += kHex[c & 0xf];
    }
    return out;
  };
  const std::string now = std::to_string(std::time(nullptr));
  std::string lines;
  for (int i = 0; i < 5180; ++i) {
    const std::string address = "10.1.0." + std::to_string(i / 29);
    lines +=
        now + " n " + hex("junk" + std::to_string(i)) + "\n" + now + " a " + hex(address) + "\n";
  }
  std::ofstream(site_.auth_file() + ".failures", std::ios::app) << lines;
  for (int i = 5180; i < 5200; ++i) {
    site_.post(change_body("junk" + std::to_string(i), "x", "n1", "n1"),
               {"REMOTE_ADDR=2001:db8:" + std::to_string(i) + "::1"});
  }
  EXPECT_EQ(
      site_.post(change_body("alice", "old-secret", "n1", "n1"), {"REMOTE_ADDR=198.51.100.1"}).out,
      refused);
  EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), "alice", "old-secret"));
}

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> files;
  for (const auto& f : std::filesystem::directory_iterator(dir)) {
    files.push_back(f.path().filename().string());
  }
  return files;
}

// True once `pid` has an upload file open, which lives in memory without a
// name: the upload is under way.
bool has_unnamed_file_open(pid_t pid) {
  std::error_code ec;
  for (const auto& fd :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
    if (target.starts_with("/memfd:larkspur-upload") && target.ends_with(" (deleted)")) return true;
  }
  return false;
}

TEST_F(Hardening, AnUploadKilledMidwayLeavesNothing) {
  const std::string head =
      "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"big.bin\"\r\n\r\n";
  for (const int sig : {SIGTERM, SIGKILL}) {
    RunningProcess cgi(site_.command(
        site_.environment({"REQUEST_METHOD=POST", "CONTENT_TYPE=multipart/form-data; boundary=B",
                           "CONTENT_LENGTH=1000000"})));
    ASSERT_TRUE(cgi.send(head + std::string(1 << 19, 'u'))) << sig;
    bool uploading = false;
    for (int i = 0; i < 500 && !uploading; ++i) {
      uploading = has_unnamed_file_open(cgi.pid());
      if (!uploading) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(uploading) << sig;
    EXPECT_TRUE(files_in(site_.tmp_dir()).empty()) << "an upload file has a name";
    cgi.signal(sig);
    const int status = cgi.wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    EXPECT_TRUE(files_in(site_.tmp_dir()).empty()) << sig;
  }
}

TEST_F(Hardening, HostileBodiesEndWithNoOutput) {
  std::string fields;
  for (int i = 0; i < 1001; ++i)
    fields += "--B\r\nContent-Disposition: form-data; name=a\r\n\r\n\r\n";
  struct Case {
    const char* what;
    std::string content_type;
    std::string content_length;
    std::string body;  // what arrives of it
  };
  const Case cases[] = {
      {"48 MB of empty URL-encoded fields, refused unread", "application/x-www-form-urlencoded",
       "48000000", "a=&a=&a=&"},
      {"a multipart plain field past 64 KiB", "multipart/form-data; boundary=B", "100000000",
       "--B\r\nContent-Disposition: form-data; name=a\r\n\r\n" + std::string(70000, 'x')},
      {"1001 multipart fields", "multipart/form-data; boundary=B", "", fields + "--B--\r\n"},
  };
  for (const Case& c : cases) {
    const std::string length =
        c.content_length.empty() ? std::to_string(c.body.size()) : c.content_length;
    Command command =
        site_.command(site_.environment({"REQUEST_METHOD=POST", "CONTENT_TYPE=" + c.content_type,
                                         "CONTENT_LENGTH=" + length}),
                      c.body);
    command.timeout = 20s;
    const ProcessResult r = run_process(command);
    EXPECT_FALSE(r.timed_out) << c.what;
    EXPECT_EQ(r.exit_status, 255) << c.what;
    EXPECT_EQ(r.out, "") << c.what;
  }
}

}  // namespace
}  // namespace larkspur::test
