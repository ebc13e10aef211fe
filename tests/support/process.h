// Test support: running a program as a process with an exact environment,
// working directory and standard input, and temporary directories.
#pragma once

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
  std::chrono::milliseconds timeout{60000};
};

struct ProcessResult {
  int exit_status = -1;  // 0..255 when the process exited
  int signal = 0;        // the signal that ended it, else 0
  bool timed_out = false;
  std::string out;
  std::string err;
};

ProcessResult run_process(const Command& command);

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
