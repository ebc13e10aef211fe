// SPDX-License-Identifier: Apache-2.0
#include "platform/no_memory.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

namespace larkspur::platform {
namespace {

enum Result { kDone, kNoMemory };

TEST(OrOnNoMemory, ConvertsOnlyAllocationFailure) {
  EXPECT_EQ(or_on_no_memory(kNoMemory, [] { return kDone; }), kDone);
  EXPECT_EQ(or_on_no_memory(kNoMemory, []() -> Result { throw std::bad_alloc(); }), kNoMemory);
  EXPECT_EQ(or_on_no_memory(kNoMemory, []() -> Result { throw std::bad_array_new_length(); }),
            kNoMemory);
  EXPECT_EQ(or_on_no_memory(kNoMemory,
                            [] {
                              std::string text;
                              text.reserve(text.max_size() + 1);
                              return kDone;
                            }),
            kNoMemory);
  // Anything else is a fault, not a shortage: it is not hidden.
  EXPECT_THROW(or_on_no_memory(kNoMemory, []() -> Result { throw std::logic_error("x"); }),
               std::logic_error);
}

TEST(UnlessNoMemory, SkipsTheRest) {
  int steps = 0;
  unless_no_memory([&] {
    ++steps;
    throw std::bad_alloc();
  });
  unless_no_memory([&] { ++steps; });
  EXPECT_EQ(steps, 2);
}

}  // namespace
}  // namespace larkspur::platform
