// SPDX-License-Identifier: Apache-2.0
// Turning allocation failure into a result code, at the top of a function
// that promises not to throw. The policy is written down in cgi/form.h.
#pragma once

#include <new>
#include <stdexcept>
#include <utility>

namespace larkspur::platform {

// Runs `body` and returns its result, or `on_no_memory` when it ran out of
// memory (a string or vector asked beyond its maximum size counts too).
template <typename Result, typename Body>
Result or_on_no_memory(Result on_no_memory, Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    return on_no_memory;
  } catch (const std::length_error&) {
    return on_no_memory;
  }
}

// For work that is best effort: running out of memory simply skips the rest.
template <typename Body>
void unless_no_memory(Body&& body) {
  try {
    std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
}

}  // namespace larkspur::platform
