// Decoding of multipart/form-data bodies: part headers, uploads to private
// temporary files, and one form entry per "form-data" part.
#include "cgi/multipart.h"

#include <fcntl.h>
#include <stdlib.h>  // mkostemp
#include <string.h>  // strnlen
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "cgi/body_reader.h"
#include "cgi/request_env.h"
#include "cgi/streams.h"
#include "platform/no_memory.h"
#include "platform/posix_io.h"
#include "platform/wipe.h"

namespace larkspur::cgi {
namespace {

constexpr std::size_t kTextRoom = 1024;  // header texts keep at most 1023 bytes
using Text = std::array<char, kTextRoom>;

// The blanks that may surround a header's separator.
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }
bool is_space(char c) { return is_blank(c) || c == '\r' || c == '\n'; }
bool is_alnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

std::string_view c_text(const Text& text) {
  return {text.data(), ::strnlen(text.data(), kTextRoom)};
}

// Appends while the buffer keeps room for its NUL; later bytes are dropped.
void append_capped(std::span<char> buffer, std::size_t& size, char byte) {
  if (size + 1 < buffer.size()) buffer[size++] = byte;
}

void store_capped(std::span<char> buffer, std::string_view text) {
  if (buffer.empty()) return;
  const std::size_t n = std::min(text.size(), buffer.size() - 1);
  std::memcpy(buffer.data(), text.data(), n);
  buffer[n] = '\0';
}

// A value as it follows a "=" or starts a header: quoted up to the next quote
// (whatever trails it up to ';' is dropped), or plain up to ';', trailing
// blanks kept. Leaves `pos` at the ';' or the end.
std::string_view take_value(std::string_view text, std::size_t& pos) {
  std::string_view value;
  if (pos < text.size() && text[pos] == '"') {
    const std::size_t start = pos + 1;
    std::size_t end = text.find('"', start);
    if (end == std::string_view::npos) end = text.size();
    value = text.substr(start, end - start);
    pos = end;
  } else {
    std::size_t end = text.find(';', pos);
    if (end == std::string_view::npos) end = text.size();
    value = text.substr(pos, end - pos);
    pos = end;
  }
  pos = std::min(text.find(';', pos), text.size());
  return value;
}

// An upload's temporary file: created private (0600, unique, not inherited)
// in the temporary directory, and deleted again unless the entry took it over.
class TempUpload {
 public:
  TempUpload() = default;
  ~TempUpload() {
    fd_.reset();
    if (!path_.empty() && !kept_) ::unlink(path_.c_str());
  }
  TempUpload(const TempUpload&) = delete;
  TempUpload& operator=(const TempUpload&) = delete;

  bool create() {
    std::string path = platform::temp_path("larkspur-upload-XXXXXX");
    fd_.reset(::mkostemp(path.data(), O_CLOEXEC));
    if (!fd_) return false;
    path_ = std::move(path);
    return true;
  }
  bool close() { return fd_.close(); }
  void keep() { kept_ = true; }
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }

 private:
  platform::UniqueFd fd_;
  std::string path_;
  bool kept_ = false;
};

struct PartHeaders {
  Text disposition{};
  Text name{};
  Text file_name{};
  Text content_type{};
};

void read_part_headers(BodyReader& reader, PartHeaders& part) {
  static constexpr std::array<std::string_view, 2> kDispositionKeys = {"name", "filename"};
  const std::array<std::span<char>, 2> disposition_values = {part.name, part.file_name};
  Text line_name, line_value;
  while (read_header_line(reader, line_name, line_value)) {
    const std::string_view header = c_text(line_name);
    if (ascii_iequals(header, "Content-Disposition")) {
      parse_header_value(c_text(line_value), part.disposition, kDispositionKeys,
                         disposition_values);
    } else if (ascii_iequals(header, "Content-Type")) {
      parse_header_value(c_text(line_value), part.content_type, {}, {});
    }
  }
}

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
    if (!ascii_iequals(c_text(part.disposition), "form-data")) {
      r = read_to_delimiter(reader, boundary, false, {}, body, length);
      if (r != DECODE_SUCCESS) return r;
      continue;
    }

    TempUpload upload;
    PartOutput output{PartOutput::Kind::kMemory};
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
    if (upload.fd() >= 0 && !upload.close()) return DECODE_IO;

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
    entry.name = c_text(part.name);
    entry.file_name = c_text(part.file_name);
    entry.content_type = c_text(part.content_type);
    entry.temp_file_name = upload.path();
    half_made.complete = true;
    upload.keep();
  }
}

}  // namespace

bool read_header_line(BodyReader& reader, std::span<char> name, std::span<char> value) {
  std::size_t name_size = 0, value_size = 0;
  bool separated = false;
  bool line_ended = false;
  while (!line_ended) {
    char c;
    if (body_read(reader, &c, 1) != 1) return false;
    if (c == '\r') {
      char next;
      if (body_read(reader, &next, 1) == 1 && next != '\n') body_unread(reader, &next, 1);
      line_ended = true;
    } else if (c == '\n') {
      line_ended = true;
    } else if (c == ':' && !separated && name_size > 0) {
      separated = true;
      char next;
      while (body_read(reader, &next, 1) == 1) {
        if (!is_blank(next)) {
          body_unread(reader, &next, 1);
          break;
        }
      }
    } else if (!separated) {
      if (!is_blank(c)) append_capped(name, name_size, c);
    } else {
      append_capped(value, value_size, c);
    }
  }
  if (!name.empty()) name[name_size] = '\0';
  if (!value.empty()) value[value_size] = '\0';
  return name_size > 0 && value_size > 0;
}

void parse_header_value(std::string_view text, std::span<char> main,
                        std::span<const std::string_view> keys,
                        std::span<const std::span<char>> values) {
  for (std::span<char> buffer : values) {
    if (!buffer.empty()) buffer[0] = '\0';
  }
  std::size_t pos = 0;
  while (pos < text.size() && is_space(text[pos])) ++pos;
  store_capped(main, take_value(text, pos));

  while (pos < text.size() && text[pos] == ';') {
    ++pos;
    while (pos < text.size() && is_space(text[pos])) ++pos;
    const std::size_t name_start = pos;
    while (pos < text.size() && is_alnum(text[pos])) ++pos;
    const std::string_view name =
        text.substr(name_start, std::min(pos - name_start, kTextRoom - 1));
    while (pos < text.size() && is_space(text[pos])) ++pos;
    if (pos >= text.size() || text[pos] != '=') return;
    ++pos;
    while (pos < text.size() && is_space(text[pos])) ++pos;
    const std::string_view attribute = take_value(text, pos);
    for (std::size_t k = 0; k < keys.size() && k < values.size(); ++k) {
      if (ascii_iequals(name, keys[k])) {
        store_capped(values[k], attribute);
        break;
      }
    }
  }
}

DecodeResult form_decode_multipart() {
  const RequestEnv& env = request_env();
  if (env.content_length == 0) return DECODE_SUCCESS;
  // On running out of memory the current part's buffers and temporary file
  // are gone by the time the result is converted; earlier entries stay for
  // form_free_all.
  return platform::or_on_no_memory(DECODE_NO_MEMORY, [&] {
    BodyReader reader(request_stream().rdbuf(), env.content_length);
    return decode_parts(reader, env.boundary);
  });
}

}  // namespace larkspur::cgi
