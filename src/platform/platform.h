// The three operating-system services the program relies on: its own path,
// a machine-wide named lock with a timed wait, and replacing one file by
// another in one step. POSIX means, nothing else of ours included.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "platform/posix_io.h"

namespace larkspur::platform {

// Records the name the web server ran us under (argv[0]). Links are not
// resolved: a symlink named passwd.cgi must read passwd.cgi.ini.
void set_invocation_name(std::string_view argv0);

// The program's own path: the invocation name, or /proc/self/exe when that
// was empty. Empty when neither is known.
std::string program_path();

// Makes the standard streams and the files opened afterwards pass bytes
// unchanged, where the C runtime would translate line ends. Call first.
void use_binary_io() noexcept;

// A lock shared by every process of the machine that uses the same name.
// On Linux a lock file in temp_dir() held with flock, so the kernel
// releases it when the holder dies: there is no abandoned state. On Windows
// a named mutex; a wait that finds it abandoned fails.
class NamedLock {
 public:
  explicit NamedLock(std::string name);
  // Gives ownership up and closes the lock file.
  ~NamedLock();
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

  // Opens the lock, creating it when it does not exist yet.
  bool open();
  // Waits at most `timeout` for ownership; true when this process owns it.
  bool wait(std::chrono::milliseconds timeout);
  // Gives ownership up; harmless when not owned.
  void release();

  // Where the lock file of `name` lives.
  static std::string lock_file_path(std::string_view name);

 private:
  std::string name_;
  UniqueFd fd_;            // Linux: the lock file
  void* mutex_ = nullptr;  // Windows: the mutex
  bool owned_ = false;
};

// Replaces `target` by `source` in one step (both in one directory), then
// makes the rename durable. False when nothing was replaced.
bool replace_file(const std::string& source, const std::string& target);

}  // namespace larkspur::platform
