// Where the text of a PasswordFile goes, as a series of byte ranges. Ranges
// that lie next to each other in memory arrive separately; a sink may join
// them, so an unchanged run of lines costs one copy or one iovec.
#pragma once

#include <cstddef>

namespace larkspur::passwd {

class SegmentSink {
 public:
  virtual void add(const char* data, std::size_t size) = 0;

 protected:
  ~SegmentSink() = default;
};

}  // namespace larkspur::passwd
