// SPDX-License-Identifier: Apache-2.0
// The new-password rules' cost, the half of rules_bench.sh that runs in one
// process: making a large sorted breached-password list, searching it hot
// and with its pages evicted, libpwquality's check, and all rules beside
// none. Prints "name median p90 max" in microseconds, and pages read.
//   rules_bench make FILE LINES
//   rules_bench search FILE LINES ROUNDS hot|cold
//   rules_bench rules PWQUALITY_CONF FILE ROUNDS
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "rules/breached_corpus.h"
#include "rules/new_password_rules.h"
#include "rules/pwquality_check.h"

namespace {

using namespace larkspur::rules;

// Evenly spread, strictly rising keys that look like SHA-1 hex.
std::string key(std::uint64_t i, std::uint64_t lines) {
  char buffer[41];
  const std::uint64_t high = (i + 1) * (~0ULL / (lines + 2));
  std::snprintf(buffer, sizeof buffer, "%016llX%024llX", static_cast<unsigned long long>(high),
                static_cast<unsigned long long>((i * 0x9E3779B97F4A7C15ULL) >> 1));
  return std::string(buffer, 40);
}

int make(const char* path, std::uint64_t lines) {
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return 1;
  static char buffer[1 << 20];
  std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
  for (std::uint64_t i = 0; i < lines; ++i) {
    std::fprintf(out, "%s:%llu\r\n", key(i, lines).c_str(),
                 static_cast<unsigned long long>(i % 5000 + 1));
  }
  return std::fclose(out) == 0 ? 0 : 1;
}

std::uint64_t bytes_read_from_storage() {
  std::ifstream io("/proc/self/io");
  std::string name;
  std::uint64_t value = 0;
  while (io >> name >> value) {
    if (name == "read_bytes:") return value;
  }
  return 0;
}

void report(const char* name, std::vector<double> us, const std::string& extra = {}) {
  std::sort(us.begin(), us.end());
  const auto at = [&](double q) { return us[std::min(us.size() - 1, std::size_t(q * us.size()))]; };
  std::printf("%-28s median %9.1f  p90 %9.1f  max %9.1f us%s\n", name, at(0.5), at(0.9), us.back(),
              extra.c_str());
}

double time_us(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
      .count();
}

Sha1Hex as_hash(const std::string& text) {
  Sha1Hex h;
  std::copy_n(text.begin(), h.size(), h.begin());
  return h;
}

int search(const char* path, std::uint64_t lines, int rounds, bool cold) {
  std::mt19937_64 random(42);
  std::vector<double> us;
  std::vector<double> pages;
  const int fd = ::open(path, O_RDONLY);
  for (int r = cold ? 0 : -64; r < rounds; ++r) {
    // Half the searches find their line, half fall between two lines.
    // Hot: the same 64 searches again and again, after a first pass.
    std::mt19937_64 same(static_cast<std::uint64_t>((r % 64 + 64) % 64));
    std::string hash = key((cold ? random() : same()) % lines, lines);
    if ((r & 1) != 0) hash[39] = hash[39] == 'F' ? 'E' : 'F';
    if (cold) {
      // Evicts the list's pages, as a dropped page cache would.
      ::fdatasync(fd);
      ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    }
    const std::uint64_t before = bytes_read_from_storage();
    bool ok = true;
    const double took = time_us([&] { ok = breached_count(path, as_hash(hash)).ok(); });
    if (r >= 0) {
      us.push_back(took);
      pages.push_back(static_cast<double>(bytes_read_from_storage() - before) / 4096);
    }
    if (!ok) return 1;
  }
  ::close(fd);
  std::sort(pages.begin(), pages.end());
  char extra[120];
  std::snprintf(extra, sizeof extra, "  pages read median %.0f max %.0f", pages[pages.size() / 2],
                pages.back());
  report(cold ? "search, cold" : "search, hot", us, extra);
  return 0;
}

int rules(const char* conf, const char* path, int rounds) {
  RuleSettings none;
  RuleSettings quality{conf, "", 1, false};
  RuleSettings all{conf, path, 1, true};
  const char* passwords[] = {"Xk4#pq9!vR2mzW7q", "elephants-are-big", "correct horse battery"};
  for (const auto& [name, settings] : {std::pair<const char*, RuleSettings*>{"no rules", &none},
                                       {"libpwquality check", &quality},
                                       {"all rules", &all}}) {
    std::vector<double> us;
    for (int r = 0; r < rounds; ++r) {
      us.push_back(time_us(
          [&] { (void)check_new_password(*settings, "alice", "Old#pass-77", passwords[r % 3]); }));
    }
    report(name, us);
  }
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf("peak RSS %ld KiB\n", usage.ru_maxrss);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "make" && argc == 4) return make(argv[2], std::strtoull(argv[3], nullptr, 10));
  if (mode == "search" && argc == 6) {
    return search(argv[2], std::strtoull(argv[3], nullptr, 10), std::atoi(argv[4]),
                  std::string(argv[5]) == "cold");
  }
  if (mode == "rules" && argc == 5) return rules(argv[2], argv[3], std::atoi(argv[4]));
  std::fprintf(stderr, "usage: see the head of rules_bench.cpp\n");
  return 2;
}
