// SPDX-License-Identifier: Apache-2.0
// A request stream that hands out its text at most `piece` bytes at a time,
// so that the decoders' chunks end at every possible place; it counts how far
// it has been read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <streambuf>
#include <string>
#include <utility>

namespace larkspur::test {

class TrickleBuf : public std::streambuf {
 public:
  TrickleBuf(std::string text, std::size_t piece) : text_(std::move(text)), piece_(piece) {
    setg(text_.data(), text_.data(), text_.data());
  }
  std::size_t taken() const { return static_cast<std::size_t>(gptr() - text_.data()); }

 protected:
  int_type underflow() override {
    char* end = text_.data() + text_.size();
    if (gptr() == end) return traits_type::eof();
    setg(text_.data(), gptr(), std::min(gptr() + piece_, end));
    return traits_type::to_int_type(*gptr());
  }

 private:
  std::string text_;
  std::size_t piece_;
};

}  // namespace larkspur::test
