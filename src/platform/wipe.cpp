// SPDX-License-Identifier: Apache-2.0
#include "platform/wipe.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace larkspur::platform {

void secure_wipe(std::string& text) noexcept {
  secure_wipe(text.data(), text.capacity());
  text.clear();
}

SecretBuffer::SecretBuffer(SecretBuffer&& other) noexcept
    : data_(std::move(other.data_)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

SecretBuffer& SecretBuffer::operator=(SecretBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void SecretBuffer::release() noexcept {
  secure_wipe(data_.get(), capacity_);
  data_.reset();
  size_ = capacity_ = 0;
}

void SecretBuffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
  if (size_ != 0) std::memcpy(bigger.get(), data_.get(), size_);
  secure_wipe(data_.get(), capacity_);
  data_ = std::move(bigger);
  capacity_ = capacity;
}

char* SecretBuffer::extend(std::size_t count) {
  if (count > SIZE_MAX - size_) throw std::bad_alloc();
  const std::size_t needed = size_ + count;
  if (needed > capacity_) {
    // Doubling keeps the number of copies (and wipes) logarithmic.
    std::size_t capacity = capacity_ == 0 ? 64 : capacity_;
    while (capacity < needed) capacity = capacity > SIZE_MAX / 2 ? needed : capacity * 2;
    reserve(capacity);
  }
  char* where = data_.get() + size_;
  size_ = needed;
  return where;
}

void SecretBuffer::append(std::string_view bytes) {
  if (bytes.empty()) return;
  std::memcpy(extend(bytes.size()), bytes.data(), bytes.size());
}

void SecretBuffer::shrink_by(std::size_t count) noexcept {
  if (count > size_) count = size_;
  size_ -= count;
  secure_wipe(data_.get() + size_, count);
}

}  // namespace larkspur::platform
