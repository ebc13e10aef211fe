// SPDX-License-Identifier: Apache-2.0
// URL-encoded decoding: one field's unescaping, a browser's change request,
// and a large body read through the request stream.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "cgi/form.h"
#include "cgi/request_env.h"
#include "cgi/streams.h"

namespace {

using larkspur::cgi::DECODE_SUCCESS;

// As a browser sends the change form, with escapes and '+' for blanks.
constexpr const char* kChangeBody =
    "name=alice&op=old%21p%40ss+word&p1=n%C3%A9w+secret%2B1&p2=n%C3%A9w+secret%2B1&chgpasswd="
    "Change";

// `fields` fields of about 100 bytes, a third of them escapes.
std::string large_body(int fields) {
  std::string body;
  for (int i = 0; i < fields; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%sfield%d=", i == 0 ? "" : "&", i);
    body += name;
    for (int j = 0; j < 10; ++j) body += "word%2Bword+%E4%BD%A0";
  }
  return body;
}

void BM_UnescapePlain(benchmark::State& state) {
  const std::string text(static_cast<std::size_t>(state.range(0)), 'a');
  std::string out;
  for (auto _ : state) {
    if (larkspur::cgi::form_unescape(text, out) != DECODE_SUCCESS) state.SkipWithError("failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_UnescapeAllEscaped(benchmark::State& state) {
  std::string text;
  while (text.size() < static_cast<std::size_t>(state.range(0))) text += "%E4%BD%A0";
  std::string out;
  for (auto _ : state) {
    if (larkspur::cgi::form_unescape(text, out) != DECODE_SUCCESS) state.SkipWithError("failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_DecodeChangeRequest(benchmark::State& state) {
  for (auto _ : state) {
    if (larkspur::cgi::form_decode_urlencoded(kChangeBody) != DECODE_SUCCESS) {
      state.SkipWithError("failed");
    }
    larkspur::cgi::form_free_all();
  }
}

void BM_ReadBody(benchmark::State& state) {
  const std::string body = large_body(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::istringstream stream(body);
    larkspur::cgi::set_request_stream(&stream);
    larkspur::cgi::request_env().content_length = static_cast<std::int64_t>(body.size());
    if (larkspur::cgi::form_read_urlencoded_body() != DECODE_SUCCESS) {
      state.SkipWithError("failed");
    }
    if (larkspur::cgi::form_entries().size() != static_cast<std::size_t>(state.range(0))) {
      state.SkipWithError("wrong field count");
    }
    larkspur::cgi::form_free_all();
    larkspur::cgi::set_request_stream(nullptr);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body.size()));
}

BENCHMARK(BM_UnescapePlain)->Arg(80)->Arg(64 * 1024);
BENCHMARK(BM_UnescapeAllEscaped)->Arg(80)->Arg(64 * 1024);
BENCHMARK(BM_DecodeChangeRequest);
BENCHMARK(BM_ReadBody)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
