// SPDX-License-Identifier: Apache-2.0
// Where the text of a PasswordFile goes: ranges of the text as it stands, and
// bytes from memory (replaced hashes, and lines rewritten without their
// carriage returns). A sink that writes a file can then copy the unchanged
// ranges file to file instead of through memory.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/result.h"

namespace larkspur::passwd {

class SegmentSink {
 public:
  // Both return false once the sink has failed; the emitter then stops.
  // `bytes` need only last for the call.
  virtual bool literal(std::string_view bytes) = 0;
  // [offset, offset + length) of the text held, unchanged.
  virtual bool copy(std::uint64_t offset, std::uint64_t length) = 0;

  // Notes a failure of the sink, or of reading the text it is fed from;
  // the first reason is kept. Says whether `status` was fine.
  bool check(const platform::Status& status) {
    if (status) return true;
    if (!failed_) error_ = status.error();
    failed_ = true;
    return false;
  }
  bool failed() const { return failed_; }
  const platform::Error& error() const { return error_; }

 protected:
  ~SegmentSink() = default;

 private:
  platform::Error error_;
  bool failed_ = false;
};

}  // namespace larkspur::passwd
