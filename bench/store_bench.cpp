// SPDX-License-Identifier: Apache-2.0
// The AuthUserFile at 1,000 to 1,000,000 users: parsing a text in memory,
// opening the file, lookup and update by one search of the file in the page
// cache, building the text, and the durable save through "<file>.tmp" on a
// real directory. Every hash
// is a real Apache MD5 hash; a few are made and reused across users.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "passwd/hashing.h"
#include "passwd/password_file.h"

namespace {

using larkspur::passwd::PasswordFile;

std::string user_name(long i) {
  char name[16];
  std::snprintf(name, sizeof name, "user%07ld", i);
  return name;
}

// "user0000000:$apr1$...\n" for users 0 to n - 1.
const std::string& file_text(long n) {
  static std::map<long, std::string> texts;
  auto [it, fresh] = texts.try_emplace(n);
  if (fresh) {
    std::string hashes[16];
    for (std::string& hash : hashes) {
      char buffer[128] = {};
      larkspur::passwd::encode_password("old-secret", buffer, sizeof buffer);
      hash = buffer;
    }
    std::string& text = it->second;
    text.reserve(static_cast<std::size_t>(n) * 50);
    for (long i = 0; i < n; ++i) text += user_name(i) + ":" + hashes[i % 16] + "\n";
  }
  return it->second;
}

// A private directory for the files of this run, removed at exit.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    path_ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/store-bench-XXXXXX";
    if (::mkdtemp(path_.data()) == nullptr) path_.clear();
  }
  ~TempDir() {
    if (path_.empty()) return;
    for (const char* name : {"/users", "/users.tmp"}) ::unlink((path_ + name).c_str());
    ::rmdir(path_.c_str());
  }
  std::string file(const char* name) const { return path_ + "/" + name; }
  bool ok() const { return !path_.empty(); }

 private:
  std::string path_;
};

TempDir& temp_dir() {
  static TempDir dir;
  return dir;
}

bool write_file(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

void report_bytes(benchmark::State& state, std::size_t bytes) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_Parse(benchmark::State& state) {
  const std::string& text = file_text(state.range(0));
  PasswordFile file;
  for (auto _ : state) {
    state.PauseTiming();
    std::string copy = text;  // parse takes the text over
    state.ResumeTiming();
    file.parse(std::move(copy));
  }
  report_bytes(state, text.size());
}

void BM_Load(benchmark::State& state) {
  const std::string& text = file_text(state.range(0));
  const std::string path = temp_dir().file("users");
  if (!write_file(path, text)) return state.SkipWithError("cannot write the file");
  PasswordFile file;
  for (auto _ : state) {
    if (!file.load(path)) state.SkipWithError("load failed");
  }
  report_bytes(state, text.size());
}

// A file loaded, as the program has it: searched where it lies.
bool load_file(PasswordFile& file, long n) {
  const std::string path = temp_dir().file("users");
  return write_file(path, file_text(n)) && file.load(path);
}

// Arg 1: where the user stands: 0 first line, 1 last line, 2 in no line.
// Every lookup reads the whole file: a second record may follow.
void BM_FindHash(benchmark::State& state) {
  const long n = state.range(0);
  PasswordFile file;
  if (!load_file(file, n)) return state.SkipWithError("cannot load the file");
  const std::string user = state.range(1) == 0   ? user_name(0)
                           : state.range(1) == 1 ? user_name(n - 1)
                                                 : std::string("nobody");
  const bool expected = state.range(1) != 2;
  for (auto _ : state) {
    std::string hash = file.find_hash(user);
    if (hash.empty() == expected) state.SkipWithError("wrong lookup");
    benchmark::DoNotOptimize(hash);
  }
}

// set_hash by name looks the user up again: a user may stand on several lines.
void BM_SetHash(benchmark::State& state) {
  const long n = state.range(0);
  PasswordFile file;
  if (!load_file(file, n)) return state.SkipWithError("cannot load the file");
  const std::string user = user_name(n - 1);
  const std::string hash = "$apr1$abcdefgh$0123456789abcdefghijkl";
  for (auto _ : state) file.set_hash(user, hash);
  if (file.find_hash(user) != hash) state.SkipWithError("hash not set");
}

void BM_Text(benchmark::State& state) {
  const long n = state.range(0);
  PasswordFile file;
  if (!load_file(file, n)) return state.SkipWithError("cannot load the file");
  file.set_hash(user_name(n / 2), "$apr1$abcdefgh$0123456789abcdefghijkl");
  std::string out;
  for (auto _ : state) {
    if (!file.text(out)) state.SkipWithError("text failed");
    benchmark::DoNotOptimize(out.data());
  }
  report_bytes(state, out.size());
}

// The whole durable rewrite: temporary file, unchanged ranges copied file to
// file, fsync, rename and the directory's fsync. Bound by the disk, so it varies with the machine.
void BM_Save(benchmark::State& state) {
  const long n = state.range(0);
  const std::string path = temp_dir().file("users");
  if (!write_file(path, file_text(n))) return state.SkipWithError("cannot write the file");
  PasswordFile file;
  if (!file.load(path)) return state.SkipWithError("load failed");
  file.set_hash(user_name(n - 1), "$apr1$abcdefgh$0123456789abcdefghijkl");
  for (auto _ : state) {
    if (!file.save()) state.SkipWithError("save failed");
  }
  report_bytes(state, file_text(n).size());
}

void BM_EncodePassword(benchmark::State& state) {
  char buffer[128];
  for (auto _ : state) {
    if (larkspur::passwd::encode_password("new-secret", buffer, sizeof buffer) != 0) {
      state.SkipWithError("encode failed");
    }
    benchmark::DoNotOptimize(buffer);
  }
}

void BM_PasswordMatches(benchmark::State& state) {
  char hash[128] = {};
  larkspur::passwd::encode_password("old-secret", hash, sizeof hash);
  for (auto _ : state) {
    if (!larkspur::passwd::password_matches("old-secret", hash)) state.SkipWithError("mismatch");
  }
}

BENCHMARK(BM_Parse)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Load)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindHash)
    ->Args({1000000, 0})
    ->Args({1000000, 1})
    ->Args({1000000, 2})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SetHash)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Text)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Save)
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_EncodePassword)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PasswordMatches)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!temp_dir().ok()) {
    std::perror("mkdtemp");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
