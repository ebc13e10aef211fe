// The multipart body reader and the delimiter search.
#include "cgi/body_reader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/no_memory.h"
#include "platform/posix_io.h"
#include "platform/wipe.h"

namespace larkspur::cgi {

BodyReader::BodyReader(std::streambuf* source, std::int64_t content_length)
    : source_(source),
      content_length_(content_length),
      chunk_(std::make_unique_for_overwrite<char[]>(kChunkSize)) {}

BodyReader::~BodyReader() {
  platform::secure_wipe(chunk_.get(), kChunkSize);
  platform::secure_wipe(std::span(pushback_));
}

std::span<const char> BodyReader::chunk() const {
  return {chunk_.get() + chunk_pos_, chunk_end_ - chunk_pos_};
}

void BodyReader::advance(std::size_t count) {
  chunk_pos_ += count;
  consumed_ += static_cast<std::int64_t>(count);
}

bool BodyReader::fill() {
  if (chunk_pos_ < chunk_end_) return true;
  const std::int64_t left = content_length_ - fetched_;
  if (!source_ || stream_ended_ || left <= 0) return false;
  using traits = std::streambuf::traits_type;
  std::streamsize want = static_cast<std::streamsize>(std::min<std::int64_t>(kChunkSize, left));
  try {
    // Take what the stream has ready rather than wait for a whole chunk.
    std::streamsize ready = source_->in_avail();
    if (ready <= 0 && !traits::eq_int_type(source_->sgetc(), traits::eof())) {
      ready = source_->in_avail();
    }
    if (ready > 0) want = std::min(want, ready);
    const std::streamsize got = source_->sgetn(chunk_.get(), want);
    chunk_pos_ = 0;
    chunk_end_ = got > 0 ? static_cast<std::size_t>(got) : 0;
  } catch (...) {
    // A stream buffer that throws has ended as far as the body is concerned.
    chunk_pos_ = chunk_end_ = 0;
  }
  fetched_ += static_cast<std::int64_t>(chunk_end_);
  if (chunk_end_ == 0) stream_ended_ = true;
  return chunk_end_ > 0;
}

std::int64_t BodyReader::read(char* destination, std::int64_t count) {
  if (count <= 0) return 0;
  const bool body_left = chunk_pos_ < chunk_end_ || content_length_ - fetched_ > 0;
  std::int64_t delivered = 0;
  while (delivered < count && push_count_ > 0) {
    destination[delivered++] = pushback_[push_head_];
    push_head_ = (push_head_ + 1) % kPushbackSize;
    --push_count_;
  }
  while (delivered < count && fill()) {
    const std::size_t n =
        std::min<std::size_t>(chunk_end_ - chunk_pos_, static_cast<std::size_t>(count - delivered));
    std::memcpy(destination + delivered, chunk_.get() + chunk_pos_, n);
    chunk_pos_ += n;
    delivered += static_cast<std::int64_t>(n);
  }
  consumed_ += delivered;
  if (delivered == 0 && !body_left) return -1;
  return delivered;
}

bool BodyReader::unread(const char* bytes, std::size_t count) {
  if (count > kPushbackSize - push_count_) return false;
  // Walk backwards so that the first byte given ends up in front.
  for (std::size_t i = count; i > 0; --i) {
    push_head_ = (push_head_ + kPushbackSize - 1) % kPushbackSize;
    pushback_[push_head_] = bytes[i - 1];
  }
  push_count_ += count;
  consumed_ -= static_cast<std::int64_t>(count);
  return true;
}

std::int64_t body_read(BodyReader& reader, char* destination, std::int64_t count) {
  return reader.read(destination, count);
}

bool body_unread(BodyReader& reader, const char* bytes, std::size_t count) {
  return reader.unread(bytes, count);
}

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
class Sink {
 public:
  static constexpr std::size_t kInitialMemory = 256;
  static constexpr std::size_t kFileBuffer = 64 * 1024;

  explicit Sink(const PartOutput& output) : output_(output) {
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
bool match_byte(const Delimiter& delimiter, std::size_t& matched, char byte, Sink& sink) {
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
                 Sink& sink, bool& found) {
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

DecodeResult search(BodyReader& reader, const Delimiter& delimiter, Sink& sink) {
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
    Sink sink(output);
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
