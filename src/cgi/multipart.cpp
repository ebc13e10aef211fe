// SPDX-License-Identifier: Apache-2.0
// Decoding of multipart/form-data bodies: uploads to private unnamed
// temporary files, and one form entry per "form-data" part.
#include "cgi/multipart.h"

#include <algorithm>
#include <string>

#include "cgi/body_reader.h"
#include "cgi/delimiter.h"
#include "cgi/part_headers.h"
#include "cgi/request_env.h"
#include "cgi/streams.h"
#include "platform/ascii.h"
#include "platform/no_memory.h"
#include "platform/posix_io.h"
#include "platform/upload_file.h"
#include "platform/wipe.h"

namespace larkspur::cgi {
namespace {

// An upload's temporary file: private (0600, not inherited) in the
// temporary directory, and without a name from the moment it exists, so that
// no way the process ends, SIGKILL included, can leave it behind. The
// descriptor is the only way to it; the entry takes it over.
class TempUpload {
 public:
  bool create() {
    platform::Result<platform::UploadFile> created = platform::create_upload_file();
    if (!created) return false;
    file_ = std::move(created).value();
    return true;
  }
  int fd() const { return file_.fd.get(); }
  // The path by which this process can still open the file.
  const std::string& path() const { return file_.path; }
  platform::UniqueFd release() { return std::move(file_.fd); }

 private:
  platform::UploadFile file_;
};

DecodeResult decode_parts(BodyReader& reader, std::string_view boundary) {
  std::string body;
  std::int64_t length = 0;
  bool found = false;
  DecodeResult r = read_to_delimiter(reader, boundary, true, {}, body, length, &found);
  // A body without any delimiter simply holds no fields.
  if (r == DECODE_IO && !found) return DECODE_SUCCESS;
  if (r != DECODE_SUCCESS) return r;

  for (;;) {
    char start[2];
    if (body_read(reader, start, 2) != 2) return DECODE_SUCCESS;
    if (start[0] == '-' && start[1] == '-') return DECODE_SUCCESS;  // closing delimiter
    body_unread(reader, start, 2);

    PartHeaders part;
    read_part_headers(reader, part);
    if (!platform::ascii_iequals(header_text(part.disposition), "form-data")) {
      r = read_to_delimiter(reader, boundary, false, {}, body, length);
      if (r != DECODE_SUCCESS) return r;
      continue;
    }

    // Decided before the body is read: no room for one more entry, or for
    // more than what is left of the memory budget, ends the decoding.
    const std::string_view name = header_text(part.name);
    const std::size_t held = form_bytes_held() + name.size();
    if (form_entries().size() >= kMaxFormEntries || held > kMaxFormBytes) return DECODE_NO_MEMORY;
    TempUpload upload;
    PartOutput output{PartOutput::Kind::kMemory};
    output.memory_limit = std::min(kMaxValueInMemory, kMaxFormBytes - held);
    if (part.file_name[0] != '\0') {
      // Never keep an upload in memory or cut it short: no file, no request.
      if (!upload.create()) return DECODE_IO;
      output = {PartOutput::Kind::kFile, upload.fd()};
    }
    struct Wiper {
      std::string& text;
      ~Wiper() { platform::secure_wipe(text); }
    } wipe_body{body};
    r = read_to_delimiter(reader, boundary, false, output, body, length);
    if (r != DECODE_SUCCESS) return r;

    // Filled in place: entries never move, so no copy of the value is left.
    FormEntry& entry = form_append_entry();
    struct HalfMade {
      bool complete = false;
      ~HalfMade() {
        if (!complete) form_remove_last_entry();
      }
    } half_made;
    entry.value = std::move(body);
    entry.value_length = length;
    entry.name = name;
    entry.file_name = header_text(part.file_name);
    entry.content_type = header_text(part.content_type);
    if (upload.fd() >= 0) entry.temp_file_name = upload.path();
    entry.temp_fd = upload.release();
    half_made.complete = true;
  }
}

}  // namespace

DecodeResult form_decode_multipart() {
  const RequestEnv& env = request_env();
  if (env.content_length == 0) return DECODE_SUCCESS;
  if (env.content_length > kMaxMultipartBody) return DECODE_NO_MEMORY;
  // On running out of memory the current part's buffers and temporary file
  // are gone by the time the result is converted; earlier entries stay for
  // form_free_all.
  return platform::or_on_no_memory(DECODE_NO_MEMORY, [&] {
    BodyReader reader(request_stream().rdbuf(), env.content_length);
    return decode_parts(reader, env.boundary);
  });
}

}  // namespace larkspur::cgi
