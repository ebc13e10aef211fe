// SPDX-License-Identifier: Apache-2.0
// Where the text of a PasswordFile goes: ranges of the text as it stands, and
// bytes from memory (replaced hashes, and lines rewritten without their
// carriage returns). A sink that writes a file can then copy the unchanged
// ranges file to file instead of through memory.
#pragma once

#include <cstdint>
#include <string_view>

namespace larkspur::passwd {

class SegmentSink {
 public:
  // Both return false once the sink has failed; the emitter then stops.
  // `bytes` need only last for the call.
  virtual bool literal(std::string_view bytes) = 0;
  // [offset, offset + length) of the text held, unchanged.
  virtual bool copy(std::uint64_t offset, std::uint64_t length) = 0;

 protected:
  ~SegmentSink() = default;
};

}  // namespace larkspur::passwd
