// SPDX-License-Identifier: Apache-2.0
// The least any safe whole-file rewrite costs: read FILE, write its bytes to
// FILE.tmp in pieces of 1 MiB, fsync, rename over FILE and fsync the
// directory, as the program does. The change benchmark's floor. Linked
// statically and kept to the C library, so that its start-up costs no more
// than a process must.
//   bench_floor FILE
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

char buffer[1 << 20];

bool fail(const char* what) {
  std::perror(what);
  return false;
}

bool rewrite(const char* path) {
  char temp[4096];
  if (std::snprintf(temp, sizeof temp, "%s.tmp", path) >= static_cast<int>(sizeof temp)) {
    return fail("path");
  }
  const int in = ::open(path, O_RDONLY | O_CLOEXEC);
  if (in < 0) return fail(path);
  const int out = ::open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) return fail(temp);
  for (;;) {
    const ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got < 0) return fail("read");
    if (got == 0) break;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(out, buffer + done, static_cast<std::size_t>(got - done));
      if (put <= 0) return fail("write");
      done += put;
    }
  }
  if (::fsync(out) != 0) return fail("fsync");
  if (::close(out) != 0 || ::close(in) != 0) return fail("close");
  if (std::rename(temp, path) != 0) return fail("rename");
  char dir[4096];
  std::snprintf(dir, sizeof dir, "%s", path);
  char* slash = std::strrchr(dir, '/');
  if (slash == nullptr) {
    std::snprintf(dir, sizeof dir, ".");
  } else {
    slash[slash == dir ? 1 : 0] = '\0';
  }
  const int directory = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0 || ::fsync(directory) != 0) return fail(dir);
  ::close(directory);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_floor FILE\n");
    return 2;
  }
  return rewrite(argv[1]) ? 0 : 1;
}
