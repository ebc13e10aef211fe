// SPDX-License-Identifier: Apache-2.0
// The operating-system services the program relies on: its own path,
// the update lock of an AuthUserFile with a timed wait, and replacing one file by
// another in one step. Each system's side is in files_<os>.cpp and
// process_<os>.cpp; nothing outside the platform is included.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "platform/posix_io.h"
#include "platform/result.h"

namespace larkspur::platform {

// Keeps the memory of this process, which holds passwords, out of core
// dumps and out of reach of other processes. Called first thing.
void forbid_core_dumps();

// Records the name the web server ran us under (argv[0]). Links are not
// resolved: a symlink named passwd.cgi must read passwd.cgi.ini.
void set_invocation_name(std::string_view argv0);

// The program's own path: the invocation name, or /proc/self/exe when that
// was empty. Empty when neither is known.
std::string program_path();

// Makes the standard streams and the files opened afterwards pass bytes
// unchanged, where the C runtime would translate line ends. Call first.
void use_binary_io() noexcept;

// The update lock of one AuthUserFile, shared by every process that edits
// that file. On Linux the file "<AuthUserFile>.lock" beside it, held with
// flock: the kernel releases it when the holder dies, and NFS carries it to
// other hosts that share the directory; only the directory's writers can
// create it, so no other local user can plant or hold it. On Windows the
// named mutex "LarkspurByWren_ZmyPB7A", whatever the path; a wait that finds
// it abandoned fails.
class UpdateLock {
 public:
  explicit UpdateLock(std::string auth_user_file);
  // Gives ownership up and closes the lock file.
  ~UpdateLock();
  UpdateLock(const UpdateLock&) = delete;
  UpdateLock& operator=(const UpdateLock&) = delete;

  // Opens the lock, creating it when it does not exist yet. Step::kMissing
  // when the AuthUserFile's directory does not exist, Step::kLock when the
  // lock cannot be opened or created, or is not a regular file.
  Status open();
  // Waits at most `timeout` for ownership; fine when this process owns it,
  // else Step::kWait.
  Status wait(std::chrono::milliseconds timeout);
  // Gives ownership up; harmless when not owned.
  void release();

  // Where the lock of `auth_user_file` lives.
  static std::string lock_file_path(std::string_view auth_user_file);

 private:
  std::string auth_user_file_;
  [[maybe_unused]] UniqueFd fd_;            // Linux: the lock file
  [[maybe_unused]] void* mutex_ = nullptr;  // Windows: the mutex
  bool owned_ = false;
};

// Replaces `target` by `source` in one step (both in one directory), then
// makes the rename durable. Fails when nothing was replaced.
Status replace_file(const std::string& source, const std::string& target);

// Whether this process must close what it holds open of `target` before
// replace_file: Windows will not rename over a file that is open.
extern const bool kReplaceNeedsTargetClosed;

}  // namespace larkspur::platform
