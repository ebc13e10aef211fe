// SPDX-License-Identifier: Apache-2.0
// Test support: running a program as a process with an exact environment,
// working directory and standard input, and temporary directories.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace larkspur::test {

struct Command {
  std::string program;            // path of the executable
  std::vector<std::string> argv;  // argv[0] included; empty means {program}
  std::vector<std::string> env;   // "NAME=value"; nothing else is passed
  std::string stdin_data;
  std::string cwd;  // empty: the current one
  int uid = -1;     // >= 0: run as this user (and gid), which needs root
  int gid = -1;
  std::chrono::milliseconds timeout{60000};
};

struct ProcessResult {
  int exit_status = -1;  // 0..255 when the process exited
  int signal = 0;        // the signal that ended it, else 0
  bool timed_out = false;
  std::string out;
  std::string err;
  std::chrono::microseconds cpu_time{0};  // user and system time it used
};

ProcessResult run_process(const Command& command);

// A process left running, for tests that act on it midway: its standard
// input stays open for `send`, its output goes to /dev/null. Killed with
// SIGKILL if still running when the object goes.
class RunningProcess {
 public:
  explicit RunningProcess(const Command& command);
  ~RunningProcess();
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Writes all of `bytes` to its standard input; false once it is closed.
  bool send(const std::string& bytes);
  void close_input();
  void signal(int signal_number);
  // Whether it has not ended yet (reaps it when it has).
  bool running();
  // Waits for the end; the wait status as waitpid gives it.
  int wait();

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

// A fresh private directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets an environment variable (or unsets it, for nullptr) for the life of
// the object, then puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);

// The larkspur.cgi that this build produced.
std::string cgi_binary();

}  // namespace larkspur::test
