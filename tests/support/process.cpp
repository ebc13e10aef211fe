// SPDX-License-Identifier: Apache-2.0
#include "support/process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace larkspur::test {

namespace {

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// What execve takes, made before fork: the child only calls execve. The
// program alone is argv[0] when the command gives no argv.
struct ExecArrays {
  explicit ExecArrays(const Command& command)
      : args(command.argv.empty() ? std::vector<std::string>{command.program} : command.argv) {
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : command.env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
  }
  std::vector<std::string> args;
  std::vector<char*> argv, envp;
};

}  // namespace

ProcessResult run_process(const Command& command) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
    throw std::runtime_error("pipe failed");

  const ExecArrays exec(command);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (command.gid >= 0 && (setgroups(0, nullptr) != 0 || setgid(command.gid) != 0)) _exit(126);
    if (command.uid >= 0 && setuid(command.uid) != 0) _exit(126);
    if (!command.cwd.empty() && chdir(command.cwd.c_str()) != 0) _exit(126);
    execve(command.program.c_str(), exec.argv.data(), exec.envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  set_nonblocking(in[1]);
  set_nonblocking(out[0]);
  set_nonblocking(err[0]);

  ProcessResult result;
  std::size_t written = 0;
  int in_fd = in[1];
  if (command.stdin_data.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  int out_fd = out[0], err_fd = err[0];
  auto deadline = std::chrono::steady_clock::now() + command.timeout;
  signal(SIGPIPE, SIG_IGN);
  while (out_fd >= 0 || err_fd >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3];
    int n = 0;
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
    if (poll(fds, n, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      int fd = fds[i].fd;
      if (fd == in_fd) {
        ssize_t w =
            write(fd, command.stdin_data.data() + written, command.stdin_data.size() - written);
        if (w > 0) written += static_cast<std::size_t>(w);
        if (w < 0 && errno != EAGAIN) written = command.stdin_data.size();
        if (written == command.stdin_data.size()) {
          close(in_fd);
          in_fd = -1;
        }
        continue;
      }
      char buf[65536];
      ssize_t r = read(fd, buf, sizeof buf);
      if (r > 0) {
        (fd == out_fd ? result.out : result.err).append(buf, static_cast<std::size_t>(r));
      } else if (r == 0 || errno != EAGAIN) {
        close(fd);
        (fd == out_fd ? out_fd : err_fd) = -1;
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  if (out_fd >= 0) close(out_fd);
  if (err_fd >= 0) close(err_fd);
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  const auto micros = [](const timeval& t) {
    return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
  };
  result.cpu_time = micros(usage.ru_utime) + micros(usage.ru_stime);
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

RunningProcess::RunningProcess(const Command& command) {
  int in[2];
  if (pipe2(in, O_CLOEXEC)) throw std::runtime_error("pipe failed");
  const ExecArrays exec(command);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(in[0], 0);
    dup2(null, 1);
    dup2(null, 2);
    if (!command.cwd.empty() && chdir(command.cwd.c_str()) != 0) _exit(126);
    execve(command.program.c_str(), exec.argv.data(), exec.envp.data());
    _exit(127);
  }
  close(in[0]);
  in_ = in[1];
  ::signal(SIGPIPE, SIG_IGN);
}

RunningProcess::~RunningProcess() {
  close_input();
  if (!reaped_) {
    kill(pid_, SIGKILL);
    wait();
  }
}

bool RunningProcess::send(const std::string& bytes) {
  std::size_t done = 0;
  while (in_ >= 0 && done < bytes.size()) {
    const ssize_t n = write(in_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return in_ >= 0;
}

void RunningProcess::close_input() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void RunningProcess::signal(int signal_number) { ::kill(pid_, signal_number); }

bool RunningProcess::running() {
  if (reaped_) return false;
  pid_t done = 0;
  while ((done = waitpid(pid_, &status_, WNOHANG)) < 0 && errno == EINTR) {
  }
  reaped_ = done == pid_;
  return done == 0;
}

int RunningProcess::wait() {
  if (!reaped_) {
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }
  return status_;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/larkspur-test-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string cgi_binary() { return LARKSPUR_CGI_BINARY; }

ScopedEnv::ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) saved_ = old;
  if (value != nullptr) {
    ::setenv(name_.c_str(), value, 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (saved_) {
    ::setenv(name_.c_str(), saved_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

}  // namespace larkspur::test
