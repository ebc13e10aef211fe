// SPDX-License-Identifier: Apache-2.0
// Multipart decoding throughput: a large upload streamed to its temporary
// file and a large plain field collected in memory. The body is generated
// while it is read, so the process's peak memory (reported as peak_rss_MiB,
// the maximum over the process so far) shows what the decoder itself holds.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "cgi/form.h"
#include "cgi/multipart.h"
#include "cgi/request_env.h"
#include "cgi/streams.h"

namespace {

using larkspur::cgi::DECODE_SUCCESS;

constexpr std::int64_t kMiB = 1024 * 1024;
constexpr std::string_view kBoundary = "----WebKitFormBoundary7MA4YWxkTrZu0gW";

// 64 KiB of random bytes, like a compressed file: a CR every 256 bytes or
// so, each one a false start of the delimiter. No "\r\n--" anywhere, also
// across the seam where the block repeats.
const std::string& payload_block() {
  static const std::string block = [] {
    std::mt19937 rng(42);
    std::string b(64 * 1024, '\0');
    for (char& c : b) c = static_cast<char>(rng());
    for (std::size_t i = 0; i < b.size(); ++i) {
      if (b[i] == '\r' && b[(i + 1) % b.size()] == '\n' && b[(i + 2) % b.size()] == '-' &&
          b[(i + 3) % b.size()] == '-') {
        b[i] = 'x';
      }
    }
    return b;
  }();
  return block;
}

// Serves head, then `payload_size` bytes of the repeated block, then tail,
// without ever holding more than the block.
class GeneratedBody : public std::streambuf {
 public:
  GeneratedBody(std::string head, std::int64_t payload_size, std::string tail)
      : head_(std::move(head)), tail_(std::move(tail)), payload_left_(payload_size) {
    set(head_);
  }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (stage_ == 0) {
      stage_ = 1;
      if (payload_left_ > 0) return next_payload();
    }
    if (stage_ == 1 && payload_left_ > 0) return next_payload();
    if (stage_ == 1) {
      stage_ = 2;
      set(tail_);
      return tail_.empty() ? traits_type::eof() : traits_type::to_int_type(*gptr());
    }
    return traits_type::eof();
  }

 private:
  void set(std::string& text) { setg(text.data(), text.data(), text.data() + text.size()); }
  int_type next_payload() {
    const std::string& block = payload_block();
    const std::int64_t n = std::min<std::int64_t>(payload_left_, block.size());
    char* start = const_cast<char*>(block.data());
    setg(start, start, start + n);
    payload_left_ -= n;
    return traits_type::to_int_type(*gptr());
  }

  std::string head_, tail_;
  std::int64_t payload_left_;
  int stage_ = 0;
};

std::string part_head(std::string_view disposition) {
  return "--" + std::string(kBoundary) + "\r\nContent-Disposition: form-data; " +
         std::string(disposition) + "\r\nContent-Type: application/octet-stream\r\n\r\n";
}

void decode_once(benchmark::State& state, const std::string& head, std::int64_t size,
                 std::int64_t& value_length) {
  const std::string tail = "\r\n--" + std::string(kBoundary) + "--\r\n";
  GeneratedBody body(head, size, tail);
  std::istream stream(&body);
  larkspur::cgi::set_request_stream(&stream);
  auto& env = larkspur::cgi::request_env();
  env.boundary = kBoundary;
  env.content_length = static_cast<std::int64_t>(head.size() + tail.size()) + size;
  if (larkspur::cgi::form_decode_multipart() != DECODE_SUCCESS) {
    state.SkipWithError("decoding failed");
  }
  const auto& entries = larkspur::cgi::form_entries();
  value_length = entries.empty() ? -1 : entries[0].value_length;
  larkspur::cgi::form_free_all();  // deletes the upload's file
  larkspur::cgi::set_request_stream(nullptr);
}

void report(benchmark::State& state, std::int64_t size, std::int64_t value_length) {
  if (value_length != size) state.SkipWithError("wrong length decoded");
  state.SetBytesProcessed(state.iterations() * size);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_Upload(benchmark::State& state) {
  const std::int64_t size = state.range(0) * kMiB;
  const std::string head = part_head("name=\"file\"; filename=\"archive.bin\"");
  std::int64_t length = 0;
  for (auto _ : state) decode_once(state, head, size, length);
  report(state, size, length);
}

void BM_PlainField(benchmark::State& state) {
  const std::int64_t size = state.range(0) * kMiB;
  const std::string head = part_head("name=\"text\"");
  std::int64_t length = 0;
  for (auto _ : state) decode_once(state, head, size, length);
  report(state, size, length);
}

// The same upload through the program's own request stream, standard input,
// redirected from a file that holds the body.
void BM_UploadFromStdin(benchmark::State& state) {
  const std::int64_t size = state.range(0) * kMiB;
  const std::string head = part_head("name=\"file\"; filename=\"archive.bin\"");
  const std::string tail = "\r\n--" + std::string(kBoundary) + "--\r\n";
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/decode-bench-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) return state.SkipWithError("no temporary file");
  unlink(path.c_str());
  GeneratedBody body(head, size, tail);
  std::vector<char> buf(1 << 20);
  for (std::streamsize n; (n = body.sgetn(buf.data(), buf.size())) > 0;) {
    if (write(fd, buf.data(), static_cast<std::size_t>(n)) != n)
      return state.SkipWithError("write");
  }
  const int saved_stdin = dup(0);
  dup2(fd, 0);
  std::int64_t length = 0;
  for (auto _ : state) {
    lseek(0, 0, SEEK_SET);
    auto& env = larkspur::cgi::request_env();
    env.boundary = kBoundary;
    env.content_length = static_cast<std::int64_t>(head.size() + tail.size()) + size;
    if (larkspur::cgi::form_decode_multipart() != DECODE_SUCCESS) state.SkipWithError("failed");
    const auto& entries = larkspur::cgi::form_entries();
    length = entries.empty() ? -1 : entries[0].value_length;
    larkspur::cgi::form_free_all();
  }
  dup2(saved_stdin, 0);
  close(saved_stdin);
  close(fd);
  report(state, size, length);
}

// Uploads first: peak memory only grows, and the field needs its whole value.
BENCHMARK(BM_Upload)->Arg(16)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UploadFromStdin)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainField)->Arg(16)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
