// SPDX-License-Identifier: Apache-2.0
// The reader under the multipart decoder: the request body, bounded by its
// length, with a small pushback.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <streambuf>

namespace larkspur::cgi {

// Delivers at most `content_length` bytes of a stream buffer (none when it is
// 0 or negative) and takes bytes back. Bytes are fetched from the stream in
// chunks of what it has ready, so the scanners of the decoder can work on spans
// instead of single bytes; a chunk may run past the closing delimiter, never
// past `content_length`. The chunk and the pushback are wiped on destruction
// since a body holds passwords.
class BodyReader {
 public:
  static constexpr std::size_t kPushbackSize = 1024;
  static constexpr std::size_t kChunkSize = 64 * 1024;

  // Throws std::bad_alloc. A null `source` reads as an empty stream.
  BodyReader(std::streambuf* source, std::int64_t content_length);
  ~BodyReader();
  BodyReader(const BodyReader&) = delete;
  BodyReader& operator=(const BodyReader&) = delete;

  // The body offset of the next byte delivered.
  std::int64_t consumed() const { return consumed_; }
  // The bytes put back and not yet delivered again.
  std::size_t waiting() const { return push_count_; }

  // Scanning without copies, for use while nothing waits in the pushback:
  // the bytes fetched and not yet delivered, then how many of them were used.
  std::span<const char> chunk() const;
  void advance(std::size_t count);
  // Fetches the next chunk once the current one is used up; false when the
  // body or the stream has nothing more.
  bool fill();

  // See body_read and body_unread.
  std::int64_t read(char* destination, std::int64_t count);
  bool unread(const char* bytes, std::size_t count);

 private:
  std::streambuf* source_;
  std::int64_t content_length_;
  std::int64_t fetched_ = 0;  // bytes taken from the stream so far
  bool stream_ended_ = false;
  std::int64_t consumed_ = 0;
  std::array<char, kPushbackSize> pushback_{};
  std::size_t push_head_ = 0;
  std::size_t push_count_ = 0;
  std::unique_ptr<char[]> chunk_;
  std::size_t chunk_pos_ = 0;
  std::size_t chunk_end_ = 0;
};

// Delivers up to `count` bytes, put-back ones first, and returns how many.
// Fewer than asked means the input is exhausted: -1 when nothing could be
// delivered because the whole body has been taken, 0 when the stream ended
// before `content_length` (and 0 when `count` is 0).
std::int64_t body_read(BodyReader& reader, char* destination, std::int64_t count);

// Puts `count` bytes back in front of any that still wait, so the next reads
// deliver exactly these bytes, in this order, and then the waiting ones: put
// back the bytes of the last read to undo it. False, with nothing put back,
// when the pushback has no room for them.
bool body_unread(BodyReader& reader, const char* bytes, std::size_t count);

}  // namespace larkspur::cgi
