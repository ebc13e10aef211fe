// SPDX-License-Identifier: Apache-2.0
// Runs one command and appends "<wall microseconds> <peak RSS KiB> <exit
// status> <CPU microseconds, user and system>" to a result file: the timing
// half of the change and hash benchmarks and the soak. CPU time says what a
// command costs even on a machine busy with other work. The command inherits our standard streams and environment, so the
// calling script prepares them outside the timed span.
//   bench_time RESULT_FILE COMMAND [ARGS...]
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_time RESULT_FILE COMMAND [ARGS...]\n");
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "a");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  // posix_spawn uses vfork semantics, so the child starts without a copy of
  // our pages and its peak RSS is its own.
  if (const int error = posix_spawnp(&pid, argv[2], nullptr, nullptr, argv + 2, environ)) {
    std::fprintf(stderr, "bench_time: cannot run %s: errno %d\n", argv[2], error);
    return 2;
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::perror("wait4");
      return 2;
    }
  }
  const auto wall = std::chrono::steady_clock::now() - start;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  const auto micros = [](const timeval& t) {
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_usec;
  };
  std::fprintf(
      out, "%lld %ld %d %lld\n",
      static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(wall).count()),
      usage.ru_maxrss, code, micros(usage.ru_utime) + micros(usage.ru_stime));
  return std::fclose(out) == 0 ? code : 2;
}
