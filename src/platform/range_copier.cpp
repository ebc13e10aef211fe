// SPDX-License-Identifier: Apache-2.0
// The part of the range copy that every system shares: through a bounded
// buffer, when the kernel cannot copy (or, on Windows, always).
#include <algorithm>
#include <cerrno>
#include <new>

#include "platform/file_range.h"
#include "platform/posix_io.h"

namespace larkspur::platform {
namespace {

// The buffer, and the most any one write of it asks for.
constexpr std::size_t kCopyBuffer = std::size_t{1} << 20;

}  // namespace

Status RangeCopier::copy_through_memory(std::uint64_t offset, std::uint64_t length) noexcept {
  if (!buffer_) {
    buffer_.reset(new (std::nothrow) char[kCopyBuffer]);
    if (!buffer_) return Error{Step::kWrite, {}, ENOMEM, {}, {}};
  }
  while (length > 0) {
    const std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyBuffer));
    if (Status read = read_at(in_, offset, buffer_.get(), piece); !read) return read;
    if (Status written = write_all(out_, buffer_.get(), piece); !written) return written;
    offset += piece;
    length -= piece;
  }
  return {};
}

}  // namespace larkspur::platform
