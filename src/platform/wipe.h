// SPDX-License-Identifier: Apache-2.0
// Wiping memory that held a secret, in a way the compiler cannot drop, and
// a byte buffer that never leaves a copy of its secret behind.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace larkspur::platform {

void secure_wipe(void* data, std::size_t size) noexcept;

template <typename T, std::size_t N>
void secure_wipe(std::span<T, N> bytes) noexcept {
  secure_wipe(static_cast<void*>(bytes.data()), bytes.size_bytes());
}

// Wipes the whole capacity, then empties the text: short texts live inside
// the string object and survive a move or a shrink, so size() is not enough.
void secure_wipe(std::string& text) noexcept;

// Bytes that may be a password. Growing copies into fresh storage and wipes
// the old one; removed bytes and the storage itself are wiped too. Moving
// hands the storage over without a copy.
class SecretBuffer {
 public:
  SecretBuffer() = default;
  ~SecretBuffer() { release(); }
  SecretBuffer(SecretBuffer&& other) noexcept;
  SecretBuffer& operator=(SecretBuffer&& other) noexcept;
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;

  // Makes room for at least `capacity` bytes. May throw std::bad_alloc.
  void reserve(std::size_t capacity);
  // Makes room for `count` more bytes at the end and returns where they go;
  // their content is unspecified. May throw std::bad_alloc.
  char* extend(std::size_t count);
  // May throw std::bad_alloc.
  void append(std::string_view bytes);
  // Wipes and drops the last `count` bytes (all of them when fewer).
  void shrink_by(std::size_t count) noexcept;
  void clear() noexcept { shrink_by(size_); }

  char* data() noexcept { return data_.get(); }
  const char* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  std::string_view view() const noexcept { return {data_.get(), size_}; }

 private:
  void release() noexcept;

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace larkspur::platform
