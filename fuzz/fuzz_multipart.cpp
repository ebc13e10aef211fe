// SPDX-License-Identifier: Apache-2.0
// Multipart decoding. The first line of the input is the raw CONTENT_TYPE
// (so the boundary comes from the fuzzer too), the rest is the body with
// CONTENT_LENGTH its size. Uploads go to a private TMPDIR that must be empty
// again after form_free_all.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <streambuf>
#include <string>
#include <string_view>

#include "cgi/form.h"
#include "cgi/multipart.h"
#include "cgi/request_env.h"
#include "cgi/streams.h"
#include "platform/posix_io.h"
#include "support/trickle_buf.h"

using namespace larkspur::cgi;

namespace {

std::string g_tmpdir;

bool tmpdir_is_empty() {
  DIR* dir = opendir(g_tmpdir.c_str());
  if (!dir) return false;
  bool empty = true;
  while (const dirent* e = readdir(dir)) {
    const std::string_view name = e->d_name;
    if (name != "." && name != "..") empty = false;
  }
  closedir(dir);
  return empty;
}

void remove_tmpdir() { rmdir(g_tmpdir.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string tmpl = larkspur::platform::temp_path("larkspur-fuzz-XXXXXX");
  if (!mkdtemp(tmpl.data())) std::abort();
  g_tmpdir = tmpl;
  setenv("TMPDIR", g_tmpdir.c_str(), 1);
  std::atexit(remove_tmpdir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t line_end = input.find('\n');
  const std::string_view content_type = input.substr(0, line_end);
  const std::string_view body =
      line_end == std::string_view::npos ? std::string_view() : input.substr(line_end + 1);

  RequestEnv& env = request_env();
  set_content_type(env, content_type);
  env.content_length = static_cast<std::int64_t>(body.size());
  // An odd-length content type line trickles the body in small pieces.
  larkspur::test::TrickleBuf buffer(
      std::string(body), content_type.size() % 2 ? 1 + body.size() % 7 : body.size() + 1);
  std::istream stream(&buffer);
  set_request_stream(&stream);

  const DecodeResult result = form_decode_multipart();
  if (result == DECODE_NO_MEMORY && form_entries().size() != kMaxFormEntries &&
      env.content_length <= static_cast<std::int64_t>(kMaxValueInMemory)) {
    std::abort();
  }
  for (const FormEntry& entry : form_entries()) {
    // A plain field's length is its value's; an upload keeps its bytes in a file.
    if (entry.temp_file_name.empty() != entry.file_name.empty()) std::abort();
    if (entry.temp_file_name.empty() &&
        entry.value_length != static_cast<std::int64_t>(entry.value.size())) {
      std::abort();
    }
    if (entry.value_length > env.content_length) std::abort();
  }
  form_free_all();
  set_request_stream(nullptr);
  if (!tmpdir_is_empty()) {
    std::fprintf(stderr, "an upload file was left behind\n");
    std::abort();
  }
  return 0;
}
