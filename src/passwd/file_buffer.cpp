// Memory for a whole AuthUserFile. It comes straight from the kernel rather
// than from the heap so that it need not be zeroed before the read fills it,
// and large files are asked to sit in huge pages: for a file of tens of
// megabytes that removes most of the page faults, which otherwise cost more
// than the read itself.

#include "passwd/file_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace larkspur::passwd {

namespace {

constexpr std::size_t kHugePage = 2 * 1024 * 1024;

}  // namespace

FileBuffer::~FileBuffer() { clear(); }

FileBuffer::FileBuffer(FileBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

FileBuffer& FileBuffer::operator=(FileBuffer&& other) noexcept {
  if (this != &other) {
    clear();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void FileBuffer::clear() {
  if (data_ != nullptr) ::munmap(data_, capacity_);
  data_ = nullptr;
  size_ = capacity_ = 0;
}

// Keeps the bytes held so far.
bool FileBuffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return true;
  void* memory =
      ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return false;
  if (capacity >= kHugePage) ::madvise(memory, capacity, MADV_HUGEPAGE);  // a hint only
  if (size_ > 0) std::memcpy(memory, data_, size_);
  const std::size_t size = size_;
  clear();
  data_ = static_cast<char*>(memory);
  size_ = size;
  capacity_ = capacity;
  return true;
}

bool FileBuffer::read_from(int fd, std::size_t expected) {
  clear();
  if (expected > 0 && !reserve(expected)) return false;
  for (;;) {
    if (size_ == capacity_) {
      // Full at the size fstat gave: usually the end, unless the file grew.
      char probe[4096];
      ssize_t got = ::read(fd, probe, sizeof probe);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0 || !reserve(capacity_ + capacity_ / 2 + sizeof probe)) {
        if (got == 0) return true;
        clear();
        return false;
      }
      std::memcpy(data_ + size_, probe, static_cast<std::size_t>(got));
      size_ += static_cast<std::size_t>(got);
      continue;
    }
    ssize_t got = ::read(fd, data_ + size_, capacity_ - size_);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      clear();
      return false;
    }
    if (got == 0) return true;
    size_ += static_cast<std::size_t>(got);
  }
}

}  // namespace larkspur::passwd
