// The least any safe whole-file rewrite costs: read FILE, write its bytes to
// FILE.tmp, fsync, rename over FILE. The change benchmark's floor.
//   bench_floor FILE
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_floor FILE\n");
    return 2;
  }
  const std::string path = argv[1];
  const std::string temp = path + ".tmp";
  const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (in < 0 || out < 0) {
    std::perror("open");
    return 1;
  }
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0) {
      std::perror("read");
      return 1;
    }
    if (got == 0) break;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(out, buffer.data() + done, static_cast<std::size_t>(got - done));
      if (put <= 0) {
        std::perror("write");
        return 1;
      }
      done += put;
    }
  }
  if (::fsync(out) != 0 || ::close(out) != 0 || ::close(in) != 0 ||
      std::rename(temp.c_str(), path.c_str()) != 0) {
    std::perror("finish");
    return 1;
  }
  return 0;
}
