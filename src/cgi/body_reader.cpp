// SPDX-License-Identifier: Apache-2.0
// The multipart body reader.
#include "cgi/body_reader.h"

#include <algorithm>
#include <cstring>

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

}  // namespace larkspur::cgi
