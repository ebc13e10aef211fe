// SPDX-License-Identifier: Apache-2.0
// What a guess at an old password can and cannot do: hold up another user's
// change while its hash is checked, escape its count by being killed, tell
// known names from unknown ones by the time it takes, or, for a visitor the
// web server logged in, aim at another user's name.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "cgi_site.h"

namespace larkspur::test {
namespace {

using namespace std::chrono_literals;

// "user:hash" with a bcrypt hash of `cost`, made by htpasswd.
std::string bcrypt_line(const std::string& user, const std::string& password, int cost) {
  ProcessResult r = run_htpasswd({"htpasswd", "-nbB", "-C", std::to_string(cost), user, password});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  return r.out.substr(0, r.out.find('\n'));
}

// Failures of alice counted in the failures file: the times on her line,
// each "<time>" or "<time>*<count>".
int alice_failures(const Site& site) {
  const std::string text = read_file(site.auth_file() + ".failures");
  const std::string key = "n 616c696365 ";
  const std::size_t at = text.find(key);
  if (at == std::string::npos || (at > 0 && text[at - 1] != '\n')) return 0;
  std::istringstream times(text.substr(at + key.size(), text.find('\n', at) - at - key.size()));
  int total = 0;
  for (std::string slot; times >> slot;) {
    const std::size_t star = slot.find('*');
    total += star == std::string::npos ? 1 : std::stoi(slot.substr(star + 1));
  }
  return total;
}

// CPU time `pid` has used so far, in clock ticks.
long cpu_ticks(pid_t pid) {
  std::istringstream stat(read_file("/proc/" + std::to_string(pid) + "/stat"));
  std::string field;
  // After "(comm)", which holds no space here, utime and stime are the 12th and 13th.
  for (int i = 0; i < 13 && stat >> field; ++i) {
  }
  long user = 0, system = 0;
  stat >> user >> system;
  return user + system;
}

// Starts a guess at alice's old password and returns once `under_way` says
// it has got as far as its hash check.
void start_guess(const Site& site, std::optional<RunningProcess>& guess,
                 const std::function<bool(pid_t)>& under_way) {
  const std::string body = change_body("alice", "a-wrong-guess", "n1", "n1");
  guess.emplace(site.post_spec(body));
  guess->send(body);
  guess->close_input();
  bool there = false;
  for (int i = 0; i < 3000 && !there && guess->running(); ++i) {
    there = under_way(guess->pid());
    if (!there) std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(there) << "the guess ended first";
}

class Guessing : public ::testing::Test {
 protected:
  void use(const std::string& setup) {
    site_.write_ini("[path]\nauth_user_file=htpasswd\nlog_file=activity.log\n[setup]\n" + setup);
  }

  Site site_;
};

// The guess's hash check takes a good second (bcrypt 14); bob's change
// needs the lock only for its rewrite and is done while the check runs.
TEST_F(Guessing, AChangeCompletesWhileAnotherUsersGuessIsChecked) {
  use("");
  write_file(site_.auth_file(),
             bcrypt_line("alice", "old-secret", 14) + "\n" + htpasswd_line("bob", "bob-secret") + "\n");
  // A tenth of a second of CPU: past its start, well into the hash.
  const long ticks = sysconf(_SC_CLK_TCK) / 10;
  std::optional<RunningProcess> guess;
  ASSERT_NO_FATAL_FAILURE(
      start_guess(site_, guess, [&](pid_t pid) { return cpu_ticks(pid) >= ticks; }));
  const ProcessResult bob = site_.post(change_body("bob", "bob-secret", "n2", "n2"));
  EXPECT_TRUE(guess->running()) << "the guess ended before bob's change";
  EXPECT_EQ(bob.out, framed(plain_message("bob:changed password successfully")));
  EXPECT_TRUE(WIFEXITED(guess->wait()));
  EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), "bob", "n2"));
  EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), "alice", "old-secret"));
  const std::string log = read_file(site_.log_file());
  EXPECT_LT(log.find("] bob:changed password"), log.find("] alice:old password is incorrect"))
      << log;
}

// Killed as the web server kills a request that runs too long: each still
// counts, and the limit is reached.
TEST_F(Guessing, AGuessKilledDuringItsCheckStillCounts) {
  use("max_failures=3\n");
  const std::string original = bcrypt_line("alice", "old-secret", 14) + "\n";
  write_file(site_.auth_file(), original);
  for (int i = 0; i < 3; ++i) {
    // Polled until counted, which comes right before the hash check.
    std::optional<RunningProcess> guess;
    ASSERT_NO_FATAL_FAILURE(
        start_guess(site_, guess, [&](pid_t) { return alice_failures(site_) == i + 1; }));
    guess->signal(SIGKILL);
    const int status = guess->wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "ended first: " << i;
  }
  const ProcessResult r = site_.post(change_body("alice", "old-secret", "n1", "n1"));
  EXPECT_EQ(r.out, framed(linked_message("Too many failed attempts, please try again later")));
  EXPECT_EQ(read_file(site_.auth_file()), original);
}

// Measured in CPU time, which a loaded machine does not stretch as it does
// the time on the clock; the median of a few runs each, taken in turns.
TEST_F(Guessing, UnknownAndKnownNamesCostAlike) {
  use("hash=bcrypt\nhash_cost=12\nmax_failures=0\nmax_failures_per_address=0\n");
  write_file(site_.auth_file(), bcrypt_line("alice", "old-secret", 12) + "\n");
  constexpr int kRuns = 5;
  std::vector<std::chrono::microseconds> known, unknown;
  for (int i = 0; i <= kRuns; ++i) {
    const ProcessResult k = site_.post(change_body("alice", "wrong", "n1", "n1"));
    const ProcessResult u = site_.post(change_body("alicx", "wrong", "n1", "n1"));
    EXPECT_EQ(k.out, framed(linked_message("alice:old password is incorrect")));
    EXPECT_EQ(u.out, framed(linked_message("alicx:old password is incorrect")));
    if (i == 0) continue;  // the first of each warms the caches
    known.push_back(k.cpu_time);
    unknown.push_back(u.cpu_time);
  }
  const auto median = [](std::vector<std::chrono::microseconds> times) {
    std::nth_element(times.begin(), times.begin() + kRuns / 2, times.end());
    return static_cast<double>(times[kRuns / 2].count());
  };
  const double k = median(known), u = median(unknown);
  EXPECT_LE(std::abs(k - u), 0.25 * std::max(k, u)) << "known " << k << " us, unknown " << u << " us";
}

TEST_F(Guessing, ALoggedInVisitorChangesOnlyTheirOwnPassword) {
  const std::string original = htpasswd_line("alice", "old-secret") + "\n";
  const std::string refused = framed(linked_message("You can change only your own password"));
  const std::string changed = framed(plain_message("alice:changed password successfully"));
  struct Case {
    const char* setup;
    const char* remote_user;  // nullptr: the web server logged nobody in
    const std::string& page;
  };
  const Case cases[] = {
      {"own_password_only=yes\n", "bob", refused},
      {"own_password_only=yes\n", nullptr, changed},
      {"own_password_only=yes\n", "alice", changed},
      {"", "bob", changed},
  };
  const auto environment = [&](const char* remote_user, std::vector<std::string> extra) {
    std::vector<std::string> env = site_.environment(std::move(extra));
    std::erase_if(env, [](const std::string& e) { return e.starts_with("REMOTE_USER="); });
    if (remote_user != nullptr) env.push_back(std::string("REMOTE_USER=") + remote_user);
    return env;
  };
  for (const Case& c : cases) {
    const std::string what = std::string(c.setup) + (c.remote_user ? c.remote_user : "(none)");
    use(c.setup);
    write_file(site_.auth_file(), original);
    std::filesystem::remove(site_.log_file());
    std::filesystem::remove(site_.auth_file() + ".failures");
    // The right old password: the refusal does not depend on a check.
    const std::string body = change_body("alice", "old-secret", "n1", "n1");
    const ProcessResult r = run_process(site_.command(
        environment(c.remote_user, {"REQUEST_METHOD=POST",
                                    "CONTENT_TYPE=application/x-www-form-urlencoded",
                                    "CONTENT_LENGTH=" + std::to_string(body.size())}),
        body));
    EXPECT_EQ(r.out, c.page) << what;
    if (&c.page != &refused) continue;
    const std::string log = read_file(site_.log_file());
    EXPECT_EQ(log.substr(std::min<std::size_t>(log.size(), 22)),
              "[10.0.0.5][bob] alice:change refused: logged in as another user\n")
        << what;
    EXPECT_FALSE(file_exists(site_.auth_file() + ".failures")) << what << ": counted";
    EXPECT_EQ(read_file(site_.auth_file()), original) << what;
  }

  // The modern form fills the name box with the logged-in name, read-only.
  const struct {
    const char* setup;
    const char* remote_user;
    const char* name_box;  // nullptr: an empty box one can type in
  } forms[] = {
      {"own_password_only=yes\n", "bob", "autocomplete=\"username\" value=\"bob\" readonly "},
      {"own_password_only=yes\n", "b\"o<b", "value=\"b&#34;o<b\" readonly "},
      {"own_password_only=yes\n", nullptr, nullptr},
      {"", "bob", nullptr},
  };
  for (const auto& f : forms) {
    const std::string what = std::string(f.setup) + (f.remote_user ? f.remote_user : "(none)");
    use(std::string(f.setup) + "[html]\nlayout=modern\n");
    const ProcessResult r =
        run_process(site_.command(environment(f.remote_user, {"REQUEST_METHOD=GET"})));
    EXPECT_EQ(r.exit_status, 0) << what;
    if (f.name_box != nullptr) {
      EXPECT_NE(r.out.find(f.name_box), std::string::npos) << what << "\n" << r.out;
    } else {
      EXPECT_NE(r.out.find("name=\"name\" autocomplete=\"username\" autocapitalize"),
                std::string::npos)
          << what << "\n" << r.out;
      EXPECT_EQ(r.out.find("readonly"), std::string::npos) << what;
    }
  }
}

}  // namespace
}  // namespace larkspur::test
