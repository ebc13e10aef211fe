// The bytes of one file, read in one piece into memory of their own.
#pragma once

#include <cstddef>
#include <string_view>

namespace larkspur::passwd {

class FileBuffer {
 public:
  FileBuffer() = default;
  ~FileBuffer();
  FileBuffer(FileBuffer&& other) noexcept;
  FileBuffer& operator=(FileBuffer&& other) noexcept;
  FileBuffer(const FileBuffer&) = delete;
  FileBuffer& operator=(const FileBuffer&) = delete;

  // Reads `fd` to its end, `expected` bytes being its size by fstat. False
  // on a read error or when memory runs out; the buffer is then empty.
  bool read_from(int fd, std::size_t expected);

  std::string_view view() const { return {data_, size_}; }
  void clear();

 private:
  bool reserve(std::size_t capacity);

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace larkspur::passwd
