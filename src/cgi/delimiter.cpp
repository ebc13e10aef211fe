// SPDX-License-Identifier: Apache-2.0
// The delimiter search: a failure-table match over the reader's chunks, with
// the bytes before the delimiter collected, written or dropped.
#include "cgi/delimiter.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "platform/no_memory.h"
#include "platform/posix_io.h"
#include "platform/wipe.h"

namespace larkspur::cgi {

namespace {

// The delimiter with its failure table: fail[m] is the length of the longest
// proper suffix of the first m bytes that is also a prefix. A partial match
// that breaks then falls back to that suffix instead of re-reading, so the
// first occurrence is found even when the delimiter's start repeats inside it
// (boundary 'ab' in '--a--ab').
class Delimiter {
 public:
  Delimiter(std::string_view boundary, bool first) {
    if (!first) text_ = "\r\n";
    text_ += "--";
    text_ += boundary;
    fail_.assign(text_.size() + 1, 0);
    for (std::size_t m = 2, k = 0; m <= text_.size(); ++m) {
      while (k > 0 && text_[m - 1] != text_[k]) k = fail_[k];
      if (text_[m - 1] == text_[k]) ++k;
      fail_[m] = k;
    }
  }

  const std::string& text() const { return text_; }
  std::size_t fail(std::size_t matched) const { return fail_[matched]; }

 private:
  std::string text_;
  std::vector<std::size_t> fail_;
};

// Collects or writes the bytes before a delimiter. Memory is a secret
// buffer, since a value may be a password.
class PartSink {
 public:
  static constexpr std::size_t kInitialMemory = 256;
  static constexpr std::size_t kFileBuffer = 64 * 1024;

  explicit PartSink(const PartOutput& output) : output_(output) {
    if (output_.kind == PartOutput::Kind::kMemory) buffer_.reserve(kInitialMemory);
    if (output_.kind == PartOutput::Kind::kFile) buffer_.reserve(kFileBuffer);
  }

  bool failed() const { return failed_; }

  void emit(const char* bytes, std::size_t count) {
    if (count == 0 || failed_) return;
    switch (output_.kind) {
      case PartOutput::Kind::kDiscard:
        return;
      case PartOutput::Kind::kMemory:
        // Past its limit a value is refused at once, long before the body
        // ends: read_to_delimiter turns this into DECODE_NO_MEMORY.
        if (count > output_.memory_limit - buffer_.size()) throw std::bad_alloc();
        // Doubling, but never past what the limit lets arrive.
        if (buffer_.size() + count > buffer_.capacity()) {
          buffer_.reserve(std::min(std::max(buffer_.capacity() * 2, buffer_.size() + count),
                                   output_.memory_limit));
        }
        buffer_.append({bytes, count});
        break;
      case PartOutput::Kind::kFile:
        if (buffer_.size() + count > buffer_.capacity() && !flush()) return;
        if (count >= buffer_.capacity()) {
          if (!write_out(bytes, count)) return;
        } else {
          buffer_.append({bytes, count});
        }
        break;
    }
    length_ += static_cast<std::int64_t>(count);
  }

  // Writes what is buffered, or hands the collected text over at its exact size.
  bool finish(std::string& body, std::int64_t& length) {
    if (output_.kind == PartOutput::Kind::kFile && !flush()) return false;
    if (output_.kind == PartOutput::Kind::kMemory) body.assign(buffer_.view());
    length = length_;
    return true;
  }

 private:
  bool flush() {
    const bool ok = write_out(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok;
  }

  bool write_out(const char* bytes, std::size_t count) {
    if (!platform::write_all(output_.fd, bytes, count)) failed_ = true;
    return !failed_;
  }

  PartOutput output_;
  platform::SecretBuffer buffer_;
  std::int64_t length_ = 0;
  bool failed_ = false;
};

// Advances the match by one byte; true when the whole delimiter has matched.
// Bytes that can no longer belong to a match are emitted; they equal the
// delimiter's own prefix, since that is what they matched.
bool match_byte(const Delimiter& delimiter, std::size_t& matched, char byte, PartSink& sink) {
  const std::string& text = delimiter.text();
  while (matched > 0 && byte != text[matched]) {
    const std::size_t kept = delimiter.fail(matched);
    sink.emit(text.data(), matched - kept);
    matched = kept;
  }
  if (byte == text[matched]) return ++matched == text.size();
  sink.emit(&byte, 1);
  return false;
}

// Scans `bytes`; returns how many were used and sets `found` when the
// delimiter ended within them. Runs without a partial match go out whole.
std::size_t scan(const Delimiter& delimiter, std::size_t& matched, std::span<const char> bytes,
                 PartSink& sink, bool& found) {
  const char* data = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size && !sink.failed()) {
    if (matched == 0) {
      const void* hit = std::memchr(data + i, delimiter.text()[0], size - i);
      if (!hit) {
        sink.emit(data + i, size - i);
        return size;
      }
      const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - data);
      sink.emit(data + i, at - i);
      i = at;
    }
    if (match_byte(delimiter, matched, data[i++], sink)) {
      found = true;
      return i;
    }
  }
  return i;
}

DecodeResult search(BodyReader& reader, const Delimiter& delimiter, PartSink& sink) {
  std::size_t matched = 0;
  for (;;) {
    if (reader.waiting() > 0) {
      char byte;
      body_read(reader, &byte, 1);
      if (match_byte(delimiter, matched, byte, sink)) return DECODE_SUCCESS;
      continue;
    }
    if (reader.chunk().empty() && !reader.fill()) return DECODE_IO;
    bool found = false;
    reader.advance(scan(delimiter, matched, reader.chunk(), sink, found));
    if (sink.failed()) return DECODE_IO;
    if (found) return DECODE_SUCCESS;
  }
}

}  // namespace

DecodeResult read_to_delimiter(BodyReader& reader, std::string_view boundary, bool first,
                               const PartOutput& output, std::string& body, std::int64_t& length,
                               bool* delimiter_found) {
  body.clear();
  length = 0;
  if (delimiter_found) *delimiter_found = false;
  const DecodeResult result = platform::or_on_no_memory(DECODE_NO_MEMORY, [&] {
    const Delimiter delimiter(boundary, first);
    PartSink sink(output);
    if (DecodeResult r = search(reader, delimiter, sink); r != DECODE_SUCCESS) return r;
    if (delimiter_found) *delimiter_found = true;

    // Normally the line break that ends the delimiter line; "--" closes the body.
    char after[2];
    if (body_read(reader, after, 2) != 2) return DECODE_IO;
    if (after[0] == '-') body_unread(reader, after, 2);

    if (!sink.finish(body, length)) return DECODE_IO;
    return DECODE_SUCCESS;
  });
  if (result == DECODE_NO_MEMORY) {
    platform::secure_wipe(body);
    length = 0;
  }
  return result;
}

}  // namespace larkspur::cgi
